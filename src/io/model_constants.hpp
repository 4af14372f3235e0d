// The model constants derived after the model and the data are read: the
// column ranges of the random factors, the dosage flag, the component weights
// (the genetic coefficients that turn components into the reported scale) and
// the pairs of random factors joined by each covariance component.
#pragma once

#include <string>

#include "core/analysis_state.hpp"

namespace minque {

// Sets factorLevelEnd, factorColumnRange, dosageFactor, componentWeight and
// covariancePair, and allocates designWork. Stops the run (naming the model
// file) when a covariance component joins a factor the model does not have or
// two factors with different numbers of levels.
void deriveModelConstants(AnalysisState& state, int trailingFactorCount, const std::string& modelFileName);

}  // namespace minque
