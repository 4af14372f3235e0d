// The results of an analysis as tables (minquecov/results.hpp): their text
// as CSV, and the flags, decided from the values, that tell the reader what
// not to over-interpret.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "minquecov/results.hpp"

namespace minque {

// RFC 4180 text of a table, with its header row: the schema's columns.
std::string resultCsv(const ResultTables& tables, ResultTable table);

// Adds a flag to a row's flags, joined with ';'.
void addFlag(std::string& flags, const char* flag);
// not_finite when the estimate, S.E. or P is nan or inf; else p_floor when
// P is below 1e-10. Whether they were all finite.
bool addFiniteAndFloorFlags(ResultRow& row);

// Correlations and heritabilities the data do not define (flagged undefined
// or below_threshold) hold no number: estimate, S.E., P and interval NaN,
// printed NA, and no mark. The programs' reports, written before, keep their 0.
void markUndefinedEstimates(ResultTables& tables);

const std::vector<FlagMeaning>& flagMeanings();

}  // namespace minque
