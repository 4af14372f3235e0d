// The MINQUE matrix S[k][l] = tr(Q V_k Q V_l) of the components, assembled
// from the product records of a pass (rows of U'Q) and Q.
//
// Components: u = 1..r the random factors (V_u = U_u U_u'), r + c the
// covariance component between factors a and b (V = U_a U_b' + U_b U_a'),
// K the residual (V = I). A range (first, last) is a set of consecutive
// columns of U; the range of factor u is factorColumnRange[u].
//
// Column product d(R, l) = sum_k float(R[row_k] value_k) over the entries of
// U column l, accumulated in double in list order: for R = R_i it is element
// (i, l) of U'QU.
#pragma once

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

struct ColumnRange {
    int first, last;
    int width() const { return last >= first ? last - first + 1 : 0; }
};

ColumnRange factorRange(const AnalysisState& state, int factor);

// tr(Q V_A Q): the |A| records of A read in sequence from the current position.
float traceFactorResidual(AnalysisState& state, ColumnRange A, int slot);
// tr(Q V_A Q V_B): the |A| records of A read in sequence from the current position.
float traceFactorFactor(AnalysisState& state, ColumnRange A, ColumnRange B, int slot);
// tr(Q U_A U_B' Q): records of A and B, each by position.
float tracePairResidual(AnalysisState& state, ColumnRange A, ColumnRange B, int slot);
// tr(Q U_I1 U_I2' Q U_C2 U_C1'): records of C1, then of C2, each by position;
// one |I1| x |C1| block of U'QU is kept in designWork.
float traceCrossProduct(AnalysisState& state, ColumnRange I1, ColumnRange C1, ColumnRange C2, ColumnRange I2,
                        int slot);

// S in equationMatrix[1..K][1..K], both triangles.
void assembleMinqueMatrix(AnalysisState& state, int slot);

}  // namespace minque
