// The design of an analysis, held once: its fixed columns and random
// factors, every level with the rows it enters and their coefficients, and
// the labels of the components. The model builder makes it from the coded
// data; the estimator reads it, and the programs' model file is written from
// it when they need one.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace minque {

// Limits of the model and data files and of the reports' columns.
inline constexpr int kMaxRandomFactors = 24;   // r + 5 component labels in 29 slots
inline constexpr int kMaxTraits = 100;
inline constexpr int kComponentNameLength = 14;
inline constexpr int kTraitNameLength = 19;
inline constexpr int kLeadWordLength = 23;

// What a random factor is in the genetics of the additive-dominance model;
// None in a general model, whose factors are just its terms.
enum class GeneticRole { None, Additive, Dominance, AdditiveByEnvironment, DominanceByEnvironment, Block };

// A known covariance K between the levels of a random term (a pedigree's
// additive relationship, a genomic relationship from markers, a matrix the
// user gives): the term's effects are N(0, sigma2 K) instead of independent.
// The estimator works with a root L (K = L L'), so that U = Z L replaces the
// incidence Z of the term's levels.
struct RelatedLevels {
    std::string source;             // where K came from, as the model line names it ("K.csv", "pedigree PED.csv")
    int order = 0;                  // q, the individuals of K
    std::vector<std::string> ids;   // their codes, in K's order
    std::vector<double> root;       // L, lower triangular, column-major q x q
    std::vector<double> diagonal;   // K_ii
    double meanDiagonal = 1.0;      // mean(diag K): the factor of the term's variance in the phenotypic variance
};

struct ModelDesign {
    struct Factor {
        std::vector<std::vector<std::pair<int, float>>> columns;  // per level: (observation, coefficient)
        float prior = 1.0f;
        std::vector<std::string> levelNames;  // per level, its name from the codes (not in the file)
        std::string term;                     // "A", "D", "AE", "DE", "B", or a general model's term (not in the file)
        GeneticRole role = GeneticRole::None;
        // With a relationship matrix: K, and the levels that share it, per
        // block (one block for the term itself; one per level of the other
        // column for an interaction with it, K x I), each K's order long, in
        // K's order. Empty: independent levels.
        std::shared_ptr<const RelatedLevels> related;
        std::vector<std::vector<int>> relatedBlocks;
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

    // The label of component k (1-based), as the model file holds it; empty
    // past its r + 5 labels.
    std::string componentLabel(int k) const {
        return k >= 1 && static_cast<std::size_t>(k) <= componentNames.size() ? componentNames[static_cast<std::size_t>(k) - 1]
                                                                              : std::string();
    }
};

}  // namespace minque
