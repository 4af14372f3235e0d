// The companions: the model builder, the variance-file writer and the
// bundled example, end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>

#include "support/test_support.hpp"

namespace minque {
namespace {

using test::ProcessResult;
using test::TempDir;

ProcessResult run(const char* program, const std::vector<std::string>& args, const TempDir& dir) {
    return test::runProcess(program, args, dir.path());
}

std::vector<float> floatsOf(const std::string& bytes) {
    std::vector<float> out(bytes.size() / 4);
    std::memcpy(out.data(), bytes.data(), out.size() * 4);
    return out;
}

// Printed estimate and weight of a component covariance row.
std::pair<double, double> covarianceRow(const std::string& report, const std::string& label, int block) {
    std::string pattern = "\n";
    pattern += std::regex_replace(label, std::regex(R"([()*])"), R"(\$&)");
    pattern += " Cov, ([^,]+), [^,]+, [^,]+, /([^,]+),";
    const std::regex row(pattern);
    auto it = std::sregex_iterator(report.begin(), report.end(), row);
    for (int b = 0; b < block; ++b) ++it;
    return {std::stod((*it)[1]), std::stod((*it)[2])};
}

// Eight genotypes with five plots each, two traits.
class BalancedOneFactor : public testing::Test {
protected:
    void SetUp() override {
        std::mt19937 rng(17);
        std::normal_distribution<double> z(0.0, 1.0);
        std::string text = "Geno Yield Height\n";
        for (int g = 1; g <= 8; ++g) {
            const double a = 2.0 * z(rng), b = 0.5 * a + z(rng);
            for (int k = 0; k < 5; ++k) {
                y1_.push_back(static_cast<float>(10.0 + a + z(rng)));
                y2_.push_back(static_cast<float>(20.0 + b + 1.5 * z(rng)));
                char line[96];
                std::snprintf(line, sizeof line, "%d %.9g %.9g\n", g, y1_.back(), y2_.back());
                text += line;
            }
        }
        test::writeFile(dir_.file("D.TXT"), text);
    }
    // ANOVA estimators from mean cross-products: (between-genotype, residual).
    std::pair<double, double> anova(const std::vector<float>& u, const std::vector<float>& v) const {
        double mu = 0, mv = 0, between = 0, within = 0;
        std::vector<double> gu(8, 0.0), gv(8, 0.0);
        for (int m = 0; m < 40; ++m) {
            gu[m / 5] += u[m] / 5.0;
            gv[m / 5] += v[m] / 5.0;
            mu += u[m] / 40.0;
            mv += v[m] / 40.0;
        }
        for (int m = 0; m < 40; ++m) within += (u[m] - gu[m / 5]) * (v[m] - gv[m / 5]);
        for (int g = 0; g < 8; ++g) between += 5 * (gu[g] - mu) * (gv[g] - mv);
        const double msw = within / 32.0, msb = between / 7.0;
        return {(msb - msw) / 5.0, msw};
    }
    std::vector<std::string> args(int g = 5) const { return test::analysisArgs("E", g, 0, "D.TXT"); }

    TempDir dir_;
    std::vector<float> y1_, y2_;
};

TEST_F(BalancedOneFactor, GeneralModelThroughVarianceAndCovarianceRunsGivesTheAnovaEstimators) {
    const ProcessResult model = run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "1", "--random", "Geno"}, dir_);
    ASSERT_EQ(model.exitCode, 0) << model.err;
    EXPECT_NE(model.out.find("Wrote D.MAT: 40 observations, 2 traits, 1 fixed columns, 1 random factors (8 levels)"), std::string::npos);
    ASSERT_EQ(run(MINQUE_VAR_PATH, args(), dir_).exitCode, 0);
    // Whole-data records of the two traits: unweighted components.
    const std::vector<float> var = floatsOf(test::readFile(dir_.file("MATWRN.var")));
    ASSERT_EQ(var.size(), 9u * 2 * 3);  // (J + 1) t records of K + 1 floats
    for (int trait = 0; trait < 2; ++trait) {
        const auto& y = trait == 0 ? y1_ : y2_;
        const auto [between, residual] = anova(y, y);
        EXPECT_NEAR(var[static_cast<std::size_t>(3 * trait + 1)], between, 1e-5 * residual);
        EXPECT_NEAR(var[static_cast<std::size_t>(3 * trait + 2)], residual, 1e-5 * residual);
    }
    const ProcessResult cov = run(MINQUE_COV_PATH, args(), dir_);
    ASSERT_EQ(cov.exitCode, 0) << cov.err;
    // The report prints weight x component to six digits, with the weights
    // of a one-factor model: 2 for the factor, 0.375 for the residual.
    const std::string report = test::readFile(dir_.file("D.COV"));
    const auto [between, residual] = anova(y1_, y2_);
    const auto [g, wg] = covarianceRow(report, "V(Geno)", 0);
    const auto [e, we] = covarianceRow(report, "V(e)", 0);
    EXPECT_EQ(wg, 2.0);
    EXPECT_EQ(we, 0.375);
    EXPECT_NEAR(g, 2.0 * between, 2e-5 * std::fabs(2.0 * between));
    EXPECT_NEAR(e, 0.375 * residual, 2e-5 * std::fabs(0.375 * residual));
}

