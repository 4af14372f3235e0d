// The estimator's dense kernels against Eigen's plain algebra, and the same
// bits on any thread count.
#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <random>
#include <stdexcept>

#include "estimator/chunked_work.hpp"
#include "estimator/dense_kernels.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {
namespace {

Eigen::MatrixXd positiveDefinite(int size, unsigned seed) {
    std::mt19937_64 random(seed);
    std::normal_distribution<double> normal;
    Eigen::MatrixXd g(size, size + 5);
    for (Eigen::Index j = 0; j < g.cols(); ++j)
        for (Eigen::Index i = 0; i < size; ++i) g(i, j) = normal(random);
    return g * g.transpose() / size;
}

struct Results {
    Eigen::MatrixXd factor, inverse, gram;
};

Results kernelsOn(const Eigen::MatrixXd& a, const Eigen::VectorXd& d) {
    Results out;
    out.factor = a;
    EXPECT_TRUE(choleskyInPanels(out.factor));
    out.factor.triangularView<Eigen::StrictlyUpper>().setZero();
    out.inverse = out.factor;
    inverseFromCholesky(out.inverse);
    out.gram = Eigen::MatrixXd::Zero(a.rows(), a.rows());
    scaledLowerGram(out.factor, d, [&](int i0, int j0, const Eigen::MatrixXd& block) {
        out.gram.block(i0, j0, block.rows(), block.cols()) = block;
    });
    return out;
}

// One panel and several (kChunk columns each), odd sizes included.
TEST(DenseKernels, FactorInverseAndProductsAgreeWithPlainAlgebraOnAnyThreadCount) {
    for (const int size : {7, kChunk, 2 * kChunk + 37}) {
        const Eigen::MatrixXd a = positiveDefinite(size, static_cast<unsigned>(size));
        Eigen::VectorXd d(size);
        for (int i = 0; i < size; ++i) d(i) = 1.0 + (i % 3);
        setWorkerThreads(1);
        const Results one = kernelsOn(a, d);
        setWorkerThreads(3);
        const Results three = kernelsOn(a, d);
        setWorkerThreads(0);
        EXPECT_TRUE(one.factor == three.factor && one.inverse == three.inverse && one.gram == three.gram) << size;

        const Eigen::MatrixXd lower = Eigen::LLT<Eigen::MatrixXd>(a).matrixL();
        EXPECT_LT((one.factor - lower).cwiseAbs().maxCoeff(), 1e-12 * lower.cwiseAbs().maxCoeff()) << size;
        const Eigen::MatrixXd inverse = a.inverse();
        EXPECT_LT((one.inverse - inverse).cwiseAbs().maxCoeff(), 1e-9 * inverse.cwiseAbs().maxCoeff()) << size;
        EXPECT_TRUE(one.inverse == one.inverse.transpose()) << size;
        const Eigen::MatrixXd gram = lower.transpose() * d.asDiagonal() * lower;
        const Eigen::MatrixXd gramLower = gram.triangularView<Eigen::Lower>(), mine = one.gram.triangularView<Eigen::Lower>();
        EXPECT_LT((mine - gramLower).cwiseAbs().maxCoeff(), 1e-12 * gram.cwiseAbs().maxCoeff()) << size;

        Eigen::MatrixXd b = Eigen::MatrixXd::Ones(size, 3), bt = b;
        lowerTimes(one.factor, b, false);
        lowerTimes(one.factor, bt, true);
        EXPECT_LT((b - lower * Eigen::MatrixXd::Ones(size, 3)).cwiseAbs().maxCoeff(), 1e-12 * size) << size;
        EXPECT_LT((bt - lower.transpose() * Eigen::MatrixXd::Ones(size, 3)).cwiseAbs().maxCoeff(), 1e-12 * size) << size;
    }
    Eigen::MatrixXd notPositive = positiveDefinite(kChunk + 10, 5);
    notPositive(kChunk + 3, kChunk + 3) = -1.0;
    EXPECT_FALSE(choleskyInPanels(notPositive));
}

// A long factor asks the set-up's checkpoint between rounds, which may stop it.
TEST(DenseKernels, ALongFactorCanBeStoppedBetweenRounds) {
    Eigen::MatrixXd a = positiveDefinite(3 * kChunk, 9);
    int asked = 0;
    const std::function<void()> checkpoint = [&asked] {
        if (++asked == 2) throw std::runtime_error("stopped");
    };
    const CheckpointScope scope(checkpoint);
    EXPECT_THROW(choleskyInPanels(a), std::runtime_error);
    EXPECT_EQ(asked, 2);
}

}  // namespace
}  // namespace minque
