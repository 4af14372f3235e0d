// End-to-end runs of minque-cov, each in its own temporary directory.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.hpp"

namespace minque {
namespace {

using test::ProcessResult;
using test::TempDir;

// Standard output without the device banner it must start with: the
// no-device line, or the GPU lines of a machine with CUDA devices (so that
// these tests pass on either). Without a banner the whole output, marked.
std::string afterBanner(const std::string& out) {
    static const std::regex banner(
        "^(  There are no device supporting CUDA, program is running on CPU!|"
        "  Using (Multi-)?GPU!\n(  Device[0-9]+:[^\n]* with [0-9]+MB total memory\\.\n)+)");
    std::smatch m;
    if (!std::regex_search(out, m, banner)) return "<no device banner> " + out;
    return out.substr(static_cast<std::size_t>(m.length(0)));
}

TEST(DeviceBanner, EitherBannerIsAccepted) {
    EXPECT_EQ(afterBanner("  There are no device supporting CUDA, program is running on CPU!\n\n Total"), "\n\n Total");
    EXPECT_EQ(afterBanner("  Using GPU!\n  Device0:NVIDIA H100 80GB HBM3 with 81008MB total memory.\n\n Total"), "\n Total");
    EXPECT_EQ(afterBanner("  Using Multi-GPU!\n  Device0:A with 1MB total memory.\n  Device1:B with 1MB total memory.\n"), "");
    EXPECT_EQ(afterBanner(" Total"), "<no device banner>  Total");
}

// Twelve observations, four levels of one random factor, the intercept, two
// traits; g = 3 gives J = 4 replicates.
class RunDriverCli : public testing::Test {
protected:
    void SetUp() override {
        design_ = test::oneWayDesign(4, 3, 2);
        test::writeAnalysisInputs(dir_, "T", design_, test::randomTraits(5, 12, 2), 2, 4);
        varBytes_ = test::readFile(dir_.file("MATWRN.var"));
    }
    ProcessResult run(const std::vector<std::string>& args, const std::string& input = "") {
        return test::runProcess(MINQUE_COV_PATH, args, dir_.path(), input);
    }
    ProcessResult runAnalysis(const std::string& language, int g = 3, const std::string& data = "T.TXT") {
        return run(test::analysisArgs(language, g, 0, data));
    }
    std::string report() { return test::readFile(dir_.file("T.COV")); }

