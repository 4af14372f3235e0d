// minque-var and minque-cov over MPI ranks: the files of a run over 2 and 3
// ranks equal a single process's, and a failing rank ends every rank with its
// message and nothing left behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace minque {
namespace {

#ifdef MINQUE_MPIEXEC
test::ProcessResult onRanks(int ranks, const std::string& program, std::vector<std::string> args, const std::string& cwd) {
    // Open MPI keeps some of its own allocations to the end of the process,
    // which the sanitizer build's leak check would report as ours.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    // The launcher's own session folder goes in a folder of its own, removed
    // after the run: Open MPI's launcher can crash while it finalizes after
    // an abort and leave that folder behind, which is the launcher's
    // leftover, not the programs'. What the programs themselves leave is
    // still looked for in TMPDIR after every test.
    test::TempDir launcher;
    // A time limit: no rank may wait for ever on a dead one (and a launcher
    // that ignores the TERM signal is killed 10 s later).
    std::vector<std::string> command = {"-k", "10", "120", MINQUE_MPIEXEC, "--oversubscribe", "--allow-run-as-root",
                                        "--mca", "orte_tmpdir_base", launcher.path(), "-np", std::to_string(ranks), program};
    command.insert(command.end(), args.begin(), args.end());
    return test::runProcess("/usr/bin/timeout", command, cwd);
}

// Two random factors of 4 and two of 3 levels with covariance components
// between them, 3 traits, n = 50 in groups of 7: J = 7 replicates, 8 passes,
// dealt unevenly over 3 ranks (and J odd for 2).
struct Inputs {
    test::TempDir dir;
    Inputs() {
        ModelDesign design = test::randomDesign(41, 50, {4, 3, 4, 3}, 1, 3);
        design.componentNames = {"V(F1)", "V(F2)", "V(F3)", "V(F4)", "C(1,3)", "C(2,4)", "V(e)", "-", "-"};
        test::writeAnalysisInputs(dir, "M", design, test::randomTraits(5, 50, 3), 7, 7);
        std::filesystem::remove(dir.file("MATWRN.var"));
    }
};

TEST(MpiRanks, TwoAndThreeRanksWriteTheFilesOfOneProcess) {
    const auto args = test::analysisArgs("E", 7, 1, "M.TXT");
    std::string expected[3];
    {
        Inputs in;
        ASSERT_EQ(test::runProcess(MINQUE_VAR_PATH, args, in.dir.path()).exitCode, 0);
        ASSERT_EQ(test::runProcess(MINQUE_COV_PATH, args, in.dir.path()).exitCode, 0);
        expected[0] = test::readFile(in.dir.file("MATWRN.var"));
        expected[1] = test::withoutClock(test::readFile(in.dir.file("M.VAR")));
        expected[2] = test::withoutClock(test::readFile(in.dir.file("M.COV")));
    }
    for (int ranks : {2, 3, 9}) {
        SCOPED_TRACE(std::to_string(ranks) + " ranks");
        Inputs in;
        const auto var = onRanks(ranks, MINQUE_VAR_PATH, args, in.dir.path());
        ASSERT_EQ(var.exitCode, 0) << var.err;
        const auto cov = onRanks(ranks, MINQUE_COV_PATH, args, in.dir.path());
        ASSERT_EQ(cov.exitCode, 0) << cov.err;
        EXPECT_EQ(test::readFile(in.dir.file("MATWRN.var")), expected[0]);
        EXPECT_EQ(test::withoutClock(test::readFile(in.dir.file("M.VAR"))), expected[1]);
        EXPECT_EQ(test::withoutClock(test::readFile(in.dir.file("M.COV"))), expected[2]);
        EXPECT_NE(cov.err.find("Jac 7 / 7"), std::string::npos);
        if (ranks == 9) {
            EXPECT_NE(cov.err.find("[rank 8] no estimation pass for this rank"), std::string::npos);
        }
        for (const char* scratch : {"MATRIX.UQ2", "MATRIX.UQ3", "MATRIX.cov", "MATRIX.lock"})
            EXPECT_FALSE(test::fileExists(in.dir.file(scratch))) << scratch;
    }
}

TEST(MpiRanks, AFailingRankEndsEveryRankWithItsMessageAndNoScratchLeft) {
    Inputs in;
    auto args = test::analysisArgs("E", 7, 1, "M.TXT");
    args.insert(args.end(), {"--scratch", in.dir.file("no/such/folder")});
    const auto run = onRanks(3, MINQUE_VAR_PATH, args, in.dir.path());
    EXPECT_EQ(run.exitCode, 1) << run.err;
    // Ranks 1 and 2 both fail; the first to stop ends the others.
    EXPECT_TRUE(std::regex_search(run.err, std::regex("\\[rank [12]\\] " + in.dir.file("no/such/folder") +
                                                          ": a private scratch file cannot be created in this folder")))
        << run.err;
    // No scratch file and no variance file, whenever the launcher killed
    // rank 0. (The lock file may stay when rank 0 is killed at once; it does
    // not block the next run, which locks the file, not its name.)
    for (const auto& entry : std::filesystem::directory_iterator(in.dir.path())) {
        const std::string name = entry.path().filename().string();
        if (name == "MATRIX.lock") continue;
        EXPECT_TRUE(name.rfind("MATRIX.", 0) != 0 && name.rfind("MATWRN.var", 0) != 0) << name << " left behind";
    }
    // The next run in the directory is not blocked.
    auto plain = test::analysisArgs("E", 7, 1, "M.TXT");
    EXPECT_EQ(test::runProcess(MINQUE_VAR_PATH, plain, in.dir.path()).exitCode, 0);
}

TEST(MpiRanks, AFailureOnRankZeroEndsEveryRankAndLeavesNothing) {
    // Rank 0 alone writes the report: a folder in its place stops rank 0
    // after the lock is taken, while the other ranks wait for it. Open MPI's
    // launcher now and then hangs, or crashes in its own finalisation
    // (PMIx_server_finalize), after the abort on a loaded machine (every rank
    // of ours has ended by then): a run cut by the time limit or ended by a
    // signal is tried once more, from new inputs; ranks of ours that waited
    // for ever would be cut both times.
    std::optional<Inputs> in;
    test::ProcessResult run;
    for (int attempt = 0; attempt < 2; ++attempt) {
        in.emplace();
        std::filesystem::create_directory(in->dir.file("M.VAR"));
        run = onRanks(3, MINQUE_VAR_PATH, test::analysisArgs("E", 7, 1, "M.TXT"), in->dir.path());
        if (run.exitCode != 124 && run.exitCode != 137 && run.exitCode != -1) break;
    }
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE((run.out + run.err).find("Can't Open Cor File. Quit Analysis!"), std::string::npos) << run.out << run.err;
    for (const auto& entry : std::filesystem::directory_iterator(in->dir.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name.rfind("MATRIX.", 0) != 0 && name.rfind("MATWRN.var", 0) != 0) << name << " left behind";
    }
    EXPECT_TRUE(std::filesystem::is_empty(in->dir.file("M.VAR")));
}
#else
TEST(MpiRanks, NotBuiltWithMpi) { GTEST_SKIP() << "built without MPI (MINQUE_MPI=OFF or no MPI found)"; }
#endif

}  // namespace
}  // namespace minque
