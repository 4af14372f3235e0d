// The report block of one trait pair: covariance components, the totals
// G+GE (index 1) and Phenotypic (index 2), the correlations of the components
// and of the totals, each with its jackknife standard error, two-tailed P
// value and significance mark. Comma-separated lines; headings in the run's
// language, rows identical in both.
#pragma once

#include <cstdio>

#include "core/analysis_state.hpp"

namespace minque {

// The headings of a report block in one language: the pair line (a format
// with the two trait names and the user name), then the lines that open the
// covariance rows, the covariance totals, the correlation rows and the
// correlation totals.
struct ReportHeadings {
    const char* pair;
    const char* covariances;
    const char* totalCovariances;
    const char* correlations;
    const char* totalCorrelations;
};
const ReportHeadings& reportHeadings(bool chinese);
inline constexpr const char* kReportUserName = "Public Users.";

// Flushes the report (streams slot 0); a failed write (a full disk, a file
// size limit) stops the run with a message naming the report.
void flushReport(const AnalysisState& state);

// Computes every number of the block from the accumulators (replacing
// jackTerms by the whole-data estimates) and appends the block to the report
// (streams slot 0). With firstTrait == secondTrait the block ends after the
// totals.
void writePairReport(AnalysisState& state, int J, int d);

// The rows, each ending with its mark. halfP is H: the printed P is |2 H| and
// the mark is decided on 2 H.
void writeComponentCovarianceRow(std::FILE* out, const char* name, double e, double se, double halfP, float weight);
void writeTotalCovarianceRow(std::FILE* out, int index, double e, double se, double halfP);
void writeComponentCorrelationRow(std::FILE* out, const char* name, double rho, double se, double halfP);
void writeTotalCorrelationRow(std::FILE* out, int index, double rho, double se, double halfP);

}  // namespace minque
