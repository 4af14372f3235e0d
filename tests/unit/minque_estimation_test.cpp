// The MINQUE chain of one data set: projection, product records, MINQUE
// matrix and the covariance components of a trait pair.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "jackknife_engine/io/product_records.hpp"
#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "jackknife_engine/minque/minque_equations.hpp"
#include "jackknife_engine/minque/minque_pass.hpp"
#include "jackknife_engine/minque/pair_covariances.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// A state with scratch files in slots 2 and 3.
struct Pass {
    AnalysisState st;
    explicit Pass(const ModelDesign& d, int covarianceSwitch = 0, unsigned seed = 1)
        : st(test::stateFromDesign(d, seed, covarianceSwitch)) {
        st.streams[kSlotWholeData] = std::tmpfile();
        st.streams[kSlotReplicate] = std::tmpfile();
    }
    ~Pass() {
        std::fclose(st.streams[kSlotWholeData]);
        std::fclose(st.streams[kSlotReplicate]);
    }
    // The steps of minquePass up to the assembled (not yet inverted) S.
    void throughAssembly() {
        st.obsRecordLength = st.obsCount + 1;
        for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
        shermanCPU(st, st.obsCount);
        projectOutFixed(st);
        writeProductRecords(st, kSlotWholeData);
        assembleMinqueMatrix(st, kSlotWholeData);
    }
    // Covariance components of traits (y1, y2) after a whole-data pass.
    std::vector<float> estimate(const std::vector<float>& y1, const std::vector<float>& y2) {
        for (int m = 1; m <= st.obsCount; ++m) {
            st.pairData[1][m] = y1[static_cast<std::size_t>(m - 1)];
            st.pairData[2][m] = y2[static_cast<std::size_t>(m - 1)];
        }
        st.resultRow = 2;
        estimatePairCovariances(st, kSlotWholeData);
        std::vector<float> theta;
        for (int k = 1; k <= st.componentCount; ++k) theta.push_back(st.priorValues[2][k]);
        return theta;
    }
    std::vector<float> forms() const {
        std::vector<float> q;
        for (int k = 1; k <= st.componentCount; ++k) q.push_back(st.workVector[k]);
        return q;
    }
};

// Balanced two-way crossed layout: env e (E levels) x genotype g (G levels) x
// replicate, observation order env, genotype, replicate. Random factors G, E
// and GE; the intercept is fixed.
ModelDesign twoWayDesign(int G, int E, int R) {
    ModelDesign d;
    d.obsCount = G * E * R;
    d.traitCount = 2;
    std::vector<int> all;
    for (int m = 1; m <= d.obsCount; ++m) all.push_back(m);
    d.fixedColumns.push_back(all);
    ModelDesign::Factor fg, fe, fge;
    fg.columns.resize(static_cast<std::size_t>(G));
    fe.columns.resize(static_cast<std::size_t>(E));
    fge.columns.resize(static_cast<std::size_t>(G * E));
    int m = 0;
    for (int e = 0; e < E; ++e)
        for (int g = 0; g < G; ++g)
            for (int r = 0; r < R; ++r) {
                ++m;
                fg.columns[static_cast<std::size_t>(g)].emplace_back(m, 1.0f);
                fe.columns[static_cast<std::size_t>(e)].emplace_back(m, 1.0f);
                fge.columns[static_cast<std::size_t>(e * G + g)].emplace_back(m, 1.0f);
            }
    d.factors = {fg, fe, fge};
    return d;
}

