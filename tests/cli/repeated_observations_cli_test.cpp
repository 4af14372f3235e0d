// A random column may list an observation several times (it counts with the
// sum of its coefficients), so a column can hold more entries than there are
// observations. Such a model once crashed both programs in the fast kernels.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "support/test_support.hpp"

namespace minque {
namespace {

// The README's six-observation example, with random column 1 listing
// observations 1, 2 and 3 four times each, then 4, 5 and 6: 15 entries.
constexpr const char* kModel =
    "1,2,\n"
    "6,1,1,2,0,0,0,0,\n"
    "V(G) V(e) x x x x\n"
    "1,1,\n"
    "2,1,\n"
    "1,\n"
    "1,6,\n"
    "15,3,\n"
    "1,2,3,4,5,6,\n"
    "1,1,2,1,3,1,1,1,2,1,3,1,1,1,2,1,3,1,1,1,2,1,3,1,4,1,5,1,6,1,\n"
    "4,1,5,1,6,1,\n";

constexpr const char* kData =
    "Plot Yield Height\n"
    "1 4.5 101\n"
    "2 5.25 97\n"
    "3 3.75 110\n"
    "4 6.5 104\n"
    "5 5.0 99.5\n"
    "6 4.0 108\n";

struct Outputs {
    std::string variances, covariances, varianceFile;
};

Outputs runBoth(const std::vector<std::string>& extra) {
    test::TempDir dir;
    test::writeFile(dir.file("SIX.MAT"), kModel);
    test::writeFile(dir.file("SIX.TXT"), kData);
    test::writeFile(dir.file("SIX.DAT"), "");
    auto args = test::analysisArgs("E", 1, 0, "SIX.TXT");
    args.insert(args.end(), extra.begin(), extra.end());
    const auto var = test::runProcess(MINQUE_VAR_PATH, args, dir.path());
    EXPECT_EQ(var.exitCode, 0) << var.err;
    const auto cov = test::runProcess(MINQUE_COV_PATH, args, dir.path());
    EXPECT_EQ(cov.exitCode, 0) << cov.err;
    for (const char* scratch : {"MATRIX.UQ2", "MATRIX.UQ3", "MATRIX.cov"})
        EXPECT_FALSE(test::fileExists(dir.file(scratch))) << scratch;
    return {test::withoutClock(test::readFile(dir.file("SIX.VAR"))), test::withoutClock(test::readFile(dir.file("SIX.COV"))),
            test::readFile(dir.file("MATWRN.var"))};
}

TEST(RepeatedObservations, AColumnLongerThanTheObservationsRunsToTheReferenceKernelsReports) {
    const Outputs fast = runBoth({});
    const Outputs reference = runBoth({"--reference-kernels"});
    EXPECT_EQ(fast.variances, reference.variances);
    EXPECT_EQ(fast.covariances, reference.covariances);
    EXPECT_EQ(fast.varianceFile, reference.varianceFile);
    EXPECT_EQ(fast.varianceFile.size(), 7u * 2u * 3u * 4u);  // (J + 1) t records of K + 1 floats
    EXPECT_NE(fast.covariances.find("Yield"), std::string::npos);
}

}  // namespace
}  // namespace minque
