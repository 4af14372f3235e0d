// The faults a hostile trial found, one suite per class of input: thread
// limits, outputs over inputs, results that do not belong together, phantom
// levels, re-entered callbacks, outputs lost or mixed, files left behind,
// planted links, nonsense options and unclear messages. Each test says which
// fault it guards. Everything runs in temporary folders of its own.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <regex>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "linalg/worker_pool.hpp"
#include "minquecov/analysis.hpp"
#include "report/result_tables.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

namespace fs = std::filesystem;

std::string exampleTable() { return test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT"); }

test::ProcessResult minque(const std::vector<std::string>& args, const std::string& cwd) {
    return test::runProcess(MINQUE_FRONT_DOOR_PATH, args, cwd);
}

// The example's model, with a small bootstrap.
std::vector<std::string> exampleRun(std::vector<std::string> args) {
    for (const char* a : {"--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--bootstrap", "20"})
        args.push_back(a);
    return args;
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// ---- 1. Thread limits ----------------------------------------------------------

// Fault: --threads above the hardware's ran hundreds of times slower, and a
// thread the system refused to start ended the process (and R with it).
TEST(HostileThreads, MoreThreadsThanTheHardwareAreCappedWithANote) {
    AnalysisRequest request = test::exampleDiallel(trialDataFromText(exampleTable(), "EX.TXT"));
    request.options.threads = 100000;
    std::string notes;
    AnalysisProgress progress;
    progress.note = [&notes](const std::string& note) { notes += note + "\n"; };
    const AnalysisResult result = analyse(request, progress);
    EXPECT_EQ(result.threads, hardwareThreads());
    EXPECT_NE(notes.find("--threads 100000 is more than this machine's"), std::string::npos) << notes;
}

TEST(HostileThreads, AThreadTheSystemRefusesLeavesAPoolOfThoseThatStarted) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit and a sanitizer's shadow memory do not mix";
#else
    // In a child: an address space that holds a few threads' stacks only.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        long pages = 0;
        if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
            if (std::fscanf(statm, "%ld", &pages) != 1) pages = 0;
            std::fclose(statm);
        }
        const rlim_t limit = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (64u << 20);
        const rlimit address{limit, limit};
        if (setrlimit(RLIMIT_AS, &address) != 0) _exit(3);
        setWorkerThreads(400);
        const int started = workerThreads();
        std::vector<int> ran(static_cast<std::size_t>(started), 0);
        runOnWorkers([&ran](int worker) { ran[static_cast<std::size_t>(worker)] = 1; });
        int all = 0;
        for (int r : ran) all += r;
        _exit(started >= 1 && started < 400 && all == started ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
#endif
}

// ---- 2. Outputs over inputs ------------------------------------------------------

// Fault: --out naming the data file's folder with --replace replaced the data
// file with the engine's coded copy; a data file named as a table was
// overwritten the same way.
TEST(HostileInputs, TheDataFileIsNeverReplacedByAnOutput) {
    test::TempDir dir;
    fs::create_directories(dir.file("x"));
    const std::string data = exampleTable();
    for (const char* name : {"EXAMPLE.TXT", "variances.csv", "run.txt"}) {
        SCOPED_TRACE(name);
        const std::string path = std::string("x/") + name;
        test::writeFile(dir.file(path), data);
        const auto run = minque(exampleRun({"analyse", path, "--out", "x", "--replace"}), dir.path());
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find("which is its input " + path), std::string::npos) << run.err;
        EXPECT_EQ(test::readFile(dir.file(path)), data);
        fs::remove(dir.file(path));
    }
    // A link in the output folder to the data file elsewhere.
    test::writeFile(dir.file("EX.TXT"), data);
    fs::create_symlink("../EX.TXT", dir.file("x/summary.html"));
    const auto linked = minque(exampleRun({"analyse", "EX.TXT", "--out", "x", "--replace"}), dir.path());
    EXPECT_EQ(linked.exitCode, 1) << linked.err;
    EXPECT_EQ(test::readFile(dir.file("EX.TXT")), data);
}

