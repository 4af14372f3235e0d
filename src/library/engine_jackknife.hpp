// The one adapter to the programs' engine: `--se jackknife` runs the three
// programs' passes on the prepared model's state, so that its reports,
// variance file and tables are theirs byte for byte.
#pragma once

#include <string>

#include "io/run_files.hpp"
#include "library/prepared_model.hpp"
#include "minquecov/analysis.hpp"

namespace minque {

// The jackknife's run: the engine's passes (with the effects of every pass
// when asked for), its reports in `dir` when given (each file added to
// `written`), and the tables of the reports.
AnalysisResult engineJackknifeResult(PreparedModel& model, const PreparedAnalysis& prepared, const std::string& dir,
                                     RunFiles& written, const AnalysisProgress& progress, PredictedEffects* effects);

}  // namespace minque
