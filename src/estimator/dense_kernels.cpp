#include "estimator/dense_kernels.hpp"

#include <Eigen/Cholesky>
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "estimator/chunked_work.hpp"
#include "estimator/product_blocking.hpp"

#ifdef MINQUE_HAVE_BLAS
// Fortran BLAS and LAPACK (column-major; the hidden lengths of the character
// arguments last).
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info, std::size_t);
void dtrsm_(const char* side, const char* uplo, const char* trans, const char* diag, const int* m, const int* n,
            const double* alpha, const double* a, const int* lda, double* b, const int* ldb, std::size_t, std::size_t,
            std::size_t, std::size_t);
void dtrmm_(const char* side, const char* uplo, const char* trans, const char* diag, const int* m, const int* n,
            const double* alpha, const double* a, const int* lda, double* b, const int* ldb, std::size_t, std::size_t,
            std::size_t, std::size_t);
void dgemm_(const char* transa, const char* transb, const int* m, const int* n, const int* k, const double* alpha,
            const double* a, const int* lda, const double* b, const int* ldb, const double* beta, double* c, const int* ldc,
            std::size_t, std::size_t);
void dsyrk_(const char* uplo, const char* trans, const int* n, const int* k, const double* alpha, const double* a,
            const int* lda, const double* beta, double* c, const int* ldc, std::size_t, std::size_t);
void openblas_set_num_threads(int threads);
}
#endif

