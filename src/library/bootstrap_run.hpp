// A run with the parametric bootstrap's standard errors: the whole-data
// components from the estimator, the effects at them, the spread of the
// samples, all in the space of the random levels.
#pragma once

#include "library/prepared_model.hpp"
#include "minquecov/analysis.hpp"
#include "report/genetic_effects.hpp"

namespace minque {

// effects: when given, filled with each trait's predictions of all data and
// their prediction error variances.
AnalysisResult bootstrapResult(PreparedModel& model, const AnalysisSettings& settings, const AnalysisOptions& o,
                               const AnalysisProgress& progress, PredictedEffects* effects);

}  // namespace minque