    TempDir dir_;
    ModelDesign design_;
    std::string varBytes_;
};

// The report with its date and run-time values replaced by fixed marks.
std::string normalised(std::string text) {
    text = std::regex_replace(text, std::regex("Date and Time for Analysis: [^\n]*\n"),
                              "Date and Time for Analysis: DATE\n");
    text = std::regex_replace(text, std::regex("= [0-9.]+ \n"), "= HOURS \n");
    return std::regex_replace(text, std::regex("为[0-9.]+小时"), "为HOURS小时");
}

const char* const kReferences =
    " 1. Rao, C. R. (1971). Estimation of variance and covariance components - MINQUE theory.\n"
    "    Journal of Multivariate Analysis 1: 257-275.\n"
    " 2. Rao, C. R. (1971). Minimum variance quadratic unbiased estimation of variance components.\n"
    "    Journal of Multivariate Analysis 1: 445-456.\n"
    " 3. Henderson, C. R. (1953). Estimation of variance and covariance components.\n"
    "    Biometrics 9: 226-252.\n"
    " 4. Harville, D. A. (1977). Maximum likelihood approaches to variance component estimation\n"
    "    and to related problems. Journal of the American Statistical Association 72: 320-338.\n"
    " 5. Quenouille, M. H. (1956). Notes on bias in estimation. Biometrika 43: 353-360.\n"
    " 6. Miller, R. G. (1974). The jackknife - a review. Biometrika 61: 1-15.\n\n";

std::string englishPreamble() {
    return std::string(" \n Traits =, 2\n Variance components = , 2\n Degree of freedom = , 3\n File name is T.COV \n "
                       "Date and Time for Analysis: DATE\n\n"
                       "\n Variance Components Estimated by MINQUE(0/1) with TALMIX0C.EXE. \n"
                       "\n Jackknifing Over Cell Means Conducted for Estimating S.E. \n"
                       "\n For Statistical Methods, Seeing the Following References:\n") +
           kReferences +
           " NS = Not significant; S+ = Significant at 0.10 level. \n"
           " S* = Significant at 0.05 level; S** = Significant at 0.01 level. \n\n";
}

std::string chinesePreamble() {
    return std::string(" \n 性状数, 2\n 协方差分量数, 2\n 自由度, 3\n 文件名是: T.COV \n "
                       "Date and Time for Analysis: DATE\n\n"
                       "\n 采用MINQUE(0/1)法估算方差分量 <运行RAVEZO0.EXE>.\n\n"
                       "\n 统计分析方法参见以下参考文献:\n") +
           kReferences +
           " NS = 不显著; S+ = 显著达到0.10 水准. \n"
           " S* = 显著达到0.05 水准; S** = 显著达到0.01 水准. \n\n";
}

TEST_F(RunDriverCli, NineArgumentsAreRefusedTenRun) {
    std::vector<std::string> args = test::analysisArgs("E", 3, 0, "T.TXT");
    const ProcessResult ten = run(args);
    EXPECT_EQ(ten.exitCode, 0) << ten.err;
    args.pop_back();
    const ProcessResult nine = run(args);
    EXPECT_EQ(nine.exitCode, 1);
    EXPECT_EQ(nine.err, "Input argument error.\n");
    EXPECT_EQ(afterBanner(nine.out), "");
}

TEST_F(RunDriverCli, CompleteRunPrintsSizeLineWritesReportAndRemovesScratchFiles) {
    const ProcessResult r = runAnalysis("E");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(afterBanner(r.out), "\n\n Total size = 12, Fixed effect = 1, Random factor = 1\n\n\n");
    EXPECT_EQ(r.err.rfind("\n Var File has been oppened ! \n\n Cov File has been oppened ! \n", 0), 0u) << r.err;
    EXPECT_TRUE(std::regex_search(r.err, std::regex("\n Time Used \\(Hour\\) = 0\\.000[0-9]{3} \n\n Analysis Is Completed.\n "
                                                    "Results Are Stored In File T.COV.\n\n Please Press Alt\\+F4 to "
                                                    "Close This Screen.\n$")))
        << r.err;
    const std::string text = normalised(report());
    EXPECT_EQ(text.rfind(englishPreamble(), 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 28), "\n Time Used (Hour) = HOURS \n");
    for (const char* scratch : {"MATRIX.UQ2", "MATRIX.UQ3", "MATRIX.cov"}) EXPECT_FALSE(test::fileExists(dir_.file(scratch)));
    EXPECT_EQ(test::readFile(dir_.file("MATWRN.var")), varBytes_);
}

TEST_F(RunDriverCli, FirstArgumentChoosesTheLanguage) {
    for (const char* language : {"c", "C", "Chinese"}) {
        const ProcessResult r = runAnalysis(language);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string text = normalised(report());
        EXPECT_EQ(text.rfind(chinesePreamble(), 0), 0u) << text;
        EXPECT_NE(text.find("\n 电脑运行时间为HOURS小时\n"), std::string::npos);
        // Standard error keeps the English run-time line.
        EXPECT_TRUE(std::regex_search(r.err, std::regex("\n Time Used \\(Hour\\) = [0-9.]+ \n\n 电脑运算已完毕. \n "
                                                        "分析结果储存在文件T.COV中.\n\n 请同时输入Alt键和F4键，关掉该运行的窗口。\n$")))
            << r.err;
    }
    for (const char* language : {"E", "x", ""}) {
        const ProcessResult r = runAnalysis(language);
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(normalised(report()).rfind(englishPreamble(), 0), 0u);
    }
}

TEST_F(RunDriverCli, PlaceholderArgumentsChangeNothing) {
    const ProcessResult plain = runAnalysis("E");
    const std::string plainReport = normalised(report());
    std::vector<std::string> args = test::analysisArgs("E", 3, 0, "T.TXT");
    for (int position : {2, 3, 4, 6, 7, 9}) args[static_cast<std::size_t>(position - 1)] = "any text -1 x";
    const ProcessResult other = run(args);
    EXPECT_EQ(other.exitCode, 0);
    EXPECT_EQ(other.out, plain.out);
    EXPECT_EQ(normalised(other.err), normalised(plain.err));
    EXPECT_EQ(normalised(report()), plainReport);
}

TEST_F(RunDriverCli, MissingInputFileEndsSilently) {
    for (const char* missing : {"T.TXT", "T.MAT", "T.DAT"}) {
        SCOPED_TRACE(missing);
        TempDir other;
        test::writeAnalysisInputs(other, "T", design_, test::randomTraits(5, 12, 2), 2, 4);
        std::remove(other.file(missing).c_str());
        const ProcessResult r = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), other.path());
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(afterBanner(r.out), "");
        EXPECT_FALSE(test::fileExists(other.file("T.COV")));
    }
}

