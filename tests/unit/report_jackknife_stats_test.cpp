// Jackknife statistics and the report block of one pair, on hand-built
// component records.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "jackknife_engine/report/jackknife_stats.hpp"
#include "jackknife_engine/report/report_writer.hpp"
#include "resampling/student_t.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

using Rows = std::array<std::vector<float>, 3>;  // trait i, covariance, trait j; components 1..K

struct PairStats {
    AnalysisState st;
    PairStats(int r, int covarianceCount, const std::vector<std::pair<int, int>>& pairs = {}) {
        st.randomFactorCount = r;
        st.covarianceCount = covarianceCount;
        const int K = st.componentCount = r + covarianceCount + 1;
        st.priorValues = dmatrix(1, 3, 0, K + 15);
        st.componentWeight = dvector(1, K + 15);
        for (int k = 1; k <= K; ++k) st.componentWeight[k] = 1.0f;
        st.covariancePair = imatrix(0, 20, 1, 2);
        for (std::size_t c = 0; c < pairs.size(); ++c) {
            st.covariancePair[static_cast<int>(c) + 1][1] = pairs[c].first;
            st.covariancePair[static_cast<int>(c) + 1][2] = pairs[c].second;
        }
        st.wholeTerms = dmatrix(1, 3, 0, K + 2);
        st.jackTerms = dmatrix(1, 3, 0, K + 2);
        st.jackVectorA = dvector(0, K + 2);
        st.jackVectorB = dvector(0, K + 2);
        st.jackVectorC = dvector(0, K + 2);
        st.componentNames.assign(static_cast<std::size_t>(r) + 6, "");
        for (int k = 1; k <= r + 5; ++k) st.componentNames[static_cast<std::size_t>(k)] = std::string("C").append(std::to_string(k));
        st.traitNames = {"", "A", "B"};
        st.firstTrait = 1;
        st.secondTrait = 2;
    }
    void load(const Rows& rows) {
        for (int x = 0; x < 3; ++x)
            for (std::size_t k = 0; k < rows[x].size(); ++k) st.priorValues[x + 1][static_cast<int>(k) + 1] = rows[x][k];
    }
    // The jackknife of one pair: whole-data rows, then each replicate's.
    void accumulate(const Rows& whole, const std::vector<Rows>& replicates) {
        load(whole);
        prepareJackknife(st, static_cast<int>(replicates.size()));
        for (const Rows& rep : replicates) {
            load(rep);
            accumulateReplicate(st, static_cast<int>(replicates.size()) - 1);
        }
    }
    std::string report(int J) {
        char buffer[8192] = {};
        st.streams[kSlotReport] = fmemopen(buffer, sizeof buffer, "w");
        writePairReport(st, J, J - 1);
        std::fclose(st.streams[kSlotReport]);
        return buffer;
    }
};

using test::count;

TEST(JackknifeStats, ConstantReplicatesGiveZeroErrorAndPOne) {
    PairStats p(1, 0);
    const Rows ones = {std::vector<float>{1, 1}, {1, 1}, {1, 1}};
    p.accumulate(ones, {ones, ones, ones, ones});
    const std::string report = p.report(4);
    EXPECT_NE(report.find("\nC1 Cov, 1, 0, 1, /1,   NS\nC2 Cov, 1, 0, 1, /1,   NS\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nCov 2, 2, 0, 1,  NS\nCov 1, 1, 0, 1,  NS\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nC1 Cor, 1.000000, 0, 1,  NS\nC2 Cor, 1.000000, 0, 1,  NS\n"), std::string::npos) << report;
    EXPECT_NE(report.find("\nCor 2, 1.000000, 0, 1,  NS\nCor 1, 1.000000, 0, 1,  NS\n"), std::string::npos) << report;
}

TEST(JackknifeStats, RatioRulesRescaleTheVarianceInBothDirections) {
    // Pseudo-values 1, 2, 3, 6: S = 12, Q = 50, J = 4, m = 3, variance 14 / 12.
    const double var = 14.0 / 12.0;
    struct Case {
        double eRef;
        RescaleRule rule;
        double factor;
    };
    const Case cases[] = {
        {1.5, RescaleRule::Always, 0.25},    // mean twice the estimate
        {1.5, RescaleRule::AtMostOne, 0.25},
        {6.0, RescaleRule::Always, 4.0},     // mean half the estimate
        {6.0, RescaleRule::AtMostOne, 0.25},
    };
    for (const Case& c : cases) {
        const RowStatistics s = rowStatistics(12.0, 50.0, c.eRef, c.eRef, c.rule, false, 4, 3);
        EXPECT_DOUBLE_EQ(s.se, std::sqrt(var * c.factor)) << c.eRef;
        const double t = c.eRef / s.se;
        EXPECT_DOUBLE_EQ(s.halfP, 0.5 * studentTwoTailP(3, 3.0 / (t * t + 3.0)));
    }
    const RowStatistics zero = rowStatistics(12.0, 50.0, 0.0, 1.5, RescaleRule::Always, false, 4, 3);
    EXPECT_EQ(zero.halfP, 0.5);  // t = 0: no test
}