// ---- 3. Results that do not belong together -------------------------------------

// Fault: a copy of a prepared analysis ran on the engine state its original
// had used up, and gave other numbers.
static_assert(!std::is_copy_constructible_v<PreparedAnalysis> && !std::is_copy_assignable_v<PreparedAnalysis>,
              "a prepared analysis runs once: it moves, it is not copied");
static_assert(std::is_move_constructible_v<PreparedAnalysis>);
// Nor field by field: its model is the library's alone.
template <class T>
concept ExposesItsModel = requires(T p) { p.model; } || requires(T p) { p.model_; };
static_assert(!ExposesItsModel<PreparedAnalysis>, "a prepared analysis's model cannot be reached from outside the library");

// ---- 4. Phantom levels -----------------------------------------------------------

// The example as a table of text columns, the cell (row, column) respelt:
// "%s" in the new text stands for the cell's own text.
AnalysisRequest respelt(const std::vector<std::tuple<int, int, std::string>>& cells) {
    AnalysisRequest request = test::exampleDiallel(trialDataFromText(exampleTable(), "EX.TXT"));
    for (const auto& [row, column, text] : cells) {
        std::string& cell = request.data.columns[static_cast<std::size_t>(column)].text[static_cast<std::size_t>(row)];
        std::string spelt = text;
        const std::size_t at = spelt.find("%s");
        if (at != std::string::npos) spelt.replace(at, 2, cell);
        cell = spelt;
    }
    return request;
}

std::string tablesOf(const AnalysisResult& r) {
    std::string text;
    for (const ResultTable table : kResultTables) text += resultCsv(r.tables, table);
    return text;
}

// Faults: numeric codes equal as numbers but spelt differently became extra
// parents; a NUL inside a number was read as the number before it; a name
// with a line break or bytes that are not UTF-8 went into the engine's files
// and the page.
TEST(HostileLevels, SpellingsOfOneNumberAreOneLevelAndControlCharactersAreRefused) {
    const AnalysisResult plain = analyse(respelt({}));
    // Fem and Male are columns 1 and 2; the example's parents are 1..6.
    const AnalysisResult spelt = analyse(respelt({{0, 1, "%s.0"}, {1, 1, "0%s"}, {5, 2, " %s"}, {9, 1, "%s "}, {12, 2, "+%s"}, {20, 2, "%se0"}}));
    EXPECT_EQ(tablesOf(spelt), tablesOf(plain));
    EXPECT_EQ(spelt.settings.observations, plain.settings.observations);

    EXPECT_RUN_ERROR(analyse(respelt({{3, 4, std::string("6.099\0garbage", 14)}})), 1,
                     "EX.TXT: line 5, column Yield: the value holds a control character \\(byte 0x00\\) and is not a number");
    EXPECT_RUN_ERROR(analyse(respelt({{3, 1, "P\x01"}})), 1, "line 5, column Fem: the design code holds a control character \\(byte 0x01\\)");
    for (const std::string& name : {std::string("Yi\neld"), std::string("Yi\xffld")}) {
        AnalysisRequest renamed = respelt({});
        renamed.data.columns[4].name = name;
        EXPECT_RUN_ERROR(analyse(renamed), 1, "holds a control character \\(a line break, \\.\\.\\.\\) or bytes that are not UTF-8");
    }
}

