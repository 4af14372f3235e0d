#include <gtest/gtest.h>

#include <string>

#include "jackknife_engine/io/model_constants.hpp"
#include "jackknife_engine/io/model_reader.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

using test::streamOf;

// Six observations of two levels, the intercept, one random factor; two
// traits, one lead column. Free white space between items.
const char* const kModel =
    "1,2,\n"
    "6,1,1,2,0,99,0,0,\n"
    "V(G) V(e) x3 x4 x5 x6\n"
    "7,8,\n"
    "2,0.5,\n"
    "3,\n"
    "0,6,\n"
    "3,   3,\n"
    "1,2,3,\n 4,5,6,\n"
    "1,1,2,1,3,1,\n"
    "4,1,5,1,6,1.5,\n";
const char* const kData =
    "Plot Yield Height\n"
    "1 1.5 20\n2 2.5 21\n3 3 22\n4 4 23\n5 5 24\n6 6.25 25\n";

struct ReadResult {
    AnalysisState st;
    ModelHeader header;
};

ReadResult readBoth(const std::string& model, const std::string& data, int covarianceSwitch = 0) {
    ReadResult r;
    r.header = readModelFile(r.st, streamOf(model), "T.MAT", covarianceSwitch);
    readDataFile(r.st, streamOf(data), "T.TXT", r.header.leadColumnCount, r.header.traitCount);
    deriveModelConstants(r.st, r.header.trailingFactorCount, "T.MAT");
    return r;
}

TEST(ModelReader, WellFormedFilesFillTheState) {
    ReadResult r = readBoth(kModel, kData);
    const AnalysisState& st = r.st;
    EXPECT_EQ(r.header.leadColumnCount, 1);
    EXPECT_EQ(r.header.traitCount, 2);
    EXPECT_EQ(st.obsCount, 6);
    EXPECT_EQ(st.fixedCount, 1);
    EXPECT_EQ(st.randomFactorCount, 1);
    EXPECT_EQ(st.randomLevelCount, 2);
    EXPECT_EQ(st.componentCount, 2);
    EXPECT_EQ(st.recordLength, 3);
    EXPECT_EQ(st.componentNames[1], "V(G)");
    EXPECT_EQ(st.componentNames[6], "x6");
    EXPECT_EQ(st.factorLevels[1], 2);
    EXPECT_EQ(st.priorValues[1][1], 0.5f);
    EXPECT_EQ(st.priorValues[1][2], 3.0f);
    EXPECT_EQ(st.fixedColCountFull[1], 6);
    EXPECT_EQ(st.fixedColRows[1][6], 6);
    EXPECT_EQ(st.randomColCount[2], 3);
    EXPECT_EQ(st.randomColRowsFull[2][1], 4);
    EXPECT_EQ(st.randomColValues[2][3], 1.5f);
    EXPECT_EQ(st.randomColValuesFull[2][3], 1.5f);
    EXPECT_EQ(st.traitNames[2], "Height");
    EXPECT_EQ(st.traitData[1][1], 1.5f);
    EXPECT_EQ(st.traitData[1][6], 6.25f);
    EXPECT_EQ(st.traitData[2][6], 25.0f);
    EXPECT_EQ(st.factorColumnRange[1][1], 1);
    EXPECT_EQ(st.factorColumnRange[1][2], 2);
}

// Each bad file: the text edit that breaks the valid pair above, and the
// message expected (a regular expression).
struct BadInput {
    const char* name;
    std::string model, data;
    const char* message;
    int covarianceSwitch = 0;
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    if (at == std::string::npos) throw std::logic_error("no '" + from + "' in the text");
    return text.replace(at, from.size(), to);
}