// Two correlated traits with effects of the given standard deviations per
// factor of a design whose factors each place every observation once.
std::pair<std::vector<float>, std::vector<float>> correlatedTraits(const ModelDesign& d, std::vector<double> sd,
                                                                   double residualSd, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<double> y1(static_cast<std::size_t>(d.obsCount), 50.0), y2(static_cast<std::size_t>(d.obsCount), 20.0);
    for (std::size_t u = 0; u < d.factors.size(); ++u)
        for (const auto& col : d.factors[u].columns) {
            const double a = z(rng), b = 0.6 * a + 0.8 * z(rng);
            for (const auto& [obs, coef] : col) {
                y1[static_cast<std::size_t>(obs - 1)] += coef * sd[u] * a;
                y2[static_cast<std::size_t>(obs - 1)] += coef * sd[u] * b;
            }
        }
    std::vector<float> f1, f2;
    for (std::size_t m = 0; m < y1.size(); ++m) {
        const double a = z(rng), b = 0.3 * a + 0.95 * z(rng);
        f1.push_back(static_cast<float>(y1[m] + residualSd * a));
        f2.push_back(static_cast<float>(y2[m] + residualSd * b));
    }
    return {f1, f2};
}

// Agreement to single precision: every estimate within 1e-5 of the largest
// estimate's magnitude. The chain rounds to float at every stored element of
// Q, the records and S; with n in the tens the differences seen are about
// 2e-7 of the scale, a few units of the last place.
void expectAgree(const std::vector<float>& got, const std::vector<double>& expected) {
    double scale = 0.0;
    for (double x : expected) scale = std::max(scale, std::fabs(x));
    ASSERT_EQ(got.size(), expected.size());
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], expected[k], 1e-5 * scale) << "component " << k + 1;
}

TEST(MinqueEstimation, BalancedOneWayGivesTheAnovaEstimators) {
    const int a = 8, b = 5;
    const ModelDesign d = test::oneWayDesign(a, b, 2);
    Pass pass(d);
    minquePass(pass.st, kSlotWholeData);
    const auto [y1, y2] = correlatedTraits(d, {2.0}, 1.5, 3);
    auto anova = [&](const std::vector<float>& u, const std::vector<float>& v) {
        double mu = 0, mv = 0;
        std::vector<double> lu(a, 0.0), lv(a, 0.0);
        for (int l = 0; l < a; ++l)
            for (int k = 0; k < b; ++k) {
                lu[l] += u[static_cast<std::size_t>(l * b + k)] / b;
                lv[l] += v[static_cast<std::size_t>(l * b + k)] / b;
            }
        for (int l = 0; l < a; ++l) { mu += lu[l] / a; mv += lv[l] / a; }
        double between = 0, within = 0;
        for (int l = 0; l < a; ++l) {
            between += b * (lu[l] - mu) * (lv[l] - mv);
            for (int k = 0; k < b; ++k)
                within += (u[static_cast<std::size_t>(l * b + k)] - lu[l]) * (v[static_cast<std::size_t>(l * b + k)] - lv[l]);
        }
        const double mcpBetween = between / (a - 1), mcpWithin = within / (a * (b - 1));
        return std::vector<double>{(mcpBetween - mcpWithin) / b, mcpWithin};
    };
    expectAgree(pass.estimate(y1, y2), anova(y1, y2));
    expectAgree(pass.estimate(y1, y1), anova(y1, y1));
    expectAgree(pass.estimate(y2, y2), anova(y2, y2));
}

