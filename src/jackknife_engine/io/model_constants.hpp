// The model constants derived after the model and the data are read: the
// column ranges of the random factors, the dosage flag, the component weights
// (the genetic coefficients that turn components into the reported scale) and
// the pairs of random factors joined by each covariance component.
#pragma once

#include <string>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

// Sets factorLevelEnd, factorColumnRange, dosageFactor, componentWeight and
// covariancePair, and allocates designWork. Stops the run (naming the model
// file) when a covariance component joins a factor the model does not have or
// two factors with different numbers of levels. With `factorNames` (the
// random terms as the user named them, one per factor), that message speaks
// of the terms and of `option`, the switch that asked for the components.
void deriveModelConstants(AnalysisState& state, int trailingFactorCount, const std::string& modelFileName,
                          const std::vector<std::string>& factorNames = {}, const std::string& option = "");

}  // namespace minque