// Faults: summary took a covariance report as the variance report, and a
// variance report of other traits, components or group size; minque-cov
// used a variance file written before the data were edited.
TEST(HostileReports, ReportsOfOtherAnalysesAndAStaleVarianceFileAreRefused) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    auto jackknife = [&](const std::string& out, std::vector<std::string> extra) {
        std::vector<std::string> args = {"analyse", "EX.TXT", "--out", out, "--female", "Fem", "--male", "Male",
                                         "--se", "jackknife"};
        if (std::find(extra.begin(), extra.end(), "--traits") == extra.end()) extra.insert(extra.end(), {"--traits", "Yield,Height"});
        args.insert(args.end(), extra.begin(), extra.end());
        return minque(args, dir.path()).exitCode;
    };
    ASSERT_EQ(jackknife("a", {"--group", "4"}), 0);
    ASSERT_EQ(jackknife("g6", {"--group", "6"}), 0);
    ASSERT_EQ(jackknife("two", {"--group", "4", "--traits", "Yield"}), 0);
    ASSERT_EQ(jackknife("env", {"--group", "4", "--env", "Env"}), 0);
    const std::pair<std::string, std::string> apart[] = {
        {"a/EX.COV", "not a report of variances"},
        {"g6/EX.VAR", "their jackknife degrees of freedom differ \\(20 against 13\\)"},
        {"two/EX.VAR", "their traits differ"},
        {"env/EX.VAR", "their components differ"}};
    for (const auto& [var, message] : apart) {
        const auto run = minque({"summary", "a/EX.COV", var, "--out", "s"}, dir.path());
        EXPECT_EQ(run.exitCode, 1) << var;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(message))) << run.err;
        EXPECT_FALSE(fs::exists(dir.file("s")));
    }
    // The front door's variance file carries its inputs' signature: minque-cov
    // on edited data refuses it; on the files as written it runs.
    fs::create_directories(dir.file("rerun"));
    for (const char* file : {"EX.TXT", "EX.MAT", "EX.DAT", "MATWRN.var", "MATWRN.sig"})
        fs::copy_file(dir.file(std::string("a/") + file), dir.file(std::string("rerun/") + file));
    EXPECT_EQ(test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 4, 0, "EX.TXT"), dir.file("rerun")).exitCode, 0);
    std::string edited = test::readFile(dir.file("rerun/EX.TXT"));
    edited[edited.rfind('.') - 1] = edited[edited.rfind('.') - 1] == '1' ? '2' : '1';
    test::writeFile(dir.file("rerun/EX.TXT"), edited);
    const auto stale = test::runProcess(MINQUE_COV_PATH, test::analysisArgs("E", 4, 0, "EX.TXT"), dir.file("rerun"));
    EXPECT_NE(stale.exitCode, 0);
    EXPECT_NE(stale.err.find("MATWRN.var was written for other inputs than EX.TXT"), std::string::npos) << stale.err;
}

// ---- 5. Re-entered callbacks ----------------------------------------------------

// Fault: analyse() called from a run's own progress callback waited for
// itself forever (and ignored Ctrl-C); a callback's own exception became "an
// unknown exception".
TEST(HostileCallbacks, ACallFromInsideARunIsRefusedAndACallbacksErrorSaysWhichFailed) {
    const AnalysisRequest request = test::exampleDiallel(trialDataFromText(exampleTable(), "EX.TXT"));
    AnalysisProgress reentering;
    reentering.passDone = [&request](int, int) {
        analyse(request);
        return true;
    };
    try {
        analyse(request, reentering);
        ADD_FAILURE() << "the call from inside the run was not refused";
    } catch (const RunError& e) {
        EXPECT_NE(std::string(e.what()).find("analyse: called from inside a running analysis"), std::string::npos)
            << e.what();
    }
    AnalysisProgress noting;
    noting.note = [&request](const std::string&) { prepareAnalysis(request); };
    AnalysisRequest dropping = request;
    dropping.data.columns[4].text[3] = "NA";
    dropping.options.dropIncomplete = true;  // its note comes from inside the preparation
    EXPECT_THROW(analyse(dropping, noting), RunError);

    AnalysisProgress throwing;
    throwing.passDone = [](int, int) -> bool { throw std::runtime_error("the display is gone"); };
    try {
        analyse(request, throwing);
        ADD_FAILURE() << "the callback's exception was lost";
    } catch (const RunError& e) {
        EXPECT_EQ(e.kind(), RunError::Kind::Cancelled);
        EXPECT_EQ(std::string(e.what()), "the passDone callback failed: the display is gone");
    }
    // The next call runs as ever.
    EXPECT_FALSE(analyse(request).tables.correlations.empty());
}

