// The inverse of the variance matrix on a CUDA device: V = U U' + I formed
// densely on the device and solved by LU with partial pivoting against the
// identity, giving (I + UU')^-1 in vInverse[1..n][1..n]. The fixed columns and
// the prior values are not used (every pass sets the priors to 1; the
// projection is the same as from the host result).
#pragma once

#include <cstddef>
#include <string>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

void shermanGPU(AnalysisState& state, int n, int m);

// Empty when cuBLAS and cuSOLVER can be loaded (CUDA builds), else why not.
std::string gpuLibraryProblem();

// The device pipeline: result (column-major, leading dimension n) = (I + UU')^-1
// from the row-major n x m dense U. Returns 0; every failure stops the run
// (a RunError), with the device memory of the call freed.
int inverseV_GPU(const float* denseU, float* result, int n, int m);

// Sparse columns to the dense n x m host array, row-major by observation:
// the coefficient of observation r in column c at (r - 1) m + (c - 1); an
// observation listed twice in a column keeps the later coefficient.
void buildDenseU(const AnalysisState& state, float* denseU, int n, int m);

// The solution copied back: vInverse[i][j] = result[(i - 1) n + (j - 1)].
void denseToMatrix(const float* result, const FloatMatrix& vInverse, int n);

}  // namespace minque
