// What the model's components mean for a breeder, defined where the model is
// built: the heritabilities (or shares of the phenotypic variance) of a
// trait, and the random terms whose levels get predicted effects.
//
// The additive-dominance model: the genetic coefficients A 2, D 1, AE 2,
// DE 1, e 1 give the phenotypic variance V_P (blocks left out, whatever the
// report's positional weights); h2_narrow = 2 V(A) / V_P, h2_broad =
// (2 V(A) + V(D)) / V_P, and with environments h2_narrow_GE = 2 V(AE) / V_P
// and h2_GE = (2 V(AE) + V(DE)) / V_P. A general model: the share of V_P of
// every reported component, each with coefficient 1 (a covariance component
// between two factors with 2, as it enters the variance of their sum); a
// component the report leaves out (weight 0, a trailing block) is left out
// of V_P too. A term with a relationship matrix K enters V_P (and its share)
// with mean(diag K): sigma2 K_ii is its variance in individual i.
#pragma once

#include <string>
#include <vector>

#include "core/component_layout.hpp"
#include "core/model_design.hpp"

namespace minque {

// A ratio sum_k a_k V_k / sum_k c_k V_k over the components k = 1..K.
struct RatioDefinition {
    std::string quantity;            // "h2_narrow", "share:V(A)", ...
    std::vector<double> numerator;   // a_k at index k (1..K; index 0 unused)
    std::vector<double> denominator; // c_k of its own (the variance of an entry mean); empty: V_P
};

struct HeritabilityModel {
    std::vector<double> phenotypic;  // c_k at index k (1..K; index 0 unused)
    // The part of c_k that is not the component row's weight: mean(diag K)
    // of a term with a relationship matrix K (its variance in an
    // individual of the population is sigma2 K_ii), else 1.
    std::vector<double> relationshipScale;
    std::vector<RatioDefinition> ratios;
    // The entry term of the line-mean heritability (0-based factor; -1 none).
    int entry = -1;
};

// The line-mean heritability of a general model's entry term (the genotypes
// of a trial), on the basis of entry means:
//   h2_line_mean = V_G / (V_G + sum_t V_t / e_t + V_e / n_h),
// t the random interactions of the entry with other columns (Geno*Env),
// e_t the harmonic mean over the entries of the number of levels of t they
// have records in (environments), n_h the harmonic mean of their records
// (environments times reps): on balanced data the textbook
// V_G / (V_G + V_GE / e + V_e / (e r)). Terms not crossed with the entry
// (blocks, environments) do not enter the variance of a difference between
// entry means. The generalized form, 1 - v / (2 V_G) with v the mean
// prediction error variance of a difference between two entries, comes from
// Henderson's equations (predictLevelEffects); on balanced data the two agree.
inline constexpr const char* kLineMean = "h2_line_mean";
inline constexpr const char* kLineMeanGeneralized = "h2_line_mean_generalized";

// The factors that can be an entry: the random main effects of a general
// model without a relationship matrix, with at least two levels, that the
// tables report (not a trailing block).
std::vector<int> entryCandidates(const ModelDesign& design, const ComponentLayout& layout);

// The definitions for the design built and the layout of its components;
// with an entry (a candidate, 0-based), its line-mean heritability too.
HeritabilityModel heritabilityDefinitions(const ModelDesign& design, const ComponentLayout& layout, int entry = -1);

// A random term: its name ("A", "Env*Geno"), its columns among the q random
// columns (0-based, first..last) and the names of its levels.
struct EffectTerm {
    std::string name;
    int first = 0, last = -1;
    std::vector<std::string> levelNames;
};

// The random terms of the design in the order of its factors.
std::vector<EffectTerm> effectTerms(const ModelDesign& design);

}  // namespace minque
