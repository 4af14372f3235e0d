// A prepared analysis's model: the design, held once, with the layout of its
// components, the estimator set up on it, and what the run needs besides.
// The programs' model file and engine state are derived from it only when
// they are needed (library/engine_jackknife).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/component_layout.hpp"
#include "estimator/level_space.hpp"
#include "minquecov/analysis.hpp"
#include "model/genetic_definitions.hpp"
#include "model/model_builder.hpp"
#include "report/few_levels.hpp"

namespace minque {

struct PreparedModel {
    ModelDesign design;                    // the design built from the coded table
    ComponentLayout layout;                // its components
    bool covariances = false;              // with covariance components between factors
    DesignData data;                       // the coded design columns (their names and codes)
    std::vector<std::vector<float>> values;  // per observation, its traits as the data file holds them
    int traitCount = 0;
    std::vector<EffectTerm> terms;         // the random terms and their levels' names
    HeritabilityModel heritability;        // the heritabilities the model defines
    std::shared_ptr<const MinqueProjection> projection;  // the estimator, set up once on the design
    std::vector<ComponentLevels> levels;   // the levels each random component rests on

    // Trait i (0-based) of every observation, in double.
    std::vector<double> trait(int i) const {
        std::vector<double> y(values.size());
        for (std::size_t obs = 0; obs < values.size(); ++obs) y[obs] = values[obs][static_cast<std::size_t>(i)];
        return y;
    }
};

// The library's own way to a preparation's model.
struct PreparedModelAccess {
    static std::shared_ptr<PreparedModel>& of(PreparedAnalysis& prepared) { return prepared.model_; }
};

}  // namespace minque
