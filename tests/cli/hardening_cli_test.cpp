// Hostile files, failing writes and concurrent runs: a clear message, exit
// code 1, input files unchanged.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "support/test_support.hpp"

namespace minque {
namespace {

using test::ProcessResult;
using test::TempDir;

// The input files of an analysis, to check that nothing wrote to them.
struct Inputs {
    std::string mat, txt, dat, var;
    explicit Inputs(const TempDir& dir)
        : mat(test::readFile(dir.file("T.MAT"))), txt(test::readFile(dir.file("T.TXT"))),
          dat(test::readFile(dir.file("T.DAT"))), var(test::readFile(dir.file("MATWRN.var"))) {}
    bool operator==(const Inputs&) const = default;
};

TEST(Hardening, CountsBeyondMemoryEndWithTheAllocatorsMessage) {
    TempDir dir;
    test::writeFile(dir.file("T.MAT"), "0,1,\n2000000000,1,1,1,0,0,0,0,\nV(A) V(e) - - - -\n1,1,\n1,1,\n1,\n");
    test::writeFile(dir.file("T.TXT"), "Y\n1\n");
    test::writeFile(dir.file("T.DAT"), "");
    const ProcessResult r = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("allocation failure 2? ?in dmatrix\\(\\)\n\n You Data Is Too Big")))
        << r.err;
}

TEST(Hardening, NonFiniteAndOverflowingNumbersAreRefusedWithTheirPlace) {
    TempDir dir;
    const ModelDesign d = test::oneWayDesign(4, 3, 2);
    test::writeAnalysisInputs(dir, "T", d, test::randomTraits(5, 12, 2), 2, 4);
    test::writeFile(dir.file("T.TXT"), std::string("T1 T2 \n1 2\n3 4\n5 -inf\n"));
    const Inputs before(dir);
    ProcessResult r = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("T.TXT: line 4: observation 3, trait 2 (T2): '-inf' is not a finite number"), std::string::npos)
        << r.err;
    EXPECT_TRUE(Inputs(dir) == before);
    std::string mat = test::readFile(dir.file("T.MAT"));
    mat.replace(0, mat.find(','), "4294967296");
    test::writeFile(dir.file("T.MAT"), mat);
    r = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir.path());
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("T.MAT: line 1: item 1, lead column count: the number '4294967296' is too large"), std::string::npos)
        << r.err;
}

class FullDisk : public testing::Test {
protected:
    void SetUp() override {
        test::writeAnalysisInputs(dir_, "T", test::oneWayDesign(4, 3, 2), test::randomTraits(5, 12, 2), 2, 4);
    }
    TempDir dir_;
};

TEST_F(FullDisk, AFailingScratchWriteStopsTheRunNamingTheFile) {
    // 50 records of 201 floats (40 kB) do not fit in 8 kB; the report would.
    TempDir dir;
    test::writeAnalysisInputs(dir, "T", test::randomDesign(4, 200, {50}, 1, 2), test::randomTraits(5, 200, 2), 2, 10);
    const Inputs before(dir);
    const ProcessResult r =
        test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 20, 0, "T.TXT"), dir.path(), "", 8192);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("MATRIX.UQ2: a record of 201 floats could not be written (File too large)"), std::string::npos)
        << r.err;
    EXPECT_TRUE(Inputs(dir) == before);
}

TEST_F(FullDisk, AFailingReportWriteStopsTheRunNamingTheReport) {
    // Room for the scratch files (a few hundred bytes) but not the report.
    const Inputs before(dir_);
    const ProcessResult r =
        test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir_.path(), "", 1000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("T.COV: the report could not be written (File too large)"), std::string::npos) << r.err;
    EXPECT_TRUE(Inputs(dir_) == before);
}

TEST_F(FullDisk, AFailedVarianceRunLeavesNoVarianceFile) {
    std::remove(dir_.file("MATWRN.var").c_str());
    const ProcessResult r =
        test::runProcess(MINQUE_VAR_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir_.path(), "", 1000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("T.VAR: the report could not be written (File too large)"), std::string::npos) << r.err;
    EXPECT_FALSE(test::fileExists(dir_.file("MATWRN.var")));
}

TEST(FullDiskRecords, AFailingRecordFileWriteStopsTheRunNamingTheFile) {
    // 30 traits, one factor of 2 levels, J = 20: the product records (1.6 kB
    // each file) fit in 4 kB, the variance records (7.5 kB) and the pairs'
    // covariance records (110 kB) do not.
    for (const char* program : {MINQUE_VAR_PATH, MINQUE_COV_PATH}) {
        const bool variances = std::string(program) == MINQUE_VAR_PATH;
        SCOPED_TRACE(program);
        TempDir dir;
        test::writeAnalysisInputs(dir, "T", test::randomDesign(6, 200, {2}, 1, 30), test::randomTraits(7, 200, 30), 2, 20);
        if (variances) std::remove(dir.file("MATWRN.var").c_str());
        const std::string varBefore = variances ? "" : test::readFile(dir.file("MATWRN.var"));
        const ProcessResult r = test::runProcess(program, test::analysisArgs("E", 10, 0, "T.TXT"), dir.path(), "", 4096);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_NE(r.err.find(variances ? "MATWRN.var: " : "MATRIX.cov: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("could not be written"), std::string::npos) << r.err;
        if (variances)
            EXPECT_FALSE(test::fileExists(dir.file("MATWRN.var")));
        else
            EXPECT_EQ(test::readFile(dir.file("MATWRN.var")), varBefore);
    }
}

TEST(ConcurrentRuns, ALockFileLeftByAKilledRunDoesNotBlockTheNext) {
    TempDir dir;
    test::writeAnalysisInputs(dir, "T", test::oneWayDesign(4, 3, 2), test::randomTraits(5, 12, 2), 2, 4);
    test::writeFile(dir.file("MATRIX.lock"), "");
    const ProcessResult r = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 3, 0, "T.TXT"), dir.path());
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(test::fileExists(dir.file("T.COV")));
}

