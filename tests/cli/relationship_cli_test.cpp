// Relationship matrices on the command line: K = I gives the tables of the
// model without it, the genomic matrix of minque grm reads back as K, and
// every bad K, pedigree and marker file is refused by name with nothing
// written.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace minque {
namespace {

// Twelve lines in two environments, two reps; lines L01..L12.
std::string trial() {
    std::string text = "Line,Env,Rep,Y1,Y2\n";
    for (int e = 1; e <= 2; ++e)
        for (int r = 1; r <= 2; ++r)
            for (int l = 1; l <= 12; ++l) {
                const double g = (l * 37 % 11) * 0.3, noise = ((l * 13 + e * 7 + r * 5) % 17) * 0.25;
                text += "L" + std::string(l < 10 ? "0" : "") + std::to_string(l) + ",E" + std::to_string(e) + "," +
                        std::to_string(r) + "," + std::to_string(10 + g + noise + e) + "," +
                        std::to_string(5 + 0.5 * g - noise * 0.3 + ((l * 3 + r) % 5) * 0.4) + "\n";
            }
    return text;
}

std::string lineId(int l) { return "L" + std::string(l < 10 ? "0" : "") + std::to_string(l); }

// The identity over `lines` (and one relative without records) as R's write.csv writes it.
std::string identityCsv(int lines, bool relative) {
    std::vector<std::string> ids;
    for (int l = 1; l <= lines; ++l) ids.push_back(lineId(l));
    if (relative) ids.push_back("X1");
    std::string text = "\"\"";
    for (const auto& id : ids) text += ",\"" + id + "\"";
    text += "\n";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        text += "\"" + ids[i] + "\"";
        for (std::size_t j = 0; j < ids.size(); ++j) text += i == j ? ",1" : ",0";
        text += "\n";
    }
    return text;
}

std::vector<std::string> analyse(std::vector<std::string> extra, const std::string& out) {
    std::vector<std::string> args = {"analyse", "T.csv", "--random", "Line,Line*Env", "--fixed", "1,Env", "--traits",
                                     "Y1,Y2", "--effects", "--bootstrap", "200", "--out", out};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

// A table's text without its line-mean heritability rows, which only an
// entry term without a relationship matrix has.
std::string withoutLineMean(const std::string& text) {
    std::string out;
    for (std::size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\n', at);
        if (end == std::string::npos) end = text.size() - 1;
        const std::string line = text.substr(at, end - at + 1);
        if (line.find(",h2_line_mean") == std::string::npos) out += line;
    }
    return out;
}

TEST(RelationshipCli, TheIdentityGivesTheTablesOfTheModelWithoutIt) {
    test::TempDir dir;
    test::writeFile(dir.file("T.csv"), trial());
    test::writeFile(dir.file("I.csv"), identityCsv(12, false));
    test::writeFile(dir.file("ILONG.csv"), [] {
        std::string text = "id1,id2,value\n";
        for (int l = 1; l <= 12; ++l) text += lineId(l) + "," + lineId(l) + ",1\n";
        return text;
    }());
    const auto plain = test::runProcess(MINQUE_FRONT_DOOR_PATH, analyse({}, "plain"), dir.path());
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    for (const char* k : {"I.csv", "ILONG.csv"}) {
        const std::string out = std::string("with-") + k;
        const auto related = test::runProcess(MINQUE_FRONT_DOOR_PATH, analyse({"--relationship", std::string("Line=") + k}, out), dir.path());
        ASSERT_EQ(related.exitCode, 0) << related.err;
        for (const char* table : {"variances.csv", "covariances.csv", "correlations.csv", "heritability.csv", "effects.csv"})
            EXPECT_EQ(test::readFile(dir.file(out + "/" + table)), withoutLineMean(test::readFile(dir.file(std::string("plain/") + table))))
                << k << " " << table;
        EXPECT_NE(test::readFile(dir.file(out + "/summary.html")).find("Line related by " + std::string(k)), std::string::npos);
    }
    // A relative without records is predicted and flagged.
    test::writeFile(dir.file("IX.csv"), identityCsv(12, true));
    const auto relative = test::runProcess(MINQUE_FRONT_DOOR_PATH, analyse({"--relationship", "Line=IX.csv"}, "relative"), dir.path());
    ASSERT_EQ(relative.exitCode, 0) << relative.err;
    const std::string effects = test::readFile(dir.file("relative/effects.csv"));
    const std::size_t row = effects.find("\nY1,Line,X1,0,");
    ASSERT_NE(row, std::string::npos) << effects;
    EXPECT_EQ(effects.substr(effects.find('\r', row + 1) - 11, 11), ",no_records") << effects;  // CSV lines end CR LF
}

TEST(RelationshipCli, TheGenomicMatrixOfGrmReadsBackAsK) {
    test::TempDir dir;
    test::writeFile(dir.file("T.csv"), trial());
    std::string snp = "id";
    for (int j = 1; j <= 40; ++j) snp += ",m" + std::to_string(j);
    snp += "\n";
    for (int l = 1; l <= 12; ++l) {
        snp += lineId(l);
        for (int j = 1; j <= 40; ++j) snp += "," + std::to_string(((l * 7 + j * 3) / 5 + l % 3 + j) % 3);
        snp += "\n";
    }
    test::writeFile(dir.file("SNP.csv"), snp);
    const auto grm = test::runProcess(MINQUE_FRONT_DOOR_PATH, {"grm", "SNP.csv", "--out", "G.csv"}, dir.path());
    ASSERT_EQ(grm.exitCode, 0) << grm.err;
    EXPECT_NE(grm.out.find("blended as 0.99 G + 0.01 I"), std::string::npos) << grm.out;
    const auto direct = test::runProcess(MINQUE_FRONT_DOOR_PATH, analyse({"--relationship", "Line=markers", "--markers", "SNP.csv"}, "direct"), dir.path());
    const auto file = test::runProcess(MINQUE_FRONT_DOOR_PATH, analyse({"--relationship", "Line=G.csv"}, "file"), dir.path());
    ASSERT_EQ(direct.exitCode, 0) << direct.err;
    ASSERT_EQ(file.exitCode, 0) << file.err;
    for (const char* table : {"variances.csv", "correlations.csv", "effects.csv"})
        EXPECT_EQ(test::readFile(dir.file(std::string("direct/") + table)), test::readFile(dir.file(std::string("file/") + table))) << table;
    EXPECT_NE(test::readFile(dir.file("direct/run.txt")).find("relationship: Line = SNP.csv: 12 individuals, "), std::string::npos);
    const auto again = test::runProcess(MINQUE_FRONT_DOOR_PATH, {"grm", "SNP.csv", "--out", "G.csv"}, dir.path());
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("G.csv exists; give --replace"), std::string::npos) << again.err;
}

