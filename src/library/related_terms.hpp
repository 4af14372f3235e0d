// Random terms with a relationship matrix: their levels become K's ids (in
// K's order, relatives without records included), their interactions with
// other columns blocks of K x I, and the design carries K's root for the
// estimator.
#pragma once

#include <string>

#include "core/model_design.hpp"
#include "minquecov/analysis.hpp"
#include "model/model_builder.hpp"

namespace minque {

// Applies the model's relationship matrices to the design built from the
// coded data, or refuses (a term that is not a random main effect of the
// model, codes of the data missing from K, a K that is not finite,
// symmetric and positive definite), naming the option, the term and K's
// source. Returns the model line's words for them ("" when none):
// "; Geno related by K.csv (mean diagonal 1.02), Geno*Env by K.csv x I".
std::string applyRelationships(ModelDesign& design, const DesignData& data, const ModelSpec& model, const CallerWords& words);

}  // namespace minque
