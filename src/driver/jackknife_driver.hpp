// The jackknife loop: the estimation on all data and on every replicate, the
// covariance file, and the statistics and report block of every trait pair.
//
// Replicate k (1..J, J = n / g) leaves out observations (k - 1) g + 1 .. k g;
// the last n - J g observations are in every replicate. "MATRIX.cov" record
// k P + pair holds the pair's covariance components in replicate k (k = 0:
// all data); "MATWRN.var" record k t + (i - 1) the variance components of
// trait i.
#pragma once

#include "driver/analysis_state.hpp"

namespace minque {

// Runs the three phases for `traitCount` traits (pairs i < j) with group size
// g; the state holds the model, the data and the open streams.
void runJackknife(AnalysisState& state, int traitCount, int groupSize);

// Keep marks of replicate k: workVector[m] = m for a kept observation and 0
// for a deleted one; columnVector[1..n] = 0.
void markReplicate(AnalysisState& state, int k, int g, int n);

// The design lists of replicate k, rebuilt from the full lists: kept
// observations renumbered 1..n - g in order, coefficients carried with their
// rows, obsCount = n - g; columnVector[m] holds the new number of m.
void compactReplicate(AnalysisState& state, int k, int g, int n);

}  // namespace minque
