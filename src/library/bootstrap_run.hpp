// A run with the parametric bootstrap's standard errors: the whole-data
// components from the estimator, the effects at them, the spread of the
// samples, all in the space of the random levels.
#pragma once

#include <string>
#include <vector>

#include "library/prepared_model.hpp"
#include "minquecov/analysis.hpp"
#include "report/genetic_effects.hpp"

namespace minque {

// The whole-data components of every trait pair, as MinqueProjection::estimate
// lays them out: the point estimates of every run, whichever method gives
// the standard errors.
std::vector<double> wholeDataComponents(const PreparedModel& model);

// Each trait's predictions of all data at its own whole-data components,
// with their prediction error variances.
PredictedEffects wholeDataEffects(const PreparedModel& model, const std::vector<double>& whole,
                                  const AnalysisProgress& progress);

// The components' labels in the tables ("V(A)", ..., "C(1,3)", "V(e)").
std::vector<std::string> componentLabels(const PreparedModel& model);

// The bootstrap's run at the whole-data components `whole`.
AnalysisResult bootstrapResult(PreparedModel& model, const std::vector<double>& whole, const AnalysisSettings& settings,
                               const AnalysisOptions& o, const AnalysisProgress& progress);

}  // namespace minque
