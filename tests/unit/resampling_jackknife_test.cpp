// The jackknife's replicate rule and its pseudo-value statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "jackknife_engine/resampling/jackknife.hpp"

namespace minque {
namespace {

TEST(Jackknife, EachGroupIsLeftOutOnceAndTheRemainderIsInEveryReplicate) {
    for (const auto& [n, g] : {std::pair{10, 3}, {12, 4}, {7, 1}, {9, 9}}) {
        const JackknifeGroups groups{n, g};
        EXPECT_EQ(groups.replicates(), n / g);
        for (int m = 1; m <= n; ++m) {
            int leftOut = 0;
            EXPECT_TRUE(groups.keeps(0, m));
            for (int k = 1; k <= groups.replicates(); ++k) leftOut += groups.keeps(k, m) ? 0 : 1;
            // The last n - J g observations are never deleted.
            EXPECT_EQ(leftOut, m <= groups.replicates() * g ? 1 : 0) << n << " " << g << " " << m;
        }
        for (int k = 1; k <= groups.replicates(); ++k) {
            EXPECT_EQ(groups.lastDeleted(k) - groups.firstDeleted(k) + 1, g);
            EXPECT_FALSE(groups.keeps(k, groups.firstDeleted(k)));
            EXPECT_TRUE(groups.keeps(k, groups.lastDeleted(k) + 1));
        }
    }
}

TEST(Jackknife, DeleteOnePseudoValuesOfAMeanAreTheObservationsAndGiveItsTextbookStandardError) {
    // For the mean, J x mean - (J - 1) x (mean without x_k) = x_k, so the
    // jackknife S.E. is the sample standard deviation over sqrt(J).
    const std::vector<double> x = {1.0, 2.0, 4.0, 7.0, 11.5};
    const int J = static_cast<int>(x.size());
    double total = 0.0;
    for (double v : x) total += v;
    const double mean = total / J;
    PseudoValueSums sums;
    for (double v : x) {
        const double pseudo = pseudoValue(J, mean, (total - v) / (J - 1));
        EXPECT_NEAR(pseudo, v, 1e-12);
        sums.add(pseudo);
    }
    double ss = 0.0;
    for (double v : x) ss += (v - mean) * (v - mean);
    const double textbook = std::sqrt(ss / (J - 1)) / std::sqrt(static_cast<double>(J));
    const RowStatistics s = rowStatistics(sums, mean, mean, RescaleRule::Always, false, J);
    EXPECT_NEAR(s.se, textbook, 1e-12 * textbook);
    // The same statistics as from the sums given one by one.
    const RowStatistics t = rowStatistics(sums.sum, sums.squares, mean, mean, RescaleRule::Always, false, J, J - 1);
    EXPECT_EQ(s.se, t.se);
    EXPECT_EQ(s.halfP, t.halfP);
}

}  // namespace
}  // namespace minque