TEST_F(BalancedOneFactor, VarianceFileIsNeverClobberedNorLeftHalfWritten) {
    ASSERT_EQ(run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "1", "--random", "Geno"}, dir_).exitCode, 0);
    test::writeFile(dir_.file("D.DAT"), "");
    test::writeFile(dir_.file("MATWRN.var"), "earlier results");
    ProcessResult r = run(MINQUE_VAR_PATH, args(), dir_);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("MATWRN.var already exists in this directory; minque-var does not overwrite it unless the argument "
                         "--replace follows the ten arguments"),
              std::string::npos);
    EXPECT_EQ(test::readFile(dir_.file("MATWRN.var")), "earlier results");
    auto withReplace = args();
    withReplace.push_back("--replace");
    ASSERT_EQ(run(MINQUE_VAR_PATH, withReplace, dir_).exitCode, 0);
    EXPECT_EQ(test::readFile(dir_.file("MATWRN.var")).size(), 9u * 2 * 3 * 4);

    // A malformed model file: the run fails and leaves no variance file.
    std::remove(dir_.file("MATWRN.var").c_str());
    std::string mat = test::readFile(dir_.file("D.MAT"));
    mat.replace(mat.rfind("1,"), 2, "1;");
    test::writeFile(dir_.file("D.MAT"), mat);
    r = run(MINQUE_VAR_PATH, args(), dir_);
    EXPECT_EQ(r.exitCode, 1);
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().filename().string().rfind("MATWRN", 0), std::string::npos) << entry.path();
}

TEST_F(BalancedOneFactor, CovarianceRunNeedsAVarianceFileOfTheSameJackknife) {
    ASSERT_EQ(run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "1", "--random", "Geno"}, dir_).exitCode, 0);
    ASSERT_EQ(run(MINQUE_VAR_PATH, args(5), dir_).exitCode, 0);
    const ProcessResult other = run(MINQUE_COV_PATH, args(4), dir_);  // J = 10 instead of 8
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_NE(other.err.find("MATWRN.var: the variance file holds 216 bytes, but this analysis needs exactly 264 bytes"),
              std::string::npos)
        << other.err;
    EXPECT_EQ(run(MINQUE_COV_PATH, args(5), dir_).exitCode, 0);
}

TEST(BundledExample, GeneratorAndModelBuilderReproduceTheCommittedFiles) {
    TempDir dir;
    ASSERT_EQ(run(MINQUE_EXAMPLE_DATA_PATH, {dir.path()}, dir).exitCode, 0);
    const std::string source = MINQUE_SOURCE_DIR "/examples/";
    EXPECT_EQ(test::readFile(dir.file("EXAMPLE.TXT")), test::readFile(source + "EXAMPLE.TXT"));
    const ProcessResult model = run(MINQUE_MODEL_PATH, {"EXAMPLE.TXT", "--lead", "4", "--ad", "Env,Fem,Male,Blk"}, dir);
    ASSERT_EQ(model.exitCode, 0) << model.err;
    EXPECT_EQ(test::readFile(dir.file("EXAMPLE.MAT")), test::readFile(source + "EXAMPLE.MAT"));
    // The weights carry their genetic meaning: A 2, D 1, AE 2, DE 1, block 0, residual 1.
    EXPECT_TRUE(std::regex_search(model.out, std::regex("V\\(A\\) +6 +2\n.*V\\(D\\) +21 +1\n.*V\\(AE\\) +12 +2\n.*V\\(DE\\) +42 +1\n.*"
                                                        "V\\(B\\) +4 +0\n.*V\\(e\\) +1\n")))
        << model.out;
}

TEST(ModelBuilderCli, RefusesToOverwriteAndNamesUnknownColumns) {
    TempDir dir;
    test::writeFile(dir.file("D.TXT"), "Env Fem Male Y\n1 1 2 3\n1 2 2 4\n");
    test::writeFile(dir.file("D.MAT"), "mine");
    ProcessResult r = run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "3", "--ad", "Env,Fem,Male"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("D.MAT already exists; give --replace to overwrite it"), std::string::npos);
    EXPECT_EQ(test::readFile(dir.file("D.MAT")), "mine");
    r = run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "3", "--ad", "Env,Fem,Male,Blk", "--replace"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("there is no lead column named 'Blk'"), std::string::npos) << r.err;
    r = run(MINQUE_MODEL_PATH, {"D.TXT", "--lead", "3"}, dir);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("give exactly one of --ad and --random"), std::string::npos);
    EXPECT_EQ(test::readFile(dir.file("D.MAT")), "mine");
}

}  // namespace
}  // namespace minque