// ---- 6. Results lost or mixed ----------------------------------------------------

// Faults: summary without --out overwrote a run's tables; --replace left an
// earlier run's effects and reports beside the new tables; two runs into one
// folder both went ahead.
TEST(HostileOutputs, ReplacingARunRemovesItsFilesOnlyAndNothingIsOverwrittenUnasked) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    ASSERT_EQ(minque({"analyse", "EX.TXT", "--out", "o", "--env", "Env", "--female", "Fem", "--male", "Male", "--block",
                      "Blk", "--se", "jackknife", "--group", "4", "--effects"},
                     dir.path())
                  .exitCode,
              0);
    const std::string tables = test::readFile(dir.file("o/variances.csv"));
    // summary into the run's folder: refused without --replace, nothing changed.
    const auto summary = minque({"summary", "o/EX.COV", "o/EX.VAR"}, dir.path());
    EXPECT_EQ(summary.exitCode, 1);
    EXPECT_NE(summary.err.find("already holds"), std::string::npos) << summary.err;
    EXPECT_EQ(test::readFile(dir.file("o/variances.csv")), tables);

    // --replace with another run: the earlier run's files it does not write
    // go; a file of the user's stays.
    test::writeFile(dir.file("o/notes.txt"), "mine");
    ASSERT_EQ(minque(exampleRun({"analyse", "EX.TXT", "--out", "o", "--replace"}), dir.path()).exitCode, 0);
    const std::vector<std::string> names = namesIn(dir.file("o"));
    for (const char* gone : {"effects.csv", "EX.VAR", "EX.COV", "MATWRN.var"})
        EXPECT_EQ(std::count(names.begin(), names.end(), gone), 0) << gone;
    EXPECT_EQ(test::readFile(dir.file("o/notes.txt")), "mine");
    EXPECT_NE(test::readFile(dir.file("o/variances.csv")).find("ci_low"), std::string::npos);

    // A run holding the folder: a second one is refused and changes nothing.
    const int held = ::open(dir.file(".o.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    const std::string before = test::readFile(dir.file("o/variances.csv"));
    const auto second = minque(exampleRun({"analyse", "EX.TXT", "--out", "o", "--replace"}), dir.path());
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_NE(second.err.find("another run is writing into o"), std::string::npos) << second.err;
    EXPECT_EQ(test::readFile(dir.file("o/variances.csv")), before);
    ::close(held);
    fs::remove(dir.file(".o.lock"));
}

// ---- 7. Files left behind --------------------------------------------------------

// Fault: a run killed outright left its staging folder, and later runs kept it.
TEST(HostileLeftovers, AStagingFolderOfARunThatDiedIsRemovedByTheNextRun) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    fs::create_directories(dir.file(".o.partial-dead01"));
    test::writeFile(dir.file(".o.partial-dead01/EX.TXT"), "left by a killed run");
    test::writeFile(dir.file(".o.lock"), "");  // its lock file, no longer held
    ASSERT_EQ(minque(exampleRun({"analyse", "EX.TXT", "--out", "o"}), dir.path()).exitCode, 0);
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"EX.TXT", "o"}));
}

