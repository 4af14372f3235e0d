// The predicted genetic effects with jackknife standard errors, as the
// report gives a component: pseudo-values J u - (J - 1) u_r of a level's
// prediction u on all data and u_r in replicate r (both the engine's), their
// spread rescaled by the square of the ratio between the reported prediction
// and their mean, and the two-tailed t-test on J - 1 degrees of freedom. The
// reported predictions are those of every run (the estimator's in the space
// of the random levels), whichever method gives the standard errors.
#pragma once

#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "report/genetic_effects.hpp"

namespace minque {

// passes: the engine's predictions of every pass; reported: those of all data
// reported, whose residual and term components decide what is predicted.
// One row per trait, term and level, in that order; a trait whose residual
// component is at or below zero on all data has none. A term whose
// component is at or below zero predicts 0 (S.E. 0, P 1) and is flagged
// component_not_positive; p_floor and not_finite as in the other tables.
// Effects and S.E. are printed with %g, P with %.3g.
std::vector<ResultRow> effectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& passes,
                                  const PredictedEffects& reported, const std::vector<std::string>& traits);

}  // namespace minque