TEST(JackknifeStats, SmallPseudoVarianceGivesAZeroPseudoCorrelation) {
    PairStats p(1, 0);
    const Rows whole = {std::vector<float>{3, 1}, {1, 1}, {1, 1}};
    const Rows usual = {std::vector<float>{3, 1}, {1, 1}, {1, 1}};   // p1 = 3, p2 = 1, p3 = 1
    const Rows vanishing = {std::vector<float>{4, 1}, {1, 1}, {1, 1}};  // p1 = 12 - 3 * 4 = 0
    p.accumulate(whole, {usual, vanishing, usual, usual});
    // Pseudo-correlations 1/sqrt(3) three times and 0: mean sqrt(3)/4,
    // jackknife variance (1 - 3/4) / 12, rescaled by (3/4)^2: S.E. 0.108253.
    const std::string report = p.report(4);
    const std::size_t row = report.find("\nC1 Cor, 0.577350, ");
    ASSERT_NE(row, std::string::npos) << report;
    EXPECT_NEAR(std::stod(report.substr(row + 19)), 0.108253, 2e-6) << report.substr(row, 40);
}

TEST(JackknifeStats, NegligibleWholeDataVarianceGivesCorrelationZeroAndPOne) {
    PairStats p(1, 0);
    const Rows whole = {std::vector<float>{0, 1}, {0.5f, 1}, {1, 1}};
    const Rows rep = {std::vector<float>{-1, 1}, {0.5f, 1}, {1, 1}};  // pseudo-variance 3: pseudo-correlations not 0
    p.accumulate(whole, {rep, rep, rep, rep});
    EXPECT_NE(p.report(4).find("\nC1 Cor, 0.000000, 0, 1,  NS\n"), std::string::npos);
}

TEST(JackknifeStats, CorrelationBeyondOneIsCutButScalesItsVarianceFromTheUncutValue) {
    PairStats p(1, 0);
    const Rows whole = {std::vector<float>{1, 1}, {1.2f, 1}, {1, 1}};
    std::vector<Rows> reps;
    for (float c : {1.0f, 1.3f, 1.1f, 1.4f}) reps.push_back({std::vector<float>{1, 1}, {c, 1}, {1, 1}});
    p.accumulate(whole, reps);
    // By hand: pseudo-covariances 4 x 1.2 - 3c = 1.8, 0.9, 1.5, 0.6 over unit
    // pseudo-variances, cut to 1, 0.9, 1, 0.6: mean 0.875, jackknife variance
    // 0.1075 / 12, rescaled by (0.875 / 1.2)^2: S.E. 0.0690145 (from the cut
    // value 1 it would be 0.0828174).
    const std::string report = p.report(4);
    const std::size_t row = report.find("\nC1 Cor, 1.000000, ");
    ASSERT_NE(row, std::string::npos) << report;
    EXPECT_NEAR(std::stod(report.substr(row + 19)), 0.0690145, 2e-6) << report.substr(row, 40);
}

TEST(JackknifeStats, ZeroTestLeavesABetweenFactorVarianceTermOutOfTheTotals) {
    // Factor 1 of trait i has a whole-data variance of exactly 0; component 3
    // joins factors 1 and 2.
    PairStats p(2, 1, {{1, 2}});
    const Rows whole = {std::vector<float>{0, 1, 0.5f, 1}, {0.2f, 0.3f, 0.4f, 1}, {1, 1, 0.5f, 1}};
    p.accumulate(whole, {whole, whole, whole});
    const std::string report = p.report(3);
    EXPECT_NE(report.find("\nC3 Cov, 0.4, "), std::string::npos);  // the covariance row stays
    // Phenotypic: covariance 0.2 + 0.3 + 2 x 0.4 + 1 = 2.3; variances of
    // trait i 0 + 1 + 1 = 2 (its 2 x 0.5 left out) and of trait j
    // 1 + 1 + 2 x 0.5 + 1 = 4; so the correlation 2.3 / sqrt(8).
    EXPECT_NE(report.find("\nCov 2, 2.3, "), std::string::npos) << report;
    EXPECT_NE(report.find("\nCor 2, 0.813173, "), std::string::npos) << report;
}

TEST(JackknifeStats, RowCountsFollowTheComponentsAndWeights) {
    PairStats p(2, 2, {{1, 2}, {1, 2}});
    const Rows rows = {std::vector<float>{1, 2, 0.5f, 0.25f, 3}, {0.5f, 1, 0.2f, 0.1f, 2}, {2, 1, 0.3f, 0.2f, 4}};
    p.accumulate(rows, {rows, rows, rows});
    std::string report = p.report(3);
    EXPECT_EQ(count(report, " Cov, "), 5);
    EXPECT_EQ(count(report, "\nCov "), 2);
    EXPECT_EQ(count(report, " Cor, "), 3);  // C1, C2 and the residual C5
    EXPECT_EQ(count(report, "\nCor "), 2);
    EXPECT_NE(report.find("\nC5 Cor, "), std::string::npos);

    PairStats zero(2, 2, {{1, 2}, {1, 2}});
    zero.st.componentWeight[2] = 0.0f;
    zero.accumulate(rows, {rows, rows, rows});
    report = zero.report(3);
    EXPECT_EQ(report.find("C2 Co"), std::string::npos);
    EXPECT_EQ(count(report, " Cov, "), 4);
    EXPECT_EQ(count(report, " Cor, "), 2);
    EXPECT_NE(report.find("\nC3 Cov, "), std::string::npos);
}

}  // namespace
}  // namespace minque