// Faults: SIGHUP (the terminal closed) and SIGXFSZ (a file size limit) ended
// the run at once and left its staging folder; the library wrote files
// outside its folder for a file name with "../".
TEST(HostileLeftovers, HangUpAndTheFileSizeLimitEndTheRunCleanlyAndAFileNameCannotLeaveItsFolder) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    const auto hungUp = test::runProcessInterrupted(
        MINQUE_FRONT_DOOR_PATH,
        {"analyse", "EX.TXT", "--out", "o", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--bootstrap", "200000"}, dir.path(),
        "minque analyse:", SIGHUP);
    EXPECT_EQ(hungUp.exitCode, 128 + SIGHUP) << hungUp.err;
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"EX.TXT"}));

    // 20 blocks of 1024 bytes: the page does not fit. The signal at its
    // default action, as a shell leaves it.
    std::vector<std::string> limited = {"-c", "trap - XFSZ; ulimit -f 20; exec \"$0\" \"$@\"", MINQUE_FRONT_DOOR_PATH};
    for (const std::string& a : exampleRun({"analyse", "EX.TXT", "--out", "o"})) limited.push_back(a);
    const auto full = test::runProcess("/bin/bash", limited, dir.path());
    EXPECT_EQ(full.exitCode, 1) << full.err;
    EXPECT_NE(full.err.find("File too large"), std::string::npos) << full.err;
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"EX.TXT"}));

    AnalysisRequest request = test::exampleDiallel(trialDataFromText(exampleTable(), "EX.TXT"));
    request.options.keepFiles = true;
    request.options.fileName = "../x";
    EXPECT_RUN_ERROR(analyse(request), 1, "the file name '\\.\\./x' names a folder");
}

// ---- 9. Nonsense accepted without a word ------------------------------------------

// Faults: one column in two roles of the design, a column crossed with
// itself, and a column named as a missing value were analysed as given.
TEST(HostileNonsense, ARoleTwiceACrossWithItselfAndAMissingName) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--env", "Fem", "--female", "Fem", "--male", "Male"}, "--female and --env name the same column 'Fem'"},
        {{"--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Env"}, "--env and --block name the same column 'Env'"},
        {{"--female", "Fem", "--male", "Fem"}, "--female and --male name the same column 'Fem'"},
        {{"--random", "Fem,Fem*Fem"}, "the term 'Fem\\*Fem' of --random crosses a column with itself"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "o"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = minque(args, dir.path());
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(c.message))) << run.err;
    }
    std::string renamed = exampleTable();
    renamed.replace(renamed.find("Heading"), 7, "NA");
    test::writeFile(dir.file("NA.TXT"), renamed);
    const auto missingName =
        minque({"analyse", "NA.TXT", "--out", "o", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk"}, dir.path());
    EXPECT_EQ(missingName.exitCode, 1);
    EXPECT_NE(missingName.err.find("the trait name 'NA' reads as a missing value"), std::string::npos) << missingName.err;

    // A report with NUL bytes in a row: refused, not copied into the tables.
    ASSERT_EQ(minque({"analyse", "EX.TXT", "--out", "j", "--female", "Fem", "--male", "Male", "--se", "jackknife", "--group",
                      "4", "--traits", "Yield,Height"},
                     dir.path())
                  .exitCode,
              0);
    std::string report = test::readFile(dir.file("j/EX.COV"));
    report.insert(report.find("V(A) Cov, ") + 4, std::string("\0\0", 2));
    test::writeFile(dir.file("NUL.COV"), report);
    const auto nul = minque({"summary", "NUL.COV", "--out", "s"}, dir.path());
    EXPECT_EQ(nul.exitCode, 1);
    EXPECT_NE(nul.err.find("a control character; the file is not a complete report"), std::string::npos) << nul.err;
    fs::remove_all(dir.file("j"));
    fs::remove(dir.file("NUL.COV"));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"EX.TXT", "NA.TXT"}));
}

// ---- 10. Unclear messages --------------------------------------------------------

