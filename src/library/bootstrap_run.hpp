// A run with the parametric bootstrap's standard errors: the whole-data
// components from the estimator, the effects at them, the spread of the
// samples, all in the space of the random levels.
#pragma once

#include <string>
#include <vector>

#include "library/prepared_model.hpp"
#include "minquecov/analysis.hpp"
#include "report/genetic_effects.hpp"
#include "report/resampled_tables.hpp"

namespace minque {

// The whole-data components of every trait pair, as MinqueProjection::estimate
// lays them out: the point estimates of every run, whichever method gives
// the standard errors.
std::vector<double> wholeDataComponents(const PreparedModel& model);

// Each trait's predictions of all data at its own whole-data components,
// with their prediction error variances.
PredictedEffects wholeDataEffects(const PreparedModel& model, const std::vector<double>& whole,
                                  const AnalysisProgress& progress);

// Per trait the generalized line-mean heritability of the model's entry,
// 1 - v / (2 V_G), at the whole-data components and, given the bootstrap's
// draws, at each sample's where the work allows it (NaN where V_G is at or
// below 1e-10 of the trait's variance).
//
// Each value factors Henderson's equations at its own components: about
// s^3 operations for the s levels left dense. The samples get theirs where
// B t s^3 is at most kGeneralizedLineMeanWork (a minute or so on one core);
// above it the row has no S.E., which the run says.
inline constexpr double kGeneralizedLineMeanWork = 1e11;
bool generalizedLineMeanResampled(const PreparedModel& model, int samples);
ResampledTableInput::ComputedRatio generalizedLineMean(const PreparedModel& model, const std::vector<double>& whole,
                                                      const BootstrapDraws* draws, const AnalysisProgress& progress);

// Per trait the variance of its values (divisor n - 1): the scale the
// tables' limits follow.
std::vector<double> traitVariances(const PreparedModel& model);

// The components' labels in the tables ("V(A)", ..., "C(1,3)", "V(e)").
std::vector<std::string> componentLabels(const PreparedModel& model);

// The bootstrap's run at the whole-data components `whole`.
AnalysisResult bootstrapResult(PreparedModel& model, const std::vector<double>& whole, const AnalysisSettings& settings,
                               const AnalysisOptions& o, const AnalysisProgress& progress);

}  // namespace minque
