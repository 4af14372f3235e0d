// The factorisations the estimator could stand on, measured on the
// multi-environment benchmark's matrix C = I + U'U (random Geno, Geno*Env,
// Env*Rep; G genotypes x E environments x R replicates, one plot each):
//   - the estimator's: the Geno*Env levels eliminated in closed form (their
//     block of C is diagonal), then the Schur complement over the genotypes
//     and Env*Rep levels factored sparse (Eigen's SimplicialLLT, AMD
//     ordering: the estimator's choice here, as the ordered factor fills
//     little) or dense (Eigen's blocked Cholesky), and its inverse;
//   - the same Schur complement by LAPACK (dpotrf, dpotri) where the build
//     found one;
//   - the estimator's dense kernels (a panel factor and a column-block
//     inverse on OpenBLAS held to one thread, or on Eigen), on one worker
//     thread and on all;
//   - a sparse Cholesky of the whole of C with a fill-reducing ordering
//     (Eigen's SimplicialLLT, AMD), and the column solves its inverse would
//     need (every column of C^-1 enters the MINQUE matrix): 256 timed, the
//     rest extrapolated.
//
// Usage: minque-factor-candidates [G E R]   (default 5000 4 5)
#include <Eigen/Cholesky>
#include <Eigen/Core>
#include <Eigen/OrderingMethods>
#include <Eigen/SparseCholesky>
#include <Eigen/SparseCore>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "estimator/dense_kernels.hpp"
#include "linalg/worker_pool.hpp"

#ifdef MINQUE_HAVE_LAPACK
extern "C" {
void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info);
void dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info);
}
#endif

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    const int G = argc > 3 ? std::atoi(argv[1]) : 5000, E = argc > 3 ? std::atoi(argv[2]) : 4,
              R = argc > 3 ? std::atoi(argv[3]) : 5;
    if (G < 1 || E < 1 || R < 1) {
        std::fprintf(stderr, "usage: minque-factor-candidates [G E R]\n");
        return 2;
    }
    Eigen::setCpuCacheSizes(32 * 1024, 256 * 1024, 2 * 1024 * 1024);  // as the estimator fixes them
    // Levels: Geno*Env first (G E), then Geno (G), then Env*Rep (E R).
    const int mGE = G * E, s = G + E * R, m = mGE + s, n = G * E * R;
    std::vector<Eigen::Triplet<double>> entries;
    int obs = 0;
    for (int e = 0; e < E; ++e)
        for (int r = 0; r < R; ++r)
            for (int g = 0; g < G; ++g, ++obs) {
                entries.emplace_back(obs, g * E + e, 1.0);
                entries.emplace_back(obs, mGE + g, 1.0);
                entries.emplace_back(obs, mGE + G + e * R + r, 1.0);
            }
    Eigen::SparseMatrix<double> U(n, m);
    U.setFromTriplets(entries.begin(), entries.end());
    Eigen::SparseMatrix<double> C = U.transpose() * U;
    for (int j = 0; j < m; ++j) C.coeffRef(j, j) += 1.0;
    std::printf("n = %d, m = %d: Geno*Env %d levels eliminated in closed form, dense part %d\n", n, m, mGE, s);

    // The Schur complement over the dense levels.
    auto t0 = std::chrono::steady_clock::now();
    Eigen::MatrixXd S = Eigen::MatrixXd(C.bottomRightCorner(s, s));
    {
        const Eigen::SparseMatrix<double> B = C.topRightCorner(mGE, s);
        Eigen::VectorXd dInverse(mGE);
        for (int h = 0; h < mGE; ++h) dInverse(h) = 1.0 / C.coeff(h, h);
        const Eigen::SparseMatrix<double> Y = dInverse.asDiagonal() * B;
        const Eigen::SparseMatrix<double> BtY = Eigen::SparseMatrix<double>(B.transpose()) * Y;
        S -= Eigen::MatrixXd(BtY);
    }
    const double schurTime = seconds(t0);
    const Eigen::MatrixXd S0 = S;
    t0 = std::chrono::steady_clock::now();
    Eigen::LLT<Eigen::Ref<Eigen::MatrixXd>> llt(S);
    const double eigenFactor = seconds(t0);
    t0 = std::chrono::steady_clock::now();
    Eigen::MatrixXd inverse = Eigen::MatrixXd::Identity(s, s);
    llt.solveInPlace(inverse);
    const double eigenInverse = seconds(t0);
    std::printf("  Schur complement (%.2f s), dense (Eigen %d.%d.%d, 1 thread): Cholesky %.2f s, inverse %.2f s\n", schurTime,
                EIGEN_WORLD_VERSION, EIGEN_MAJOR_VERSION, EIGEN_MINOR_VERSION, eigenFactor, eigenInverse);
    {
        const Eigen::SparseMatrix<double> sparseS = S0.sparseView();
        t0 = std::chrono::steady_clock::now();
        Eigen::SimplicialLLT<Eigen::SparseMatrix<double>, Eigen::Lower, Eigen::AMDOrdering<int>> sparse(sparseS);
        const double factor = seconds(t0);
        t0 = std::chrono::steady_clock::now();
        const Eigen::MatrixXd sparseInverse = sparse.solve(Eigen::MatrixXd::Identity(s, s));
        std::printf("  Schur complement, sparse (Eigen SimplicialLLT, AMD, 1 thread): factor %.3f s (%lld entries in L "
                    "against %lld dense), inverse %.2f s\n",
                    factor, static_cast<long long>(sparse.matrixL().nestedExpression().nonZeros()),
                    static_cast<long long>(s) * (s + 1) / 2, seconds(t0));
    }
    for (const int threads : {1, 0}) {
        minque::setWorkerThreads(threads);
        Eigen::MatrixXd A = S0;
        t0 = std::chrono::steady_clock::now();
        const bool factored = minque::choleskyInPanels(A);
        const double factor = seconds(t0);
        t0 = std::chrono::steady_clock::now();
        if (factored) minque::inverseFromCholesky(A);
        std::printf("  the estimator's dense kernels (%s, %d worker threads): Cholesky %.2f s, inverse %.2f s\n",
                    minque::denseKernels(), minque::workerThreads(), factor, seconds(t0));
    }