TEST(ConcurrentRuns, ASecondRunInTheSameDirectoryStopsAndTheFirstIsUnaffected) {
    // Long enough (about a second) for the second run to start meanwhile.
    const ModelDesign d = test::randomDesign(9, 1000, {50, 150}, 1, 2);
    const auto traits = test::randomTraits(3, 1000, 2);
    TempDir shared, alone;
    test::writeAnalysisInputs(shared, "T", d, traits, 3, 100);
    test::writeAnalysisInputs(alone, "T", d, traits, 3, 100);
    const auto args = test::analysisArgs("E", 10, 0, "T.TXT");
    ASSERT_EQ(test::runProcess(MINQUE_COV_PATH, args, alone.path()).exitCode, 0);
    const Inputs before(shared);

    // The first run's standard error comes through a pipe: its line about the
    // variance file comes after it has taken the directory's lock (the lock
    // file appears a moment before the lock is held).
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    const pid_t first = fork();
    if (first == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(errors[1], 2);
        close(errors[0]);
        if (chdir(shared.path().c_str()) != 0) _exit(127);
        std::vector<char*> argv{const_cast<char*>(MINQUE_COV_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(MINQUE_COV_PATH, argv.data());
        _exit(127);
    }
    close(errors[1]);
    std::string told;
    char buffer[256];
    for (ssize_t got; told.find("Var File has been oppened") == std::string::npos &&
                      (got = read(errors[0], buffer, sizeof buffer)) > 0;)
        told.append(buffer, static_cast<std::size_t>(got));
    if (told.find("Var File has been oppened") == std::string::npos) {
        kill(first, SIGKILL);
        waitpid(first, nullptr, 0);
        close(errors[0]);
        FAIL() << "the first run never got going: " << told;
    }
    const ProcessResult second = test::runProcess(MINQUE_COV_PATH, args, shared.path());
    int status = 0;
    // Drain the first run's remaining lines, so that it never waits on the pipe.
    while (read(errors[0], buffer, sizeof buffer) > 0) {
    }
    close(errors[0]);
    waitpid(first, &status, 0);
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("Another analysis is running in this directory (MATRIX.lock is locked)"), std::string::npos)
        << second.err;
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(test::withoutClock(test::readFile(shared.file("T.COV"))), test::withoutClock(test::readFile(alone.file("T.COV"))));
    EXPECT_TRUE(Inputs(shared) == before);
    EXPECT_FALSE(test::fileExists(shared.file("MATRIX.lock")));
}

TEST(Interrupts, TheFirstInterruptStopsTheRunAfterItsPassAndLeavesNothing) {
    // Long enough (a hundred passes) for the signal to arrive mid-run.
    const ModelDesign d = test::randomDesign(9, 1000, {50, 150}, 1, 2);
    TempDir dir;
    test::writeAnalysisInputs(dir, "T", d, test::randomTraits(3, 1000, 2), 3, 100);
    std::remove(dir.file("MATWRN.var").c_str());
    for (const int signal : {SIGINT, SIGTERM}) {
        const ProcessResult var = test::runProcessInterrupted(MINQUE_VAR_PATH, test::analysisArgs("E", 10, 0, "T.TXT"),
                                                              dir.path(), "Jac 1 / 100", signal);
        EXPECT_EQ(var.exitCode, 128 + signal) << var.err;
        EXPECT_TRUE(std::regex_search(var.err, std::regex("\nInterrupted: the run stopped after [0-9]+ of 100 jackknife "
                                                          "replicates; its unfinished files were removed\n$")))
            << var.err;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"T.DAT", "T.MAT", "T.TXT"}));
    }

    // The front door: no output folder, no staging folder.
    std::string table = "A,B,Y1,Y2\n";
    for (int r = 0; r < 1000; ++r)
        table += std::to_string(r % 50) + "," + std::to_string(r % 150) + "," + std::to_string(std::sin(r)) + "," +
                 std::to_string(std::cos(0.7 * r)) + "\n";
    // The jackknife's passes, and the bootstrap's samples (enough of them to
    // be mid-run when the signal comes).
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"--se", "jackknife", "--group", "10"}, " of 100 jackknife replicates"},
        {{"--bootstrap", "200000"}, " of 200000 bootstrap samples"}};
    for (const auto& [options, stopped] : runs) {
        TempDir front;
        test::writeFile(front.file("TAB.csv"), table);
        std::vector<std::string> args = {"analyse", "TAB.csv", "--random", "A,B"};
        args.insert(args.end(), options.begin(), options.end());
        const ProcessResult analyse =
            test::runProcessInterrupted(MINQUE_FRONT_DOOR_PATH, args, front.path(), "minque analyse:", SIGINT);
        EXPECT_EQ(analyse.exitCode, 130) << analyse.err;
        EXPECT_NE(analyse.err.find(stopped + "; its unfinished files were removed"), std::string::npos) << analyse.err;
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(front.path()))
            names.push_back(entry.path().filename().string());
        EXPECT_EQ(names, (std::vector<std::string>{"TAB.csv"}));
    }
}

}  // namespace
}  // namespace minque
