// The results of an analysis as tables (minquecov/results.hpp): from the
// blocks of a run, as its report writer printed them, or from reports of
// minque-cov (.COV) and minque-var (.VAR) read back, in either language and
// for any model. One row per estimate with the numbers exactly as the report
// prints them, plus a flag that tells the reader what not to over-interpret.
#pragma once

#include <string>
#include <vector>

#include "minquecov/results.hpp"
#include "report/report_writer.hpp"

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

// The report of a run's blocks without reading it back: the rows as the
// report writer printed them (`traitNames` 1-based, as in the state).
ParsedReport reportOfBlocks(const std::vector<ReportBlock>& blocks, const std::vector<std::string>& traitNames,
                            bool chinese);

// Tables from a covariance report and, when given, the variance report of the
// same analysis (without it, the flags that need the variances are decided
// from the correlation rows alone). The totals are flagged
// weights_positional unless the reported components are those of the
// additive-dominance model across environments (V(A), V(D), V(AE), V(DE),
// V(e)), the one model whose weights are the genetic coefficients.
ResultTables buildResultTables(const ParsedReport& covariances, const ParsedReport* variances);

// RFC 4180 text of each table, with its header row.
std::string variancesCsv(const ResultTables& tables);
std::string covariancesCsv(const ResultTables& tables);
std::string correlationsCsv(const ResultTables& tables);
std::string heritabilityCsv(const ResultTables& tables);

// Adds a flag to a row's flags, joined with ';'.
void addFlag(std::string& flags, const char* flag);
std::string effectsCsv(const ResultTables& tables);

// The meaning of each flag, for the page and the help.
struct FlagMeaning {
    const char* flag;
    const char* meaning;
};
const std::vector<FlagMeaning>& flagMeanings();

}  // namespace minque
