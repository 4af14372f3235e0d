#include <gtest/gtest.h>

#include "core/fatal_error.hpp"
#include "jackknife_engine/core/arrays.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

TEST(Arrays, VectorsAreZeroedAndAddressedFromTheirLowerBound) {
    FloatVector one = dvector(1, 5);
    FloatVector zero = dvector(0, 5);
    for (int i = 1; i <= 5; ++i) EXPECT_EQ(one[i], 0.0f);
    for (int i = 0; i <= 5; ++i) EXPECT_EQ(zero[i], 0.0f);
    zero[0] = 7.0f;
    zero[5] = 9.0f;
    EXPECT_EQ(*zero.ptr(0), 7.0f);
    EXPECT_EQ(zero.ptr(5) - zero.ptr(0), 5);
    IntVector ints = ivector(0, 3);
    for (int i = 0; i <= 3; ++i) EXPECT_EQ(ints[i], 0);
}

TEST(Arrays, MatrixRowsAreContiguousRowMajorWithTheirColumnBounds) {
    FloatMatrix m = dmatrix(1, 3, 0, 4);
    for (int r = 1; r <= 3; ++r)
        for (int c = 0; c <= 4; ++c) EXPECT_EQ(m[r][c], 0.0f);
    m[2][0] = 1.0f;
    m[3][4] = 2.0f;
    EXPECT_EQ(m.ptr(2, 0) - m.ptr(1, 0), 5);
    EXPECT_EQ(*m.ptr(3, 4), 2.0f);
    EXPECT_EQ(m[2].ptr(0), m.ptr(2, 0));
}

TEST(Arrays, RaggedRowsHoldOneSlotMoreThanTheirCount) {
    IntVector counts = ivector(1, 3);
    counts[1] = 2;
    counts[2] = 0;
    counts[3] = 4;
    IntRagged list = iragged(counts, 3);
    EXPECT_EQ(list[1].hi(), 3);
    EXPECT_EQ(list[2].hi(), 1);
    EXPECT_EQ(list[3].hi(), 5);
    list[1][3] = 11;
    EXPECT_EQ(list[2][1], 0);  // rows do not overlap
    EXPECT_EQ(list[1][3], 11);
}

TEST(Arrays, AllocationFailureEndsWithTheAllocatorsMessageInTheRunsLanguage) {
    EXPECT_RUN_ERROR(dmatrix(1, 1 << 30, 1, 1 << 30), 1,
                     "allocation failure 2 in dmatrix\\(\\)\n\n You Data Is Too Big for Runing in DOS System.\n\n You "
                     "Should Analyze the Data in UNIX System.\n...Now Exiting to System...\n");
    EXPECT_RUN_ERROR(inRunLanguage(true, [] { return imatrix(1, 1 << 30, 1, 1 << 30); }), 1,
        "allocation failure 2 in imatrix\\(\\)\n\n您的数据太大了, 无法在DOS系统中分析!\n\n您需要在UNIX系统中运行统计"
        "分析软件!\n...无法执行软件. 退回DOS系统...\n$");
}

#ifdef MINQUE_CHECKED_INDEX
TEST(Arrays, CheckedBuildCatchesAnIndexOutsideTheBounds) {
    FloatVector v = dvector(1, 4);
    EXPECT_RUN_ERROR(v[5] = 1.0f, 1, "internal error: index 5 outside 1..4");
    FloatMatrix m = dmatrix(1, 2, 1, 2);
    EXPECT_RUN_ERROR(m[1][0] = 1.0f, 1, "internal error: index 0 outside 1..2");
}
#endif

}  // namespace
}  // namespace minque
