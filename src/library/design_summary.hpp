// The design in the user's words: one line of observations and levels, and
// the levels each random component's estimate rests on.
#pragma once

#include <string>
#include <vector>

#include "library/trial_coding.hpp"
#include "minquecov/analysis.hpp"
#include "model/model_builder.hpp"
#include "report/few_levels.hpp"

namespace minque {

std::string designSummary(const ModelDesign& built, const CodedTrial& coded, bool additiveDominance, bool environments,
                          bool blocks);
std::vector<ComponentLevels> componentLevels(const ModelDesign& built, const ComponentLayout& layout,
                                             const CodedTrial& coded, const ModelSpec& m);

}  // namespace minque
