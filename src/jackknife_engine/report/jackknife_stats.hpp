// Delete-a-group jackknife statistics of one trait pair.
//
// priorValues rows hold the component estimates of one data set: row 1 the
// variance components of trait i, row 2 the covariance components of the
// pair, row 3 the variance components of trait j. With J replicates and
// d = J - 1, the pseudo-value of a quantity is J w_k (whole-data value) minus
// d w_k (replicate value). Positions K + 1 (G+GE) and K + 2 (Phenotypic)
// follow the components in every accumulator; a covariance component between
// two factors enters every total twice.
//
// Zero test of a between-factor component k (r < k < K) on a trait row: when
// that row's value of factor a_k or b_k is exactly 0, the row's value of k is
// taken as 0 (its variance term leaves the trait's totals). The covariance
// row is never zeroed.
#pragma once

#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/resampling/jackknife.hpp"

namespace minque {

// Components r + 1 .. K - 1 join two random factors.
bool isBetweenFactor(const AnalysisState& state, int k);
// The zero test of between-factor component k on a row with these values.
bool zeroTestRemoves(const AnalysisState& state, int k, const Row<float>& values);

// wholeTerms from the whole-data rows.
void prepareJackknife(AnalysisState& state, int J);

// Adds one replicate's pseudo-values (rows loaded by the driver) to
// jackTerms, jackVectorA (squares of the covariance pseudo-values),
// jackVectorB and jackVectorC (pseudo-correlations and their squares).
// Overwrites positions 1..r of rows 1 and 3 with their pseudo-values.
void accumulateReplicate(AnalysisState& state, int d);

}  // namespace minque
