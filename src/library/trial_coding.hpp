// Coding a trial table for the engine: its design columns turned into level
// numbers, its traits into single-precision values, rows with a missing value
// refused or dropped.
#pragma once

#include <string>
#include <vector>

#include "io/trial_table.hpp"
#include "model/model_builder.hpp"

namespace minque {

// The design columns of a trial table coded as the engine needs them.
// Codes are text ("Env1", "P3", "Block A"); the levels of a column are its
// distinct codes in ascending order, numeric order when every code is a
// number; the columns of `shared` (female and male) share one coding, so a
// parent is the same level as female and as male. Rows with a missing design
// code or trait value stop the run with a message naming the line and the
// column, unless `dropIncomplete`, which drops them (their lines go to
// *dropped).
struct TrialDesign {
    std::vector<std::string> design;  // design column names, in the order the engine file holds them
    std::vector<std::string> traits;
    std::vector<std::vector<std::string>> shared;  // groups of design columns coded together
    bool dropIncomplete = false;
    // The caller's words in its messages: a row of its table ("line" of a
    // file, "row" of a data frame) and the option that drops incomplete rows.
    std::string rowWord = "line";
    std::string dropOption = "--drop-incomplete";
    std::string traitsOption = "--traits";
    bool traitsListed = false;  // the traits were listed by the caller (not every column the model leaves)
};
struct CodedTrial {
    DesignData data;                           // lead codes and names, trait names
    std::vector<std::vector<float>> values;    // per observation, the trait values
    std::vector<int> droppedLines;
    // With rows dropped: per column with a missing value, in the table's
    // order, its name and the rows where it is missing.
    std::vector<std::pair<std::string, int>> missingByColumn;
};
CodedTrial codeTrial(const TrialTable& table, const TrialDesign& design);

}  // namespace minque
