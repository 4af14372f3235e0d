// The result tables of a resampling method: every row's estimate from the
// whole-data components, its S.E., P and mark (and, for the bootstrap, its
// 95% interval) from the same quantity computed in every resample. The
// bootstrap's resamples are its samples; the jackknife's are the
// pseudo-components of its replicates, J x whole - (J - 1) x replicate. The
// estimates are the same whichever method gives the standard errors.
//
// Scale: the components are given on the genetic scale of the model (its
// coefficients c_k: A 2, D 1, AE 2, DE 1, e 1 in the additive-dominance
// model, blocks left out; 1 for every reported component of a general model),
// the weight column holds c_k, and G+GE and Phenotypic are the sums
// sum c_k V_k without and with the residual. A covariance component C_ab
// between two factors is given itself (weight 1) and enters the totals
// twice, as it enters the variance of an observation that carries both
// factors; it has no correlation row (nor in the reports). Correlations and heritabilities
// do not depend on the scale.
//
// Bootstrap statistics over the B samples of a quantity (those where it is defined):
//   S.E.      their standard deviation (divisor B - 1);
//   interval  their 2.5% and 97.5% quantiles (linear interpolation between
//             order statistics, R's type 7); a correlation's stay in [-1, 1];
//   P         two-tailed, of the Wald statistic estimate / S.E. against the
//             standard normal: the evidence that the quantity is not 0 if its
//             sampling distribution is normal; at a bound (a variance near 0,
//             a correlation cut to +-1) the normal reference is rough and the
//             interval is the better guide;
//   mark      NS, S+, S*, S** from P as in the reports.
// A correlation is not defined in a sample where a variance of either trait
// is at or below 1e-10 of that trait's variance in the data (rounding
// whatever the trait's unit); those samples are counted (undefined_draws).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "model/genetic_definitions.hpp"
#include "resampling/parametric_bootstrap.hpp"

namespace minque {

struct ResampledTableInput {
    std::vector<std::string> traits;
    std::vector<std::string> labels;  // per component 0..K-1 ("V(A)", ..., "C(1,3)", "V(e)")
    int randomFactors = 0;            // r: components r..K-2 are covariance components between two factors
    HeritabilityModel heritability;   // its phenotypic coefficients are the scale (index k + 1 for component k)
    std::vector<double> whole;        // whole-data components, as MinqueProjection::estimate lays them out
    // Per trait the variance of its data: a variance component at or below
    // 1e-10 of it is rounding, not a variance (no correlation, no ratio).
    std::vector<double> traitVariances;
    // The resamples' components in the same layout, one set after another
    // (the bootstrap's samples, or the jackknife's pseudo-components), and
    // per component whether its draws came from an adjusted matrix.
    BootstrapDraws draws;
    // Ratios computed apart from the components' algebra (the generalized
    // line-mean heritability): per trait i its whole-data value, and, where
    // the method resamples it, its value in resample b at b t + i (NaN
    // where it is not defined); no resamples: the row has no S.E.
    struct ComputedRatio {
        std::string quantity;
        std::vector<double> whole, resamples;
    };
    std::vector<ComputedRatio> computed;
};

// What a row holds, for the statistics that treat them apart.
enum class RowKind { Component, Total, Correlation, Ratio };

// Sets a row's S.E., P, mark (and interval, undefined draws) from its
// estimate and the quantity's value in every resample (NaN where the
// quantity is not defined there). reference: the whole-data value before a
// correlation's cut to [-1, 1] (else the estimate).
using ResampleStatistics =
    std::function<void(ResultRow& row, std::vector<double> values, RowKind kind, double reference)>;

ResultTables resampledTables(const ResampledTableInput& input, const std::string& method,
                             const ResampleStatistics& statistics);

ResultTables bootstrapTables(const ResampledTableInput& input);

}  // namespace minque
