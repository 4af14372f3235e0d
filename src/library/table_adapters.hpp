// The library's trial data and the table reader's trial table, one into the
// other; the names a model's terms give; what looks like a row code.
#pragma once

#include <string>
#include <vector>

#include "io/trial_table.hpp"
#include "minquecov/analysis.hpp"

namespace minque {

TrialTable tableOf(const TrialData& data);
TrialData dataOf(const TrialTable& table);
// The terms as one comma-separated list, as the model builder reads them.
std::string joined(const std::vector<std::string>& items);
// The design columns a general model's terms name (both columns of A*B).
std::vector<std::string> termColumns(const std::vector<std::string>& terms);
// Why column c of the table looks like a row identifier rather than a trait
// (its name is a usual identifier's, or its values are a code for each row:
// the whole numbers k..k + n - 1 in any order, or distinct whole numbers
// rising down the table); empty when it does not.
std::string identifierReason(const TrialTable& table, std::size_t c);
// Why a column the model does not name looks like a design column (a few
// whole numbers, each on several rows: replicates, blocks), or "".
std::string designColumnReason(const TrialTable& table, std::size_t c);
// A file name without its folder and extension.
std::string fileStem(const std::string& name);

}  // namespace minque
