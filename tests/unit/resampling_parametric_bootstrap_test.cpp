// The double-precision MINQUE(0/1) behind the parametric bootstrap, against
// the engine, and the reproducibility of its draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "linalg/worker_pool.hpp"
#include "minquecov/analysis.hpp"
#include "report/resampled_tables.hpp"
#include "report/result_tables.hpp"
#include "resampling/parametric_bootstrap.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// A simulated trial: the design as the bootstrap takes it, the table as the
// library takes it, and the trait values.
struct Trial {
    MinqueDesign design;
    AnalysisRequest request;
    std::vector<double> Y;
};

// A half diallel of 6 parents without selfs, 2 consecutive rows per cross,
// two traits.

Trial diallel(std::uint64_t seed) {
    Trial d;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    const int P = 6;
    std::vector<std::vector<std::pair<int, double>>> A(P), D;
    std::vector<double> a(2 * P);
    for (double& x : a) x = 1.5 * z(rng);
    TrialColumn fem{"Fem", false, {}, {}}, male{"Male", false, {}, {}};
    TrialColumn t1{"T1", true, {}, {}}, t2{"T2", true, {}, {}};
    int obs = 0;
    for (int i = 0; i < P; ++i)
        for (int j = i + 1; j < P; ++j) {
            D.emplace_back();
            const double d1 = z(rng), d2 = 0.5 * d1 + z(rng);
            for (int rep = 0; rep < 2; ++rep, ++obs) {
                A[i].emplace_back(obs, 1.0);
                A[j].emplace_back(obs, 1.0);
                D.back().emplace_back(obs, 1.0);
                fem.text.push_back(std::string(1, 'P') + std::to_string(i + 1));
                male.text.push_back(std::string(1, 'P') + std::to_string(j + 1));
                const double e = z(rng);
                t1.numbers.push_back(20.0 + a[2 * i] + a[2 * j] + d1 + e);
                t2.numbers.push_back(5.0 + a[2 * i + 1] + a[2 * j + 1] + 0.7 * a[2 * i] + d2 + 0.3 * e + z(rng));
                d.Y.push_back(t1.numbers.back());
                d.Y.push_back(t2.numbers.back());
            }
        }
    d.design.observations = obs;
    d.design.factors = {A, D};
    d.design.fixedColumns = {std::vector<int>(obs)};
    for (int k = 0; k < obs; ++k) d.design.fixedColumns[0][k] = k;
    d.request.data.name = "diallel";
    d.request.data.columns = {fem, male, t1, t2};
    d.request.model.female = "Fem";
    d.request.model.male = "Male";
    d.request.options.standardErrors = StandardErrors::Jackknife;  // the engine's records of every pass
    d.request.options.group = 2;
    d.request.options.covarianceRecords = true;
    return d;
}

TEST(ParametricBootstrap, ItsDoublePrecisionMinqueGivesTheEnginesWholeDataComponents) {
    for (std::uint64_t seed : {1u, 2u, 3u}) {
        Trial d = diallel(seed);
        const AnalysisResult engine = analyse(d.request);
        const MinqueProjection projection(d.design);
        ASSERT_EQ(projection.components(), engine.varianceRecords.components);
        const std::vector<double> theta = projection.estimate(d.Y, 2);
        const int K = projection.components(), R = K + 1;
        // Whole-data records: T1, T2 (variances), then the pair.
        const std::vector<float> engineTheta[3] = {
            {engine.varianceRecords.values.begin(), engine.varianceRecords.values.begin() + R},
            {engine.covarianceRecords.values.begin(), engine.covarianceRecords.values.begin() + R},
            {engine.varianceRecords.values.begin() + R, engine.varianceRecords.values.begin() + 2 * R}};
        const int pairOf[3] = {pairIndex(0, 0, 2), pairIndex(0, 1, 2), pairIndex(1, 1, 2)};
        for (int x = 0; x < 3; ++x) {
            double largest = 0.0;
            for (int k = 1; k <= K; ++k) largest = std::max(largest, std::fabs(static_cast<double>(engineTheta[x][k])));
            for (int k = 0; k < K; ++k)
                // Single precision's products and stores in the engine: a few
                // units of its last place of the largest component.
                EXPECT_NEAR(theta[static_cast<std::size_t>(k) * 3 + pairOf[x]], engineTheta[x][k + 1], 1e-5 * largest)
                    << "seed " << seed << ", pair " << x << ", component " << k;
        }
    }
}

