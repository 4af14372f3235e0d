// Writing a model file (.MAT) and a data file from a design held in memory:
// the inverse of the readers, used by the model builder and by the tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace minque {

// What a random factor is in the genetics of the additive-dominance model;
// None in a general model, whose factors are just its terms.
enum class GeneticRole { None, Additive, Dominance, AdditiveByEnvironment, DominanceByEnvironment, Block };

struct ModelDesign {
    struct Factor {
        std::vector<std::vector<std::pair<int, float>>> columns;  // per level: (observation, coefficient)
        float prior = 1.0f;
        std::vector<std::string> levelNames;  // per level, its name from the codes (not in the file)
        std::string term;                     // "A", "D", "AE", "DE", "B", or a general model's term (not in the file)
        GeneticRole role = GeneticRole::None;
    };
    int leadColumnCount = 0;
    int traitCount = 0;
    int obsCount = 0;
    int workOrder = 0;
    int ignoredCount = 0;  // the sixth number of item 2
    int factorShift = 0;
    int trailingFactorCount = 0;
    std::vector<std::string> componentNames;   // r + 5 labels
    std::vector<std::vector<int>> fixedColumns;  // observation numbers where each X column is 1
    std::vector<Factor> factors;
    int residualPrior = 1;
};

// The .MAT text of a design. Floats are written with enough digits to read
// back bit for bit.
std::string formatModelFile(const ModelDesign& design);

// A data file: header of lead-column names and trait names, then one row per
// observation of lead integers and trait values (written to read back exactly).
std::string formatDataFile(const std::vector<std::string>& leadNames, const std::vector<std::string>& traitNames,
                           const std::vector<std::vector<int>>& leadValues,
                           const std::vector<std::vector<float>>& traitValues);

}  // namespace minque