// Faults: a 300-digit range for --group 0; "no lead column named ''" for an
// empty term; the programs' DOS lines for a singular model; a file with CR
// line ends read as one line.
TEST(HostileMessages, EachSaysWhatIsWrongInTheUsersTerms) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {{"--female", "Fem", "--male", "Male", "--se", "jackknife", "--group", "0"}, 2,
         "--group: the group size must be a whole number of rows, at least 1, not '0'"},
        {{"--random", "*"}, 1, "the term '\\*' of --random is not a column name COL or an interaction COL1\\*COL2"},
        {{"--random", "Fem*"}, 1, "the term 'Fem\\*' of --random is not a column name"},
        {{"--random", "Fem", "--fixed", ""}, 1, "the fixed term '' of --fixed is not 1 \\(the intercept\\) or a column name"},
        {{"--random", "Fem", "--fixed", "1,Yield", "--traits", "Height"}, 1,
         "analyse: the model cannot be estimated: the fixed terms \\(1,Yield\\) take 82 independent columns of the 84 "
         "observations, leaving 2 for 2 variance components; look for a trait or a row number named as a fixed term\n$"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "o"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto run = minque(args, dir.path());
        EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(c.message))) << run.err;
    }
    std::string oldMac = exampleTable();
    std::replace(oldMac.begin(), oldMac.end(), '\n', '\r');
    test::writeFile(dir.file("CR.TXT"), oldMac);
    ASSERT_EQ(minque(exampleRun({"analyse", "CR.TXT", "--out", "cr"}), dir.path()).exitCode, 0);
    EXPECT_EQ(test::readFile(dir.file("cr/variances.csv")).substr(0, 200),
              [&] {
                  minque(exampleRun({"analyse", "EX.TXT", "--out", "lf"}), dir.path());
                  return test::readFile(dir.file("lf/variances.csv")).substr(0, 200);
              }());
}

// Fault: too many rows for memory said "allocation failure 2 in dmatrix()".
TEST(HostileMessages, TooManyRowsForMemorySayHowManyAndHowMuch) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "an address-space limit and a sanitizer's shadow memory do not mix";
#else
    // 20,000 rows: the bootstrap's estimator needs no n x n matrix and runs
    // in 700 MB; the jackknife's engine needs 1.6 GB and says so.
    test::TempDir dir;
    std::string table = "A,B,Y\n";
    for (int r = 0; r < 20000; ++r)
        table += std::to_string(r / 2) + "," + std::to_string((r + 1) / 2 % 10000) + "," + std::to_string((r * 7919) % 1000 / 10.0) + "\n";
    test::writeFile(dir.file("BIG.csv"), table);
    auto limited = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {"-c", "ulimit -v 700000; exec \"$0\" \"$@\"", MINQUE_FRONT_DOOR_PATH, "analyse", "BIG.csv"});
        return test::runProcess("/bin/bash", args, dir.path());
    };
    const auto bootstrap = limited({"--random", "A", "--traits", "Y", "--bootstrap", "20", "--out", "boot"});
    EXPECT_EQ(bootstrap.exitCode, 0) << bootstrap.err;
    const auto jackknife = limited({"--random", "A", "--traits", "Y", "--se", "jackknife", "--group", "1000", "--out", "jack"});
    EXPECT_EQ(jackknife.exitCode, 1) << jackknife.err;
    EXPECT_NE(jackknife.err.find("not enough memory for 20000 observations: the n x n variance matrix alone needs 1.6 GB"),
              std::string::npos)
        << jackknife.err;
    // A and B, 10,000 levels of two rows each, crossed in a chain: A's are
    // eliminated in closed form, B's stay in the dense factor (refused
    // before any work).
    const auto dense = limited({"--random", "A,B", "--traits", "Y", "--out", "dense"});
    EXPECT_EQ(dense.exitCode, 1) << dense.err;
    EXPECT_NE(dense.err.find("the design is too large for this machine's memory: 10000 of its random levels stay in the "
                             "dense factor, which needs about 1.7 GB"),
              std::string::npos)
        << dense.err;
    EXPECT_NE(dense.err.find("the largest term among them is V(B) with 10000 levels"), std::string::npos) << dense.err;
    fs::remove_all(dir.file("boot"));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"BIG.csv"}));
#endif
}

// ---- 11. Hangs -------------------------------------------------------------------