TEST(ParametricBootstrap, TheSameSeedGivesTheSameDrawsOnAnyThreadCountAndItsCentreIsTheEstimate) {
    const Trial d = diallel(7);
    const MinqueProjection projection(d.design);
    const std::vector<double> whole = projection.estimate(d.Y, 2);
    setWorkerThreads(1);
    const BootstrapDraws one = parametricBootstrap(projection, whole, 2, 400, 42);
    setWorkerThreads(2);
    const BootstrapDraws two = parametricBootstrap(projection, whole, 2, 400, 42);
    setWorkerThreads(0);
    EXPECT_EQ(one.theta, two.theta);
    EXPECT_NE(parametricBootstrap(projection, whole, 2, 400, 43).theta, one.theta);
    // MINQUE is unbiased: the mean of the draws is the components they were
    // drawn at (where those are positive semi-definite), within 4 S.E.
    const int K = projection.components();
    for (int k = 0; k < K; ++k) {
        if (one.adjusted[static_cast<std::size_t>(k)]) continue;
        for (int pair = 0; pair < 3; ++pair) {
            double mean = 0.0, ss = 0.0;
            for (int b = 0; b < one.samples; ++b) mean += one.theta[(static_cast<std::size_t>(b) * K + k) * 3 + pair] / one.samples;
            for (int b = 0; b < one.samples; ++b) {
                const double x = one.theta[(static_cast<std::size_t>(b) * K + k) * 3 + pair] - mean;
                ss += x * x;
            }
            const double se = std::sqrt(ss / (one.samples - 1) / one.samples);
            EXPECT_NEAR(mean, whole[static_cast<std::size_t>(k) * 3 + pair], 4.0 * se) << k << " " << pair;
        }
    }
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

std::string tablesCsv(const ResultTables& t) {
    std::string text;
    for (const ResultTable table : kResultTables) text += resultCsv(t, table);
    return text;
}

TEST(BootstrapAnalysis, TheTablesCarryIntervalsAreTheSameOnAnyThreadCountAndNoReportIsMade) {
    Trial d = diallel(11);
    d.request.options.standardErrors = StandardErrors::Bootstrap;
    d.request.options.bootstrapSamples = 300;
    d.request.options.seed = 5;
    d.request.options.threads = 1;
    const AnalysisResult one = analyse(d.request);
    d.request.options.threads = 2;
    const AnalysisResult two = analyse(d.request);
    EXPECT_EQ(tablesCsv(one.tables), tablesCsv(two.tables));
    EXPECT_EQ(one.tables.method, "bootstrap");
    EXPECT_TRUE(one.varianceReport.empty() && one.covarianceReport.empty());
    EXPECT_EQ(resultCsv(one.tables, ResultTable::Correlations).substr(0, 82),
              "trait_1,trait_2,component,estimate,se,ci_low,ci_high,undefined_draws,p,mark,flag\r\n");
    // The estimates are the engine's whole-data components on the genetic
    // scale (A 2, D 1, e 1): the jackknife's tables give the same estimates
    // of the components the reports weight alike.
    d.request.options.standardErrors = StandardErrors::Jackknife;
    const AnalysisResult jackknife = analyse(d.request);
    for (const ResultRow& row : one.tables.correlations) {
        // A correlation's interval stays within [-1, 1].
        EXPECT_TRUE(-1.0 <= row.ciLow && row.ciLow <= row.ciHigh && row.ciHigh <= 1.0) << row.component;
        for (const ResultRow& other : jackknife.tables.correlations)
            if (other.component == row.component && row.component != "G+GE" && row.component != "Phenotypic") {
                EXPECT_NEAR(row.estimate, other.estimate, 1e-6) << row.component;
            }
    }
}

// A general model with covariance components between factors (A with C, B
// with D, each pair of equal levels): 48 rows, three traits.

Trial paired(std::uint64_t seed) {
    Trial d;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    const int levels[4] = {4, 3, 4, 3};
    std::vector<std::vector<std::vector<std::pair<int, double>>>> factors(4);
    for (int u = 0; u < 4; ++u) factors[u].resize(levels[u]);
    std::vector<TrialColumn> columns;
    for (const char* name : {"A", "B", "C", "D"}) columns.push_back({name, false, {}, {}});
    for (const char* name : {"T1", "T2", "T3"}) columns.push_back({name, true, {}, {}});
    // Effects of A and C (and of B and D) of the same level are correlated.
    std::vector<double> effect[4];
    for (int u = 0; u < 2; ++u)
        for (int h = 0; h < levels[u]; ++h) {
            const double x = z(rng);
            effect[u].push_back(x);
            effect[u + 2].push_back(0.6 * x + 0.8 * z(rng));
        }
    const int n = 48;
    for (int m = 0; m < n; ++m) {
        const int level[4] = {m % 4, (m / 4) % 3, (m / 3) % 4, (m / 2) % 3};
        double genetic = 0.0;
        for (int u = 0; u < 4; ++u) {
            factors[u][level[u]].emplace_back(m, 1.0);
            columns[u].text.push_back(std::to_string(level[u] + 1));
            genetic += effect[u][level[u]];
        }
        for (int t = 0; t < 3; ++t) {
            columns[4 + t].numbers.push_back(10.0 + (t + 1) * genetic + z(rng));
            d.Y.push_back(columns[4 + t].numbers.back());
        }
    }
    d.design.observations = n;
    d.design.factors = factors;
    d.design.covariancePairs = {{0, 2}, {1, 3}};
    d.design.fixedColumns = {std::vector<int>(n)};
    for (int k = 0; k < n; ++k) d.design.fixedColumns[0][k] = k;
    d.request.data.name = "paired";
    d.request.data.columns = columns;
    d.request.model.random = {"A", "B", "C", "D"};
    d.request.model.covariances = true;
    d.request.options.standardErrors = StandardErrors::Jackknife;
    d.request.options.group = 4;
    d.request.options.covarianceRecords = true;
    return d;
}

TEST(ParametricBootstrap, WithCovarianceComponentsBetweenFactorsItGivesTheEnginesComponentsAndDrawsPairedLevelsJointly) {
    Trial d = paired(3);
    const AnalysisResult engine = analyse(d.request);
    const MinqueProjection projection(d.design);
    const int K = projection.components(), R = K + 1, t = 3;
    ASSERT_EQ(K, 7);
    ASSERT_EQ(engine.varianceRecords.components, K);
    const std::vector<double> theta = projection.estimate(d.Y, t);
    const std::size_t pairs = 6;
    auto expectRecord = [&](const float* record, int pair) {
        double largest = 0.0;
        for (int k = 1; k <= K; ++k) largest = std::max(largest, std::fabs(static_cast<double>(record[k])));
        for (int k = 0; k < K; ++k)
            EXPECT_NEAR(theta[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pair)], record[k + 1], 2e-5 * largest)
                << "pair " << pair << ", component " << k;
    };
    for (int i = 0; i < t; ++i) expectRecord(engine.varianceRecords.values.data() + i * R, pairIndex(i, i, t));
    int p = 0;
    for (int i = 0; i < t; ++i)
        for (int j = i + 1; j < t; ++j) expectRecord(engine.covarianceRecords.values.data() + (p++) * R, pairIndex(i, j, t));

    // Drawn at components that make the joint matrix of A and C positive
    // definite, the draws are centred on them (MINQUE is unbiased).
    std::vector<double> at(static_cast<std::size_t>(K) * pairs, 0.0);
    for (int i = 0; i < t; ++i)
        for (int j = i; j < t; ++j) {
            const double s = (i == j ? 1.0 : 0.3) * (i + 1) * (j + 1) / 4.0;  // traits scaled 1, 2, 3
            const std::size_t x = static_cast<std::size_t>(pairIndex(i, j, t));
            for (int u = 0; u < 4; ++u) at[u * pairs + x] = s;
            at[4 * pairs + x] = at[5 * pairs + x] = 0.6 * s;
            at[6 * pairs + x] = i == j ? 1.0 : 0.2;
        }
    const BootstrapDraws draws = parametricBootstrap(projection, at, t, 2000, 17);
    for (char adjusted : draws.adjusted) EXPECT_EQ(adjusted, 0);
    for (int k = 0; k < K; ++k)
        for (std::size_t x = 0; x < pairs; ++x) {
            double mean = 0.0, ss = 0.0;
            for (int b = 0; b < draws.samples; ++b) mean += draws.theta[(static_cast<std::size_t>(b) * K + k) * pairs + x] / draws.samples;
            for (int b = 0; b < draws.samples; ++b) {
                const double v = draws.theta[(static_cast<std::size_t>(b) * K + k) * pairs + x] - mean;
                ss += v * v;
            }
            EXPECT_NEAR(mean, at[static_cast<std::size_t>(k) * pairs + x], 4.0 * std::sqrt(ss / (draws.samples - 1) / draws.samples))
                << "component " << k << ", pair " << x;
        }
    // A covariance larger than its factors' variances allow is adjusted,
    // with every component of the group it joins.
    for (std::size_t x = 0; x < pairs; ++x) at[4 * pairs + x] *= 3.0;
    const BootstrapDraws adjusted = parametricBootstrap(projection, at, t, 20, 17);
    EXPECT_EQ(std::vector<char>(adjusted.adjusted.begin(), adjusted.adjusted.end()), (std::vector<char>{1, 0, 1, 0, 1, 0, 0}));
}

