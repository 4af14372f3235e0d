// Writing a model file (.MAT) and a data file from a design held in memory:
// the inverse of the readers, used by the model builder and by the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/model_design.hpp"

namespace minque {

// The .MAT text of a design. Floats are written with enough digits to read
// back bit for bit.
std::string formatModelFile(const ModelDesign& design);

// A data file: header of lead-column names and trait names, then one row per
// observation of lead integers and trait values (written to read back exactly).
std::string formatDataFile(const std::vector<std::string>& leadNames, const std::vector<std::string>& traitNames,
                           const std::vector<std::vector<int>>& leadValues,
                           const std::vector<std::vector<float>>& traitValues);

}  // namespace minque
