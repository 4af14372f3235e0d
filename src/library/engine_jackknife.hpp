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

// The effects' rows with the jackknife's standard errors, from the
// predictions of every pass.
std::vector<ResultRow> jackknifeEffectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& effects,
                                           const std::vector<std::string>& traits);

// The jackknife's run: the engine's passes (with the effects of every pass
// when asked for), its reports in `dir` when given (each file added to
// `written`), and the tables of the reports.
AnalysisResult engineJackknifeResult(const PreparedModel& model, const PreparedAnalysis& prepared, const std::string& dir,
                                     RunFiles& written, const AnalysisProgress& progress, PredictedEffects* effects);

}  // namespace minque
