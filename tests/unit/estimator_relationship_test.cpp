// Random terms with a relationship matrix between their levels: the
// estimator in the space of the random levels against MINQUE(0/1) computed
// densely on V = I + sum Z K Z' in the test, the predictions against
// Henderson's equations in n x n form, and K = I against no relationship.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

#include "estimator/level_space.hpp"
#include "estimator/relationship_matrix.hpp"
#include "resampling/parametric_bootstrap.hpp"

namespace minque {
namespace {

using Dense = Eigen::MatrixXd;

// A trial of G genotypes (and one more in K without plots) x E environments
// x R replicates: random Geno (related by K), Geno*Env (K x I) and Env*Rep,
// the intercept fixed, two traits; some plots missing.
struct RelatedTrial {
    MinqueDesign design;
    std::vector<double> Y;  // observation-major, two traits
    Dense K;
};

std::shared_ptr<RelatedLevels> relatedLevels(const Dense& K) {
    auto related = std::make_shared<RelatedLevels>();
    related->order = static_cast<int>(K.rows());
    const Dense L = K.llt().matrixL();
    related->root.assign(L.data(), L.data() + L.size());
    for (Eigen::Index i = 0; i < K.rows(); ++i) related->diagonal.push_back(K(i, i));
    related->meanDiagonal = K.diagonal().mean();
    return related;
}

RelatedTrial relatedTrial(int G, int E, int R, const Dense& K, std::uint64_t seed) {
    RelatedTrial d;
    d.K = K;
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    const int q = G + 1;
    std::vector<std::vector<std::pair<int, double>>> geno(static_cast<std::size_t>(q)), ge(static_cast<std::size_t>(q * E)),
        er(static_cast<std::size_t>(E * R));
    std::vector<int> all;
    int obs = 0;
    for (int e = 0; e < E; ++e)
        for (int r = 0; r < R; ++r)
            for (int k = 0; k < G; ++k) {
                if ((k * 5 + e * 3 + r) % 7 == 0) continue;
                geno[static_cast<std::size_t>(k)].emplace_back(obs, 1.0);
                ge[static_cast<std::size_t>(k * E + e)].emplace_back(obs, 1.0);
                er[static_cast<std::size_t>(e * R + r)].emplace_back(obs, 1.0);
                all.push_back(obs);
                const double g = z(rng);
                d.Y.push_back(5.0 + e + g + z(rng));
                d.Y.push_back(1.0 - e + 0.5 * g + z(rng));
                ++obs;
            }
    d.design.observations = obs;
    d.design.factors = {geno, ge, er};
    d.design.fixedColumns = {all};
    const auto related = relatedLevels(K);
    std::vector<int> order(static_cast<std::size_t>(q));
    for (int k = 0; k < q; ++k) order[static_cast<std::size_t>(k)] = k;
    d.design.related.push_back({0, related, {order}});
    RelatedFactor interaction{1, related, {}};
    for (int e = 0; e < E; ++e) {
        interaction.blocks.emplace_back();
        for (int k = 0; k < q; ++k) interaction.blocks.back().push_back(k * E + e);
    }
    d.design.related.push_back(interaction);
    return d;
}

// A positive definite K with relatives: K = A A' / columns + 0.3 I.
Dense randomRelationship(int q, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    Dense A(q, 3);
    for (Eigen::Index i = 0; i < A.size(); ++i) A.data()[i] = z(rng);
    return A * A.transpose() / 3.0 + 0.3 * Dense::Identity(q, q);
}

// The n x n matrices of the design: each factor's Z T (T = L on its blocks).
std::vector<Dense> covarianceMatrices(const MinqueDesign& d) {
    const int n = d.observations;
    std::vector<Dense> V;
    for (std::size_t u = 0; u < d.factors.size(); ++u) {
        const auto& levels = d.factors[u];
        Dense Z = Dense::Zero(n, static_cast<Eigen::Index>(levels.size()));
        for (std::size_t h = 0; h < levels.size(); ++h)
            for (const auto& [obs, c] : levels[h]) Z(obs, static_cast<Eigen::Index>(h)) += c;
        Dense covariance = Dense::Identity(Z.cols(), Z.cols());
        for (const RelatedFactor& related : d.related)
            if (related.factor == static_cast<int>(u)) {
                const int q = related.related->order;
                const Dense L = Eigen::Map<const Dense>(related.related->root.data(), q, q);
                const Dense K = L * L.transpose();
                for (const auto& block : related.blocks)
                    for (int a = 0; a < q; ++a)
                        for (int b = 0; b < q; ++b) covariance(block[static_cast<std::size_t>(a)], block[static_cast<std::size_t>(b)]) = K(a, b);
            }
        V.push_back(Z * covariance * Z.transpose());
    }
    return V;
}

// MINQUE(0/1) densely: V = I + sum V_u, Q = V^-1 - V^-1 X (X'V^-1 X)^+ X'V^-1,
// S_uv = tr(Q V_u Q V_v), q_u = y_i'Q V_u Q y_j, theta = S^-1 q.
std::vector<double> denseMinque(const MinqueDesign& d, const std::vector<double>& Y, int t) {
    const int n = d.observations;
    std::vector<Dense> V = covarianceMatrices(d);
    V.push_back(Dense::Identity(n, n));
    Dense total = Dense::Identity(n, n);
    for (std::size_t u = 0; u + 1 < V.size(); ++u) total += V[u];
    const Dense Vinv = total.inverse();
    Dense X = Dense::Zero(n, static_cast<Eigen::Index>(d.fixedColumns.size()));
    for (std::size_t g = 0; g < d.fixedColumns.size(); ++g)
        for (int obs : d.fixedColumns[g]) X(obs, static_cast<Eigen::Index>(g)) = 1.0;
    const Dense F = X.transpose() * Vinv * X;
    const Dense Q = Vinv - Vinv * X * F.completeOrthogonalDecomposition().pseudoInverse() * X.transpose() * Vinv;
    const int K = static_cast<int>(V.size());
    Dense S(K, K);
    for (int u = 0; u < K; ++u)
        for (int v = 0; v < K; ++v) S(u, v) = (Q * V[static_cast<std::size_t>(u)] * Q * V[static_cast<std::size_t>(v)]).trace();
    const Dense Sinv = S.inverse();
    const int pairs = t * (t + 1) / 2;
    std::vector<double> theta(static_cast<std::size_t>(K * pairs));
    for (int i = 0; i < t; ++i)
        for (int j = i; j < t; ++j) {
            Eigen::VectorXd yi(n), yj(n), q(K);
            for (int obs = 0; obs < n; ++obs) {
                yi(obs) = Y[static_cast<std::size_t>(obs * t + i)];
                yj(obs) = Y[static_cast<std::size_t>(obs * t + j)];
            }
            for (int u = 0; u < K; ++u) q(u) = yi.dot(Q * V[static_cast<std::size_t>(u)] * Q * yj);
            const Eigen::VectorXd estimate = Sinv * q;
            for (int k = 0; k < K; ++k) theta[static_cast<std::size_t>(k * pairs + pairIndex(i, j, t))] = estimate(k);
        }
    return theta;
}

void expectClose(const std::vector<double>& mine, const std::vector<double>& reference, double relative) {
    ASSERT_EQ(mine.size(), reference.size());
    for (std::size_t k = 0; k < mine.size(); ++k)
        EXPECT_NEAR(mine[k], reference[k], relative * std::max(1.0, std::fabs(reference[k]))) << "entry " << k;
}

TEST(Relationship, TheEstimatesAreDenseMinqueWithZKZ) {
    const RelatedTrial d = relatedTrial(14, 3, 2, randomRelationship(15, 4), 8);
    const MinqueProjection projection(d.design);
    EXPECT_EQ(projection.eliminatedFactor(), 2);  // Env*Rep; the related factors are never eliminated
    expectClose(projection.estimate(d.Y, 2), denseMinque(d.design, d.Y, 2), 1e-9);
    // The same with every level in the dense factor.
    expectClose(MinqueProjection(d.design, false).estimate(d.Y, 2), denseMinque(d.design, d.Y, 2), 1e-9);
    // The related term alone: its levels' matrix is diagonal before the roots (one scaled product).
    RelatedTrial alone = d;
    alone.design.factors.resize(1);
    alone.design.related.resize(1);
    expectClose(MinqueProjection(alone.design).estimate(alone.Y, 2), denseMinque(alone.design, alone.Y, 2), 1e-9);
}

TEST(Relationship, TheIdentityChangesNothing) {
    RelatedTrial d = relatedTrial(14, 3, 2, Dense::Identity(15, 15), 8);
    const std::vector<double> related = MinqueProjection(d.design).estimate(d.Y, 2);
    d.design.related.clear();
    expectClose(related, MinqueProjection(d.design).estimate(d.Y, 2), 1e-12);
}

// Henderson's predictions in n x n form: u = G Z' P y, Var(u - u^) = G - G Z' P Z G,
// P = V^-1 - V^-1 X (X'V^-1 X)^- X'V^-1 with V = sigma2_e I + sum sigma2_u Z K Z'.
// Per factor its predictions and their error covariance matrix.
std::vector<std::pair<Eigen::VectorXd, Dense>> hendersonPredictions(const MinqueDesign& design, const Dense& K,
                                                                   const std::vector<double>& components,
                                                                   const std::vector<double>& y) {
    const int n = design.observations;
    std::vector<Dense> Vu = covarianceMatrices(design);
    Dense V = components.back() * Dense::Identity(n, n);
    for (std::size_t u = 0; u < Vu.size(); ++u) V += components[u] * Vu[u];
    const Dense Vinv = V.inverse();
    Dense X = Dense::Ones(n, 1);
    const Dense P = Vinv - Vinv * X * (X.transpose() * Vinv * X).inverse() * X.transpose() * Vinv;
    const Eigen::Map<const Eigen::VectorXd> yv(y.data(), n);
    std::vector<std::pair<Eigen::VectorXd, Dense>> out;
    for (std::size_t u = 0; u < design.factors.size(); ++u) {
        const auto& levels = design.factors[u];
        const Eigen::Index m = static_cast<Eigen::Index>(levels.size());
        Dense Z = Dense::Zero(n, m), G = components[u] * Dense::Identity(m, m);
        for (std::size_t h = 0; h < levels.size(); ++h)
            for (const auto& [obs, c] : levels[h]) Z(obs, static_cast<Eigen::Index>(h)) += c;
        for (const RelatedFactor& related : design.related)
            if (related.factor == static_cast<int>(u))
                for (const auto& block : related.blocks)
                    for (std::size_t a = 0; a < block.size(); ++a)
                        for (std::size_t b = 0; b < block.size(); ++b)
                            G(block[a], block[b]) = components[u] * K(static_cast<Eigen::Index>(a), static_cast<Eigen::Index>(b));
        out.emplace_back(G * Z.transpose() * P * yv, G - G * Z.transpose() * P * Z * G);
    }
    return out;
}

TEST(Relationship, ThePredictionsAreHendersonsWithKAndReachLevelsWithoutRecords) {
    const RelatedTrial d = relatedTrial(14, 3, 2, randomRelationship(15, 6), 3);
    const std::vector<double> components{0.8, 0.3, 0.2, 1.1};
    const int n = d.design.observations;
    std::vector<double> y(static_cast<std::size_t>(n));
    for (int obs = 0; obs < n; ++obs) y[static_cast<std::size_t>(obs)] = d.Y[static_cast<std::size_t>(2 * obs)];
    const LevelEffects mine = predictLevelEffects(d.design, y.data(), components);
    ASSERT_TRUE(mine.predicted);
    const auto reference = hendersonPredictions(d.design, d.K, components, y);
    std::size_t first = 0;
    for (std::size_t u = 0; u < d.design.factors.size(); ++u) {
        const auto& [u_hat, pev] = reference[u];
        for (Eigen::Index h = 0; h < u_hat.size(); ++h) {
            EXPECT_NEAR(mine.values[first + static_cast<std::size_t>(h)], u_hat(h), 1e-9 * (1.0 + std::fabs(u_hat(h)))) << u << " " << h;
            EXPECT_NEAR(mine.predictionErrorVariances[first + static_cast<std::size_t>(h)], pev(h, h), 1e-9) << u << " " << h;
        }
        first += static_cast<std::size_t>(u_hat.size());
    }
    // The genotype without plots is predicted from its relatives.
    EXPECT_NE(mine.values[14], 0.0);
}

// The mean prediction error variance of the differences between two levels
// of an entry factor, dense or eliminated, against the mean over its pairs of
// P_ii + P_jj - 2 P_ij; NaN for a factor left out of the equations.
TEST(Relationship, TheEntrysDifferenceVarianceIsTheMeanOverItsPairs) {
    RelatedTrial d = relatedTrial(14, 3, 2, Dense::Identity(15, 15), 3);
    d.design.related.clear();
    std::vector<double> components{0.8, 0.3, 0.2, 1.1};
    const int n = d.design.observations;
    std::vector<double> y(static_cast<std::size_t>(n), 0.0);
    const auto reference = hendersonPredictions(d.design, d.K, components, y);
    for (int entry = 0; entry < 3; ++entry) {
        const Dense& P = reference[static_cast<std::size_t>(entry)].second;
        double sum = 0.0;
        int pairs = 0;
        for (Eigen::Index i = 0; i < P.rows(); ++i)
            for (Eigen::Index j = i + 1; j < P.rows(); ++j, ++pairs) sum += P(i, i) + P(j, j) - 2.0 * P(i, j);
        const LevelEffects mine = predictLevelEffects(d.design, y.data(), components, {}, entry);
        EXPECT_NEAR(mine.entryDifferenceVariance, sum / pairs, 1e-10) << "entry " << entry;
    }
    EXPECT_GE(MinqueProjection(d.design).eliminatedFactor(), 0);  // so one of the entries is the eliminated factor
    // Other terms related by K (Geno, Geno*Env): the entry Env*Rep as the n x n form gives it.
    const RelatedTrial related = relatedTrial(14, 3, 2, randomRelationship(15, 6), 3);
    const Dense P = hendersonPredictions(related.design, related.K, components, y)[2].second;
    double sum = 0.0;
    int pairs = 0;
    for (Eigen::Index i = 0; i < P.rows(); ++i)
        for (Eigen::Index j = i + 1; j < P.rows(); ++j, ++pairs) sum += P(i, i) + P(j, j) - 2.0 * P(i, j);
    EXPECT_NEAR(predictLevelEffects(related.design, y.data(), components, {}, 2).entryDifferenceVariance, sum / pairs, 1e-10);
    components[0] = -0.1;
    EXPECT_TRUE(std::isnan(predictLevelEffects(d.design, y.data(), components, {}, 0).entryDifferenceVariance));
}

// The bootstrap draws related effects from K: the same samples on any
// thread count, and with K = I exactly the samples of independent levels.
TEST(Relationship, TheBootstrapDrawsFromKAlike) {
    RelatedTrial d = relatedTrial(14, 3, 2, Dense::Identity(15, 15), 8);
    const MinqueProjection related(d.design);
    const std::vector<double> whole = related.estimate(d.Y, 2);
    const BootstrapDraws a = parametricBootstrap(related, whole, 2, 30, 11);
    d.design.related.clear();
    const MinqueProjection independent(d.design);
    const BootstrapDraws b = parametricBootstrap(independent, independent.estimate(d.Y, 2), 2, 30, 11);
    expectClose(a.theta, b.theta, 1e-10);
}

// A fixed-seed miniature of the genomic calibration: 30 families of 4 full
// sibs (each sib's calls drawn from its parents' at 300 markers), two
// records each, Geno related by their genomic relationship, genetic and
// residual correlations 0.5 and 0.2. Over 60 data sets the bootstrap's 95%
// interval of the genetic correlation covers the truth about as often as it
// says, and its mean S.E. is near the spread of the estimates.
TEST(Relationship, TheBootstrapIsCalibratedWithAGenomicRelationship) {
    std::mt19937_64 rng(17);
    std::uniform_int_distribution<int> coin(0, 1);
    const int families = 30, sibs = 4, M = 300, N = families * sibs, R = 2;
    MarkerCalls markers;
    for (int m = 0; m < M; ++m) markers.markers.push_back("m" + std::to_string(m));
    for (int f = 0; f < families; ++f) {
        std::vector<int> parents(4 * static_cast<std::size_t>(M));  // two parents' two haplotypes
        for (int& allele : parents) allele = coin(rng) == 0 && coin(rng) == 0 ? 1 : 0;
        for (int k = 0; k < sibs; ++k) {
            markers.ids.push_back("F" + std::to_string(f) + "S" + std::to_string(k));
            for (int m = 0; m < M; ++m)
                markers.calls.push_back(static_cast<signed char>(parents[static_cast<std::size_t>(4 * m + coin(rng))] +
                                                                 parents[static_cast<std::size_t>(4 * m + 2 + coin(rng))]));
        }
    }
    const GenomicRelationship genomic = genomicRelationship(markers);
    MinqueDesign design;
    design.observations = N * R;
    design.factors.assign(1, std::vector<std::vector<std::pair<int, double>>>(static_cast<std::size_t>(N)));
    std::vector<int> all, order;
    for (int obs = 0; obs < N * R; ++obs) {
        design.factors[0][static_cast<std::size_t>(obs % N)].emplace_back(obs, 1.0);
        all.push_back(obs);
    }
    for (int n = 0; n < N; ++n) order.push_back(n);
    design.fixedColumns = {all};
    // The root as the analysis factors it.
    Dense K = Eigen::Map<const Dense>(genomic.matrix.values.data(), N, N);
    design.related.push_back({0, relatedLevels(K), {order}});
    const MinqueProjection projection(design);
    std::normal_distribution<double> z(0.0, 1.0);
    const double rg = 0.5, re = 0.2;
    std::vector<double> estimates;
    double meanSe = 0.0;
    int covered = 0;
    for (int s = 0; s < 60; ++s) {
        std::vector<double> g(static_cast<std::size_t>(2 * N)), Y(static_cast<std::size_t>(2 * N * R));
        for (int n = 0; n < N; ++n) {
            const double a = z(rng), b = z(rng);
            g[static_cast<std::size_t>(2 * n)] = a;
            g[static_cast<std::size_t>(2 * n + 1)] = rg * a + std::sqrt(1 - rg * rg) * b;
        }
        applyRelationshipRoot(design.related[0], g.data(), 2);
        for (int obs = 0; obs < N * R; ++obs) {
            const double a = z(rng), b = z(rng);
            Y[static_cast<std::size_t>(2 * obs)] = g[static_cast<std::size_t>(2 * (obs % N))] + a;
            Y[static_cast<std::size_t>(2 * obs + 1)] = g[static_cast<std::size_t>(2 * (obs % N) + 1)] + re * a + std::sqrt(1 - re * re) * b;
        }
        const std::vector<double> whole = projection.estimate(Y, 2);
        const auto r = [](const double* theta) { return theta[1] / std::sqrt(theta[0] * theta[2]); };
        estimates.push_back(r(whole.data()));
        const BootstrapDraws draws = parametricBootstrap(projection, whole, 2, 200, 100 + static_cast<std::uint64_t>(s));
        std::vector<double> rs;
        for (int b = 0; b < 200; ++b) {
            const double* theta = draws.theta.data() + static_cast<std::size_t>(b) * 2 * 3;
            if (theta[0] > 0 && theta[2] > 0) rs.push_back(std::clamp(r(theta), -1.0, 1.0));
        }
        ASSERT_GT(rs.size(), 180u);
        double mean = 0.0, ss = 0.0;
        for (double x : rs) mean += x / static_cast<double>(rs.size());
        for (double x : rs) ss += (x - mean) * (x - mean);
        meanSe += std::sqrt(ss / static_cast<double>(rs.size() - 1)) / 60.0;
        std::sort(rs.begin(), rs.end());
        covered += rs[static_cast<std::size_t>(0.025 * static_cast<double>(rs.size()))] <= rg &&
                   rg <= rs[static_cast<std::size_t>(0.975 * static_cast<double>(rs.size()))];
    }
    double mean = 0.0, ss = 0.0;
    for (double x : estimates) mean += x / 60.0;
    for (double x : estimates) ss += (x - mean) * (x - mean);
    const double spread = std::sqrt(ss / 59.0);
    EXPECT_NEAR(meanSe / spread, 1.0, 0.25) << "mean S.E. " << meanSe << ", spread " << spread;
    EXPECT_GE(covered, 52) << "of 60";  // 87%: a 95% interval misses 3 of 60 on average
}

}  // namespace
}  // namespace minque