// Faults: a factor of 5,000 or 50,000 one-row levels sat in the design check
// for minutes and took gigabytes (the check ran on the n x n engine). Now the
// levels are eliminated in closed form and the design is answered at once.
TEST(HostileHangs, ThousandsOfOneRowLevelsAreAnsweredAtOnce) {
    test::TempDir dir;
    for (int levels : {5000, 50000}) {
        std::string table = "G,Y\n";
        for (int r = 0; r < levels; ++r) {
            char row[48];
            std::snprintf(row, sizeof row, "L%d,%f\n", r, (r * 7919) % 1000 / 10.0);
            table += row;
        }
        test::writeFile(dir.file("ONES.csv"), table);
        const auto run = test::runProcess(
            "/usr/bin/timeout", {"10", MINQUE_FRONT_DOOR_PATH, "analyse", "ONES.csv", "--random", "G", "--out", "o"}, dir.path());
        EXPECT_EQ(run.exitCode, 1) << levels << " levels\n" << run.err;
        EXPECT_NE(run.err.find("V(G) and V(e) cannot be separated by this design (V(G) has one level per row (" +
                               std::to_string(levels) + " levels"),
                  std::string::npos)
            << run.err;
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"ONES.csv"}));
}

// Fault: the estimator's set-up (seconds on a large design) was not
// cancellable: a first Ctrl-C waited for it to end.
TEST(HostileHangs, AnInterruptStopsTheEstimatorsSetUp) {
    test::TempDir dir;
    // Two factors of 4,000 and 3,000 levels, crossed at random: the second's
    // levels stay in a dense factor (seconds of work) after the first's are
    // eliminated. The plot column's note on standard error comes before the
    // set-up.
    std::string table = "Plot,A,B,Y\n";
    for (unsigned r = 0; r < 24000; ++r) {
        char row[80];
        std::snprintf(row, sizeof row, "%u,a%u,b%u,%.6f\n", r + 1, r % 4000, ((r * 2654435761u) >> 8) % 3000,
                      std::sin(0.37 * r));
        table += row;
    }
    test::writeFile(dir.file("BIG.csv"), table);
    const auto run = test::runProcessInterrupted(MINQUE_FRONT_DOOR_PATH,
                                                 {"analyse", "BIG.csv", "--random", "A,B", "--out", "o"}, dir.path(),
                                                 "left out of the traits as row identifiers", SIGINT);
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_NE(run.err.find("Interrupted: the run stopped while setting up its estimator; its unfinished files were "
                           "removed"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"BIG.csv"}));
}

// ---- 8. Planted links ------------------------------------------------------------

// Fault: a link planted in place of a scratch file or a report made the
// programs write through it, over the file it points to.
TEST(HostileLinks, TheProgramsRefuseALinkInPlaceOfAFileTheyCreate) {
    test::TempDir source;
    test::writeFile(source.file("EX.TXT"), exampleTable());
    ASSERT_EQ(minque({"analyse", "EX.TXT", "--out", "o", "--env", "Env", "--female", "Fem", "--male", "Male", "--block",
                      "Blk", "--se", "jackknife", "--group", "4"},
                     source.path())
                  .exitCode,
              0);
    const std::vector<std::pair<std::string, std::string>> plants = {
        {MINQUE_VAR_PATH, "MATRIX.UQ2"}, {MINQUE_VAR_PATH, "EX.VAR"}, {MINQUE_COV_PATH, "MATRIX.cov"}};
    for (const auto& [program, planted] : plants) {
        SCOPED_TRACE(planted);
        test::TempDir dir;
        for (const char* file : {"EX.TXT", "EX.MAT", "EX.DAT", "MATWRN.var"})
            fs::copy_file(source.file(std::string("o/") + file), dir.file(file));
        if (program == MINQUE_VAR_PATH) fs::remove(dir.file("MATWRN.var"));
        test::writeFile(dir.file("victim"), "precious");
        fs::create_symlink("victim", dir.file(planted));
        const auto run = test::runProcess(program, test::analysisArgs("E", 4, 0, "EX.TXT"), dir.path());
        EXPECT_NE(run.exitCode, 0) << run.out << run.err;
        EXPECT_EQ(test::readFile(dir.file("victim")), "precious");
    }
}

}  // namespace
}  // namespace minque
