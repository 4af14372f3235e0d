// A trial table as breeders keep it: a header line of column names, then one
// row per plot (or cell mean), fields separated by commas, tabs or white
// space. The separator is taken from the header line: a comma if it has one,
// else a tab if it has one, else runs of spaces and tabs. Fields may be
// quoted with double quotes as in RFC 4180 (a quoted field may hold the
// separator, a doubled quote and line ends); a UTF-8 byte-order mark and
// carriage returns at line ends are ignored, and so are lines with nothing
// but separators and white space. Fields are kept as text, leading and
// trailing white space removed (inside quotes it is kept).
#pragma once

#include <string>
#include <vector>

namespace minque {

struct TrialTable {
    std::string fileName;
    char separator = ' ';          // ',', '\t', or ' ' for white space
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> rows;
    std::vector<int> lineOfRow;    // the file line where each row starts
    int column(const std::string& name) const;  // index of the named column, -1 if none
};

// Reads the table; a file that cannot be read, a header with an empty name
// (the first column's may be empty: the row names R writes) or a repeated
// name, an unterminated quote or a row with another number of
// fields than the header stops the run with a message naming the file and
// the line.
TrialTable readTrialTable(const std::string& fileName);
TrialTable parseTrialTable(const std::string& text, const std::string& fileName);

// A missing value: an empty field, NA, ".", or NaN (any case).
bool isMissingValue(const std::string& field);


}  // namespace minque
