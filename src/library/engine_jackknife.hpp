// The one adapter to the programs' engine. `--se jackknife` runs the three
// programs' passes on the engine's state, derived here from the prepared
// design, so that its reports, variance file and tables are theirs byte for
// byte; a run that keeps its files gets the programs' input files, so that
// it can be repeated with them.
#pragma once

#include <string>
#include <vector>

#include "io/run_files.hpp"
#include "library/prepared_model.hpp"
#include "minquecov/analysis.hpp"
#include "report/genetic_effects.hpp"
#include "report/resampled_tables.hpp"

namespace minque {

// The jackknife's replicates of n observations in groups of `group`, and the
// fewest it can work with.
int jackknifeReplicates(int n, int group);
int fewestJackknifeReplicates();

// Refuses a folder that already holds one of the files the programs would
// write or read for the file name `name`.
void refuseFolderWithProgramFiles(const std::string& dir, const std::string& name);

// NAME.TXT and NAME.MAT as minque-var and minque-cov read them, and an empty
// NAME.DAT, into `dir` (each file added to `written`).
void writeProgramInputs(const PreparedModel& model, const std::string& dir, const std::string& name, RunFiles& written);

// The vector instructions the engine's host kernels use on this machine.
std::string engineVectorPath();

// The effects' rows with the jackknife's standard errors, from the engine's
// predictions of every pass, at the reported predictions of all data.
std::vector<ResultRow> jackknifeEffectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& passes,
                                           const PredictedEffects& reported, const std::vector<std::string>& traits);

// The result tables with the jackknife's standard errors. The estimates are
// those of every run: the whole-data components of the estimator in the
// space of the random levels, on the model's genetic scale (as the bootstrap
// gives them). The standard errors come from the engine's passes, as the
// reports compute theirs: in replicate r the pseudo-components
// p_k = J V_k - (J - 1) V_k(r) of every trait and pair (V_k the engine's own
// whole-data value), each row's quantity computed from them (a component, a
// total, a correlation, a heritability), and the spread of these
// pseudo-quantities, (sum p^2 - m sum p) / (J (J - 1)) with m their mean,
// rescaled by the ratio between the estimate and m: by its square for a
// component, by the square of the ratio or its reciprocal, whichever is at
// most 1, for the others. P is the two-tailed t-test of estimate / S.E. on
// J - 1 degrees of freedom. As in the reports, a replicate where a
// correlation or heritability is not defined gives a pseudo-value of 0, and
// a pseudo-correlation is cut to [-1, 1]. The tables give no interval.
// input: everything but its draws. varianceRecords: (J + 1) t records of
// K + 1 floats, record rep t + i holding trait i's components in replicate
// rep (0: all data), float 0 without meaning; covarianceRecords: (J + 1) P
// records, record rep P + p holding the pair p in the order (1, 2), (1, 3),
// ..., (t - 1, t).
ResultTables jackknifeTables(ResampledTableInput input, const std::vector<float>& varianceRecords,
                             const std::vector<float>& covarianceRecords, int replicates);


// The jackknife's run: the engine's passes (with the effects of every pass
// when asked for), its reports in `dir` when given (each file added to
// `written`), and the tables: the whole-data components `whole` with the
// spread of the passes.
AnalysisResult engineJackknifeResult(const PreparedModel& model, const PreparedAnalysis& prepared,
                                     const std::vector<double>& whole, const std::string& dir, RunFiles& written,
                                     const AnalysisProgress& progress, PredictedEffects* effects);

}  // namespace minque
