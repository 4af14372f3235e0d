// The library's entry as a host program calls it: several analyses in one
// process, errors caught as values with the command line's messages, a
// cancel from the progress callback, analyses from two threads, and nothing
// left behind by any of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/fatal_error.hpp"
#include "minquecov/analysis.hpp"
#include "report/result_tables.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

namespace fs = std::filesystem;

std::string exampleTable() { return test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT"); }

const std::vector<std::string> kExampleModel = {"--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
                                                "--se", "jackknife", "--group", "4"};

AnalysisRequest exampleRequest(const std::string& text, const std::string& name) {
    return test::exampleDiallel(trialDataFromText(text, name));
}

std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The three tables as the CSV files hold them.
std::string tablesText(const ResultTables& t) { return resultCsv(t, ResultTable::Variances) + resultCsv(t, ResultTable::Covariances) + resultCsv(t, ResultTable::Correlations); }

std::string recordBytes(const VarianceRecords& v) {
    return std::string(reinterpret_cast<const char*>(v.values.data()), v.values.size() * sizeof(float));
}

// Each test's private folders go to a temporary directory of its own, which
// must be empty again after every call.
class LibraryApi : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("TMPDIR");
        savedTmp_ = old == nullptr ? "" : old;
        hadTmp_ = old != nullptr;
        setenv("TMPDIR", tmp_.path().c_str(), 1);
        here_ = fs::current_path();
    }
    void TearDown() override {
        if (hadTmp_)
            setenv("TMPDIR", savedTmp_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    void expectNothingLeft() {
        EXPECT_TRUE(namesIn(tmp_.path()).empty()) << "left in the temporary directory: " << namesIn(tmp_.path()).front();
        EXPECT_EQ(fs::current_path(), here_);  // the working directory never moves
        for (const char* name : {"MATRIX.lock", "MATRIX.UQ2", "MATRIX.UQ3", "MATRIX.cov", "MATWRN.var"})
            EXPECT_FALSE(test::fileExists(name)) << name;
    }

    test::TempDir work_;  // the tests' own files
    test::TempDir tmp_;   // TMPDIR during the test
    std::string savedTmp_;
    bool hadTmp_ = false;
    fs::path here_;
};

TEST_F(LibraryApi, GoodThenRefusedThenGoodAgainInOneProcessAsTheCommandLineGivesThem) {
    const test::TempDir& dir = work_;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    // Line 3, column Yield: a word where a number belongs.
    std::string bad = exampleTable();
    bad.replace(bad.find("7.369"), 5, "heavy");
    test::writeFile(dir.file("BAD.TXT"), bad);

    const AnalysisResult first = analyse(exampleRequest(exampleTable(), "EX.TXT"));
    expectNothingLeft();
    EXPECT_TRUE(first.folder.empty());

    // A text value in a trait column: the command line's message, as a value.
    try {
        analyse(exampleRequest(bad, "BAD.TXT"));
        ADD_FAILURE() << "the text value was not refused";
    } catch (const RunError& e) {
        std::vector<std::string> args = {"analyse", "BAD.TXT"};
        args.insert(args.end(), kExampleModel.begin(), kExampleModel.end());
        const auto cli = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
        EXPECT_EQ(cli.exitCode, exitStatusOf(e));
        EXPECT_EQ(cli.err, runErrorText(e));
        EXPECT_NE(e.message().find("BAD.TXT: line 3, column Yield: 'heavy' is not a number"), std::string::npos)
            << e.message();
    }
    expectNothingLeft();

    // A model the readers refuse: covariance components between factors of
    // different level counts.
    AnalysisRequest covariances = exampleRequest(exampleTable(), "EX.TXT");
    covariances.model.covariances = true;
    try {
        analyse(covariances);
        ADD_FAILURE() << "the covariance model was not refused";
    } catch (const RunError& e) {
        std::vector<std::string> args = {"analyse", "EX.TXT", "--covariances", "--out", "refused"};
        args.insert(args.end(), kExampleModel.begin(), kExampleModel.end());
        const auto cli = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
        EXPECT_EQ(cli.exitCode, 1);
        EXPECT_EQ(cli.err, runErrorText(e));
        EXPECT_EQ(e.message(), "--covariances: a covariance component would join the random terms V(A) (6 levels) and "
                               "V(AE) (12 levels); it pairs level h of one with level h of the other, so both need the "
                               "same levels (such as an additive and a maternal effect of the same parents). The "
                               "additive-dominance model has no such terms; use --covariances with a general model "
                               "(--random) whose paired terms share their levels");
    }
    expectNothingLeft();

    const AnalysisResult second = analyse(exampleRequest(exampleTable(), "EX.TXT"));
    expectNothingLeft();
    EXPECT_EQ(tablesText(second.tables), tablesText(first.tables));
    EXPECT_EQ(test::withoutClock(second.varianceReport), test::withoutClock(first.varianceReport));
    EXPECT_EQ(test::withoutClock(second.covarianceReport), test::withoutClock(first.covarianceReport));
    EXPECT_EQ(second.varianceRecords.values, first.varianceRecords.values);

    // The command line's files of the same analysis.
    std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "res"};
    args.insert(args.end(), kExampleModel.begin(), kExampleModel.end());
    const auto cli = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
    ASSERT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_EQ(test::withoutClock(test::readFile(dir.file("res/EX.VAR"))), test::withoutClock(second.varianceReport));
    EXPECT_EQ(test::withoutClock(test::readFile(dir.file("res/EX.COV"))), test::withoutClock(second.covarianceReport));
    EXPECT_EQ(test::readFile(dir.file("res/MATWRN.var")), recordBytes(second.varianceRecords));
    EXPECT_EQ(test::readFile(dir.file("res/variances.csv")), resultCsv(second.tables, ResultTable::Variances));
    EXPECT_EQ(test::readFile(dir.file("res/covariances.csv")), resultCsv(second.tables, ResultTable::Covariances));
    EXPECT_EQ(test::readFile(dir.file("res/correlations.csv")), resultCsv(second.tables, ResultTable::Correlations));
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"BAD.TXT", "EX.TXT", "res"}));

    // The settings and the records' layout.
    EXPECT_EQ(second.settings.observations, 84);
    EXPECT_EQ(second.settings.replicates, 21);
    EXPECT_EQ(second.settings.traits, (std::vector<std::string>{"Yield", "Height", "GrainWt", "Heading"}));
    const VarianceRecords& v = second.varianceRecords;
    EXPECT_EQ(v.values.size(), static_cast<std::size_t>((v.replicates + 1) * v.traits * (v.components + 1)));
}

