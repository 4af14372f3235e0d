// Components a design has too few levels to estimate with any precision.
//
// A variance component is a variance among the levels of its term: with L
// levels it rests on about L - 1 degrees of freedom, and even from perfect
// data its estimate has a coefficient of variation near sqrt(2 / (L - 1)):
// 0.53 at 8 levels, 0.63 at 6, 1 at 3. Below 8 levels the estimate is as
// likely as not to be off by more than half its size, a correlation of the
// component rests on a handful of values, and the resampling's normal
// reading of estimate / S.E. (its P value and mark) no longer holds. Such a
// component is flagged few_levels in every row it enters: its own rows, its
// correlations, the genetic total G+GE and the heritabilities or shares whose
// numerator holds it, and the predicted effects of its term (shrunk by an
// imprecise component). The phenotypic total is left unflagged: it is the
// (co)variance of the observations, estimated from every row whatever the
// split among the components.
#pragma once

#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "model/genetic_definitions.hpp"

namespace minque {

// The fewest levels a component's term needs to go unflagged.
constexpr int kFewLevels = 8;

// A random component of the model (not the residual), as the tables label it.
struct ComponentLevels {
    std::string label;  // "V(A)", "V(Fem)", ...
    std::string term;   // its term in the effects table ("A", "Fem"); empty for a covariance between factors
    int k = 0;          // its index 1..K in the heritability model's coefficients
    int levels = 0;     // the levels its estimate rests on
    std::string what;   // what they are, in words ("6 parents", "4 blocks", "3 levels of Fem")
};

// Adds few_levels to every row of the tables that rests on a component of
// fewer than kFewLevels levels; returns those components.
std::vector<ComponentLevels> flagFewLevels(ResultTables& tables, const std::vector<ComponentLevels>& components,
                                           const HeritabilityModel& heritability);

}  // namespace minque
