// The predicted genetic effects of every level of every random term of each
// trait (parents, crosses, their interactions with environment, blocks; a
// general model's terms), with the standard errors of their prediction
// errors (the jackknife's are in report/jackknife_effects).
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
    // With them: per random column its records and K_ii (1 without a
    // relationship matrix), and per trait i and term u its variance
    // component (i * terms + u).
    std::vector<int> records;
    std::vector<double> relationshipDiagonal;
    std::vector<double> termVariance;
    // With them: per trait i its fitted fixed part at observation j, i n + j
    // (NaN for a trait without predictions).
    std::vector<double> fixedPart, fitted;  // and the conditional fitted values X b + U u^
};

// One row per trait, term and level, in that order, with the standard
// errors users of mixed models expect: the
// square root of the prediction error variance, a 95% interval of +-1.96
// S.E. and the two-tailed normal test of effect / S.E. (the bootstrap's
// tables; the predictions of all data only).
std::vector<ResultRow> effectRowsFromPredictionErrors(const std::vector<EffectTerm>& terms,
                                                      const PredictedEffects& effects,
                                                      const std::vector<std::string>& traits);

}  // namespace minque