TEST_F(RunDriverCli, MissingVarianceFileEndsAfterThePreambleWithTheFatalLines) {
    std::remove(dir_.file("MATWRN.var").c_str());
    const ProcessResult english = runAnalysis("E");
    EXPECT_EQ(english.exitCode, 1);
    EXPECT_EQ(english.err,
              "Can't Open Var File. Quit Analysis! \n\n You Data Is Too Big for Runing in DOS System.\n\n You Should "
              "Analyze the Data in UNIX System.\n...Now Exiting to System...\n");
    EXPECT_EQ(normalised(report()), englishPreamble());
    const ProcessResult chinese = runAnalysis("C");
    EXPECT_EQ(chinese.exitCode, 1);
    EXPECT_EQ(chinese.err,
              "Can't Open Var File. Quit Analysis! \n\n您的数据太大了, 无法在DOS系统中分析!\n\n您需要在UNIX系统中运行统计分析软件!\n"
              "...无法执行软件. 退回DOS系统...\n");
    EXPECT_EQ(normalised(report()), chinesePreamble());
}

TEST_F(RunDriverCli, ImpossibleChoicesAreRefusedBeforeTheReport) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {test::analysisArgs("E", 0, 0, "T.TXT"), "jackknife group size \\(argument 5\\) must be at least 1; it is '0'"},
        {{"E", "0", "0", "0", "abc", "0", "0", "0", "0", "T.TXT"}, "group size .* it is 'abc'"},
        {test::analysisArgs("E", 7, 0, "T.TXT"), "at least 2 replicates, but 12 observations in groups of 7 .* give 1"},
        {test::analysisArgs("E", 3, 0, "T.X"), "data file name \\(argument 10\\) 'T.X' must end in a point and a three-character"},
        {test::analysisArgs("E", 3, 0, "T_TXT"), "'T_TXT' must end in a point"},
        {test::analysisArgs("E", 3, 0, "T.COV"), "would be overwritten by the report T.COV"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = run(c.args);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(std::regex_search(r.err, std::regex(c.message))) << r.err;
        EXPECT_FALSE(test::fileExists(dir_.file("T.COV")));
    }
}

TEST_F(RunDriverCli, VarianceFileOfAnotherSizeIsRefusedWithBothSizes) {
    for (int cut : {4, -4}) {
        std::string bytes = varBytes_;
        if (cut > 0) bytes.resize(bytes.size() - static_cast<std::size_t>(cut));
        else bytes.append(static_cast<std::size_t>(-cut), '\0');
        test::writeFile(dir_.file("MATWRN.var"), bytes);
        const ProcessResult r = runAnalysis("E");
        EXPECT_EQ(r.exitCode, 1);
        const std::string expected = "MATWRN.var: the variance file holds " + std::to_string(bytes.size()) +
                                     " bytes, but this analysis needs exactly 120 bytes: \\(J \\+ 1\\) x t = 5 x 2 records "
                                     "of K \\+ 1 = 3 floats";
        EXPECT_TRUE(std::regex_search(r.err, std::regex(expected))) << r.err;
        EXPECT_EQ(normalised(report()), englishPreamble());
        EXPECT_EQ(test::readFile(dir_.file("MATWRN.var")), bytes);
        EXPECT_FALSE(test::fileExists(dir_.file("MATRIX.lock")));  // released by the stopped run too
    }
}

TEST_F(RunDriverCli, NoTraitsInTheModelAsksForTheirNumberAndRunsNoPairs) {
    ModelDesign none = design_;
    none.traitCount = 0;
    test::writeAnalysisInputs(dir_, "T", none, {}, 2, 4);
    // The answer is the trait count of the variance file: here 2 traits of 5 records.
    test::writeFile(dir_.file("MATWRN.var"), varBytes_);
    const ProcessResult r = run(test::analysisArgs("E", 3, 0, "T.TXT"), "2\n");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\n\n Number of Iterations for Simulation ="), std::string::npos);
    EXPECT_NE(report().find(" Traits =, 2\n"), std::string::npos);
    EXPECT_EQ(report().find("Covariances and Correlations"), std::string::npos);
}

}  // namespace
}  // namespace minque
