#include <gtest/gtest.h>

#include <vector>

#include "jackknife_engine/io/model_constants.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

struct Shape {
    int p, r, trailing, shift, covarianceSwitch;
    std::vector<int> levels = {};  // empty: every factor 2 levels
};

AnalysisState stateOf(const Shape& s, int ignoredCount = 0) {
    std::vector<int> levels = s.levels;
    if (levels.empty()) levels.assign(static_cast<std::size_t>(s.r), 2);
    ModelDesign d = test::randomDesign(7, 40, levels, s.p, 1);
    d.factorShift = s.shift;
    d.trailingFactorCount = s.trailing;
    d.ignoredCount = ignoredCount;
    // No observation 1 in factor 1 or 3 with large coefficients: no dosage.
    for (auto& f : d.factors)
        for (auto& col : f.columns)
            for (auto& e : col) e.second = 0.5f;
    return test::stateFromDesign(d, 1, s.covarianceSwitch);
}

std::vector<float> weights(const AnalysisState& st) {
    std::vector<float> w;
    for (int k = 1; k <= st.componentCount; ++k) w.push_back(st.componentWeight[k]);
    return w;
}

std::vector<std::pair<int, int>> pairs(const AnalysisState& st, int count) {
    std::vector<std::pair<int, int>> out;
    for (int k = 1; k <= count; ++k) out.emplace_back(st.covariancePair[k][1], st.covariancePair[k][2]);
    return out;
}

using Pairs = std::vector<std::pair<int, int>>;

TEST(ModelConstants, OneFixedColumnWithSixNonTrailingFactorsUsesTheFullSet) {
    const AnalysisState st = stateOf({1, 7, 1, 0, 1});
    EXPECT_EQ(st.fullCovarianceSet, 1);
    EXPECT_EQ(st.covarianceCount, 6);
    EXPECT_EQ(st.componentCount, 14);
    EXPECT_EQ(st.recordLength, 15);
    EXPECT_EQ(weights(st), (std::vector<float>{2, 0.375f, 4.5f, 3, 2, 1, 0, 3, 1, 2, 0.5f, 3, 1, 1}));
    EXPECT_EQ(pairs(st, 6), (Pairs{{1, 3}, {2, 4}, {1, 5}, {2, 6}, {3, 5}, {4, 6}}));
}

TEST(ModelConstants, FactorShiftOneMovesTheFullSetByOne) {
    const AnalysisState st = stateOf({1, 7, 0, 1, 1});
    EXPECT_EQ(weights(st), (std::vector<float>{2, 0.375f, 4.5f, 3, 1, 2, 1, 3, 1, 2, 0.5f, 3, 1, 1}));
    EXPECT_EQ(pairs(st, 6), (Pairs{{1, 3}, {2, 4}, {1, 6}, {2, 7}, {3, 6}, {4, 7}}));
}

TEST(ModelConstants, SeveralFixedColumnsBelowTwelveFactorsUseFourComponents) {
    const AnalysisState st = stateOf({3, 9, 1, 0, 1});
    EXPECT_EQ(st.fullCovarianceSet, 0);
    EXPECT_EQ(st.covarianceCount, 4);
    EXPECT_EQ(st.componentCount, 14);
    // Nine factors: the second two covariance components pair factors 5-8,
    // and those factors repeat the weights of factors 1-4.
    EXPECT_EQ(weights(st), (std::vector<float>{2, 0.375f, 2, 1, 2, 0.375f, 2, 1, 0, 2, 0.5f, 2, 0.5f, 1}));
    EXPECT_EQ(pairs(st, 4), (Pairs{{1, 3}, {2, 4}, {5, 7}, {6, 8}}));
    const AnalysisState shifted = stateOf({3, 9, 1, 1, 1});
    EXPECT_EQ(pairs(shifted, 4), (Pairs{{1, 4}, {2, 5}, {5, 8}, {6, 9}}));
}

TEST(ModelConstants, SwitchOffLeavesNoCovarianceComponents) {
    const AnalysisState st = stateOf({2, 3, 0, 0, 0});
    EXPECT_EQ(st.covarianceCount, 0);
    EXPECT_EQ(st.componentCount, 4);
    // Three factors and the residual, the residual carrying the weight 2.
    EXPECT_EQ(weights(st), (std::vector<float>{2, 2, 0.375f, 2}));
}

TEST(ModelConstants, ShiftTwoIsShiftZeroAndTheSixthNumberIsIgnored) {
    for (const Shape& s : {Shape{1, 7, 1, 0, 1}, Shape{3, 9, 1, 0, 1}, Shape{1, 4, 0, 0, 1}}) {
        const AnalysisState zero = stateOf(s);
        Shape two = s;
        two.shift = 2;
        const AnalysisState shifted = stateOf(two, 12345);
        EXPECT_EQ(shifted.factorShift, 0);
        EXPECT_EQ(weights(zero), weights(shifted));
        EXPECT_EQ(pairs(zero, zero.covarianceCount), pairs(shifted, shifted.covarianceCount));
        EXPECT_EQ(shifted.componentCount, s.r + shifted.covarianceCount + 1);
    }
}

TEST(ModelConstants, OneTrailingFactorDropsTheLastFactorsWeightTwoDoNot) {
    EXPECT_EQ(stateOf({1, 3, 1, 0, 0}).componentWeight[3], 0.0f);
    EXPECT_EQ(stateOf({1, 3, 2, 0, 0}).componentWeight[3], 2.0f);  // from step 3
}

TEST(ModelConstants, LargerThirdFactorChangesTheFactorWeights) {
    const AnalysisState st = stateOf({1, 3, 0, 0, 0, {2, 2, 5}});
    EXPECT_EQ(st.componentWeight[1], 2.0f);
    EXPECT_EQ(st.componentWeight[2], 1.0f);
}

TEST(ModelConstants, DosageCodingOfFactorOneOrThreeIsDetected) {
    auto dosageState = [](float first, float second, int factor) {
        ModelDesign d = test::oneWayDesign(3, 4, 1);
        d.componentNames.assign(8, "C");
        d.factors.push_back(d.factors[0]);
        d.factors.push_back(d.factors[0]);
        for (auto& f : d.factors)
            for (auto& col : f.columns)
                for (auto& e : col) e.second = 0.5f;
        // Two columns of the factor start with observation 1.
        auto& cols = d.factors[static_cast<std::size_t>(factor - 1)].columns;
        cols[0][0] = {1, first};
        cols[1].insert(cols[1].begin(), {1, second});
        return test::stateFromDesign(d, 1);
    };
    const AnalysisState one = dosageState(2.0f, 1.0f, 1);
    EXPECT_EQ(one.dosageFactor, 1);
    EXPECT_EQ(one.componentWeight[1], 4.5f);
    EXPECT_EQ(one.componentWeight[2], 3.0f);
    EXPECT_EQ(dosageState(2.0f, 0.9f, 1).dosageFactor, 0);
    EXPECT_EQ(dosageState(1.5f, 1.5f, 3).dosageFactor, 2);
}

}  // namespace
}  // namespace minque
