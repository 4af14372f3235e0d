// Designs that cannot answer: components the design cannot separate are
// refused before any estimation, naming them in the model's labels and why.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace minque
