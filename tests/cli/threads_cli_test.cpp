// The analysis through the library with one worker thread and with two: the
// reports must be byte-identical.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "jackknife_engine/driver/run_driver.hpp"
#include "linalg/worker_pool.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// Runs the analysis in a child process (it changes directory and ends with
// exit on failure) with `threads` workers; returns the exit code.
int analyseWithThreads(AnalysisKind kind, const std::string& dir, int threads, std::vector<std::string> args) {
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        if (chdir(dir.c_str()) != 0) _exit(127);
        setWorkerThreads(threads);
        args.insert(args.begin(), "minque");
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        _exit(runAnalysis(kind, static_cast<int>(args.size()), argv.data()));
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(WorkerThreads, OneAndTwoThreadsWriteTheSameReports) {
    // Large enough for blocked updates, catch-ups and several record batches;
    // covariance components on.
    ModelDesign design = test::randomDesign(31, 240, {12, 60, 12, 60}, 1, 3);
    design.componentNames = {"V(F1)", "V(F2)", "V(F3)", "V(F4)", "C(1,3)", "C(2,4)", "V(e)", "-", "-"};
    std::string reports[2][2];
    for (int threads : {1, 2}) {
        test::TempDir dir;
        const auto traits = test::randomTraits(8, 240, 3);
        test::writeAnalysisInputs(dir, "T", design, traits, 7, 24);
        std::remove(dir.file("MATWRN.var").c_str());
        const auto args = test::analysisArgs("E", 10, 1, "T.TXT");
        ASSERT_EQ(analyseWithThreads(AnalysisKind::Variances, dir.path(), threads, args), 0);
        ASSERT_EQ(analyseWithThreads(AnalysisKind::Covariances, dir.path(), threads, args), 0);
        reports[threads - 1][0] = test::withoutClock(test::readFile(dir.file("T.VAR")));
        reports[threads - 1][1] = test::withoutClock(test::readFile(dir.file("T.COV")));
    }
    EXPECT_EQ(reports[0][0], reports[1][0]);
    EXPECT_EQ(reports[0][1], reports[1][1]);
    EXPECT_NE(reports[0][1].find("C(1,3) Cov, "), std::string::npos);
}

}  // namespace
}  // namespace minque
