#include "library/table_adapters.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <set>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

// A number as the shortest text that reads back as the same double.
std::string numberText(double v) {
    if (std::isnan(v)) return "NA";
    char text[40];
    for (int digits : {15, 16, 17}) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

}  // namespace

TrialTable tableOf(const TrialData& data) {
    TrialTable table;
    table.fileName = data.name;
    table.separator = ',';
    std::size_t rows = 0;
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
        const TrialColumn& column = data.columns[c];
        const std::size_t length = column.numeric ? column.numbers.size() : column.text.size();
        // The first column may be unnamed (a data frame's row names).
        if (column.name.empty() && c > 0) stopRun("%s: column %zu has no name", data.name.c_str(), c + 1);
        if (table.column(column.name) >= 0)
            stopRunAt({data.name, 0, column.name, ""}, "%s: the column name '%s' appears twice", data.name.c_str(),
                      column.name.c_str());
        if (c == 0) rows = length;
        if (length != rows)
            stopRunAt({data.name, 0, column.name, ""}, "%s: the column '%s' has %zu values, but the column '%s' has %zu",
                      data.name.c_str(), column.name.c_str(), length, data.columns.front().name.c_str(), rows);
        table.names.push_back(column.name);
    }
    if (!data.rowLines.empty() && data.rowLines.size() != rows)
        stopRun("%s: %zu row lines for %zu rows", data.name.c_str(), data.rowLines.size(), rows);
    table.rows.assign(rows, std::vector<std::string>(data.columns.size()));
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
        const TrialColumn& column = data.columns[c];
        for (std::size_t r = 0; r < rows; ++r)
            table.rows[r][c] = column.numeric ? numberText(column.numbers[r]) : column.text[r];
    }
    for (std::size_t r = 0; r < rows; ++r)
        table.lineOfRow.push_back(data.rowLines.empty() ? static_cast<int>(r) + 2 : data.rowLines[r]);
    return table;
}

TrialData dataOf(const TrialTable& table) {
    TrialData data;
    data.name = table.fileName;
    for (std::size_t c = 0; c < table.names.size(); ++c) {
        TrialColumn column;
        column.name = table.names[c];
        for (const auto& row : table.rows) column.text.push_back(row[c]);
        data.columns.push_back(std::move(column));
    }
    data.rowLines = table.lineOfRow;
    return data;
}

// The terms as one comma-separated list, as the model builder reads them.
std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t k = 0; k < items.size(); ++k) text += (k ? "," : "") + items[k];
    return text;
}

// The design columns a general model's terms name (both columns of A*B).
std::vector<std::string> termColumns(const std::vector<std::string>& terms) {
    std::vector<std::string> columns;
    for (const auto& term : terms) {
        const std::size_t star = term.find('*');
        for (const auto& part : {term.substr(0, star), star == std::string::npos ? std::string() : term.substr(star + 1)})
            if (!part.empty() && part != "1" && std::find(columns.begin(), columns.end(), part) == columns.end())
                columns.push_back(part);
    }
    return columns;
}

namespace {

// The values of column c as whole numbers, when every one is one.
bool wholeNumbers(const TrialTable& table, std::size_t c, std::vector<long long>& codes) {
    codes.clear();
    for (const auto& row : table.rows) {
        const std::string& field = row[c];
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(field.c_str(), &end, 10);
        if (field.empty() || end != field.c_str() + field.size() || errno != 0) return false;
        codes.push_back(v);
    }
    return true;
}

}  // namespace

// Why column c of the table looks like a row identifier rather than a trait:
// its name is a usual identifier's, or its values are the whole numbers
// k..k + n - 1, each once, in any order (a code for each row); empty when it
// does not.
std::string identifierReason(const TrialTable& table, std::size_t c) {
    std::string lower;
    for (char ch : table.names[c]) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const char* usual : {"", "id", "rownames", "row.names", "row_names", "row", "rowid", "row_id", "plot",
                              "plotid", "plot_id", "plotno", "obs", "observation", "record", "index"})
        if (lower == usual) return lower.empty() ? "an unnamed first column" : "its name";
    const std::size_t n = table.rows.size();
    if (n < 2) return "";
    std::vector<long long> codes;
    if (!wholeNumbers(table, c, codes)) return "";
    // Distinct whole numbers rising down the table, with any gaps (plot
    // codes 101, 103, ...): a code for each row. A trait of whole numbers
    // would repeat a value or fall somewhere.
    bool rising = true;
    for (std::size_t r = 1; r < n && rising; ++r) rising = codes[r] > codes[r - 1];
    if (rising && codes.back() - codes.front() != static_cast<long long>(n) - 1)
        return "the whole numbers " + std::to_string(codes.front()) + ", " + std::to_string(codes[1]) + ", ... " +
               std::to_string(codes.back()) + ", rising down the table: a code for each row";
    std::sort(codes.begin(), codes.end());
    for (std::size_t r = 1; r < n; ++r)
        if (codes[r] != codes[r - 1] + 1) return "";
    bool inOrder = true;
    for (std::size_t r = 0; r < n && inOrder; ++r) inOrder = table.rows[r][c] == std::to_string(r + 1);
    if (inOrder) return "the row numbers 1.." + std::to_string(n);
    return "the whole numbers " + std::to_string(codes.front()) + ".." + std::to_string(codes.back()) +
           ", each once: a code for each row";
}

std::string designColumnReason(const TrialTable& table, std::size_t c) {
    const std::size_t n = table.rows.size();
    std::vector<long long> codes;
    if (!wholeNumbers(table, c, codes)) return "";
    std::map<long long, std::size_t> counts;
    for (long long v : codes) ++counts[v];
    // A few whole numbers (at most 12, and at most a quarter of the rows),
    // every one on several rows: replicates, blocks, environments coded 1, 2, 3.
    if (counts.size() < 2 || counts.size() > 12 || 4 * counts.size() > n) return "";
    for (const auto& [value, rows] : counts)
        if (rows < 2) return "";
    return "only the whole numbers " + std::to_string(counts.begin()->first) + ".." +
           std::to_string(counts.rbegin()->first) + " (" + std::to_string(counts.size()) + " values), each on " +
           "several rows, as a design column does";
}

std::string fileStem(const std::string& name) {
    const std::string stem = std::filesystem::path(name).stem().string();
    return stem.empty() ? "data" : stem;
}

}  // namespace minque
