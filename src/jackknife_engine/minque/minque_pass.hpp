// One MINQUE(0/1) pass over the current data set (all data or one jackknife
// replicate): everything the estimation of a trait pair needs except the
// trait values.
//
//   1. V^-1, V = I + sum_u U_u U_u' (every prior value 1), on the GPU when a
//      device is present, else on the host (which adds X X' as well; the
//      projection is the same);
//   2. the projection Q = V^-1 - V^-1 X (X'V^-1X)^- X'V^-1 in place of V^-1
//      (projectOutFixed);
//   3. the m rows of U'Q as product records in the file of the slot;
//   4. the MINQUE matrix of traces S, replaced by S^- in equationMatrix.
#pragma once

#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

// Scratch of the fast projection and product records, sized for the full n
// at their first use: W as doubles column by column, the column sums of W,
// each worker's terms t_f, each worker's sums of a record, and a batch of
// records on their way to the file.
struct ProjectionWorkspace {
    std::vector<double> fixedProducts, sums, terms, recordSums;
    std::vector<float> recordBatch;
};

// slot 2 ("MATRIX.UQ2", all data) or 3 ("MATRIX.UQ3", a replicate).
void minquePass(AnalysisState& state, int slot);

// Q in vInverse, W = V^-1 X in designWork[1..n][1..p], (X'WX)^- in
// equationMatrix. Q[r][c] = float(A[r][c] - sum_f W[c][f] t_f), t_f =
// sum_g float(G[g][f] W[r][g]), computed on the lower triangle and stored in
// both, so Q is exactly symmetric; with p = 0, Q is V^-1 bit for bit.
// The reference computes element by element; the fast version (the default)
// forms the same sums across independent rows and columns on the worker
// threads, relying on A being stored symmetric.
void projectOutFixed(AnalysisState& state);
void projectOutFixedReference(AnalysisState& state);
void projectOutFixedFast(AnalysisState& state);

// Step 3: record i, slot j = float(sum_k float(Q[row_k][j] value_k)). The
// fast version (the default) computes batches of records on the worker
// threads and writes them in order.
void writeProductRecords(AnalysisState& state, int slot);
void writeProductRecordsReference(AnalysisState& state, int slot);
void writeProductRecordsFast(AnalysisState& state, int slot);

}  // namespace minque