TEST(RelationshipCli, BadMatricesPedigreesAndMarkersAreRefusedByName) {
    test::TempDir dir;
    test::writeFile(dir.file("T.csv"), trial());
    test::writeFile(dir.file("SHORT.csv"), identityCsv(10, false));
    test::writeFile(dir.file("ASYM.csv"), "\"\",\"L01\",\"L02\",\"L03\"\n\"L01\",1,0.5,0\n\"L02\",0.4,1,0\n\"L03\",0,0,1\n");
    test::writeFile(dir.file("TEXT.csv"), "\"\",\"L01\",\"L02\",\"L03\"\n\"L01\",1,0,x\n\"L02\",0,1,0\n\"L03\",0,0,1\n");
    test::writeFile(dir.file("SINGULAR.csv"), [] {
        std::string text = "id1,id2,value\n";
        for (int a = 1; a <= 12; ++a)
            for (int b = 1; b <= 12; ++b) text += lineId(a) + "," + lineId(b) + ",1\n";
        return text;
    }());
    test::writeFile(dir.file("LOOP.csv"), "id,sire,dam\nL01,L02,0\nL02,L01,NA\n");
    test::writeFile(dir.file("TWICE.csv"), "id,sire,dam\nL01,0,0\nL01,0,0\n");
    test::writeFile(dir.file("CALLS.csv"), "id,m1,m2\nL01,0,5\n");
    test::writeFile(dir.file("I.csv"), identityCsv(12, false));
    // One replicate: Line*Env, related by K x I = I, is the residual.
    std::string oneRep;
    for (std::size_t at = 0, end; at < trial().size(); at = end + 1) {
        end = trial().find('\n', at);
        const std::string line = trial().substr(at, end - at);
        if (at == 0 || line.find(",2,") == std::string::npos) oneRep += line + "\n";
    }
    test::writeFile(dir.file("ONE.csv"), oneRep);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"--relationship", "Line=SHORT.csv"}, "^--relationship: 2 codes of Line in the data are not in SHORT.csv: 'L11', 'L12'"},
        {{"--relationship", "Line=ASYM.csv"}, "^ASYM.csv: the relationship matrix is not symmetric: 'L02' with 'L01' is 0.4, 'L01' with 'L02' is 0.5"},
        {{"--relationship", "Line=TEXT.csv"}, "^TEXT.csv: line 2, column 'L03': 'x' is not a number"},
        {{"--relationship", "Line=SINGULAR.csv"}, "^SINGULAR.csv: the relationship matrix is not positive definite: its smallest eigenvalue is"},
        {{"--relationship", "Line=NONE.csv"}, "NONE.csv: cannot be opened"},
        {{"--relationship", "Env=SHORT.csv"}, "^--relationship: 'Env' is not a random main effect of the model; .*Line"},
        {{"--relationship", "Line"}, "^--relationship: 'Line' is not TERM=SOURCE"},
        {{"--relationship", "Line=I.csv", "--relationship", "Line=I.csv"}, "the term 'Line' is given two relationship matrices"},
        {{"--relationship", "Line=pedigree"}, "give the pedigree file with --pedigree"},
        {{"--relationship", "Line=pedigree", "--pedigree", "LOOP.csv"}, "^LOOP.csv: 'L0[12]' is its own ancestor"},
        {{"--relationship", "Line=pedigree", "--pedigree", "TWICE.csv"}, "^TWICE.csv: the id 'L01' is given twice \\(line 3\\)"},
        {{"--relationship", "Line=markers", "--markers", "CALLS.csv"}, "^CALLS.csv: line 2, column 'm2': the call '5' is not 0, 1 or 2"},
        {{"--relationship", "Line=SHORT.csv", "--se", "jackknife", "--group", "4"}, "a relationship matrix needs the bootstrap"},
        {{"--relationship", "Line=I.csv", "ONE.csv"}, "^analyse: V\\(Line\\*Env\\) and V\\(e\\) cannot be separated by this design"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<std::string> args = analyse(c.args, "out");
        if (c.args.back() == "ONE.csv") {  // another table
            args.pop_back();
            args[1] = "ONE.csv";
        }
        const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path());
        EXPECT_EQ(run.exitCode, 1) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(c.message))) << run.err;
        EXPECT_FALSE(test::fileExists(dir.file("out")));
    }
}

}  // namespace
}  // namespace minque
