// Large delimited files read one record at a time, without holding the file
// or its fields as strings: relationship matrices, pedigrees and marker
// calls of thousands of individuals. The separator, quotes, byte-order mark,
// carriage returns and blank lines are as a trial table's (io/trial_table).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace minque {

class DelimitedRecords {
public:
    // Opens the file and reads its header; a file that is not there, not a
    // regular file or has no header line stops the run naming it.
    explicit DelimitedRecords(const std::string& fileName);
    ~DelimitedRecords();
    DelimitedRecords(const DelimitedRecords&) = delete;
    DelimitedRecords& operator=(const DelimitedRecords&) = delete;

    const std::string& fileName() const { return fileName_; }
    const std::vector<std::string>& header() const { return header_; }
    // The next record's fields (pointers into a buffer kept until the next
    // call; quotes removed, white space trimmed); false at the end. A record
    // with another number of fields than the header stops the run naming
    // the line.
    bool next(std::vector<const char*>& fields);
    int line() const { return line_; }

    // Stops the run: "FILE: line L, column 'NAME': WHAT".
    [[noreturn]] void refuse(int column, const std::string& what) const;

private:
    bool readLine();
    void split(std::vector<const char*>& fields);

    std::string fileName_;
    std::FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::string record_;
    char separator_ = ',';
    int line_ = 0;
    std::vector<std::string> header_;
};

// A number of a field: false for text that is not one. A missing value
// (empty, NA, ".", NaN) is NaN.
bool numberOfField(const char* field, double* value);

}  // namespace minque
