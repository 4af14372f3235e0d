#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "linalg/worker_pool.hpp"
#include "support/reference_math.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

using test::DMatrix;

void setPriors(AnalysisState& st, float value) {
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = value;
}

// V = w_e I + sum_c w(c) z_c z_c' + X X' in double, from the current lists.
DMatrix explicitVariance(const AnalysisState& st) {
    const int n = st.obsCount;
    DMatrix v(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0));
    for (int i = 0; i < n; ++i) v[i][i] = st.priorValues[1][st.componentCount];
    for (int u = 1; u <= st.randomFactorCount; ++u) {
        const double w = st.priorValues[1][u];
        if (std::fabs(w) <= 1e-8) continue;
        for (int c = st.factorColumnRange[u][1]; c <= st.factorColumnRange[u][2]; ++c) {
            std::vector<double> z(static_cast<std::size_t>(n), 0.0);
            for (int k = 1; k <= st.randomColCount[c]; ++k) z[st.randomColRows[c][k] - 1] += st.randomColValues[c][k];
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) v[i][j] += w * z[i] * z[j];
        }
    }
    for (int c = 1; c <= st.fixedCount; ++c) {
        std::vector<double> x(static_cast<std::size_t>(n), 0.0);
        for (int k = 1; k <= st.fixedColCount[c]; ++k) x[st.fixedColRows[c][k] - 1] += 1.0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) v[i][j] += x[i] * x[j];
    }
    return v;
}

// Largest |W - V^-1| relative to the largest |V^-1|.
double relativeError(const AnalysisState& st) {
    const DMatrix inv = test::gaussJordanInverse(explicitVariance(st));
    double err = 0.0, size = 0.0;
    for (int i = 1; i <= st.obsCount; ++i)
        for (int j = 1; j <= st.obsCount; ++j) {
            err = std::max(err, std::fabs(st.vInverse[i][j] - inv[i - 1][j - 1]));
            size = std::max(size, std::fabs(inv[i - 1][j - 1]));
        }
    return err / size;
}

bool bitSymmetric(const AnalysisState& st) {
    for (int i = 1; i <= st.obsCount; ++i)
        for (int j = 1; j < i; ++j)
            if (std::memcmp(&st.vInverse[i][j], &st.vInverse[j][i], sizeof(float)) != 0) return false;
    return true;
}

bool sameBits(const AnalysisState& a, const AnalysisState& b) {
    for (int i = 1; i <= a.obsCount; ++i)
        if (std::memcmp(a.vInverse[i].ptr(1), b.vInverse[i].ptr(1), sizeof(float) * static_cast<std::size_t>(a.obsCount)) != 0)
            return false;
    return true;
}

TEST(ShermanCpu, AgreesWithTheExplicitInverseOnRandomDesigns) {
    // Real coefficients, observations listed twice in a column, empty
    // columns, several factors and fixed columns. Each of the m + p updates
    // rounds every element to float once; with V's condition number in the
    // tens here, 1e-5 relative is about a hundred single-precision units.
    for (unsigned seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE(seed);
        AnalysisState st = test::stateFromDesign(test::randomDesign(seed, 10 + static_cast<int>(seed), {3, 4, 2}, 1 + seed % 3, 1), seed);
        setPriors(st, 1.0f);
        shermanCPU(st, st.obsCount);
        EXPECT_LT(relativeError(st), 1e-5);
        EXPECT_TRUE(bitSymmetric(st));
    }
}

TEST(ShermanCpu, WithoutColumnsItIsTheScaledIdentity) {
    ModelDesign d = test::oneWayDesign(2, 3, 1);
    d.fixedColumns.clear();
    d.factors.clear();
    d.componentNames.resize(5);
    AnalysisState st = test::stateFromDesign(d, 1);
    setPriors(st, 2.0f);
    shermanCPU(st, 6);
    for (int i = 1; i <= 6; ++i)
        for (int j = 1; j <= 6; ++j) EXPECT_EQ(st.vInverse[i][j], i == j ? 0.5f : 0.0f);
}