TEST(BootstrapAnalysis, ACovarianceBetweenFactorsIsGivenItselfEntersTheTotalsTwiceAndHasNoCorrelationRow) {
    Trial d = paired(5);
    d.request.options.standardErrors = StandardErrors::Bootstrap;
    d.request.options.bootstrapSamples = 100;
    const AnalysisResult result = analyse(d.request);
    std::map<std::string, double> v;  // T1's variance rows
    for (const ResultRow& row : result.tables.variances)
        if (row.trait1 == "T1") v[row.component] = row.estimate;
    ASSERT_EQ(v.count("C(1,3)"), 1u);
    for (const ResultRow& row : result.tables.variances) {
        if (row.component == "C(1,3)" || row.component == "C(2,4)") {
            EXPECT_EQ(row.weight, 1.0);
        }
    }
    EXPECT_NEAR(v["Phenotypic"], v["V(A)"] + v["V(B)"] + v["V(C)"] + v["V(D)"] + 2.0 * (v["C(1,3)"] + v["C(2,4)"]) + v["V(e)"],
                1e-9 * std::fabs(v["Phenotypic"]));
    EXPECT_NEAR(v["G+GE"], v["Phenotypic"] - v["V(e)"], 1e-9 * std::fabs(v["Phenotypic"]));
    for (const ResultRow& row : result.tables.correlations) EXPECT_EQ(row.component.rfind("C(", 0), std::string::npos);
    EXPECT_EQ(result.tables.correlationComponents,
              (std::vector<std::string>{"V(A)", "V(B)", "V(C)", "V(D)", "V(e)", "G+GE", "Phenotypic"}));
}

