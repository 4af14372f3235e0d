// A prepared analysis's model: the engine's state (for the jackknife and the
// effects' terms), the design as the estimator takes it and its estimation,
// set up once, and what the run needs besides.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/analysis_state.hpp"
#include "estimator/level_space.hpp"
#include "minquecov/analysis.hpp"
#include "report/few_levels.hpp"
#include "report/genetic_effects.hpp"
#include "report/heritability.hpp"

namespace minque {

// The engine's state of a prepared analysis, and what the run needs besides.
struct PreparedModel {
    AnalysisState state;
    std::string dataText, modelText;  // NAME.TXT and NAME.MAT as minque-var and minque-cov would read them
    int traitCount = 0;
    std::vector<EffectTerm> terms;         // the random terms and their levels' names
    HeritabilityModel heritability;        // the heritabilities the model defines
    MinqueDesign design;                   // the design as the bootstrap takes it
    std::shared_ptr<const MinqueProjection> projection;  // its estimation, set up once
    std::vector<ComponentLevels> levels;   // the levels each random component rests on
};

// The library's own way to a preparation's model.
struct PreparedModelAccess {
    static std::shared_ptr<PreparedModel>& of(PreparedAnalysis& prepared) { return prepared.model_; }
};

}  // namespace minque
