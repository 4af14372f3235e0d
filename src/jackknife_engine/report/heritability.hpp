// Heritabilities: ratios of a trait's variance components to its phenotypic
// variance, with jackknife standard errors, from the components of the
// trait on all data and on every replicate (the records of the variance
// file, as minque-var writes them; no pass of its own over the data).
//
// A ratio is sum_k a_k V_k / sum_k c_k V_k over the components k = 1..K of
// the record, with coefficients a (the numerator) and c (the phenotypic
// variance V_P), both given by the model. Its jackknife follows the report's
// correlations: on all data the ratio of the coefficient-weighted
// components; in replicate r the ratio of the components' pseudo-values
// p_k = J V_k - (J - 1) V_k(r), each weighted by its coefficient; the
// standard error from the spread of these pseudo-ratios, rescaled by the
// ratio between the whole-data value and their mean (or its reciprocal,
// whichever is at most 1), and the two-tailed t-test on J - 1 degrees of
// freedom. A phenotypic variance at or below 1e-10 on all data leaves the
// ratio undefined (0, S.E. 0, P 1); a pseudo-phenotypic variance at or below
// 1e-8 gives the replicate a pseudo-ratio of 0. Sums are in double, in
// increasing component and replicate order.
#pragma once

#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "model/genetic_definitions.hpp"

namespace minque {

// The records: (J + 1) t records of K + 1 floats, record rep t + (i - 1)
// holding trait i's components in replicate rep (0: all data), float 0 of a
// record without meaning. One row per trait and ratio, in trait order, with
// the flags
//   negative      a component that enters the ratio is below zero on all data
//   undefined     the phenotypic variance is at or below 1e-10 on all data
//   out_of_range  the estimate lies outside [0, 1]
//   p_floor       the P value is below 1e-10
//   not_finite    the estimate, S.E. or P is not a finite number
// Estimates are printed with %f, S.E. with %g and P with %.3g, as the
// report prints a correlation.
std::vector<ResultRow> heritabilityRows(const HeritabilityModel& model, const std::vector<float>& records,
                                        const std::vector<std::string>& traits, int componentCount, int replicates);

}  // namespace minque