namespace minque {

namespace {

using Dense = Eigen::MatrixXd;

#ifdef MINQUE_HAVE_BLAS
int blasInt(Eigen::Index value) { return static_cast<int>(value); }

void oneBlasThread() {
    static std::once_flag once;
    std::call_once(once, [] { openblas_set_num_threads(1); });
}

// OpenBLAS starts a thread per core when it is initialised, and each spins
// (yielding) for a while before it sleeps: on a small machine they took a
// share of the cores from the estimator's own workers for the whole of a
// short run. The kernels run on one thread (above), so OpenBLAS is told so
// before its initialisation, which a static archive runs among the
// program's constructors, after this one (the lowest priority number runs
// first); it starts the threads AllBlasThreads asks for when asked. A user's
// own OPENBLAS_NUM_THREADS is kept.
__attribute__((constructor(101))) void startBlasOnOneThread() { setenv("OPENBLAS_NUM_THREADS", "1", 0); }
#endif

// Before the first kernel: Eigen's fixed blocking, OpenBLAS on one thread.
void prepareKernels() {
    fixProductBlocking();
#ifdef MINQUE_HAVE_BLAS
    oneBlasThread();
#endif
}

// a = L L' of a small block (lower, in place).
bool factorBlock(DenseRef a) {
#ifdef MINQUE_HAVE_BLAS
    const int n = blasInt(a.rows()), lda = blasInt(a.outerStride());
    int info = 0;
    dpotrf_("L", &n, a.data(), &lda, &info, 1);
    return info == 0;
#else
    return Eigen::internal::llt_inplace<double, Eigen::Lower>::blocked(a) < 0;
#endif
}

// b <- b L^-T.
void solveRightTransposed(const ConstDenseRef& lower, DenseRef b) {
#ifdef MINQUE_HAVE_BLAS
    const int m = blasInt(b.rows()), n = blasInt(b.cols()), lda = blasInt(lower.outerStride()), ldb = blasInt(b.outerStride());
    const double one = 1.0;
    dtrsm_("R", "L", "T", "N", &m, &n, &one, lower.data(), &lda, b.data(), &ldb, 1, 1, 1, 1);
#else
    lower.transpose().triangularView<Eigen::Upper>().solveInPlace<Eigen::OnTheRight>(b);
#endif
}

// b <- L^-1 b, or L^-T b.
void solveLeft(const ConstDenseRef& lower, DenseRef b, bool transposed) {
#ifdef MINQUE_HAVE_BLAS
    const int m = blasInt(b.rows()), n = blasInt(b.cols()), lda = blasInt(lower.outerStride()), ldb = blasInt(b.outerStride());
    const double one = 1.0;
    dtrsm_("L", "L", transposed ? "T" : "N", "N", &m, &n, &one, lower.data(), &lda, b.data(), &ldb, 1, 1, 1, 1);
#else
    if (transposed) lower.transpose().triangularView<Eigen::Upper>().solveInPlace(b);
    else lower.triangularView<Eigen::Lower>().solveInPlace(b);
#endif
}

// c <- c - a a' (lower triangle).
void subtractGram(const ConstDenseRef& a, DenseRef c) {
#ifdef MINQUE_HAVE_BLAS
    const int n = blasInt(a.rows()), k = blasInt(a.cols()), lda = blasInt(a.outerStride()), ldc = blasInt(c.outerStride());
    const double minusOne = -1.0, one = 1.0;
    dsyrk_("L", "N", &n, &k, &minusOne, a.data(), &lda, &one, c.data(), &ldc, 1, 1);
#else
    c.selfadjointView<Eigen::Lower>().rankUpdate(a, -1.0);
#endif
}

// c <- alpha op(a) op(b) + beta c, op the transpose where asked.
void gemm(bool transposeA, bool transposeB, double alpha, const ConstDenseRef& a, const ConstDenseRef& b, double beta, DenseRef c) {
    if (c.rows() == 0 || c.cols() == 0) return;
#ifdef MINQUE_HAVE_BLAS
    const int m = blasInt(c.rows()), n = blasInt(c.cols()), k = blasInt(transposeA ? a.rows() : a.cols());
    const int lda = blasInt(std::max<Eigen::Index>(a.outerStride(), 1)), ldb = blasInt(std::max<Eigen::Index>(b.outerStride(), 1));
    const int ldc = blasInt(c.outerStride());
    dgemm_(transposeA ? "T" : "N", transposeB ? "T" : "N", &m, &n, &k, &alpha, a.data(), &lda, b.data(), &ldb, &beta, c.data(),
           &ldc, 1, 1);
#else
    if (beta == 0.0) c.setZero();
    else if (beta != 1.0) c *= beta;
    if (transposeA && transposeB) c.noalias() += alpha * a.transpose() * b.transpose();
    else if (transposeA) c.noalias() += alpha * a.transpose() * b;
    else if (transposeB) c.noalias() += alpha * a * b.transpose();
    else c.noalias() += alpha * a * b;
#endif
}

}  // namespace

bool choleskyInPanels(DenseRef m) {
    prepareKernels();
    const int n = static_cast<int>(m.rows());
    for (int k = 0; k < n; k += kChunk) {
        const int w = std::min(kChunk, n - k), rest = n - k - w;
        if (!factorBlock(m.block(k, k, w, w))) return false;
        if (rest == 0) break;
        const auto l11 = m.block(k, k, w, w);
        auto a21 = m.block(k + w, k, rest, w);
        const int blocks = (rest + kChunk - 1) / kChunk;
        overTasks(blocks, [&](int t) {
            const int r0 = t * kChunk, rows = std::min(kChunk, rest - r0);
            solveRightTransposed(l11, a21.middleRows(r0, rows));
        });
        // The trailing lower triangle less a21 a21', a column block at a time.
        overTasks(blocks, [&](int t) {
            const int j0 = t * kChunk, wj = std::min(kChunk, rest - j0), below = rest - j0 - wj;
            subtractGram(a21.middleRows(j0, wj), m.block(k + w + j0, k + w + j0, wj, wj));
            if (below > 0)
                gemm(false, true, -1.0, a21.middleRows(j0 + wj, below), a21.middleRows(j0, wj), 1.0,
                     m.block(k + w + j0 + wj, k + w + j0, below, wj));
        });
    }
    return true;
}

void inverseFromCholesky(DenseRef m) {
    prepareKernels();
    const int n = static_cast<int>(m.rows()), blocks = (n + kChunk - 1) / kChunk;
    std::vector<double> diagonal(static_cast<std::size_t>(n));
    // Block b: columns j0.. of the inverse from row j0 down, kept (transposed)
    // in the strict upper triangle, which the factor does not use.
    overTasks(blocks, [&](int b) {
        const int j0 = b * kChunk, w = std::min(kChunk, n - j0), rows = n - j0;
        Dense x = Dense::Zero(rows, w);
        for (int j = 0; j < w; ++j) x(j, j) = 1.0;
        const auto factor = m.bottomRightCorner(rows, rows);
        solveLeft(factor, x, false);
        solveLeft(factor, x, true);
        for (int j = 0; j < w; ++j) {
            diagonal[static_cast<std::size_t>(j0 + j)] = x(j, j);
            for (int i = j + 1; i < rows; ++i) m(j0 + j, j0 + i) = x(i, j);
        }
    });
    overChunks(n, [&](int, int first, int last) {
        for (int j = first; j < last; ++j) {
            m(j, j) = diagonal[static_cast<std::size_t>(j)];
            for (int i = j + 1; i < n; ++i) m(i, j) = m(j, i);
        }
    });
}

void lowerTimes(const ConstDenseRef& lower, DenseRef b, bool transposed) {
    if (b.rows() == 0 || b.cols() == 0) return;
    prepareKernels();
#ifdef MINQUE_HAVE_BLAS
    const int m = blasInt(b.rows()), n = blasInt(b.cols()), lda = blasInt(lower.outerStride()), ldb = blasInt(b.outerStride());
    const double one = 1.0;
    dtrmm_("L", "L", transposed ? "T" : "N", "N", &m, &n, &one, lower.data(), &lda, b.data(), &ldb, 1, 1, 1, 1);
#else
    const Dense product = transposed ? Dense(lower.triangularView<Eigen::Lower>().transpose() * b) : Dense(lower.triangularView<Eigen::Lower>() * b);
    b = product;
#endif
}

void multiplyInto(const ConstDenseRef& a, const ConstDenseRef& b, DenseRef c, double beta) {
    prepareKernels();
    if (a.cols() == 0) {
        if (beta == 0.0) c.setZero();
        else c *= beta;
        return;
    }
    gemm(false, false, 1.0, a, b, beta, c);
}

void scaledLowerGram(const ConstDenseRef& lower, const Eigen::VectorXd& d,
                     const std::function<void(int, int, const Eigen::MatrixXd&)>& store) {
    prepareKernels();
    const int n = static_cast<int>(lower.rows()), blocks = (n + kChunk - 1) / kChunk;
    std::vector<std::pair<int, int>> pairs;  // (row block, column block), the longest sums first
    for (int i = 0; i < blocks; ++i)
        for (int j = 0; j <= i; ++j) pairs.emplace_back(i, j);
    // Block (i, j) = sum over rows r from block i down of L[r, i]' d_r L[r, j]
    // (L is zero above its diagonal).
    overTasks(static_cast<int>(pairs.size()), [&](int task) {
        const auto [bi, bj] = pairs[static_cast<std::size_t>(task)];
        const int i0 = bi * kChunk, j0 = bj * kChunk, wi = std::min(kChunk, n - i0), wj = std::min(kChunk, n - j0), rows = n - i0;
        const Dense scaled = d.tail(rows).asDiagonal() * lower.block(i0, j0, rows, wj);
        Dense block(wi, wj);
        gemm(true, false, 1.0, lower.block(i0, i0, rows, wi), scaled, 0.0, block);
        store(i0, j0, block);
    });
}

const char* denseKernels() {
#ifdef MINQUE_HAVE_BLAS
    return "OpenBLAS";
#else
    return "Eigen";
#endif
}

AllBlasThreads::AllBlasThreads() {
#ifdef MINQUE_HAVE_BLAS
    prepareKernels();
    openblas_set_num_threads(workerThreads());
#endif
}

AllBlasThreads::~AllBlasThreads() {
#ifdef MINQUE_HAVE_BLAS
    openblas_set_num_threads(1);
#endif
}

}  // namespace minque