// A total carries psd_adjusted only when a component it is made of was drawn
// from an adjusted matrix: not for a trailing block the tables leave out, and
// G+GE not for the residual.
TEST(BootstrapAnalysis, ATotalIsFlaggedPsdAdjustedOnlyByTheComponentsItIsMadeOf) {
    ResampledTableInput in;
    in.traits = {"Y"};
    in.labels = {"V(G)", "V(B)", "V(e)"};
    in.randomFactors = 2;
    in.heritability.phenotypic = {0.0, 1.0, 0.0, 1.0};  // V(B) trails: not reported
    in.whole = {2.0, 1.0, 3.0};
    in.draws.samples = 4;
    in.draws.traits = 1;
    in.draws.components = 3;
    in.draws.theta = {2.1, 1.0, 2.9, 1.8, 0.9, 3.2, 2.0, 1.2, 3.1, 2.3, 0.8, 2.8};
    auto flags = [&](const std::vector<char>& adjusted) {
        in.draws.adjusted = adjusted;
        std::map<std::string, std::string> out;
        for (const ResultRow& row : bootstrapTables(in).variances) out[row.component] = row.flag;
        return out;
    };
    auto flagged = [](const std::string& flag) { return flag.find("psd_adjusted") != std::string::npos; };
    std::map<std::string, std::string> f = flags({0, 1, 0});
    EXPECT_FALSE(flagged(f["Phenotypic"]) || flagged(f["G+GE"]) || flagged(f["V(G)"])) << f["Phenotypic"];
    f = flags({0, 0, 1});
    EXPECT_TRUE(flagged(f["Phenotypic"]) && flagged(f["V(e)"]));
    EXPECT_FALSE(flagged(f["G+GE"]));
    f = flags({1, 0, 0});
    EXPECT_TRUE(flagged(f["Phenotypic"]) && flagged(f["G+GE"]) && flagged(f["V(G)"]));
}