TEST_F(LibraryApi, ACancelFromTheProgressCallbackStopsBeforeTheNextPassAndLeavesNothing) {
    const test::TempDir& folder = work_;
    for (const bool ownFolder : {true, false}) {
        SCOPED_TRACE(ownFolder ? "a folder given" : "a private folder");
        AnalysisRequest request = exampleRequest(exampleTable(), "EX.TXT");
        if (ownFolder) request.options.folder = folder.path();
        std::vector<int> told;
        AnalysisProgress progress;
        const std::vector<std::string> workingBefore = namesIn(".");
        progress.passDone = [&](int k, int J) {
            EXPECT_EQ(J, 21);
            told.push_back(k);
            // The records live in memory: no file anywhere during the passes,
            // and in a folder given only the engine's input files and its lock.
            EXPECT_TRUE(namesIn(tmp_.path()).empty());
            EXPECT_EQ(namesIn("."), workingBefore);
            EXPECT_EQ(namesIn(folder.path()), ownFolder ? (std::vector<std::string>{"EX.DAT", "EX.MAT", "EX.TXT", "MATRIX.lock"})
                                                        : std::vector<std::string>{});
            return k < 2;  // stop after two replicates
        };
        try {
            analyse(request, progress);
            ADD_FAILURE() << "the run was not cancelled";
        } catch (const RunError& e) {
            EXPECT_TRUE(e.cancelled()) << e.message();
            EXPECT_EQ(e.message(), "The analysis was cancelled after 2 of 21 jackknife replicates");
        }
        EXPECT_EQ(told, (std::vector<int>{0, 1, 2}));
        EXPECT_TRUE(namesIn(folder.path()).empty());
        expectNothingLeft();
    }
}

