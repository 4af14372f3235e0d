// Eigen's blocked Cholesky factorisation (LLT, lower triangle), a panel at a
// time: the same panels, kernels and order as Eigen::LLT, so the same bits,
// with `between` called after each panel. The estimator's set-up asks its
// checkpoint there, so that a factor of thousands of dense levels (seconds)
// can be stopped within a fraction of a second.
#pragma once

#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <algorithm>

namespace minque {

// Factors the lower triangle of `m` in place (the strict upper triangle is
// left as it was). False when `m` is not positive definite.
template <class Matrix, class Between>
bool choleskyInSteps(Matrix& m, Between between) {
    using Eigen::Index;
    using Panel = Eigen::Block<Matrix, Eigen::Dynamic, Eigen::Dynamic>;
    using Steps = Eigen::internal::llt_inplace<typename Matrix::Scalar, Eigen::Lower>;
    const Index size = m.rows();
    if (size < 32) return Steps::unblocked(m) < 0;
    // Eigen's panel width.
    Index width = size / 8;
    width = (width / 16) * 16;
    width = std::min(std::max(width, Index(8)), Index(128));
    for (Index k = 0; k < size; k += width) {
        const Index w = std::min(width, size - k), rest = size - k - w;
        Panel a11(m, k, k, w, w), a21(m, k + w, k, rest, w), a22(m, k + w, k + w, rest, rest);
        if (Steps::unblocked(a11) >= 0) return false;
        if (rest > 0) {
            a11.adjoint().template triangularView<Eigen::Upper>().template solveInPlace<Eigen::OnTheRight>(a21);
            a22.template selfadjointView<Eigen::Lower>().rankUpdate(a21, -1.0);
        }
        between();
    }
    return true;
}

// Solves L L' X = B in place with the factor of choleskyInSteps, as
// Eigen::LLT::solveInPlace does.
template <class Matrix, class Rhs>
void choleskySolveInPlace(const Matrix& factor, Rhs&& b) {
    factor.template triangularView<Eigen::Lower>().solveInPlace(b);
    factor.adjoint().template triangularView<Eigen::Upper>().solveInPlace(b);
}

}  // namespace minque
