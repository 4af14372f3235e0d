// Covariance components of a trait pair by MINQUE: the cross quadratic forms
// of the two traits' observations y1 (pairData row 1) and y2 (row 2),
//   q_u     = y1' Q U_u U_u' Q y2                 random factor u
//   q_(r+p) = y1' Q (U_a U_b' + U_b U_a') Q y2    covariance component p
//   q_K     = y1' Q Q y2                          residual
// and theta = S^- q into priorValues[resultRow][1..K]. Q, the product records
// and S^- come from the pass of the same slot and data set.
#pragma once

#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

// The per-trait quantities of the fast pair estimation, for the current data
// set: the traits (setTraits row i = trait i, compacted to the data set by the
// caller), and for record c and trait i the products R_c'y_i formed in double
// (recordProductsDouble) and from single-precision products
// (recordProductsSingle), and (Q y_i)[row] (projectedTraits). Trait i of
// record c is at (c - 1) lanes + i - 1, Q y_i at row r at (r - 1) lanes + i - 1,
// the traits as doubles observation by observation at (j - 1) lanes + i - 1
// (lanes: t rounded up to 16).
struct TraitWorkspace {
    FloatMatrix setTraits;
    int lanes = 0;
    std::vector<double> recordProductsDouble, recordProductsSingle, projectedTraits, traitsByObservation;
    std::vector<float> recordBatch;
};

// The state's trait workspace, created at the first call; setTraits holds
// `traitCount` rows of the full n.
TraitWorkspace& traitWorkspace(AnalysisState& state, int traitCount);

void estimatePairCovariances(AnalysisState& state, int slot);

// sum over the records first..last, read in sequence from the current
// position, of (R'y1)(R'y2), the products formed in double.
float factorCrossForm(AnalysisState& state, int first, int last, int slot);

// sum over h of float(R_(a,h)'y1) (R_(b,h)'y2), products in single
// precision: level h of the first factor paired with level h of the second.
float factorPairCrossForm(AnalysisState& state, int a1, int a2, int b1, int b2, int slot);

// y1' Q Q y2 = sum_i (Q_i y1)(Q_i y2), products formed in double.
float residualCrossForm(AnalysisState& state);

// The same estimates for many pairs, with the work that depends on one trait
// done once per trait: after a pass of `slot`, computeTraitProducts forms,
// for every trait row of setTraits (traits 1..traitCount, compacted to the
// data set), the products of every product record with the trait and Q times
// the trait, each element by the formula and in the order of the per-pair
// forms above; estimatePairFromTraitProducts then combines two traits' values
// into the cross forms and theta exactly as estimatePairCovariances would.
void computeTraitProducts(AnalysisState& state, int slot, int traitCount);
void estimatePairFromTraitProducts(AnalysisState& state, int i, int j, int traitCount);

}  // namespace minque
