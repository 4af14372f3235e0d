// Coding a trial table for the engine: levels of text and numeric codes, the
// parents shared by the female and male columns, missing values, names the
// engine's files cannot hold.
#include <gtest/gtest.h>

#include "library/trial_coding.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

TrialTable table(const std::string& text) { return parseTrialTable(text, "T.CSV"); }

TEST(TrialCoding, CodesAreLevelsInAscendingOrderNumericWhereEveryCodeIsANumber) {
    const TrialTable t = table(
        "Env,Fem,Male,Rep,Yield,Height\n"
        "Site B,P3,P10,10,4.5,100\n"
        "Site A,P10,P2,2,5,101\n"
        "Site B,P2,P3,9,6.25,99\n");
    TrialDesign d;
    d.design = {"Env", "Fem", "Male", "Rep"};
    d.traits = {"Yield", "Height"};
    d.shared = {{"Fem", "Male"}};
    const CodedTrial c = codeTrial(t, d);
    // Text codes in byte order ("P10" < "P2" < "P3"), one coding for both
    // parents; numeric codes in numeric order (2 < 9 < 10).
    const std::vector<std::vector<int>> expected = {{2, 3, 1, 3}, {1, 1, 2, 1}, {2, 2, 3, 2}};
    EXPECT_EQ(c.data.lead, expected);
    EXPECT_EQ(c.data.leadNames, d.design);
    EXPECT_EQ(c.data.traitNames, d.traits);
    EXPECT_EQ(c.values[2], (std::vector<float>{6.25f, 99.0f}));
}

TEST(TrialCoding, IncompleteRowsAreDroppedOnlyWhenAsked) {
    const TrialTable t = table("G,Y1,Y2\n1,2.5,3\n2,NA,4\n3,.,\n4,1,2\n");
    TrialDesign d;
    d.design = {"G"};
    d.traits = {"Y1", "Y2"};
    d.dropIncomplete = true;
    const CodedTrial c = codeTrial(t, d);
    EXPECT_EQ(c.droppedLines, (std::vector<int>{3, 4}));
    EXPECT_EQ(c.data.lead, (std::vector<std::vector<int>>{{1}, {2}}));  // levels of the kept rows only
    d.dropIncomplete = false;
    EXPECT_RUN_ERROR(codeTrial(t, d), 1,
                "T.CSV: line 3, column Y1: the value is missing \\('NA'\\); give --drop-incomplete");
}

TEST(TrialCoding, BadTablesAndNamesStopNamingTheColumn) {
    struct Case {
        const char* text;
        std::vector<std::string> design, traits;
        const char* message;
    };
    const Case cases[] = {
        {"G,Y\n1,abc\n", {"G"}, {"Y"}, "T.CSV: line 2, column Y: 'abc' is not a number"},
        {"G,Y\n1,1e40\n", {"G"}, {"Y"}, "line 2, column Y: '1e40' is not a finite number"},
        {"G,Y\n,1\n", {"G"}, {"Y"}, "line 2, column G: the design code is missing"},
        {"G,Y\n1,1\n", {"Env"}, {"Y"}, "there is no column 'Env' \\(a design column\\); the columns are: G, Y"},
        {"G,AVeryLongTraitNameIndeed\n1,1\n", {"G"}, {"AVeryLongTraitNameIndeed"},
         "the trait name 'AVeryLongTraitNameIndeed' has 24 characters; the engine's files hold at most 19"},
        {"G,\"Plant height\"\n1,1\n", {"G"}, {"Plant height"}, "the trait name 'Plant height' holds a space"},
        {"G,Y\n1,1\n", {"G"}, {"G"}, "the column 'G' is named both as a design column and as a trait"},
    };
    for (const Case& c : cases) {
        TrialDesign d;
        d.design = c.design;
        d.traits = c.traits;
        SCOPED_TRACE(c.text);
        EXPECT_RUN_ERROR(codeTrial(table(c.text), d), 1, c.message);
    }
}

}  // namespace
}  // namespace minque
