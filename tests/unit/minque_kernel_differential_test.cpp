// The fast host kernels against the reference kernels over whole passes of
// random valid models: every stored value bit for bit, on every vector path
// this processor runs, with 1 to 4 worker threads.
#include <gtest/gtest.h>

#include "support/kernel_differential.hpp"

namespace minque {
namespace {

TEST(KernelDifferential, SeededModelsGiveTheReferenceBitsOnEveryPathAndThreadCount) {
    constexpr unsigned kModels = 200;
    int accepted = 0, passes = 0, withCovariances = 0, longColumns = 0;
    for (unsigned seed = 1; seed <= kModels; ++seed) {
        const auto bytes = test::seededBytes(seed, 4096);
        test::ByteDraws draws(bytes.data(), bytes.size());
        const test::RandomModel model = test::drawModel(draws);
        const test::DifferentialResult result = test::compareKernels(model);
        ASSERT_TRUE(result.modelAccepted) << "seed " << seed << ": the readers refused a generated model";
        EXPECT_EQ(result.difference, "") << "seed " << seed;
        ++accepted;
        passes += result.passes;
        withCovariances += result.covarianceComponents > 0;  // compared with them, not only drawn
        for (const auto& f : model.design.factors)
            for (const auto& col : f.columns) longColumns += static_cast<int>(col.size()) > model.design.obsCount;
    }
    // The sweep reaches what it is for.
    EXPECT_EQ(accepted, static_cast<int>(kModels));
    EXPECT_GT(passes, 5 * static_cast<int>(kModels));
    EXPECT_GT(withCovariances, 20);
    EXPECT_GT(longColumns, 20);
}

// A column that lists observations 1, 2 and 3 four times each and 4, 5, 6
// once (15 entries for 6 observations) overran buffers sized by the number
// of observations in the fast kernels.
TEST(KernelDifferential, AColumnLongerThanTheObservationsRunsWithTheReferenceBits) {
    test::RandomModel model;
    ModelDesign& d = model.design;
    d.obsCount = 6;
    d.traitCount = 2;
    d.fixedColumns = {{1, 2, 3, 4, 5, 6}};
    ModelDesign::Factor f;
    f.columns.resize(2);
    for (int repeat = 0; repeat < 4; ++repeat)
        for (int m = 1; m <= 3; ++m) f.columns[0].emplace_back(m, 1.0f);
    for (int m = 4; m <= 6; ++m) f.columns[0].emplace_back(m, 1.0f);
    for (int m = 1; m <= 6; ++m) f.columns[1].emplace_back(m, 0.5f);
    d.factors = {f};
    d.componentNames = {"V(F1)", "V(e)", "V(e)", "V(e)", "V(e)", "V(e)"};
    model.traits = {{1.5f, 2.0f, 4.25f, 3.0f, 7.5f, 1.0f}, {2.0f, 2.5f, 1.0f, 6.0f, 3.5f, 0.5f}};
    model.groupSize = 1;
    for (int threads = 1; threads <= 4; ++threads) {
        model.threads = threads;
        const test::DifferentialResult result = test::compareKernels(model);
        ASSERT_TRUE(result.modelAccepted);
        EXPECT_EQ(result.difference, "") << threads << " threads";
        EXPECT_EQ(result.passes, 7);
    }
}

}  // namespace
}  // namespace minque
