// Building the model file of an analysis from a data file whose leading
// columns are integer design codes (environment, parents, block, genotype,
// ...). Observations are numbered in the order of the data rows.
//
// Level coding: the levels of a column are its distinct codes in ascending
// order; the levels of an interaction of two columns are the distinct code
// pairs that occur, in ascending order. Only levels that occur get a column.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "core/component_layout.hpp"
#include "core/model_design.hpp"

namespace minque {

// The data file: the first line holds the h lead-column names and the trait
// names; then one row of h integer codes and t values per observation.
struct DesignData {
    std::string fileName;
    std::vector<std::string> leadNames, traitNames;
    std::vector<std::vector<int>> lead;  // per observation, h codes
    // Per lead column, the trial table's code of level v at v - 1 (names the
    // levels of the factors); empty: the level number itself.
    std::vector<std::vector<std::string>> leadCodes;
    int obsCount() const { return static_cast<int>(lead.size()); }
    // The code of `level` in lead column `column`.
    std::string codeOf(int column, int level) const;
};

DesignData readDesignData(std::FILE* in, const std::string& fileName, int leadColumnCount);

// Index (0-based) of the lead column named `name`; stops the run naming the
// file and the known columns when there is none.
int leadColumn(const DesignData& data, const std::string& name);

// The additive-dominance model of mating designs (diallel and factorial
// crosses, with or without parent lines): random factors A (additive: one
// level per parent, coefficient 1 for each parent of a cross, 2 for a parent
// line), D (dominance: one level per unordered pair of parents), and with more
// than one environment AE and DE (their interactions with environment), then B
// (block within environment, a trailing factor reported with weight 0) when a
// block column is given. Environments are the fixed columns (the intercept
// when there is only one).
struct AdditiveDominanceColumns {
    int env = -1, female = -1, male = -1, block = -1;  // lead column indices; block -1: none
};
ModelDesign additiveDominanceModel(const DesignData& data, const AdditiveDominanceColumns& columns);

// A general model: each random term is a lead column or the interaction of
// two ("Geno*Env"); fixed terms are lead columns (one 0/1 column per level)
// and/or the intercept. Labels "V(term)".
struct ModelTerm {
    std::string name;
    int first = -1, second = -1;  // second -1: a main effect
};
ModelTerm parseTerm(const DesignData& data, const std::string& text);
ModelDesign generalModel(const DesignData& data, const std::vector<ModelTerm>& random,
                         const std::vector<ModelTerm>& fixed, bool intercept, int trailingFactorCount);

// What the model builder is asked for: the additive-dominance model
// (additiveDominance = "ENV,FEMALE,MALE[,BLOCK]") or a general model (random =
// "TERM,TERM...", fixed = "1" and/or lead columns), the trailing factor count
// of a general model, and whether the labels are for runs with the covariance
// switch on.
struct ModelRequest {
    std::string additiveDominance, random, fixed = "1";
    int trailing = 0;
    bool covariances = false;
    // The option that asked for the covariance components, named in the
    // refusal of a model that cannot have them (with its terms' labels);
    // empty: the refusal names the model file, factors by number.
    std::string covarianceOption;
};

// The design for the request, its components labelled (the covariance
// components' too when the request asks for them). An impossible request
// (unknown column, a label longer than its slot, too many terms, covariance
// components between factors that cannot be paired) stops the run with a
// message; `modelName` names the model in it where the request names no
// option.
ModelDesign buildDesign(const DesignData& data, const ModelRequest& request, const std::string& modelName);

// The layout of the design's components, with or without covariance
// components between its factors.
ComponentLayout layoutOf(const ModelDesign& design, bool covariances);

// Component labels for the run's covariance switch: the factors, the
// covariance components "C(a,b)" between factors a and b, then "V(e)" at the
// residual's position and "-" for the unused positions of the r + 5 labels.
void labelComponents(ModelDesign& design, const std::vector<std::string>& factorLabels,
                     const std::vector<std::pair<int, int>>& covariancePairs);

}  // namespace minque
