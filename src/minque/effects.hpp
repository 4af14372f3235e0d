// Predictions of the random effects of a trait (empirical BLUP) at the
// trait's own estimated variance components, from Henderson's mixed model
// equations on the current data set of the state (all data, or a jackknife
// replicate's compacted lists):
//
//   [X'X  X'U    ] [b]   [X'y]
//   [U'X  U'U + D] [u] = [U'y],   D diagonal: sigma2_e / sigma2_k for the columns of factor k.
//
// The components are the trait's MINQUE(0/1) estimates, a record of the
// variance file (floats 1..K, the residual at K). A factor whose component is
// at or below zero is left out of the equations: its levels predict 0. A
// residual at or below zero gives no predictions at all. A level without an
// observation in the data set has the equation (sigma2_e / sigma2_k) u = 0
// and predicts 0. An observation listed twice in a column counts with the
// sum of its coefficients, as in the variance inverse of the host.
//
// Unlike the estimation, whose every number the method defines in single
// precision, the equations are new to it: they are formed and solved in
// double precision (the products of the stored floats widened), by a
// Cholesky factorisation in column order that sets the solution of a
// column dependent on the earlier ones to 0 (rank-deficient fixed columns,
// such as an intercept with every level of a factor: the predictions of the
// random effects do not depend on that choice). Components between factors
// (the covariance switch) are not supported: the caller refuses them.
#pragma once

#include <vector>

#include "core/analysis_state.hpp"

namespace minque {

class EffectPredictor {
public:
    // The coefficient matrix without D, from the state's current design
    // lists; shared by every trait of a data set.
    void setDesign(const AnalysisState& state);

    // Predictions u[0..q-1] (random columns in order) for the trait values
    // y[1..n] of the current data set and the trait's components; false (u
    // all 0) when the residual component is at or below zero.
    bool predict(const AnalysisState& state, const float* y, const float* components, std::vector<double>& u);

    // After a predict that gave predictions: the prediction error variance of
    // every random column, Var(u - u^) = sigma2_e C^jj with C^jj the diagonal
    // of the inverse of the equations' coefficient matrix (a g-inverse where
    // fixed columns are dependent; the variances of the random columns do not
    // depend on it), by forward substitution in the Cholesky factor; 0 for
    // the columns of a factor left out.
    std::vector<double> predictionErrorVariances(const AnalysisState& state, const float* components) const;

private:
    int p_ = 0, q_ = 0, n_ = 0;
    std::vector<std::vector<std::pair<int, double>>> rows_;  // per observation: (equation column, coefficient)
    std::vector<double> base_, work_, rhs_, diagonal_;
    std::vector<char> dependent_;
};

// The Cholesky solution of the symmetric positive semi-definite system
// a x = b of order n (a row-major, overwritten by its factor), columns whose
// pivot falls to `tolerance` times their diagonal or below taken as
// dependent (x 0 there). Returns x in b.
void solveSemiDefinite(std::vector<double>& a, std::vector<double>& b, int n, double tolerance,
                       std::vector<char>& dependent);

}  // namespace minque
