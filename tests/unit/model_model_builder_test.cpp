#include <gtest/gtest.h>

#include "model/model_builder.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

using Column = std::vector<std::pair<int, float>>;

DesignData dataOf(const std::string& text, int lead) { return readDesignData(test::streamOf(text), "D.TXT", lead); }

TEST(ModelBuilder, FourParentDiallelWithParentsInOneEnvironment) {
    // Rows: the parents 1..4, then the crosses 1x2, 1x3, 1x4, 2x3, 2x4, 3x4.
    const DesignData data = dataOf(
        "Env Fem Male Yield\n"
        "1 1 1 5.0\n1 2 2 5.1\n1 3 3 5.2\n1 4 4 5.3\n"
        "1 1 2 6.0\n1 1 3 6.1\n1 1 4 6.2\n1 2 3 6.3\n1 2 4 6.4\n1 3 4 6.5\n",
        3);
    AdditiveDominanceColumns c;
    c.env = 0;
    c.female = 1;
    c.male = 2;
    const ModelDesign d = additiveDominanceModel(data, c);
    EXPECT_EQ(d.obsCount, 10);
    EXPECT_EQ(d.leadColumnCount, 3);
    EXPECT_EQ(d.traitCount, 1);
    EXPECT_EQ(d.fixedColumns, (std::vector<std::vector<int>>{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}));  // the intercept
    ASSERT_EQ(d.factors.size(), 2u);  // one environment: A and D only
    // A: a parent line carries its parent twice, a cross each parent once.
    EXPECT_EQ(d.factors[0].columns, (std::vector<Column>{
                                        {{1, 2.0f}, {5, 1.0f}, {6, 1.0f}, {7, 1.0f}},
                                        {{2, 2.0f}, {5, 1.0f}, {8, 1.0f}, {9, 1.0f}},
                                        {{3, 2.0f}, {6, 1.0f}, {8, 1.0f}, {10, 1.0f}},
                                        {{4, 2.0f}, {7, 1.0f}, {9, 1.0f}, {10, 1.0f}},
                                    }));
    // D: the pairs (1,1), (1,2), (1,3), (1,4), (2,2), (2,3), (2,4), (3,3), (3,4), (4,4).
    EXPECT_EQ(d.factors[1].columns, (std::vector<Column>{{{1, 1.0f}}, {{5, 1.0f}}, {{6, 1.0f}}, {{7, 1.0f}}, {{2, 1.0f}},
                                                         {{8, 1.0f}}, {{9, 1.0f}}, {{3, 1.0f}}, {{10, 1.0f}}, {{4, 1.0f}}}));
    EXPECT_EQ(d.componentNames, (std::vector<std::string>{"V(A)", "V(D)", "V(e)", "-", "-", "-", "-"}));
    EXPECT_EQ(d.trailingFactorCount, 0);
}

TEST(ModelBuilder, SeveralEnvironmentsAddInteractionsBlocksAndEnvironmentColumns) {
    const DesignData data = dataOf(
        "Env Fem Male Blk Y\n"
        "1 1 2 1 1\n1 1 2 2 1\n2 1 2 1 1\n2 2 2 2 1\n",
        4);
    AdditiveDominanceColumns c{0, 1, 2, 3};
    const ModelDesign d = additiveDominanceModel(data, c);
    EXPECT_EQ(d.fixedColumns, (std::vector<std::vector<int>>{{1, 2}, {3, 4}}));
    ASSERT_EQ(d.factors.size(), 5u);
    EXPECT_EQ(d.factors[2].columns, (std::vector<Column>{{{1, 1.0f}, {2, 1.0f}}, {{1, 1.0f}, {2, 1.0f}}, {{3, 1.0f}}, {{3, 1.0f}, {4, 2.0f}}}));
    EXPECT_EQ(d.factors[3].columns, (std::vector<Column>{{{1, 1.0f}, {2, 1.0f}}, {{3, 1.0f}}, {{4, 1.0f}}}));  // (env, pair)
    EXPECT_EQ(d.factors[4].columns, (std::vector<Column>{{{1, 1.0f}}, {{2, 1.0f}}, {{3, 1.0f}}, {{4, 1.0f}}}));
    EXPECT_EQ(d.trailingFactorCount, 1);
    EXPECT_EQ(d.componentNames[5], "V(e)");
}

TEST(ModelBuilder, GeneralModelCodesLevelsAndInteractions) {
    const DesignData data = dataOf("G E Y\n3 1 1\n1 1 1\n3 2 1\n1 2 1\n", 2);
    const ModelDesign d = generalModel(data, {parseTerm(data, "G"), parseTerm(data, "G*E")}, {parseTerm(data, "E")}, true, 0);
    EXPECT_EQ(d.fixedColumns, (std::vector<std::vector<int>>{{1, 2, 3, 4}, {1, 2}, {3, 4}}));
    EXPECT_EQ(d.factors[0].columns, (std::vector<Column>{{{2, 1.0f}, {4, 1.0f}}, {{1, 1.0f}, {3, 1.0f}}}));  // codes 1, 3
    EXPECT_EQ(d.factors[1].columns.size(), 4u);
    EXPECT_EQ(d.componentNames[0], "V(G)");
    EXPECT_EQ(d.componentNames[1], "V(G*E)");
    EXPECT_EQ(d.componentNames[2], "V(e)");
}

TEST(ModelBuilder, BadDesignDataIsRefusedWithAMessage) {
    EXPECT_RUN_ERROR(dataOf("Env Fem Y\n1 x 2\n", 2), 1,
                "D.TXT: line 2: observation 1, lead column 2 \\(Fem\\): a level code must be an integer: expected an integer, found 'x'");
    EXPECT_RUN_ERROR(dataOf("Env Fem\n1 2\n", 2), 1, "the header has 2 names, but 2 lead columns and at least one trait");
    const DesignData data = dataOf("Env Fem Y\n1 2 3\n", 2);
    EXPECT_RUN_ERROR(leadColumn(data, "Blk"), 1, "there is no lead column named 'Blk' \\(the lead columns are: Env, Fem\\)");
}

}  // namespace
}  // namespace minque