#ifdef MINQUE_HAVE_LAPACK
    {
        Eigen::MatrixXd A = S0;
        int info = 0;
        const char lower = 'L';
        t0 = std::chrono::steady_clock::now();
        dpotrf_(&lower, &s, A.data(), &s, &info);
        const double factor = seconds(t0);
        t0 = std::chrono::steady_clock::now();
        if (info == 0) dpotri_(&lower, &s, A.data(), &s, &info);
        const double inv = seconds(t0);
        std::printf("  LAPACK (the system's, 1 thread): Cholesky %.2f s, inverse %.2f s (info %d)\n", factor, inv, info);
    }
#else
    std::printf("  LAPACK: not found by this build\n");
#endif
    {
        t0 = std::chrono::steady_clock::now();
        Eigen::SimplicialLLT<Eigen::SparseMatrix<double>, Eigen::Lower, Eigen::AMDOrdering<int>> sparse(C);
        const double factor = seconds(t0);
        if (sparse.info() != Eigen::Success) {
            std::printf("  sparse Cholesky failed\n");
            return 1;
        }
        const long long filled = sparse.matrixL().nestedExpression().nonZeros();
        const int columns = std::min(256, m);
        t0 = std::chrono::steady_clock::now();
        const Eigen::MatrixXd block = sparse.solve(Eigen::MatrixXd::Identity(m, columns));
        const double solves = seconds(t0) * static_cast<double>(m) / columns;
        std::printf("  sparse Cholesky (Eigen SimplicialLLT, AMD): factor %.2f s, %lld entries in L; the %d columns of "
                    "C^-1: about %.0f s (%.3f s for %d)\n",
                    factor, filled, m, solves, solves * columns / m, columns);
        (void)block;
    }
    return 0;
}
