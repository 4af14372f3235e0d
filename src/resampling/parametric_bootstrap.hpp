// The parametric bootstrap of MINQUE(0/1) components, and the estimation it
// repeats.
//
// With every prior ratio 1 the projection Q = V^-1 - V^-1 X (X'V^-1 X)^- X'V^-1,
// V = I + U U', the MINQUE matrix S (S_uv = tr(Q V_u Q V_v), V_u = U_u U_u',
// V_K = I) and its generalized inverse depend on the design only. The
// estimates of any data set Y (n x t traits) are theta_k(i, j) = sum_v
// S^-_kv q_v(i, j) with q_u(i, j) = y_i' Q V_u Q y_j: quadratic forms in
// Q y_i. A bootstrap data set costs those forms and nothing else.
//
// Arithmetic: double precision throughout, outside the three programs'
// single-precision contract. Q is applied by the Woodbury identity,
// V^-1 y = y - U (I + U'U)^-1 U'y, with a Cholesky factor of I + U'U, so
// nothing of order n^2 is formed; (X'V^-1 X)^- and S^- are pseudo-inverses
// from a symmetric eigen-decomposition, eigenvalues at or below 1e-10 of the
// largest taken as 0 (Q does not depend on the choice of g-inverse).
//
// Simulation: for every random factor u the t x t matrix G_u of its whole-data
// variance and covariance components over the traits, and R of the residual,
// are made positive semi-definite by setting their negative eigenvalues to 0
// (the factor is then reported as adjusted). Every level's effects are drawn
// from N(0, G_u), every observation's residuals from N(0, R), and y* = U e +
// r (the fixed effects are left out: Q removes them). Factors joined by
// covariance components are drawn jointly: level h of every factor of such
// a group from one normal over (factors x traits), whose matrix holds G_u
// on its diagonal blocks and the covariance component C_ab between paired
// factors (0 between factors not paired); it is made positive
// semi-definite as a whole, and then every component of the group is
// reported as adjusted. Normal deviates come
// from the SplitMix64 generator by the Box-Muller transformation (with the C
// library's log, sqrt, cos and sin); sample b has its own generator, seeded
// from the seed and b, so the draws do not depend on the thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace minque {

// A design: n observations; random factors, each a list of levels (columns
// of U), each level a list of (observation 0..n-1, coefficient); the
// covariance components between two factors (a, b), 0-based, of equal
// levels, level h of a paired with level h of b (V = U_a U_b' + U_b U_a');
// fixed columns as lists of the observations where X is 1.
struct MinqueDesign {
    int observations = 0;
    std::vector<std::vector<std::vector<std::pair<int, double>>>> factors;
    std::vector<std::pair<int, int>> covariancePairs;
    std::vector<std::vector<int>> fixedColumns;
};

// The estimation of a design, set up once: Q by its factors, S and S^-.
// Components k = 0..r - 1 are the random factors, r..r + c - 1 the
// covariance components between factors, K - 1 the residual.
class MinqueProjection {
public:
    explicit MinqueProjection(const MinqueDesign& design);

    int components() const { return components_; }
    int observations() const { return n_; }
    // S^- (components x components, row-major).
    const std::vector<double>& ginverse() const { return sInverse_; }

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

    // Q y and U'Q y of one vector y (n), into qy (n) and uqy (m).
    void project(const double* y, double* qy, double* uqy) const;

    const MinqueDesign& design() const { return design_; }
    int columns() const { return m_; }

private:
    void buildMinqueMatrix();
    int levels(int factor) const { return static_cast<int>(design_.factors[static_cast<std::size_t>(factor)].size()); }

    MinqueDesign design_;
    int n_ = 0, m_ = 0, p_ = 0, components_ = 0;
    std::vector<int> factorOfColumn_, firstColumn_;
    std::vector<std::vector<std::pair<int, double>>> rowsOfObservation_;  // per observation: (column, coefficient)
    std::vector<double> cholesky_;  // lower factor of I + U'U, m x m (the upper triangle holds nothing)
    std::vector<double> W_;         // V^-1 X, n x p (column-major)
    std::vector<double> UW_;        // U'W, m x p (row-major)
    std::vector<double> fixedInverse_;  // (X'V^-1 X)^-, p x p
    std::vector<double> S_, sInverse_;
};

// The index of pair (i, j), i <= j, among t traits: i t - i (i - 1) / 2 + (j - i).
inline int pairIndex(int i, int j, int t) { return i * t - i * (i - 1) / 2 + (j - i); }

struct BootstrapDraws {
    int samples = 0, traits = 0, components = 0;
    // theta of sample b: theta[(b * components + k) * pairs + pairIndex(i, j)].
    std::vector<double> theta;
    // Per component, whether its t x t matrix had negative eigenvalues set to 0.
    std::vector<char> adjusted;
};

// B samples drawn at the whole-data components `whole` (as estimate() gives
// them), re-estimated with the same projection. The samples go in blocks
// over the worker threads; after each block `blockDone` (when given) is told
// on the calling thread how many are done, and may throw to stop the run.
BootstrapDraws parametricBootstrap(const MinqueProjection& projection, const std::vector<double>& whole, int traits,
                                   int samples, std::uint64_t seed,
                                   const std::function<void(int done)>& blockDone = {});

// Symmetric eigen-decomposition by cyclic Jacobi rotations: a (n x n,
// row-major) becomes diagonal with the eigenvalues, vectors (row-major)
// holds the eigenvectors as columns.
void symmetricEigen(std::vector<double>& a, std::vector<double>& vectors, int n);

}  // namespace minque
