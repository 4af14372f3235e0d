#include <gtest/gtest.h>

#include <string>

#include "jackknife_engine/driver/jackknife_driver.hpp"
#include "jackknife_engine/minque/minque_pass.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

std::vector<std::pair<int, float>> column(const AnalysisState& st, int j) {
    std::vector<std::pair<int, float>> out;
    for (int k = 1; k <= st.randomColCount[j]; ++k) out.emplace_back(st.randomColRows[j][k], st.randomColValues[j][k]);
    return out;
}

using Entries = std::vector<std::pair<int, float>>;

TEST(ReplicateCompaction, RenumbersKeptObservationsAndCarriesTheirCoefficients) {
    ModelDesign d = test::oneWayDesign(2, 5, 1);  // n = 10
    d.factors[0].columns[0] = {{1, 2.0f}, {4, 1.0f}, {5, 1.0f}};
    d.factors[0].columns[1] = {{2, 1.0f}, {3, 1.5f}};  // entirely inside the first group
    AnalysisState st = test::stateFromDesign(d, 1);
    compactReplicate(st, 1, 3, 10);
    EXPECT_EQ(st.obsCount, 7);
    EXPECT_EQ(column(st, 1), (Entries{{1, 1.0f}, {2, 1.0f}}));
    EXPECT_EQ(st.randomColCount[2], 0);
    EXPECT_EQ(st.fixedColCount[1], 7);
    // Rebuilt from the full lists: the emptied column is whole again.
    compactReplicate(st, 2, 3, 10);
    EXPECT_EQ(column(st, 1), (Entries{{1, 2.0f}}));  // observations 4 to 6 deleted
    EXPECT_EQ(column(st, 2), (Entries{{2, 1.0f}, {3, 1.5f}}));
}

TEST(ReplicateCompaction, TheRemainderIsInEveryReplicate) {
    // n = 10, g = 3: J = 3; observation 10 is in no group.
    ModelDesign d = test::oneWayDesign(2, 5, 1);
    d.factors[0].columns[0] = {{1, 1.0f}, {2, 1.0f}, {3, 1.0f}, {4, 1.0f}, {5, 1.0f}};
    d.factors[0].columns[1] = {{6, 1.0f}, {7, 1.0f}, {8, 1.0f}, {9, 1.0f}, {10, 0.5f}};
    AnalysisState st = test::stateFromDesign(d, 1);
    const Entries expected[3][2] = {
        {{{1, 1.0f}, {2, 1.0f}}, {{3, 1.0f}, {4, 1.0f}, {5, 1.0f}, {6, 1.0f}, {7, 0.5f}}},
        {{{1, 1.0f}, {2, 1.0f}, {3, 1.0f}}, {{4, 1.0f}, {5, 1.0f}, {6, 1.0f}, {7, 0.5f}}},
        {{{1, 1.0f}, {2, 1.0f}, {3, 1.0f}, {4, 1.0f}, {5, 1.0f}}, {{6, 1.0f}, {7, 0.5f}}},
    };
    for (int k = 1; k <= 3; ++k) {
        compactReplicate(st, k, 3, 10);
        EXPECT_EQ(st.obsCount, 7);
        EXPECT_EQ(column(st, 1), expected[k - 1][0]) << "replicate " << k;
        EXPECT_EQ(column(st, 2), expected[k - 1][1]) << "replicate " << k;
    }
}

TEST(ReplicateCompaction, ReplicatePassWritesShorterRecordsAndLeavesTheWholeDataFile) {
    AnalysisState st = test::stateFromDesign(test::randomDesign(2, 12, {3, 2}, 1, 1), 1);
    st.streams[kSlotWholeData] = std::tmpfile();
    st.streams[kSlotReplicate] = std::tmpfile();
    auto contents = [&](int slot) { return test::streamContents(st.streams[static_cast<std::size_t>(slot)]); };
    minquePass(st, kSlotWholeData);
    const std::string whole = contents(kSlotWholeData);
    EXPECT_EQ(whole.size(), 5u * 13 * 4);
    compactReplicate(st, 2, 4, 12);
    minquePass(st, kSlotReplicate);
    EXPECT_EQ(contents(kSlotReplicate).size(), 5u * 9 * 4);
    EXPECT_EQ(contents(kSlotWholeData), whole);
    std::fclose(st.streams[kSlotWholeData]);
    std::fclose(st.streams[kSlotReplicate]);
}

}  // namespace
}  // namespace minque