TEST(ModelReader, BadFilesStopWithAMessageNamingFileLineAndItem) {
    const std::string M = kModel, D = kData;
    const BadInput cases[] = {
        {"missing comma", replaced(M, "1,2,\n", "1,2\n"), D, "T.MAT: line 1: item 1, trait count: expected a comma"},
        {"blank before comma", replaced(M, "3,   3,", "3 ,3,"), D, "T.MAT: line 8: item 8, random column 1"},
        {"not a number", replaced(M, "6,1,1,2", "6,one,1,2"), D, "item 2, fixed column count p: expected an integer, found 'one'"},
        {"int overflow", replaced(M, "6,1,1,2", "6,1,1,99999999999"), D, "item 2, random column count q: the number '99999999999' is too large"},
        {"negative count", replaced(M, "3,   3,", "-3,3,"), D, "item 8: random column 1 has a negative entry count -3"},
        {"levels differ from q", replaced(M, "2,0.5,", "3,0.5,"), D, "add up to 3, but item 2 gives q = 2"},
        {"fixed row out of range", replaced(M, "1,2,3,\n 4,5,6,", "1,2,3,\n 4,5,7,"), D, "line 10: item 9, fixed column 1, entry 6: observation number 7 is outside 1..6"},
        {"random row out of range", replaced(M, "4,1,5,1,6,1.5,", "4,1,0,1,6,1.5,"), D, "item 10, random column 2, entry 2: observation number 0 is outside 1..6"},
        {"non-finite coefficient", replaced(M, "6,1.5,", "6,nan,"), D, "item 10, random column 2, entry 3, coefficient: 'nan' is not a finite number"},
        {"too many factors", replaced(M, "6,1,1,2,", "6,1,25,2,"), D, "the random factor count r is 25; it must be between 0 and 24"},
        {"too many traits", replaced(M, "1,2,\n", "1,101,\n"), D, "the trait count is 101; it must be between 0 and 100"},
        {"bad factor shift", replaced(M, "0,99,0,0,", "0,99,3,0,"), D, "the factor shift is 3"},
        {"trailing factors beyond r", replaced(M, "0,99,0,0,", "0,99,0,2,"), D, "the trailing factor count is 2; it must be between 0 and 1"},
        {"label too long", replaced(M, "V(G) ", "V(Genotype-Env) "), D, "item 3, component label 1: 'V\\(Genotype-Env\\)' is longer than 14 characters"},
        {"short model file", M.substr(0, M.size() - 5), D, "the file ends where item 10, random column 2, entry 3, coefficient was expected"},
        {"counts exceed the file", replaced(M, "3,   3,", "3,2000000000,"), D, "items 7 and 8 announce 6 fixed and 2000000003 random entries"},
        {"text after the lists", M + "7,", D, "unexpected text after the last entry of item 10"},
        {"short data file", M, D.substr(0, D.size() - 9), "T.TXT: line 7: the file ends where observation 6, trait 1"},
        {"data value not a number", M, replaced(D, "3 3 22", "3 3 x22"), "T.TXT: line 4: observation 3, trait 2 \\(Height\\): expected a number, found 'x22'"},
        {"infinite data value", M, replaced(D, "4 4 23", "4 inf 23"), "observation 4, trait 1 \\(Yield\\): 'inf' is not a finite number"},
        {"lead column not an integer", M, replaced(D, "5 5 24", "5.5 5 24"), "observation 5, lead column 1: expected an integer"},
        {"extra data", M, D + "7 7 26\n", "T.TXT: line 8: more values than the 6 observations"},
        {"trait name too long", M, replaced(D, "Height", "HeightOfThePlantsCms"), "header, name of trait 2: 'HeightOfThePlantsCms' is longer than 19"},
        {"lead word too long", M, replaced(D, "Plot", "PlotNumberWithinTheTrial"), "header, lead column name 1: .* is longer than 23"},
    };
    for (const BadInput& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_RUN_ERROR(readBoth(c.model, c.data, c.covarianceSwitch), 1, c.message);
    }
}

TEST(ModelReader, CovariancePairsMustJoinExistingFactorsWithEqualLevels) {
    // Two fixed columns, three factors: the switch adds four covariance
    // components, joining (1, 3), (2, 4) ... but there is no factor 4.
    ModelDesign d = test::randomDesign(1, 12, {2, 2, 2}, 2, 1);
    EXPECT_RUN_ERROR(test::stateFromDesign(d, 1, 1), 1,
                "TEST.MAT: covariance component 2 joins random factors 2 and 4, but the model has 3 random factors");
    d = test::randomDesign(1, 12, {2, 2, 3, 2, 2}, 1, 1);
    EXPECT_RUN_ERROR(test::stateFromDesign(d, 1, 1), 1,
                "covariance component 1 joins random factors 1 \\(2 levels\\) and 3 \\(3 levels\\)");
}

}  // namespace
}  // namespace minque