TEST(MinqueEstimation, BalancedTwoWayCrossedGivesTheExpectedMeanSquareEstimators) {
    const int G = 6, E = 3, R = 2;
    const ModelDesign d = twoWayDesign(G, E, R);
    Pass pass(d);
    minquePass(pass.st, kSlotWholeData);
    const auto [y1, y2] = correlatedTraits(d, {2.0, 3.0, 1.5}, 1.0, 9);
    auto anova = [&](const std::vector<float>& u, const std::vector<float>& v) {
        auto at = [&](const std::vector<float>& y, int e, int g, int r) {
            return static_cast<double>(y[static_cast<std::size_t>((e * G + g) * R + r)]);
        };
        auto means = [&](const std::vector<float>& y) {
            std::vector<double> gm(G, 0.0), em(E, 0.0), cell(static_cast<std::size_t>(G * E), 0.0);
            double all = 0.0;
            for (int e = 0; e < E; ++e)
                for (int g = 0; g < G; ++g)
                    for (int r = 0; r < R; ++r) {
                        const double x = at(y, e, g, r);
                        gm[g] += x / (E * R);
                        em[e] += x / (G * R);
                        cell[static_cast<std::size_t>(e * G + g)] += x / R;
                        all += x / (G * E * R);
                    }
            return std::make_tuple(gm, em, cell, all);
        };
        const auto [gu, eu, cu, au] = means(u);
        const auto [gv, ev, cv, av] = means(v);
        double sg = 0, se = 0, sge = 0, sr = 0;
        for (int g = 0; g < G; ++g) sg += E * R * (gu[g] - au) * (gv[g] - av);
        for (int e = 0; e < E; ++e) se += G * R * (eu[e] - au) * (ev[e] - av);
        for (int e = 0; e < E; ++e)
            for (int g = 0; g < G; ++g) {
                const std::size_t c = static_cast<std::size_t>(e * G + g);
                sge += R * (cu[c] - gu[g] - eu[e] + au) * (cv[c] - gv[g] - ev[e] + av);
                for (int r = 0; r < R; ++r) sr += (at(u, e, g, r) - cu[c]) * (at(v, e, g, r) - cv[c]);
            }
        const double msG = sg / (G - 1), msE = se / (E - 1), msGE = sge / ((G - 1) * (E - 1)), msR = sr / (G * E * (R - 1));
        return std::vector<double>{(msG - msGE) / (E * R), (msE - msGE) / (G * R), (msGE - msR) / R, msR};
    };
    expectAgree(pass.estimate(y1, y2), anova(y1, y2));
    expectAgree(pass.estimate(y1, y1), anova(y1, y1));
}

TEST(MinqueEstimation, ExchangingTheTraitsLeavesFormsAndEstimatesUnchanged) {
    // One fixed column and four factors: the switch adds the covariance
    // components (1, 3) and (2, 4).
    const ModelDesign d = test::randomDesign(21, 30, {4, 3, 4, 3}, 1, 2);
    Pass pass(d, 1);
    ASSERT_EQ(pass.st.covarianceCount, 2);
    minquePass(pass.st, kSlotWholeData);
    const auto traits = test::randomTraits(4, 30, 2);
    const auto theta12 = pass.estimate(traits[0], traits[1]);
    const auto q12 = pass.forms();
    const auto theta21 = pass.estimate(traits[1], traits[0]);
    const auto q21 = pass.forms();
    const int r = 4, K = 7;
    double scale = 0.0;
    for (float x : theta12) scale = std::max(scale, std::fabs(static_cast<double>(x)));
    for (int k = 0; k < K; ++k) {
        if (k < r || k == K - 1) {
            EXPECT_EQ(q12[static_cast<std::size_t>(k)], q21[static_cast<std::size_t>(k)]) << k;  // same products, same order
        } else {
            // Between-factor forms round one trait's products to float.
            EXPECT_NEAR(q12[static_cast<std::size_t>(k)], q21[static_cast<std::size_t>(k)], 1e-5 * std::fabs(q12[static_cast<std::size_t>(k)]));
        }
        EXPECT_NEAR(theta12[static_cast<std::size_t>(k)], theta21[static_cast<std::size_t>(k)], 1e-5 * scale);
    }
    pass.estimate(traits[0], traits[0]);
    const auto q11 = pass.forms();
    for (int k = 0; k < r; ++k) EXPECT_GE(q11[static_cast<std::size_t>(k)], 0.0f);
    EXPECT_GE(q11[K - 1], 0.0f);
}

