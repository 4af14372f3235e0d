// MINQUE(0/1) in the space of the random levels: the estimator of
// `minque analyse`'s default, the library, R and the parametric bootstrap.
//
// With every prior ratio 1, V = I + U U' (U the n x m incidence of the random
// levels), the projection Q = V^-1 - V^-1 X (X'V^-1 X)^- X'V^-1, the MINQUE
// matrix S (S_uv = tr(Q V_u Q V_v), V_u = U_u U_u', V_K = I) and its
// generalized inverse depend on the design only. The estimates of a data set
// Y are theta_k(i, j) = sum_v S^-_kv q_v(i, j), q_u(i, j) = y_i' Q V_u Q y_j.
// Everything comes from one factor of C = I + U'U, never from V:
//   V^-1 = I - U C^-1 U',  U'V^-1 U = I - C^-1,  V^-1 U = U C^-1,
// and M = U'QU = I - C^-1 - G F^- G' with G = C^-1 U'X, F = X'V^-1 X =
// X'X - (U'X)' G. Then
//   S_uv   = sum over levels l of u, l' of v of M[l, l']^2,
//   S_ue   = tr(M_uu) - sum over factors v of S_uv      (U'QQU = M - M^2, as QVQ = Q),
//   S_ee   = tr(Q) - sum over factors u of S_ue,
//   tr(Q)  = n - m + tr(C^-1) - rank(F) + tr(G F^- G').
//
// The factor. The levels of one factor whose levels never share an
// observation (its block of C is diagonal) are eliminated in closed form:
// the factor with the most such levels that no covariance component joins
// (in a multi-environment trial, Geno*Env). What remains is the Schur
// complement over the other levels (the genotypes, the blocks), dense, and
// factored by Eigen's blocked Cholesky; its inverse is formed once, since
// every column of C^-1 enters S. Nothing of order n^2 or of the eliminated
// levels squared is held: memory is two matrices of the remaining levels
// squared plus O(n p + m p) for the fixed columns.
//
// Arithmetic: double precision, outside the three programs' single-precision
// contract. Eigen's products and factorisations (SSE2 kernels, as the build
// targets any x86-64, with the cache sizes that choose their blocking fixed
// here), so the same data give the same bits on every machine; work is split
// over the worker threads in fixed chunks of independent outputs, and shares
// are added in chunk order, so the same bits on any thread count. (X'V^-1 X)^-
// and S^- are pseudo-inverses from Eigen's symmetric eigen-decomposition,
// eigenvalues at or below 1e-10 of the largest in size taken as 0 (Q does not
// depend on the choice of g-inverse).
#pragma once

#include <cstdint>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/model_design.hpp"

namespace minque {

// A design: n observations; random factors, each a list of levels (columns
// of U), each level a list of (observation 0..n-1, coefficient); an
// observation listed twice in a level counts with the sum of its
// coefficients. The covariance components between two factors (a, b),
// 0-based, of equal levels, level h of a paired with level h of b (V = U_a
// U_b' + U_b U_a'); fixed columns as lists of the observations where X is 1.
//
// A factor with a relationship matrix K = L L' between its levels: the
// levels, in blocks of K's order (one block for a term, one per level of
// the other column for its interaction, K x I), enter V as Z K Z', and the
// estimator's columns are U = Z T, T = L on each block. Such a factor is
// never eliminated in closed form, and no covariance component joins it.
struct RelatedFactor {
    int factor = -1;
    std::shared_ptr<const RelatedLevels> related;
    std::vector<std::vector<int>> blocks;  // per block, K's order of the factor's levels (0-based)
};
struct MinqueDesign {
    int observations = 0;
    std::vector<std::vector<std::vector<std::pair<int, double>>>> factors;
    std::vector<std::pair<int, int>> covariancePairs;
    std::vector<std::vector<int>> fixedColumns;
    std::vector<RelatedFactor> related;
};

// The index of pair (i, j), i <= j, among t traits: i t - i (i - 1) / 2 + (j - i).
inline int pairIndex(int i, int j, int t) { return i * t - i * (i - 1) / 2 + (j - i); }

struct LevelFactor;

// The bytes the set-up of a design holds at its peak, and the levels left
// after the closed-form elimination (the order of the dense factor); for a
// refusal before any work.
struct LevelSpaceSize {
    std::int64_t denseLevels = 0;   // order of the Schur complement
    int eliminatedFactor = -1;      // 0-based, -1 when none
    int largestDenseFactor = -1;    // the factor with the most levels in the dense part, -1 when none
    double bytes = 0.0;
};
LevelSpaceSize levelSpaceSize(const MinqueDesign& design);

// The estimation of a design, set up once: C's factor, S and S^-.
// Components k = 0..r - 1 are the random factors, r..r + c - 1 the
// covariance components between factors, K - 1 the residual.
class MinqueProjection {
public:
    // eliminate false: every level in the dense factor (the same numbers to
    // rounding; for the tests of the closed-form elimination). `checkpoint`,
    // when given, is asked on this thread every few chunks of the set-up's
    // work (a few hundred milliseconds at the largest designs) and may throw
    // to stop it.
    explicit MinqueProjection(const MinqueDesign& design, bool eliminate = true,
                              const std::function<void()>& checkpoint = {});
    ~MinqueProjection();
    MinqueProjection(const MinqueProjection&) = delete;
    MinqueProjection& operator=(const MinqueProjection&) = delete;