// A fixed-seed miniature of bench/calibration: on simulated half diallels
// with a known additive correlation, the mean bootstrap S.E. of the V(A)
// correlation is near the spread of its estimates over the data sets, where
// the row jackknife's is several times too small.
TEST(BootstrapAnalysis, OnSimulatedDiallelsTheBootstrapSeOfTheAdditiveCorrelationMatchesItsSpread) {
    std::vector<double> estimates;
    double bootstrapSe = 0.0, jackknifeSe = 0.0;
    const int dataSets = 24;
    for (int s = 0; s < dataSets; ++s) {
        Trial d = diallel(100 + static_cast<std::uint64_t>(s));
        d.request.options.standardErrors = StandardErrors::Bootstrap;
        d.request.options.bootstrapSamples = 200;
        d.request.options.seed = 9;
        const AnalysisResult boot = analyse(d.request);
        d.request.options.standardErrors = StandardErrors::Jackknife;
        const AnalysisResult jack = analyse(d.request);
        for (const ResultRow& row : boot.tables.correlations)
            if (row.component == "V(A)" && row.flag.find("undefined") == std::string::npos) {
                estimates.push_back(row.estimate);
                bootstrapSe += row.se;
            }
        for (const ResultRow& row : jack.tables.correlations)
            if (row.component == "V(A)" && row.flag.find("undefined") == std::string::npos) jackknifeSe += row.se;
    }
    ASSERT_GE(estimates.size(), 20u);
    double mean = 0.0, ss = 0.0;
    for (double x : estimates) mean += x / static_cast<double>(estimates.size());
    for (double x : estimates) ss += (x - mean) * (x - mean);
    const double spread = std::sqrt(ss / static_cast<double>(estimates.size() - 1));
    bootstrapSe /= static_cast<double>(estimates.size());
    jackknifeSe /= static_cast<double>(estimates.size());
    // 24 data sets estimate the spread within about 15%: a factor of 1.5
    // either way holds for a calibrated S.E. and fails the jackknife's.
    EXPECT_GT(bootstrapSe, spread / 1.5) << "spread " << spread;
    EXPECT_LT(bootstrapSe, spread * 1.5) << "spread " << spread;
    EXPECT_LT(jackknifeSe, spread / 2.0) << "spread " << spread;
}

}  // namespace
}  // namespace minque
