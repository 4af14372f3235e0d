// The estimator's dense linear algebra on the matrices of the related and
// dense levels: a Cholesky factor, the inverse from it, and products with a
// triangular factor. The kernels are LAPACK's and BLAS's where the build
// found OpenBLAS (several times Eigen's portable kernels per core), Eigen's
// otherwise. OpenBLAS is held to one thread: its own threading splits sums
// differently for different thread counts. The work is spread instead over
// the worker threads in fixed blocks of kChunk rows or columns, each block
// computed by one call whatever the thread count, so the same data give the
// same bits on any number of threads (on one processor: OpenBLAS picks its
// kernels for the processor at run time).
#pragma once

#include <Eigen/Core>
#include <functional>

#include "estimator/kernel_library.hpp"

namespace minque {

using DenseRef = Eigen::Ref<Eigen::MatrixXd>;
using ConstDenseRef = Eigen::Ref<const Eigen::MatrixXd>;

// Factors the lower triangle of the square `m` in place, m = L L', a panel of
// kChunk columns at a time, the set-up's checkpoint asked between rounds; the
// strict upper triangle is left as it was. False when m is not positive
// definite.
bool choleskyInPanels(DenseRef m);

// m <- (L L')^-1, both triangles, from the factor L in m's lower triangle:
// column blocks of the inverse by two triangular solves each, on the rows
// from the block down (the inverse is symmetric: nothing above is needed).
void inverseFromCholesky(DenseRef m);

// b <- L b, or L' b, with L the lower triangle of `lower` (one call: the
// caller spreads column chunks over the workers).
void lowerTimes(const ConstDenseRef& lower, DenseRef b, bool transposed);

// c <- a b + beta c.
void multiplyInto(const ConstDenseRef& a, const ConstDenseRef& b, DenseRef c, double beta);

// The lower triangle of L' diag(d) L, L lower triangular, in blocks of kChunk:
// store(firstRow, firstColumn, block) for each block on or below the
// diagonal, from the worker threads (each block once).
void scaledLowerGram(const ConstDenseRef& lower, const Eigen::VectorXd& d,
                     const std::function<void(int, int, const Eigen::MatrixXd&)>& store);

// While alive, BLAS products may use every worker thread (for products whose
// sums are exact, so that their order does not matter).
class AllBlasThreads {
public:
    AllBlasThreads();
    ~AllBlasThreads();
    AllBlasThreads(const AllBlasThreads&) = delete;
    AllBlasThreads& operator=(const AllBlasThreads&) = delete;
};

}  // namespace minque
