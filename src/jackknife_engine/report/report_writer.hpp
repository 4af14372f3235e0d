// The report block of one trait pair: covariance components, the totals
// G+GE (index 1) and Phenotypic (index 2), the correlations of the components
// and of the totals, each with its jackknife standard error, two-tailed P
// value and significance mark. Comma-separated lines; headings in the run's
// language, rows identical in both.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"
#include "minquecov/results.hpp"
#include "report/printed_numbers.hpp"

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

// One row of a block as values, in the order of the block: what the report
// prints and what the tables and the library return, so that both hold the
// same numbers. halfP is H: the printed P is |2 H| and the mark is decided
// on 2 H.
struct ReportedRow {
    enum class Section { Covariances, TotalCovariances, Correlations, TotalCorrelations };
    Section section = Section::Covariances;
    std::string label;   // the component's label; empty for the totals
    int index = 0;       // the totals: 1 (G+GE) or 2 (Phenotypic)
    float weight = 0.0f; // the component covariance rows: the component's weight
    double estimate = 0.0, se = 0.0, halfP = 0.5;
    // A correlation whose whole-data variance of either trait is at or below
    // 1e-10: not defined, printed as 0.
    bool undefined = false;
};


// One block: the two traits (1-based; equal in a report of variances) and
// its rows.
struct ReportBlock {
    int trait1 = 0, trait2 = 0;
    std::vector<ReportedRow> rows;
};

// Computes every number of the block from the accumulators (replacing
// jackTerms by the whole-data estimates), appends the block to the report
// (streams slot 0) and returns it. With firstTrait == secondTrait the block
// ends after the totals.
ReportBlock writePairReport(AnalysisState& state, int J, int d);

// Prints one row, ending with its mark.
void writeReportedRow(std::FILE* out, const ReportedRow& row);

// The rows of each kind, as writeReportedRow prints them.
void writeComponentCovarianceRow(std::FILE* out, const char* name, double e, double se, double halfP, float weight);
void writeTotalCovarianceRow(std::FILE* out, int index, double e, double se, double halfP);
void writeComponentCorrelationRow(std::FILE* out, const char* name, double rho, double se, double halfP);
void writeTotalCorrelationRow(std::FILE* out, int index, double rho, double se, double halfP);

}  // namespace minque
