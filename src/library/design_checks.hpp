// What is refused before any estimation: designs that cannot separate their
// components, fixed terms that leave nothing to estimate from, designs too
// large for memory, traits on a scale the method cannot hold.
#pragma once

#include <string>

#include "estimator/level_space.hpp"
#include "library/trial_coding.hpp"
#include "minquecov/analysis.hpp"
#include "model/model_builder.hpp"

namespace minque {

// The design built, as the estimator takes it (observations from 0,
// coefficients in double).
MinqueDesign minqueDesign(const ModelDesign& built, const ComponentLayout& layout);
// Refuses a model whose components the design cannot separate, or whose
// fixed terms (fixedTerms, as the user named them) leave too few contrasts,
// naming them, before any estimation.
void refuseConfounded(const MinqueProjection& projection, const ModelDesign& built, const CallerWords& words,
                      const std::string& fixedTerms);
// Refuses a design whose dense factor would not fit in memory, naming the
// levels, the memory and the term that makes it large.
void refuseTooLargeForMemory(const MinqueDesign& design, const ModelDesign& built, const CallerWords& words);
// Refuses a trait the method cannot analyse on its scale (J: the jackknife's
// replicates, 0 for the bootstrap).
void checkTraitScales(const CodedTrial& coded, const std::string& table, int J, const CallerWords& words);

}  // namespace minque