TEST(MinqueEstimation, ProjectionIsTheInverseWithoutFixedColumnsAndAnnihilatesTheIntercept) {
    ModelDesign d = test::randomDesign(5, 20, {3, 4}, 1, 1);
    d.fixedColumns.clear();
    Pass noFixed(d);
    shermanCPU(noFixed.st, 20);
    std::vector<float> inverse(noFixed.st.vInverse.ptr(1, 1), noFixed.st.vInverse.ptr(20, 1) + noFixed.st.vInverse.stride());
    projectOutFixed(noFixed.st);
    EXPECT_EQ(std::memcmp(inverse.data(), noFixed.st.vInverse.ptr(1, 1), inverse.size() * sizeof(float)), 0);

    Pass intercept(test::randomDesign(5, 20, {3, 4}, 1, 1));  // column 1 of X is all ones
    intercept.throughAssembly();
    const AnalysisState& st = intercept.st;
    for (int i = 1; i <= 20; ++i) {
        double sum = 0.0, size = 0.0;
        for (int j = 1; j <= 20; ++j) {
            sum += st.vInverse[i][j];
            size += std::fabs(st.vInverse[i][j]);
            EXPECT_EQ(std::memcmp(&st.vInverse[i][j], &st.vInverse[j][i], sizeof(float)), 0);
        }
        EXPECT_LT(std::fabs(sum), 1e-5 * size) << "row " << i;
    }
    for (int k = 1; k <= st.componentCount; ++k)
        for (int l = 1; l <= st.componentCount; ++l)
            EXPECT_EQ(std::memcmp(&st.equationMatrix[k][l], &st.equationMatrix[l][k], sizeof(float)), 0);
    for (int u = 1; u <= st.componentCount; ++u) EXPECT_GE(st.equationMatrix[u][u], 0.0f);
}

TEST(MinqueEstimation, ProductFileHoldsOneRecordOfUTransposeQPerColumn) {
    const ModelDesign d = test::randomDesign(6, 15, {3, 2}, 2, 1);
    Pass pass(d);
    pass.throughAssembly();
    const AnalysisState& st = pass.st;
    const int n = 15, m = 5;
    std::FILE* f = st.streams[kSlotWholeData];
    std::fseek(f, 0, SEEK_END);
    EXPECT_EQ(std::ftell(f), static_cast<long>(m) * (n + 1) * 4);
    for (int l = 1; l <= m; ++l) {
        std::vector<float> record(static_cast<std::size_t>(n) + 1);
        std::fseek(f, static_cast<long>(l - 1) * (n + 1) * 4, SEEK_SET);
        ASSERT_EQ(std::fread(record.data(), 4, record.size(), f), record.size());
        EXPECT_EQ(record[0], 0.0f);  // the pad
        for (int j = 1; j <= n; ++j) {
            double expected = 0.0;  // (U'Q)[l][j] in double from the stored Q
            for (int k = 1; k <= st.randomColCount[l]; ++k)
                expected += static_cast<double>(st.randomColValues[l][k]) * st.vInverse[st.randomColRows[l][k]][j];
            EXPECT_NEAR(record[static_cast<std::size_t>(j)], expected, 1e-6 * (1.0 + std::fabs(expected)));
        }
    }
}

TEST(MinqueEstimation, IdenticalIncidenceDoublesTheCovarianceEntriesAndEmptyFactorsGiveZeros) {
    ModelDesign d = test::randomDesign(8, 24, {3, 2, 3, 2}, 1, 1);
    d.factors[2] = d.factors[0];  // U_3 = U_1: covariance component 1 joins factors 1 and 3
    Pass same(d, 1);
    same.throughAssembly();
    const FloatMatrix& S = same.st.equationMatrix;
    const int r = 4, K = same.st.componentCount;
    ASSERT_EQ(K, 7);
    EXPECT_NEAR(S[r + 1][K], 2.0 * S[1][K], 1e-5 * std::fabs(S[1][K]));
    for (int u = 1; u <= r; ++u) EXPECT_NEAR(S[u][r + 1], 2.0 * S[u][1], 1e-5 * std::fabs(S[u][1])) << u;

    ModelDesign empty = test::randomDesign(8, 24, {3, 2, 3, 2}, 1, 1);
    for (auto& col : empty.factors[1].columns) col.clear();
    Pass blank(empty, 1);
    blank.throughAssembly();
    for (int k = 1; k <= K; ++k) {
        EXPECT_EQ(blank.st.equationMatrix[2][k], 0.0f) << k;
        EXPECT_EQ(blank.st.equationMatrix[k][2], 0.0f) << k;
    }
}

}  // namespace
}  // namespace minque
