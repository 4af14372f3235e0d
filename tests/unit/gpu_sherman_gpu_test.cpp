// The host pieces of the GPU variance inverse, which need no device.
#include <gtest/gtest.h>

#include <vector>

#include "jackknife_engine/gpu/sherman_gpu.hpp"
#include "jackknife_engine/gpu/solver_status.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

TEST(ShermanGpuHost, DenseUIsRowMajorByObservationAndTheLaterCoefficientWins) {
    ModelDesign d = test::oneWayDesign(3, 2, 1);  // n = 6, m = 3
    d.factors[0].columns[0] = {{1, 2.0f}, {2, 1.5f}, {1, 4.0f}};  // observation 1 twice
    d.factors[0].columns[1] = {};                                 // an empty column
    d.factors[0].columns[2] = {{6, -1.0f}, {3, 0.5f}};
    const AnalysisState st = test::stateFromDesign(d, 1);
    std::vector<float> dense(6 * 3, 9.0f);
    buildDenseU(st, dense.data(), 6, 3);
    const std::vector<float> expected = {
        4.0f, 0, 0,  // observation 1: the later coefficient
        1.5f, 0, 0,  //
        0, 0, 0.5f,  //
        0, 0, 0,     //
        0, 0, 0,     //
        0, 0, -1.0f,
    };
    EXPECT_EQ(dense, expected);
}

TEST(ShermanGpuHost, ResultColumnsBecomeRowsOfTheInverse) {
    AnalysisState st;
    st.vInverse = dmatrix(1, 3, 1, 3);
    const float result[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};  // column-major: column 1 is 1, 2, 3
    denseToMatrix(result, st.vInverse, 3);
    EXPECT_EQ(st.vInverse[1][1], 1.0f);
    EXPECT_EQ(st.vInverse[1][3], 3.0f);
    EXPECT_EQ(st.vInverse[2][1], 4.0f);
    EXPECT_EQ(st.vInverse[3][2], 8.0f);
}

TEST(ShermanGpuHost, SolverFailuresPrintTheMessagesOfTheirKind) {
    EXPECT_EQ(solverStatusMessage(kSolverInvalidValue, 3, ""), "Invalid value for parameter 3\n");
    EXPECT_EQ(solverStatusMessage(kSolverDataError, 17, ""), "Data error (17)\n");
    EXPECT_EQ(solverStatusMessage(kSolverBlasError, 13, ""), "Blas error (13)\n");
    EXPECT_EQ(solverStatusMessage(kSolverRuntimeError, 6, ""), "Runtime error (6)\n");
    EXPECT_EQ(solverStatusMessage(kSolverOther, 1, "not initialised"), "not initialised\n");
}

TEST(ShermanGpuHost, InvalidSolveArgumentsAreNamedByTheirPosition) {
    EXPECT_EQ(luFactorArgumentError(5, 5, 5), 0);
    EXPECT_EQ(luFactorArgumentError(-1, 5, 5), 1);
    EXPECT_EQ(luFactorArgumentError(5, -2, 5), 2);
    EXPECT_EQ(luFactorArgumentError(5, 5, 4), 4);
    EXPECT_EQ(luFactorArgumentError(0, 0, 0), 4);  // lda is at least 1
    EXPECT_EQ(luSolveArgumentError(5, 5, 5, 5), 0);
    EXPECT_EQ(luSolveArgumentError(-1, 5, 5, 5), 2);
    EXPECT_EQ(luSolveArgumentError(5, -1, 5, 5), 3);
    EXPECT_EQ(luSolveArgumentError(5, 5, 3, 5), 5);
    EXPECT_EQ(luSolveArgumentError(5, 5, 5, 3), 8);
    EXPECT_EQ(solverStatusMessage(kSolverInvalidValue, luSolveArgumentError(5, 5, 5, 3), ""),
              "Invalid value for parameter 8\n");
}

#ifdef MINQUE_HAVE_CUDA
TEST(ShermanGpuHost, DenseLibrariesLoadWithEveryFunctionTheSolveUses) {
    EXPECT_EQ(gpuLibraryProblem(), "");
}
#endif

}  // namespace
}  // namespace minque
