// The jackknife loop: the estimation on all data and on every replicate, the
// covariance file, and the statistics and report block of every trait pair.
#pragma once

#include "driver/analysis_state.hpp"

namespace minque {

// Runs the three phases for `traitCount` traits (pairs i < j) with group size
// g; the state holds the model, the data and the open streams.
void runJackknife(AnalysisState& state, int traitCount, int groupSize);

}  // namespace minque
