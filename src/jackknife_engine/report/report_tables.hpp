// The tables of the programs' reports: from the blocks of a run, as values,
// or from reports of minque-cov (.COV) and minque-var (.VAR) read back (the
// one place that reads printed numbers), in either language and for any
// model. One row per estimate, with the flags of report/result_tables.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "jackknife_engine/report/report_writer.hpp"
#include "minquecov/results.hpp"
#include "report/result_tables.hpp"

namespace minque {

// One row of a report block as values.
struct ReportEstimate {
    std::string trait1, trait2;
    std::string component;  // the report's label, or "G+GE" / "Phenotypic" for the totals
    double weight = std::numeric_limits<double>::quiet_NaN();  // component rows of the covariances; else NaN
    double estimate = 0.0, se = 0.0, p = 1.0;
    std::string mark;
    bool correlation = false;
    // A correlation the report could not define (a variance of either trait
    // at or below 1e-10 on all data): known from the run, and read from a
    // report as its printed 0, S.E. 0 (or nan) and P 1.
    bool undefined = false;
    int line = 0;  // the report's line, for a report read back
};

struct ReportEstimates {
    std::string fileName;
    bool chinese = false;
    std::vector<std::string> traits;  // in the order they first appear
    std::vector<ReportEstimate> rows;
    std::vector<std::pair<std::string, std::string>> settings;  // from the preamble: name, value
    bool variances() const;  // every block pairs a trait with itself (a .VAR)
};

// A report that cannot be read stops the run with a message naming the file
// and the line.
ReportEstimates readReport(const std::string& fileName);
ReportEstimates parseReport(const std::string& text, const std::string& fileName);

// The rows of a run's blocks as values, without printing or reading back
// (`traitNames` 1-based, as in the state).
ReportEstimates reportOfBlocks(const std::vector<ReportBlock>& blocks, const std::vector<std::string>& traitNames,
                            bool chinese);

// Tables from a covariance report and, when given, the variance report of the
// same analysis (without it, the flags that need the variances are decided
// from the correlation rows alone). The totals are flagged
// weights_positional unless the reported components are those of the
// additive-dominance model across environments (V(A), V(D), V(AE), V(DE),
// V(e)), the one model whose weights are the genetic coefficients.
ResultTables buildResultTables(const ReportEstimates& covariances, const ReportEstimates* variances);

}  // namespace minque