TEST_F(LibraryApi, KeptFilesAreTheEngineFilesOfTheRunAndAreNeverOverwritten) {
    AnalysisRequest request = exampleRequest(exampleTable(), "trials/EX.csv");
    request.options.keepFiles = true;
    const AnalysisResult kept = analyse(request);
    ASSERT_FALSE(kept.folder.empty());
    EXPECT_EQ(namesIn(kept.folder),
              (std::vector<std::string>{"EX.COV", "EX.DAT", "EX.MAT", "EX.TXT", "EX.VAR", "MATWRN.sig", "MATWRN.var"}));
    EXPECT_EQ(test::readFile(kept.folder + "/EX.MAT"), test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.MAT"));
    // The files hold the result's own texts and records.
    EXPECT_EQ(test::readFile(kept.folder + "/EX.VAR"), kept.varianceReport);
    EXPECT_EQ(test::readFile(kept.folder + "/EX.COV"), kept.covarianceReport);
    EXPECT_EQ(test::readFile(kept.folder + "/MATWRN.var"), recordBytes(kept.varianceRecords));

    // A folder that already holds a run's files is refused, and keeps them.
    AnalysisRequest again = exampleRequest(exampleTable(), "EX.TXT");
    again.options.folder = kept.folder;
    EXPECT_RUN_ERROR(analyse(again), 1, "the folder already holds EX.TXT; give an empty folder or another file name");
    EXPECT_EQ(namesIn(kept.folder).size(), 7u);
    fs::remove_all(kept.folder);
    again.options.folder = tmp_.file("no-such-folder");
    EXPECT_RUN_ERROR(analyse(again), 1, "no-such-folder: the folder for the run's files does not exist");
    expectNothingLeft();
}

TEST_F(LibraryApi, ARefusalSpeaksTheCallersWordsAndCarriesWhereItIsAsFields) {
    std::string bad = exampleTable();
    bad.replace(bad.find("7.369"), 5, "heavy");
    AnalysisRequest request = exampleRequest(bad, "frame");
    request.words.call = "fit";
    request.words.row = "row";
    request.words.group = "group=";
    request.words.traits = "traits=";
    try {
        analyse(request);
        ADD_FAILURE() << "the text value was not refused";
    } catch (const RunError& e) {
        EXPECT_EQ(e.message(), "frame: row 3, column Yield: 'heavy' is not a number; the column is taken as a trait: if "
                               "it is not one, list the traits with traits=");
        EXPECT_EQ(e.location().file, "frame");
        EXPECT_EQ(e.location().line, 3);
        EXPECT_EQ(e.location().column, "Yield");
    }
    request = exampleRequest(exampleTable(), "frame");
    request.words.call = "fit";
    request.words.group = "group=";
    request.options.group = 0;
    try {
        analyse(request);
        ADD_FAILURE() << "the group size 0 was not refused";
    } catch (const RunError& e) {
        EXPECT_EQ(e.message(), "fit: the jackknife needs group=, a group size of at least 1");
        EXPECT_EQ(e.location().option, "group=");
    }
    try {
        trialDataFromText("A,B\n1,2\n3\n", "short.csv");
        ADD_FAILURE() << "the short line was not refused";
    } catch (const RunError& e) {
        EXPECT_EQ(e.location().file + ":" + std::to_string(e.location().line), "short.csv:3") << e.message();
    }
    expectNothingLeft();
}

TEST_F(LibraryApi, NumericAndTextColumnsGiveTheSameResults) {
    const AnalysisRequest asText = exampleRequest(exampleTable(), "EX.TXT");
    AnalysisRequest asNumbers = asText;
    for (TrialColumn& column : asNumbers.data.columns) {
        column.numeric = true;
        for (const std::string& field : column.text) column.numbers.push_back(std::strtod(field.c_str(), nullptr));
        column.text.clear();
    }
    EXPECT_EQ(tablesText(analyse(asNumbers).tables), tablesText(analyse(asText).tables));

    // Columns of unequal length, and a missing value in a numeric trait.
    AnalysisRequest ragged = asNumbers;
    ragged.data.columns[5].numbers.pop_back();
    EXPECT_RUN_ERROR(analyse(ragged), 1, "EX.TXT: the column 'Height' has 83 values, but the column 'Env' has 84");
    AnalysisRequest missing = asNumbers;
    missing.data.columns[4].numbers[2] = std::nan("");
    EXPECT_RUN_ERROR(analyse(missing), 1, "EX.TXT: line 4, column Yield: the value is missing \\('NA'\\)");
    expectNothingLeft();
}

TEST_F(LibraryApi, AnalysesFromTwoThreadsGiveTheResultsOfOneAfterTheOther) {
    AnalysisRequest diallel = exampleRequest(exampleTable(), "EX.TXT");
    AnalysisRequest general = exampleRequest(exampleTable(), "GEN.TXT");
    general.model = ModelSpec{};
    general.model.random = {"Fem", "Male", "Env*Fem"};
    general.model.fixed = {"1", "Env"};
    general.options.traits = {"Yield", "GrainWt"};
    general.options.threads = 1;
    const std::string one = tablesText(analyse(diallel).tables);
    const std::string two = tablesText(analyse(general).tables);
    std::string inThread1, inThread2;
    std::thread t1([&] { inThread1 = tablesText(analyse(diallel).tables); });
    std::thread t2([&] { inThread2 = tablesText(analyse(general).tables); });
    t1.join();
    t2.join();
    EXPECT_EQ(inThread1, one);
    EXPECT_EQ(inThread2, two);
    EXPECT_NE(one, two);
    expectNothingLeft();
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

// The example's table without the rows (numbered from 0 after the header)
// listed, and with "NA" for Yield in them instead.
std::pair<std::string, std::string> withoutRows(const std::string& table, const std::set<int>& rows) {
    std::istringstream in(table);
    std::string line, removed, marked;
    std::getline(in, line);
    removed = marked = line + "\n";
    for (int row = 0; std::getline(in, line); ++row) {
        if (!rows.count(row)) {
            removed += line + "\n";
            marked += line + "\n";
            continue;
        }
        std::istringstream fields(line);
        std::string field;
        for (int column = 0; fields >> field; ++column) {
            if (column > 0) marked += ' ';
            marked += column == 4 ? "NA" : field;
        }
        marked += '\n';
    }
    return {removed, marked};
}

TEST_F(LibraryApi, DroppingIncompleteRowsAnalysesTheTableWithoutThemAndRefusesTooFewReplicates) {
    const auto [removed, marked] = withoutRows(exampleTable(), {2, 17, 40, 83});
    AnalysisRequest dropped = exampleRequest(marked, "EX.TXT");
    dropped.options.dropIncomplete = true;
    dropped.options.traits = {"Yield", "Heading"};
    AnalysisRequest without = exampleRequest(removed, "EX.TXT");
    without.options.traits = dropped.options.traits;
    const AnalysisResult a = analyse(dropped), b = analyse(without);
    EXPECT_EQ(a.settings.observations, 80);
    EXPECT_EQ(tablesText(a.tables), tablesText(b.tables));
    EXPECT_EQ(test::withoutClock(a.covarianceReport.substr(a.covarianceReport.find("Between"))),
              test::withoutClock(b.covarianceReport.substr(b.covarianceReport.find("Between"))));
    // 84 rows in groups of 42 give 2 replicates; 80 give 1.
    dropped.options.group = 42;
    EXPECT_RUN_ERROR(analyse(dropped), 1, "EX.TXT: 80 complete rows in groups of 42 give 1 jackknife replicates; at least 2 are needed");
    expectNothingLeft();
}

TEST_F(LibraryApi, TheBundledExampleComesAsCloseToItsGeneratorAsTheReadmeSays) {
    // The generator's additive, dominance and residual correlations (Yield,
    // Height, GrainWt, Heading); the dominance ones within 0.5, the others 0.14.
    const double additive[4][4] = {{1, 0.5, 0.6, -0.4}, {0.5, 1, 0.3, 0.2}, {0.6, 0.3, 1, -0.3}, {-0.4, 0.2, -0.3, 1}};
    const double dominance[4][4] = {{1, 0.4, 0.3, -0.2}, {0.4, 1, 0.2, 0.1}, {0.3, 0.2, 1, -0.1}, {-0.2, 0.1, -0.1, 1}};
    const double residual[4][4] = {{1, 0.2, 0.1, -0.1}, {0.2, 1, 0.1, 0}, {0.1, 0.1, 1, 0}, {-0.1, 0, 0, 1}};
    const AnalysisResult r = analyse(exampleRequest(exampleTable(), "EX.TXT"));
    const std::vector<std::string>& traits = r.tables.traits;
    int checked = 0;
    for (const ResultRow& row : r.tables.correlations) {
        const bool isDominance = row.component == "V(D)";
        if (row.component != "V(A)" && row.component != "V(e)" && !isDominance) continue;
        const auto i = std::find(traits.begin(), traits.end(), row.trait1) - traits.begin();
        const auto j = std::find(traits.begin(), traits.end(), row.trait2) - traits.begin();
        const auto& target = row.component == "V(A)" ? additive : isDominance ? dominance : residual;
        EXPECT_NEAR(row.estimate, target[i][j], isDominance ? 0.5 : 0.14)
            << row.component << " " << row.trait1 << " & " << row.trait2;
        ++checked;
    }
    EXPECT_EQ(checked, 18);
}

}  // namespace
}  // namespace minque
