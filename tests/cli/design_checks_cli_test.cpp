// Designs that cannot answer: components the design cannot separate are
// refused before any estimation, naming them in the model's labels and why.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace minque {
namespace {

std::string exampleTable() { return test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT"); }

// The rows of the example for which keep(Env, Fem, Male, Blk) holds, and
// optionally a column that copies another's codes.
std::string rowsOf(bool (*keep)(int, int, int, int)) {
    std::istringstream in(exampleTable());
    std::string line, out;
    std::getline(in, line);
    out = line + "\n";
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        int env = 0, fem = 0, male = 0, blk = 0;
        fields >> env >> fem >> male >> blk;
        if (keep(env, fem, male, blk)) out += line + "\n";
    }
    return out;
}

TEST(DesignChecks, ComponentsTheDesignCannotSeparateAreRefusedByNameBeforeAnyWork) {
    test::TempDir dir;
    // A half diallel without selfs, one row per cross: dominance and residual
    // are the same matrix.
    test::writeFile(dir.file("HALF.TXT"), rowsOf([](int env, int fem, int male, int blk) {
                        return env == 1 && blk == 1 && fem < male;
                    }));
    // Six selfs, one row each: additive, dominance and residual at once.
    test::writeFile(dir.file("SELFS.TXT"), rowsOf([](int env, int fem, int male, int blk) {
                        return env == 1 && blk == 1 && fem == male;
                    }));
    // A column with the same incidence as Fem under other codes.
    std::string copy;
    std::istringstream in(exampleTable());
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string env, fem;
        fields >> env >> fem;
        copy += line + (copy.empty() ? " Copy\n" : " P" + fem + "\n");
    }
    test::writeFile(dir.file("COPY.TXT"), copy);
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"HALF.TXT", "--female", "Fem", "--male", "Male", "--traits", "Yield,Height"},
         "^analyse: V\\(D\\) and V\\(e\\) cannot be separated by this design \\(V\\(D\\) has one level per row \\(15 "
         "levels, 15 rows\\), as the residual has\\).*Add rows that repeat entries"},
        {{"SELFS.TXT", "--female", "Fem", "--male", "Male", "--traits", "Yield,Height"},
         "^analyse: V\\(A\\), V\\(D\\) and V\\(e\\) cannot be separated by this design"},
        {{"COPY.TXT", "--random", "Fem,Copy,Male", "--traits", "Yield"},
         "^analyse: V\\(Fem\\) and V\\(Copy\\) cannot be separated by this design \\(V\\(Fem\\) and V\\(Copy\\) have the "
         "same levels on the same rows\\)"},
        {{"EX.TXT", "--random", "Env,Fem", "--fixed", "1,Env", "--traits", "Yield"},
         "^analyse: V\\(Env\\) cannot be estimated by this design \\(the fixed terms already hold its levels\\)"},
        {{"HALF.TXT", "--random", "Fem,Blk", "--traits", "Yield"},
         "^analyse: V\\(Blk\\) cannot be estimated by this design \\(its column has one level, on every row"},
    };
    for (const Case& c : cases)
        for (const char* se : {"bootstrap", "jackknife"}) {
            SCOPED_TRACE(c.args.front() + " " + se);
            std::vector<std::string> args = {"analyse"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {"--out", "out", "--se", se, "--group", "1"});
            if (std::string(se) == "bootstrap") args.resize(args.size() - 2);
            const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_TRUE(std::regex_search(run.err, std::regex(c.message))) << run.err;
            EXPECT_FALSE(test::fileExists(dir.file("out")));
        }
}

