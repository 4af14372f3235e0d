// The predicted genetic effects of every level of every random term of each
// trait (parents, crosses, their interactions with environment, blocks; a
// general model's terms), with jackknife standard errors as the report
// gives a component: pseudo-values J u - (J - 1) u_r of a level's whole-data
// prediction u and its prediction u_r in replicate r, their spread rescaled
// by the square of the ratio between u and their mean, and the two-tailed
// t-test on J - 1 degrees of freedom.
#pragma once

#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "model/genetic_definitions.hpp"

namespace minque {

// The predictions of every data set: values (rep t + i) q + j for trait i
// (0-based) and random column j in replicate rep (0: all data); predicted
// rep t + i false when the trait's residual component was at or below zero
// there (no predictions: 0); termPositive i * terms + u whether the term's
// whole-data component of trait i is above zero.
struct PredictedEffects {
    int traits = 0, replicates = 0, columns = 0;
    std::vector<double> values;
    std::vector<char> predicted;
    std::vector<char> termPositive;
    // On request, the prediction error variance of every whole-data
    // prediction: i q + j for trait i and random column j.
    std::vector<double> predictionErrorVariances;
};

// One row per trait, term and level, in that order; a trait whose residual
// component is at or below zero on all data has none. A term whose
// component is at or below zero predicts 0 (S.E. 0, P 1) and is flagged
// component_not_positive; p_floor and not_finite as in the other tables.
// Effects and S.E. are printed with %g, P with %.3g.
std::vector<ResultRow> effectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& effects,
                                  const std::vector<std::string>& traits);

// The same rows with the standard errors users of mixed models expect: the
// square root of the prediction error variance, a 95% interval of +-1.96
// S.E. and the two-tailed normal test of effect / S.E. (the bootstrap's
// tables; the predictions of all data only).
std::vector<ResultRow> effectRowsFromPredictionErrors(const std::vector<EffectTerm>& terms,
                                                      const PredictedEffects& effects,
                                                      const std::vector<std::string>& traits);

}  // namespace minque
