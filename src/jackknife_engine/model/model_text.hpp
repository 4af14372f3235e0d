// The programs' model file (.MAT) of a design, and the engine's state read
// back from it with the readers of minque-var and minque-cov.
#pragma once

#include <string>

#include "jackknife_engine/core/analysis_state.hpp"
#include "model/model_builder.hpp"

namespace minque {

// The engine's state of `design` (covariance components when `covariances`),
// read from its model file text with the programs' own reader and model
// constants; stops the run if any list reads back otherwise than it was
// built. The n x n V^-1 is allocated when `withInverse`.
AnalysisState readBackModel(const ModelDesign& design, const std::string& text, const std::string& modelName,
                            bool covariances, bool withInverse);

// What minque-model writes for the request: the model file text, its state
// as read back (*readBack) and the design (*built, when given).
std::string buildModelFile(const DesignData& data, const ModelRequest& request, const std::string& modelName,
                           AnalysisState* readBack, ModelDesign* built = nullptr);

}  // namespace minque