// The slips a table hides: a row code taken for a trait, a trait listed
// twice, parents spelt in two cases, a text column taken for a trait.
TEST(DesignChecks, TheSlipsATableHidesAreAnsweredByName) {
    test::TempDir dir;
    std::istringstream in(exampleTable());
    std::string coded, named;
    int row = 0;
    for (std::string line; std::getline(in, line); ++row) {
        if (row == 0) {
            coded += "Code Pos " + line + "\n";
            named += "Name " + line + "\n";
            continue;
        }
        // 199 down to 116, and 101, 103, ... 267: each a code for each row.
        coded += std::to_string(200 - row) + " " + std::to_string(99 + 2 * row) + " " + line + "\n";
        named.append("C").append(std::to_string(row % 7)).append(" ").append(line).append("\n");
    }
    // Parent 2 spelt P2 in one row and p2 in the others.
    std::string parents = "Fem Male Yield\n";
    for (int f = 1; f <= 4; ++f)
        for (int m = f; m <= 4; ++m)
            for (int rep = 0; rep < 2; ++rep)
                parents += std::string(f == 2 && rep == 0 && m == 2 ? "P" : "p") + std::to_string(f) + " p" + std::to_string(m) +
                           " " + std::to_string(5.0 + f + 0.5 * m + 0.3 * rep) + "\n";
    test::writeFile(dir.file("CODE.TXT"), coded);
    test::writeFile(dir.file("NAME.TXT"), named);
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    test::writeFile(dir.file("CASE.TXT"), parents);
    // A column with no value at all, and the rows with a missing value dropped.
    std::string empty;
    std::istringstream again(exampleTable());
    for (std::string line; std::getline(again, line);) empty += line + (empty.empty() ? " Empty\n" : " NA\n");
    test::writeFile(dir.file("EMPTY.TXT"), empty);
    const std::vector<std::string> model = {"--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
                                            "--bootstrap", "20"};
    auto analyse = [&](std::vector<std::string> args, bool withModel = true) {
        args.insert(args.begin(), "analyse");
        args.insert(args.end(), {"--out", "out"});
        if (withModel) args.insert(args.end(), model.begin(), model.end());
        return test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
    };
    const auto code = analyse({"CODE.TXT"});
    EXPECT_EQ(code.exitCode, 0) << code.err;
    EXPECT_NE(code.err.find("left out of the traits as row identifiers: 'Code' (the whole numbers 116..199, each once"),
              std::string::npos)
        << code.err;
    EXPECT_NE(code.err.find("'Pos' (the whole numbers 101, 103, ... 267, rising down the table: a code for each row)"),
              std::string::npos)
        << code.err;
    std::filesystem::remove_all(dir.file("out"));
    const std::pair<test::ProcessResult, std::string> refused[] = {
        {analyse({"EX.TXT", "--traits", "Yield,Height,Yield"}), "the trait 'Yield' is listed twice in --traits"},
        {analyse({"NAME.TXT"}),
         "line 2, column Name: 'C1' is not a number; the column is taken as a trait: if it is not one, list the traits "
         "with --traits"},
        {analyse({"CASE.TXT", "--female", "Fem", "--male", "Male", "--bootstrap", "20"}, false),
         "columns Fem and Male hold the codes 'P2' and 'p2', which differ only in upper and lower case"},
        {analyse({"EMPTY.TXT", "--drop-incomplete"}),
         "0 complete rows; the analysis needs at least 2 (the rows with a missing value were dropped: Empty is missing "
         "in all 84 rows; list the traits without a column that is mostly empty with --traits)"},
    };
    for (const auto& [run, message] : refused) {
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_FALSE(test::fileExists(dir.file("out")));
    }
}

