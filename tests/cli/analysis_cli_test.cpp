// Complete analyses through the executable.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.hpp"

namespace minque {
namespace {

using test::ProcessResult;
using test::TempDir;

using test::count;

// 40 observations, two random factors, the intercept, three traits, g = 4:
// J = 10 replicates. The variance file holds 2.0 for every component of
// every trait in every replicate (all positive, so every correlation is
// defined).
class AnalysisCli : public testing::Test {
protected:
    void SetUp() override {
        design_ = test::randomDesign(3, 40, {5, 4}, 1, 3);
        test::writeAnalysisInputs(dir_, "T", design_, test::randomTraits(2, 40, 3), 3, 10, 2.0f);
    }
    ProcessResult run(const std::string& language) {
        return test::runProcess(MINQUE_COV_PATH, test::analysisArgs(language, 4, 0, "T.TXT"), dir_.path());
    }
    TempDir dir_;
    ModelDesign design_;
};

TEST_F(AnalysisCli, ReportHasOneCompleteBlockPerPairInPairOrder) {
    const ProcessResult r = run("E");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string report = test::readFile(dir_.file("T.COV"));
    const std::size_t b12 = report.find("\n Covariances and Correlations Between, T1 &, T2 ,for, Public Users.:\n");
    const std::size_t b13 = report.find("\n Covariances and Correlations Between, T1 &, T3 ,for, Public Users.:\n");
    const std::size_t b23 = report.find("\n Covariances and Correlations Between, T2 &, T3 ,for, Public Users.:\n");
    ASSERT_NE(b12, std::string::npos) << report;
    EXPECT_LT(b12, b13);
    EXPECT_LT(b13, b23);
    EXPECT_NE(b23, std::string::npos);
    EXPECT_EQ(count(report, "\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n"), 3);
    EXPECT_EQ(count(report, "\n Cov <1=G+GE><2=Phenotypic>,"), 3);
    EXPECT_EQ(count(report, "\n Correlation, Estimates,"), 3);
    EXPECT_EQ(count(report, "\n Cor <1=G+GE><2=Phenotypic>,"), 3);
    // Per block: 3 component covariance rows, 2 totals, 3 + 2 correlations.
    EXPECT_EQ(count(report, " Cov, "), 9);
    EXPECT_EQ(count(report, "\nCov 2, "), 3);
    EXPECT_EQ(count(report, "\nCov 1, "), 3);
    EXPECT_EQ(count(report, " Cor, "), 9);
    EXPECT_EQ(count(report, "\nCor 2, "), 3);
    EXPECT_EQ(count(report, "\nCor 1, "), 3);
    // Every row ends with its mark.
    const std::regex row("\n(V\\(\\w+\\) Co[vr]|Co[vr] [12]), [^\n]*,  +(NS|S\\+|S\\*|S\\*\\*)(?=\n)");
    EXPECT_EQ(std::distance(std::sregex_iterator(report.begin(), report.end(), row), std::sregex_iterator()), 30) << report;
    // Console: replicate lines, the finish line, then the pair line.
    std::string expected = "\n Var File has been oppened ! \n\n Cov File has been oppened ! \n";
    for (int k = 1; k <= 10; ++k) expected += "Jac " + std::to_string(k) + " / 10\n";
    expected += "\n\nJackknifing Is Finished.\n\nCor 1 & 2, Cor 1 & 3, Cor 2 & 3, \n Time Used (Hour) = ";
    EXPECT_EQ(r.err.substr(0, expected.size()), expected);
}

TEST_F(AnalysisCli, ChineseAndEnglishBlocksDifferOnlyInTheirHeadings) {
    ASSERT_EQ(run("E").exitCode, 0);
    std::string english = test::readFile(dir_.file("T.COV"));
    ASSERT_EQ(run("C").exitCode, 0);
    std::string chinese = test::readFile(dir_.file("T.COV"));
    auto blocks = [](const std::string& text, const std::string& firstHeading) {
        const std::size_t from = text.find(firstHeading);
        const std::size_t to = text.rfind("\n Time Used");
        const std::size_t toChinese = text.rfind("\n 电脑运行时间为");
        return text.substr(from, std::min(to, toChinese) - from);
    };
    english = blocks(english, "\n Covariances and Correlations");
    chinese = blocks(chinese, "\n 协方差和相关分析结果");
    const std::pair<const char*, const char*> headings[] = {
        {"\n Covariances and Correlations Between, ", "\n 协方差和相关分析结果 < "},
        {" &, ", " 和 "},
        {" ,for, Public Users.:\n", " > Public Users. \n"},
        {"\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n", "\n 协方差分量,   估计值,  标准误(S.E.),   P-值 \n"},
        {"\n Cov <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n", "\n协方差<1基因型><2表现型>,  估计值,  标准误(S.E.),   P-值 \n"},
        {"\n Correlation, Estimates,   S.E.,  P-value of Two Tail t-Test \n", "\n 遗传相关分量,   估计值,  标准误(S.E.),   P-值 \n"},
        {"\n Cor <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n", "\n相关系数<1基因型><2表现型>,  估计值,  标准误(S.E.),   P-值 \n"},
    };
    for (const auto& [en, zh] : headings) english = std::regex_replace(english, std::regex(std::regex_replace(en, std::regex(R"([\\^$.|?*+()\[\]{}])"), R"(\$&)")), zh);
    EXPECT_EQ(english, chinese);
}

}  // namespace
}  // namespace minque
