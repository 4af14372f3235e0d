#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <random>

#include "jackknife_engine/linalg/svd_ginverse.hpp"
#include "support/reference_math.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

using test::DMatrix;

struct Work {
    FloatMatrix a, v;
    FloatVector w, e;
    explicit Work(int order) : a(dmatrix(1, order, 1, order)), v(dmatrix(1, order, 1, order)), w(dvector(0, order)), e(dvector(1, order)) {}
};

// Generalized inverse of `m` (zero-based rows) as computed by svdGinverse.
DMatrix ginverse(const DMatrix& m, Work* keep = nullptr) {
    const int n = static_cast<int>(m.size());
    Work local(std::max(n, 1));
    Work& work = keep != nullptr ? *keep : local;
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) work.a[i][j] = static_cast<float>(m[i - 1][j - 1]);
    svdGinverse(work.a, work.w, work.v, n, work.e);
    DMatrix g(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n)));
    for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) {
            EXPECT_EQ(std::memcmp(&work.a[i][j], &work.a[j][i], sizeof(float)), 0) << "asymmetric at " << i << "," << j;
            g[i - 1][j - 1] = work.a[i][j];
        }
    return g;
}

double maxAbs(const DMatrix& m) {
    double r = 0.0;
    for (const auto& row : m)
        for (double x : row) r = std::max(r, std::fabs(x));
    return r;
}

DMatrix diagonal(std::vector<double> d) {
    DMatrix m(d.size(), std::vector<double>(d.size(), 0.0));
    for (std::size_t i = 0; i < d.size(); ++i) m[i][i] = d[i];
    return m;
}

TEST(SvdGinverse, OrderZeroLeavesEverythingUnchanged) {
    Work work(2);
    work.a[1][1] = 3.0f;
    work.w[1] = 4.0f;
    svdGinverse(work.a, work.w, work.v, 0, work.e);
    EXPECT_EQ(work.a[1][1], 3.0f);
    EXPECT_EQ(work.w[1], 4.0f);
}

TEST(SvdGinverse, ScalarsAndDiagonalsInvertAboveTheAbsoluteThreshold) {
    // No float equals the double threshold 1e-6: its two nearest floats,
    // one on each side, must fall on the sides of the comparison.
    float below = static_cast<float>(1e-6);
    if (static_cast<double>(below) > 1e-6) below = std::nextafter(below, 0.0f);
    const float above = std::nextafter(below, 1.0f);
    ASSERT_LT(static_cast<double>(below), 1e-6);
    ASSERT_GT(static_cast<double>(above), 1e-6);
    struct Case {
        std::vector<double> diag;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {{4.0}, {0.25f}},
        {{-8.0}, {0.125f}},  // a negative value yields a positive result
        {{1e-7}, {0.0f}},
        {{below}, {0.0f}},  // the nearest float below the threshold is dropped
        {{above}, {static_cast<float>(1.0 / above)}},  // the nearest above is kept
        {{0.0, 0.0, 0.0}, {0.0f, 0.0f, 0.0f}},
        {{4.0, -2.0, 1e-7, 0.5}, {0.25f, 0.5f, 0.0f, 2.0f}},
    };
    for (const Case& c : cases) {
        const DMatrix g = ginverse(diagonal(c.diag));
        for (std::size_t i = 0; i < c.diag.size(); ++i)
            for (std::size_t j = 0; j < c.diag.size(); ++j)
                EXPECT_EQ(g[i][j], i == j ? c.expected[i] : 0.0f) << "case with " << c.diag.size() << " entries, (" << i << "," << j << ")";
    }
}

TEST(SvdGinverse, TwoEqualRowsGiveTheMoorePenroseInverse) {
    // Rows and columns 1 and 3 equal: rank 2.
    const DMatrix a = {{2.0, 1.0, 2.0}, {1.0, 3.0, 1.0}, {2.0, 1.0, 2.0}};
    const DMatrix g = ginverse(a);
    const DMatrix mp = test::symmetricPseudoInverse(a, 1e-9);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) EXPECT_NEAR(g[i][j], mp[i][j], 1e-5 * maxAbs(mp));
}

TEST(SvdGinverse, RandomSemiDefiniteMatricesSatisfyAGAEqualsA) {
    // A = B B' with B of n - d columns of small dyadic numbers, so A is exact
    // in float and of rank n - d; B's rows are a diagonally dominant block and
    // d random rows, shuffled, so the nonzero singular values stay well above
    // the threshold. A G A must give back A to a few single-precision units
    // of its largest element.
    std::mt19937 rng(11);
    for (int n : {2, 5, 12, 30}) {
        for (int deficiency = 0; deficiency <= 3 && deficiency < n; ++deficiency) {
            const int k = n - deficiency;
            DMatrix b(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(k)));
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < k; ++c)
                    b[i][c] = i == c ? 1.0 : (static_cast<int>(rng() % 9) - 4) / (i < k ? 64.0 : 8.0);
            std::shuffle(b.begin(), b.end(), rng);
            DMatrix a(static_cast<std::size_t>(n), std::vector<double>(static_cast<std::size_t>(n), 0.0));
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j)
                    for (int c = 0; c < k; ++c) a[i][j] += b[i][c] * b[j][c];
            const DMatrix g = ginverse(a);
            const DMatrix aga = test::multiply(test::multiply(a, g), a);
            double err = 0.0;
            for (int i = 0; i < n; ++i)
                for (int j = 0; j < n; ++j) err = std::max(err, std::fabs(aga[i][j] - a[i][j]));
            EXPECT_LT(err, 1e-4 * maxAbs(a)) << "n " << n << " deficiency " << deficiency;
        }
    }
}

TEST(SvdGinverse, ZeroHypotenuseGivesTheIdentityRotation) {
    double c = -5.0, s = -5.0;
    svd_detail::rotationFromHyp(0.0, 0.0, svd_detail::hyp(0.0, 0.0), &c, &s);
    EXPECT_EQ(c, 1.0);
    EXPECT_EQ(s, 0.0);
    // Operands too small to register in single precision also give r = 0.
    EXPECT_EQ(svd_detail::hyp(1e-50, -1e-60), 0.0);
    svd_detail::rotationFromHyp(3.0, 4.0, svd_detail::hyp(3.0, 4.0), &c, &s);
    EXPECT_DOUBLE_EQ(c, 0.6);
    EXPECT_DOUBLE_EQ(s, 0.8);
}

TEST(SvdGinverse, NonConvergenceEndsTheRun) {
    const DMatrix a = {{std::nan(""), 1.0}, {1.0, 2.0}};
    EXPECT_RUN_ERROR(ginverse(a), 1,
                "No convergence in 30 SVDCMP iterations\n\n You Data Is Too Big");
}

}  // namespace
}  // namespace minque
