// The inverse of the variance matrix on the host, by Sherman-Morrison
// rank-one updates.
//
// Leaves in vInverse[1..n][1..n]
//     W = (w_e I + sum_c w(c) z_c z_c' + sum_c x_c x_c')^-1
// where z_c is column c of U (real coefficients; an observation listed twice
// in a column counts with the sum of its coefficients), w(c) the prior value of
// the factor owning column c, x_c column c of X and w_e the prior value of the
// residual. Every estimation pass sets the prior values to 1, so W =
// (I + UU' + XX')^-1; the fixed columns do not change the projection formed
// from W.
//
// Order and arithmetic of every element: start from (1/w_e) I; add the columns
// of U from the last to the first (skipping every column of a factor whose
// |prior| <= 1e-8), then the columns of X from the last to the first. Adding
// column c: b = W z (float products, double sums, stored as float in
// workVector[1..n]); s = sum_k float(b[row_k] * value_k) in double, s = s w + 1,
// f = w / s (for a fixed column: plain sums, s + 1, f = 1 / s); then for
// i >= j: W[i][j] = float(W[i][j] - b_j (b_i f)), all in double.
//
// Two implementations give the same bits:
// - shermanCPUReference updates the lower triangle column by column, reading
//   W z through the lower-triangle twins, and mirrors it once at the end;
// - shermanCPUBlocked (the default) keeps both triangles and defers the
//   updates of up to 32 columns: the b of each next column is computed from
//   the rows it needs, brought up to date element by element with the same
//   formula (element (i, j), i >= j, is always W[i][j] - b_j (b_i f)), and
//   one tiled sweep then applies the deferred updates in order to every
//   element of the lower triangle and mirrors it, split over the worker
//   threads.
// shermanCPU runs the reference when the state asks for the reference kernels.
#pragma once

#include "jackknife_engine/core/analysis_state.hpp"

#include <vector>

namespace minque {

// Scratch of the blocked inverse, sized for the full n at its first use: the
// deferred updates (b and b f of each pending column, as doubles), the sums of
// b, copies of the rows being brought up to date, row marks and lists, and the
// order of the columns.
struct InverseWorkspace {
    std::vector<double> pendingB, pendingT, sums;
    std::vector<float> rowCopies;
    std::vector<int> rowMarks, rowList, columnOrder;
};

void shermanCPU(AnalysisState& state, int n);
void shermanCPUReference(AnalysisState& state, int n);
void shermanCPUBlocked(AnalysisState& state, int n);

}  // namespace minque
