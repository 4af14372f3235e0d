// The estimator in the space of the random levels: its whole-data components
// against the programs' engine on every model shape the front door builds,
// its closed-form elimination against the plain dense factor, and the same
// bits on any thread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "estimator/level_space.hpp"
#include "linalg/worker_pool.hpp"
#include "minquecov/analysis.hpp"

namespace minque {
namespace {

// Every component of `mine` within `tolerance` of the largest of its record
// in `theirs` (records of K + 1 floats, float 0 without meaning).
void expectSameRecords(const std::vector<float>& mine, const std::vector<float>& theirs, int records, int K,
                       double tolerance, const std::string& what) {
    ASSERT_GE(mine.size(), static_cast<std::size_t>(records) * static_cast<std::size_t>(K + 1)) << what;
    ASSERT_GE(theirs.size(), static_cast<std::size_t>(records) * static_cast<std::size_t>(K + 1)) << what;
    for (int r = 0; r < records; ++r) {
        const std::size_t at = static_cast<std::size_t>(r) * static_cast<std::size_t>(K + 1);
        double largest = 0.0;
        for (int k = 1; k <= K; ++k) largest = std::max(largest, std::fabs(static_cast<double>(theirs[at + static_cast<std::size_t>(k)])));
        for (int k = 1; k <= K; ++k)
            EXPECT_NEAR(mine[at + static_cast<std::size_t>(k)], theirs[at + static_cast<std::size_t>(k)], tolerance * largest)
                << what << ", record " << r << ", component " << k;
    }
}

// The bundled diallel under each model the front door builds: the bootstrap
// run's whole-data components (the estimator) are the jackknife run's (the
// engine's pass on all data) to single precision.
TEST(LevelSpace, TheWholeDataComponentsAreTheEnginesOnEveryModelShape) {
    const TrialData example = trialDataFromFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT");
    struct Shape {
        const char* name;
        ModelSpec model;
        std::vector<std::string> traits;  // empty: the example's four
    };
    auto additive = [](bool environments, bool blocks) {
        ModelSpec m;
        m.female = "Fem";
        m.male = "Male";
        if (environments) m.env = "Env";
        if (blocks) m.block = "Blk";
        return m;
    };
    auto general = [](std::vector<std::string> random, std::vector<std::string> fixed, int trailing, bool covariances) {
        ModelSpec m;
        m.random = std::move(random);
        m.fixed = std::move(fixed);
        m.trailing = trailing;
        m.covariances = covariances;
        return m;
    };
    const Shape shapes[] = {
        // Selfs list an observation twice in a parent's level (female = male).
        {"additive-dominance in environments, with blocks", additive(true, true), {}},
        {"additive-dominance in one environment", additive(false, false), {}},
        {"general, Env fixed", general({"Fem", "Male", "Env*Fem"}, {"1", "Env"}, 0, false), {}},
        {"general with a trailing factor", general({"Fem", "Male", "Blk"}, {"1"}, 1, false), {}},
        {"general with covariance components", general({"Fem", "Env", "Male", "Blk"}, {"1"}, 0, true), {"Yield", "Height"}},
        {"one trait", additive(true, true), {"Yield"}},
    };
    for (const Shape& shape : shapes) {
        AnalysisRequest request;
        request.data = example;
        request.model = shape.model;
        request.options.traits = shape.traits.empty() ? std::vector<std::string>{"Yield", "Height", "GrainWt", "Heading"} : shape.traits;
        request.options.covarianceRecords = true;
        request.options.standardErrors = StandardErrors::Jackknife;
        request.options.group = 4;
        const AnalysisResult engine = analyse(request);
        request.options.standardErrors = StandardErrors::Bootstrap;
        request.options.bootstrapSamples = 20;
        const AnalysisResult mine = analyse(request);
        const int K = engine.varianceRecords.components, t = engine.varianceRecords.traits;
        ASSERT_EQ(mine.varianceRecords.components, K) << shape.name;
        // The engine's records of all data come first.
        expectSameRecords(mine.varianceRecords.values, engine.varianceRecords.values, t, K, 1e-5, shape.name);
        expectSameRecords(mine.covarianceRecords.values, engine.covarianceRecords.values, t * (t - 1) / 2, K, 1e-5,
                          std::string(shape.name) + ", pairs");
    }
}

// A multi-environment trial: G genotypes x E environments x R replicates,
// random Geno, Geno*Env (whose levels never share a plot: eliminated in
// closed form) and Env*Rep, Env fixed, two traits; a few plots listed twice
// in their Env*Rep level, some plots missing and one genotype without plots,
// so that nothing is balanced.
struct Met {
    MinqueDesign design;
    std::vector<double> Y;
};

Met met(int G, int E, int R, std::uint64_t seed) {
    Met d;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    std::vector<std::vector<std::pair<int, double>>> geno(static_cast<std::size_t>(G)), ge(static_cast<std::size_t>(G * E)),
        er(static_cast<std::size_t>(E * R));
    std::vector<std::vector<int>> env(static_cast<std::size_t>(E));
    std::vector<double> g(static_cast<std::size_t>(G));
    for (double& x : g) x = z(rng);
    int obs = 0;
    for (int e = 0; e < E; ++e)
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < G; ++k) {
                if ((k * 7 + e * 3 + r) % 11 == 0) continue;  // a missing plot
                geno[static_cast<std::size_t>(k)].emplace_back(obs, 1.0);
                ge[static_cast<std::size_t>(k * E + e)].emplace_back(obs, 1.0);
                er[static_cast<std::size_t>(e * R + r)].emplace_back(obs, 1.0);
                if (k % 13 == 0) er[static_cast<std::size_t>(e * R + r)].emplace_back(obs, 0.5);
                env[static_cast<std::size_t>(e)].push_back(obs);
                const double w = 0.5 * z(rng);
                d.Y.push_back(10.0 + e + g[static_cast<std::size_t>(k)] + w + z(rng));
                d.Y.push_back(3.0 - e + 0.6 * g[static_cast<std::size_t>(k)] - w + 0.5 * z(rng));
                ++obs;
            }
    geno.emplace_back();  // a genotype without plots: its level has no observation
    d.design.observations = obs;
    d.design.factors = {geno, ge, er};
    std::vector<int> all(static_cast<std::size_t>(obs));
    for (int k = 0; k < obs; ++k) all[static_cast<std::size_t>(k)] = k;
    d.design.fixedColumns = {all};
    d.design.fixedColumns.insert(d.design.fixedColumns.end(), env.begin(), env.end());  // the intercept and Env: dependent
    return d;
}

TEST(LevelSpace, EliminatingAFactorsLevelsInClosedFormChangesNoEstimate) {
    const Met d = met(40, 3, 2, 5);
    const MinqueProjection eliminated(d.design), dense(d.design, false);
    EXPECT_EQ(eliminated.eliminatedFactor(), 1);  // Geno*Env, the largest factor whose levels share no plot
    EXPECT_EQ(eliminated.denseLevels(), 41 + 6);
    EXPECT_EQ(dense.eliminatedFactor(), -1);
    EXPECT_EQ(eliminated.fixedRank(), 3);
    const std::vector<double>& a = eliminated.minqueMatrix();
    const std::vector<double>& b = dense.minqueMatrix();
    double largest = 0.0;
    for (double x : b) largest = std::max(largest, std::fabs(x));
    for (std::size_t k = 0; k < a.size(); ++k) EXPECT_NEAR(a[k], b[k], 1e-11 * largest) << "entry " << k;
    const std::vector<double> x = eliminated.estimate(d.Y, 2), y = dense.estimate(d.Y, 2);
    largest = 0.0;
    for (double v : y) largest = std::max(largest, std::fabs(v));
    for (std::size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(x[k], y[k], 1e-10 * largest) << "estimate " << k;
    // Q y and U'Q y in the design's level order either way.
    const int n = d.design.observations, m = eliminated.columns();
    std::vector<double> y1(static_cast<std::size_t>(n)), qa(y1.size()), qb(y1.size()), ua(static_cast<std::size_t>(m)), ub(ua.size());
    for (int k = 0; k < n; ++k) y1[static_cast<std::size_t>(k)] = d.Y[static_cast<std::size_t>(2 * k)];
    eliminated.project(y1.data(), qa.data(), ua.data());
    dense.project(y1.data(), qb.data(), ub.data());
    for (int k = 0; k < n; ++k) EXPECT_NEAR(qa[static_cast<std::size_t>(k)], qb[static_cast<std::size_t>(k)], 1e-10);
    for (int k = 0; k < m; ++k) EXPECT_NEAR(ua[static_cast<std::size_t>(k)], ub[static_cast<std::size_t>(k)], 1e-10);
}

// Large enough for several chunks of the eliminated and the dense levels:
// the same S and estimates, bit for bit, on one thread and two.
TEST(LevelSpace, TheSameBitsOnAnyThreadCount) {
    const Met d = met(300, 3, 2, 9);
    setWorkerThreads(1);
    const MinqueProjection one(d.design);
    const std::vector<double> x = one.estimate(d.Y, 2);
    setWorkerThreads(2);
    // A set-up under a checkpoint goes in rounds, asking it between them.
    int asked = 0;
    const MinqueProjection two(d.design, true, [&asked] { ++asked; });
    setWorkerThreads(0);
    ASSERT_GT(one.denseLevels(), 256);
    EXPECT_GT(asked, 1);
    EXPECT_EQ(one.minqueMatrix(), two.minqueMatrix());
    EXPECT_EQ(one.ginverse(), two.ginverse());
    EXPECT_EQ(x, two.estimate(d.Y, 2));
    // Many data sets at once give each one's estimates.
    std::vector<double> columns(d.Y.size() * 2), many(x.size() * 2);
    const std::size_t n = static_cast<std::size_t>(d.design.observations);
    for (std::size_t obs = 0; obs < n; ++obs)
        for (std::size_t i = 0; i < 2; ++i) columns[obs * 4 + i] = columns[obs * 4 + 2 + i] = d.Y[obs * 2 + i];
    one.estimateMany(columns.data(), 2, 2, many.data());
    for (std::size_t k = 0; k < x.size(); ++k) {
        EXPECT_NEAR(many[k], x[k], 1e-12 * (1.0 + std::fabs(x[k])));
        EXPECT_EQ(many[k], many[x.size() + k]);
    }
}

// A checkpoint that throws stops the set-up with its error.
TEST(LevelSpace, ACheckpointStopsTheSetUp) {
    const Met d = met(300, 3, 2, 9);
    int asked = 0;
    EXPECT_THROW(MinqueProjection(d.design, true,
                                  [&asked] {
                                      if (++asked == 2) throw std::runtime_error("stop");
                                  }),
                 std::runtime_error);
    EXPECT_EQ(asked, 2);
}

// The memory a design needs is known before any work: the dense levels'
// two matrices dominate.
TEST(LevelSpace, TheSizeOfADesignIsKnownBeforeAnyWork) {
    const Met d = met(300, 3, 2, 9);
    const LevelSpaceSize size = levelSpaceSize(d.design);
    EXPECT_EQ(size.eliminatedFactor, 1);
    EXPECT_EQ(size.largestDenseFactor, 0);
    EXPECT_EQ(size.denseLevels, 307);
    EXPECT_GT(size.bytes, 2.0 * 8.0 * 307 * 307);
    EXPECT_LT(size.bytes, 1e8);
}

}  // namespace
}  // namespace minque
