// Reading trial tables: separators, quoting, missing values, and the
// messages for tables that cannot be read.
#include <gtest/gtest.h>

#include "io/trial_table.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

TEST(TrialTable, TheHeaderLineDecidesTheSeparator) {
    struct Case {
        const char* text;
        char separator;
    };
    const Case cases[] = {
        {"Env,Fem,Yield\n1,P1,4.5\n2,P2,\n", ','},
        {"Env\tFem\tYield\n1\tP1\t4.5\n2\tP2\t\n", '\t'},
        {"Env  Fem   Yield\n1 P1 4.5\n  2\tP2   NA  \n", ' '},
    };
    for (const Case& c : cases) {
        const TrialTable t = parseTrialTable(c.text, "T.TXT");
        EXPECT_EQ(t.separator, c.separator);
        ASSERT_EQ(t.names, (std::vector<std::string>{"Env", "Fem", "Yield"}));
        ASSERT_EQ(t.rows.size(), 2u);
        EXPECT_EQ(t.rows[0], (std::vector<std::string>{"1", "P1", "4.5"}));
        EXPECT_EQ(t.rows[1][1], "P2");
        EXPECT_TRUE(isMissingValue(t.rows[1][2]));
        EXPECT_EQ(t.lineOfRow[1], 3);
    }
}

TEST(TrialTable, QuotedFieldsFollowRfc4180) {
    const std::string text =
        "\xEF\xBB\xBF\"Block\",Entry,\"Yield, t/ha\"\r\n"
        "\"Block A\",\"P \"\"3\"\"\",4.5\r\n"
        "\"Block\nB\",P4, 5.25 \r\n"
        ",,\r\n";  // a blank line of separators is skipped
    const TrialTable t = parseTrialTable(text, "T.CSV");
    EXPECT_EQ(t.names, (std::vector<std::string>{"Block", "Entry", "Yield, t/ha"}));
    ASSERT_EQ(t.rows.size(), 2u);
    EXPECT_EQ(t.rows[0], (std::vector<std::string>{"Block A", "P \"3\"", "4.5"}));
    EXPECT_EQ(t.rows[1][0], "Block\nB");
    EXPECT_EQ(t.rows[1][2], "5.25");
    EXPECT_EQ(t.lineOfRow[1], 3);
}

TEST(TrialTable, AnUnnamedFirstColumnIsATableWrittenByRWithItsRowNames) {
    const TrialTable t = parseTrialTable("\"\",Yield\n\"1\",2.5\n\"2\",3.5\n", "R.csv");
    EXPECT_EQ(t.names, (std::vector<std::string>{"", "Yield"}));
    EXPECT_EQ(t.rows[1][0], "2");
}

TEST(TrialTable, MissingValuesAreTheUsualSpellings) {
    for (const char* missing : {"", "NA", "na", ".", "nan", "NaN"}) EXPECT_TRUE(isMissingValue(missing)) << missing;
    for (const char* present : {"0", "N", "n/a?", "-", "1e-3"}) EXPECT_FALSE(isMissingValue(present)) << present;
}

TEST(TrialTable, UnreadableTablesStopNamingTheFileAndLine) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"", "T.TXT: the file is empty"},
        {"A,B\n1,2\n3\n", "T.TXT: line 3 has 1 fields, but the header names 2 columns"},
        {"A,A\n1,2\n", "T.TXT: line 1: the column name 'A' appears twice"},
        {"A,,C\n1,2,3\n", "T.TXT: line 1: column 2 of the header has no name"},
        {"A,B\n1,\"2\n", "T.TXT: line 2: a quoted field is not closed"},
        {"A,B\n1,\"2\"x\n", "T.TXT: line 2: text after the closing quote"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_RUN_ERROR(parseTrialTable(c.text, "T.TXT"), 1, c.message);
    }
}

}  // namespace
}  // namespace minque