    int components() const { return components_; }
    int observations() const { return n_; }
    int columns() const { return m_; }
    const MinqueDesign& design() const { return design_; }
    // S and S^- (components x components, row-major).
    const std::vector<double>& minqueMatrix() const { return S_; }
    const std::vector<double>& ginverse() const { return sInverse_; }
    // The factor eliminated in closed form (0-based, -1 when none) and the
    // order of the dense factor.
    int eliminatedFactor() const { return alpha_; }
    int denseLevels() const { return s_; }
    // The rank of X (of X'V^-1 X): n less it is what the random terms and
    // the residual are estimated from.
    int fixedRank() const { return fixedRank_; }

    // The sets of components the design cannot separate: S is singular, and
    // every null vector of S (eigenvalue at or below 1e-9 of the largest)
    // joins the components with a coordinate of at least 0.1 of its largest;
    // sets that share a component are one. A set of one is a component the
    // design cannot estimate at all (the fixed terms hold its levels). Empty
    // when S has full rank.
    std::vector<std::vector<int>> confoundedComponents() const;

    // theta of traits Y (observation-major: Y[obs * t + i]) for every pair
    // i <= j: theta[k * pairs + pairIndex(i, j)], pairs = t (t + 1) / 2.
    std::vector<double> estimate(const std::vector<double>& Y, int t) const;

    // theta of `samples` data sets of t traits at once, Y observation-major:
    // row obs holds samples t values, data set b's trait i at b t + i; theta
    // of data set b at theta + b K pairs, laid out as estimate() gives it.
    // The result of a data set does not depend on the others given with it,
    // as long as the count given at once is the same.
    void estimateMany(const double* Y, int t, int samples, double* theta) const;

    // Q y and U'Q y of one vector y (n), into qy (n) and uqy (m, in the
    // order of the design's levels).
    void project(const double* y, double* qy, double* uqy) const;

private:
    void buildMinqueMatrix();
    int levels(int factor) const { return static_cast<int>(design_.factors[static_cast<std::size_t>(factor)].size()); }

    MinqueDesign design_;
    int n_ = 0, m_ = 0, p_ = 0, components_ = 0, alpha_ = -1, s_ = 0, mAlpha_ = 0, fixedRank_ = 0;
    std::vector<int> factorOfColumn_, firstColumn_;
    std::vector<int> denseIndex_;        // per level: its index among the dense levels, -1 for an eliminated one
    std::vector<int> factorOfDense_;     // per dense level: its factor
    std::unique_ptr<LevelFactor> f_;
    std::vector<double> S_, sInverse_;
};

// The symmetric square root V diag(sqrt(max(lambda, 0))) V' of a symmetric
// matrix (n x n, row-major) into root: unique, so what is drawn with it does
// not depend on the order or signs of the eigenvectors. Returns the smallest
// eigenvalue: below zero, the negative ones were set to 0 (the matrix was not
// positive semi-definite).
double positiveSemiDefiniteRoot(const std::vector<double>& a, int n, std::vector<double>& root);

// effects (the factor's levels x `columns`, level-major) <- T effects: L
// times the values of every block of K's order, column by column.
void applyRelationshipRoot(const RelatedFactor& related, double* effects, int columns);

// The predictions of the random effects of one trait (empirical BLUP) at its
// components, from Henderson's mixed model equations
//
//   [X'X  X'U    ] [b]   [X'y]
//   [U'X  U'U + D] [u] = [U'y],   D diagonal: sigma2_e / sigma2_u for the levels of factor u,
//
// with the fixed columns absorbed (a g-inverse where they are dependent: the
// predictions and their errors do not depend on it) and U'U + D factored as
// the MINQUE matrix's I + U'U is. A factor with a relationship matrix is
// solved in U = Z L and its effects are L times the solution; their
// prediction error variances the diagonal of L P L', P the error
// covariance of the solution on the block. A factor whose component is at or below
// zero is left out of the equations: its levels predict 0 with error
// variance 0. A residual at or below zero (or within 1e-10 of the trait's
// variance, rounding) gives no predictions.
//
// With an entry factor (the genotypes of a trial), also the mean prediction
// error variance of the differences between two of its g levels,
//   v = 2 (g tr P - 1'P 1) / (g (g - 1)),  P = Var(u - u^) over its levels,
// the mean over the g (g - 1) / 2 pairs of P_ii + P_jj - 2 P_ij: 1'P 1 from
// one more solve of the equations. NaN where the entry is left out of the
// equations (its component at or below zero) or nothing is predicted.
struct LevelEffects {
    bool predicted = false;
    std::vector<double> values;                    // m, in the design's level order
    std::vector<double> predictionErrorVariances;  // Var(u - u^) = sigma2_e [(U'U + D)^-1 + G F^- G']_jj
    double entryDifferenceVariance = std::nan("");
    // The fitted fixed part X b of every observation (b the GLS estimate of
    // the fixed effects; X b is the same for any g-inverse); empty where
    // nothing is predicted.
    std::vector<double> fixedPart;
    // And the conditional fitted values X b + U u^.
    std::vector<double> fitted;
};
// y: the trait's n values; components: the r factors' and then the residual's;
// checkpoint: as the projection's set-up asks it; entry: the entry factor, or
// -1 for none (a factor with a relationship matrix is none).
LevelEffects predictLevelEffects(const MinqueDesign& design, const double* y, const std::vector<double>& components,
                                 const std::function<void()>& checkpoint = {}, int entry = -1);

}  // namespace minque
