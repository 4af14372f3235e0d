// The results of an analysis as tables: the report blocks of minque-cov
// (.COV) and minque-var (.VAR) read back, in either language and for any
// model, and turned into one row per estimate with the numbers exactly as the
// report prints them, plus a flag that tells the reader what not to
// over-interpret.
//
// Flags (several are joined with ';'):
//   negative               a variance component (or total) below zero
//   variance_not_positive  a covariance whose component has a variance of
//                          either trait at or below zero (needs the .VAR)
//   undefined              a correlation whose variance component of either
//                          trait is at or below zero: the report prints 0
//                          with SE 0 and P 1, which means "not defined"
//   cut                    a correlation cut to +1 or -1
//   near_bound             a correlation of 0.95 or more in size, next to the
//                          bound where the jackknife understates its spread
//   p_floor                a P value below 1e-10, the floor of the t-test's
//                          precision: read it as "below 1e-10"
//   not_finite             the report prints nan or inf for the estimate, S.E.
//                          or P: the replicates cannot estimate the component
#pragma once

#include <string>
#include <vector>

namespace minque {

// One row of a report block, its fields as printed.
struct ReportRow {
    std::string trait1, trait2;
    std::string component;  // the report's label, or "G+GE" / "Phenotypic" for the totals
    std::string weight;     // component rows of the covariances: the printed weight; else empty
    std::string estimate, se, p, mark;
    bool correlation = false;
    int line = 0;
};

struct ParsedReport {
    std::string fileName;
    bool chinese = false;
    std::vector<std::string> traits;  // in the order they first appear
    std::vector<ReportRow> rows;
    std::vector<std::pair<std::string, std::string>> settings;  // from the preamble: name, value
    bool variances() const;  // every block pairs a trait with itself (a .VAR)
};

// A report that cannot be read stops the run with a message naming the file
// and the line.
ParsedReport readReport(const std::string& fileName);
ParsedReport parseReport(const std::string& text, const std::string& fileName);

struct TableRow {
    std::string trait1, trait2, component, weight, estimate, se, p, mark, flag;
};

struct ResultTables {
    std::vector<std::string> traits;
    std::vector<std::string> correlationComponents;  // reported correlations, then G+GE and Phenotypic
    std::vector<TableRow> variances, covariances, correlations;
};

// Tables from a covariance report and, when given, the variance report of the
// same analysis (without it, the flags that need the variances are decided
// from the correlation rows alone).
ResultTables buildResultTables(const ParsedReport& covariances, const ParsedReport* variances);

// RFC 4180 text of each table, with its header row.
std::string variancesCsv(const ResultTables& tables);
std::string covariancesCsv(const ResultTables& tables);
std::string correlationsCsv(const ResultTables& tables);

// The meaning of each flag, for the page and the help.
struct FlagMeaning {
    const char* flag;
    const char* meaning;
};
const std::vector<FlagMeaning>& flagMeanings();

}  // namespace minque