// The design in one line heads the page and the run record: the bundled
// example, and a full 6 x 6 diallel with selfs and reciprocals, one row per
// cross, which the design can answer.
TEST(DesignChecks, TheDesignSummaryHeadsThePageAndTheRunRecord) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::string full = "Fem Male Yield Height\n";
    for (int f = 1; f <= 6; ++f)
        for (int m = 1; m <= 6; ++m)
            full += std::to_string(f) + " " + std::to_string(m) + " " + std::to_string(5.0 + f * 0.3 + m * 0.2 + ((f * 7 + m * 3) % 5) * 0.1) +
                    " " + std::to_string(100.0 + f * 2.0 - m + ((f * 5 + m) % 7)) + "\n";
    test::writeFile(dir.file("FULL.TXT"), full);
    const std::pair<std::vector<std::string>, std::string> runs[] = {
        {{"analyse", "EX.TXT", "--out", "ex", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk",
          "--bootstrap", "20"},
         "84 observations; 6 parents, 15 crosses, 6 selfs, no reciprocals; 2 environments; 4 blocks"},
        {{"analyse", "FULL.TXT", "--out", "full", "--female", "Fem", "--male", "Male", "--bootstrap", "20"},
         "36 observations; 6 parents, 15 crosses, 6 selfs, reciprocals; one environment"},
        {{"analyse", "EX.TXT", "--out", "gen", "--random", "Fem,Male,Env*Fem", "--fixed", "1,Env", "--traits", "Yield",
          "--bootstrap", "20"},
         "84 observations; levels of Fem 6, Male 6, Env*Fem 12"},
    };
    for (const auto& [args, design] : runs) {
        const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_NE(test::readFile(dir.file(args[3] + "/run.txt")).find("design: " + design + "\n"), std::string::npos);
        EXPECT_NE(test::readFile(dir.file(args[3] + "/summary.html")).find("<dt>Design</dt><dd>" + design + "</dd>"),
                  std::string::npos);
    }
}

// The rows of a CSV table (no quoted fields) as fields.
std::vector<std::vector<std::string>> rowsOfCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        rows.emplace_back();
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');) rows.back().push_back(field);
        if (!line.empty() && line.back() == ',') rows.back().emplace_back();
    }
    return rows;
}

// A full 6 x 6 diallel runs to the end, and every row that rests on its six
// parents (V(A), its correlations, G+GE, the heritabilities, the parents'
// effects) carries few_levels; the 21 crosses and selfs and the residual do
// not, nor the phenotypic total. Ten parents are enough to go unflagged.
TEST(DesignChecks, RowsThatRestOnFewerThanEightLevelsAreFlaggedFewLevels) {
    test::TempDir dir;
    for (const int parents : {6, 10}) {
        std::string full = "Fem Male Yield Height\n";
        for (int f = 1; f <= parents; ++f)
            for (int m = 1; m <= parents; ++m)
                full += std::to_string(f) + " " + std::to_string(m) + " " +
                        std::to_string(5.0 + f * 0.3 + m * 0.2 + ((f * 7 + m * 3) % 5) * 0.1) + " " +
                        std::to_string(100.0 + f * 2.0 - m + ((f * 5 + m) % 7)) + "\n";
        const std::string name = "P" + std::to_string(parents);
        test::writeFile(dir.file(name + ".TXT"), full);
        const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH,
                                          {"analyse", name + ".TXT", "--out", name, "--female", "Fem", "--male", "Male",
                                           "--bootstrap", "50", "--effects"},
                                          dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const bool few = parents < 8;
        EXPECT_EQ(run.err.find("V(A) rests on 6 parents, fewer than 8 levels: its rows in the tables are flagged "
                               "few_levels") != std::string::npos,
                  few)
            << run.err;
        int flagged = 0;
        for (const char* table : {"variances", "covariances", "correlations", "heritability", "effects"}) {
            const auto rows = rowsOfCsv(test::readFile(dir.file(name + "/" + table + ".csv")));
            ASSERT_GT(rows.size(), 1u) << table;
            const auto& header = rows.front();
            const auto column = [&](const std::string& wanted) {
                return static_cast<std::size_t>(std::find(header.begin(), header.end(), wanted) - header.begin());
            };
            const std::size_t what = std::min({column("component"), column("quantity"), column("term")});
            const std::size_t flags = column("flag");
            ASSERT_LT(what, header.size()) << table;
            for (std::size_t r = 1; r < rows.size(); ++r) {
                const std::string& quantity = rows[r][what];
                const bool restsOnParents = quantity == "V(A)" || quantity == "G+GE" || quantity == "A" ||
                                            quantity.rfind("h2_", 0) == 0;
                const bool hasFlag = rows[r][flags].find("few_levels") != std::string::npos;
                EXPECT_EQ(hasFlag, few && restsOnParents) << table << " row " << r << ": " << quantity;
                flagged += hasFlag ? 1 : 0;
            }
        }
        if (few) {
            EXPECT_GT(flagged, 10);
        }
    }
}

}  // namespace
}  // namespace minque