TEST(ShermanCpu, EmptyColumnLeavesTheInverseUnchanged) {
    ModelDesign d = test::randomDesign(3, 12, {3, 3}, 2, 1);
    AnalysisState plain = test::stateFromDesign(d, 1);
    d.factors[1].columns.push_back({});  // a level without observations
    d.factors[1].columns.insert(d.factors[1].columns.begin(), std::vector<std::pair<int, float>>{});
    AnalysisState padded = test::stateFromDesign(d, 1);
    setPriors(plain, 1.0f);
    setPriors(padded, 1.0f);
    shermanCPU(plain, 12);
    shermanCPU(padded, 12);
    EXPECT_TRUE(sameBits(plain, padded));
}

TEST(ShermanCpu, FactorsWithPriorAtMostOneEMinusEightAreSkipped) {
    const ModelDesign d = test::randomDesign(4, 12, {3, 4}, 1, 1);
    ModelDesign without = d;
    without.factors.pop_back();
    AnalysisState reference = test::stateFromDesign(without, 1);
    setPriors(reference, 1.0f);
    shermanCPU(reference, 12);
    for (float prior : {1e-8f, -1e-8f, 0.0f}) {
        AnalysisState st = test::stateFromDesign(d, 1);
        setPriors(st, 1.0f);
        st.priorValues[1][2] = prior;
        shermanCPU(st, 12);
        EXPECT_TRUE(sameBits(st, reference)) << prior;
    }
    AnalysisState above = test::stateFromDesign(d, 1);
    setPriors(above, 1.0f);
    above.priorValues[1][2] = std::nextafter(1e-8f, 1.0f);
    shermanCPU(above, 12);
    EXPECT_FALSE(sameBits(above, reference));
    EXPECT_LT(relativeError(above), 1e-5);
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

TEST(ShermanCpuBlocked, IsBitIdenticalToTheReferenceForAnyThreadCount) {
    // Large enough for several flushes and catch-ups: factors of many and of
    // few levels, repeated rows, empty columns, dense fixed columns and a
    // factor skipped by its prior.
    struct Case {
        unsigned seed;
        int n;
        std::vector<int> levels;
        int p;
    };
    const Case cases[] = {{1, 97, {5, 40, 3}, 3}, {2, 150, {70, 2}, 1}, {3, 64, {64}, 0}, {4, 33, {}, 2},
                          {5, 301, {10, 100, 30}, 2}};
    for (const Case& c : cases) {
        ModelDesign design = test::randomDesign(c.seed, c.n, c.levels, c.p, 1);
        if (c.seed == 5) {
            // Observations shared by two levels of the factor processed first
            // (a parent's two columns in a cross): its columns are not all on
            // rows of their own.
            auto& last = design.factors.back().columns;
            for (const auto& [obs, value] : last[0]) last[3].emplace_back(obs, 0.5f * value);
        }
        AnalysisState st = test::stateFromDesign(design, 1);
        setPriors(st, 1.0f);
        if (c.levels.size() == 2) st.priorValues[1][2] = 0.0f;
        if (c.seed == 3) st.priorValues[1][st.componentCount] = 2.0f;  // d = 1/2
        shermanCPUReference(st, c.n);
        const std::vector<float> reference(st.vInverse.ptr(1, 1), st.vInverse.ptr(1, 1) + static_cast<std::size_t>(c.n) * c.n);
        for (int threads : {1, 2, 3, 4}) {
            setWorkerThreads(threads);
            std::fill(st.vInverse.ptr(1, 1), st.vInverse.ptr(1, 1) + static_cast<std::size_t>(c.n) * c.n, -1.0f);
            shermanCPUBlocked(st, c.n);
            EXPECT_EQ(std::memcmp(reference.data(), st.vInverse.ptr(1, 1), reference.size() * sizeof(float)), 0)
                << "seed " << c.seed << ", " << threads << " threads";
        }
        setWorkerThreads(0);
    }
}

}  // namespace
}  // namespace minque
