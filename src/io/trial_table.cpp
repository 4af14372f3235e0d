#include "io/trial_table.hpp"

#include <cerrno>
#include <cstring>
#include <set>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

namespace {

// Splits the text into records of fields. `line` counts the file's lines.
class FieldReader {
public:
    FieldReader(const std::string& text, char separator, const std::string& fileName)
        : text_(text), separator_(separator), fileName_(fileName) {}

    bool atEnd() const { return at_ >= text_.size(); }
    int line() const { return line_; }

    // The fields of the next record (a line, or more where a quoted field
    // holds line ends).
    std::vector<std::string> record() {
        std::vector<std::string> fields;
        std::string field;
        bool quotedField = false;
        const int startLine = line_;
        auto finishField = [&] {
            fields.push_back(quotedField ? field : trimmed(field));
            field.clear();
            quotedField = false;
        };
        while (at_ < text_.size()) {
            const char c = text_[at_];
            if (c == '\n') {
                ++at_;
                ++line_;
                break;
            }
            if (c == '\r') {
                // CR LF ends a line as LF does; a CR alone (old Macintosh
                // files) ends one too.
                ++at_;
                if (at_ < text_.size() && text_[at_] == '\n') continue;
                ++line_;
                break;
            }
            if (c == '"' && trimmed(field).empty() && !quotedField) {
                field.clear();
                readQuoted(field, startLine);
                quotedField = true;
                continue;
            }
            if (separator_ == ' ' ? (c == ' ' || c == '\t') : c == separator_) {
                ++at_;
                if (separator_ == ' ') {
                    if (!field.empty() || quotedField) finishField();
                } else {
                    finishField();
                }
                continue;
            }
            if (quotedField) {
                if (c == ' ' || c == '\t') {
                    ++at_;
                    continue;
                }
                stopRunAt({fileName_, startLine, "", ""}, "%s: line %d: text after the closing quote of a field", fileName_.c_str(),
                          startLine);
            }
            field.push_back(c);
            ++at_;
        }
        if (separator_ != ' ' || !field.empty() || quotedField) finishField();
        return fields;
    }

private:
    // A quoted field from its opening quote: "" stands for one quote.
    void readQuoted(std::string& field, int startLine) {
        ++at_;  // the opening quote
        while (true) {
            if (at_ >= text_.size())
                stopRunAt({fileName_, startLine, "", ""}, "%s: line %d: a quoted field is not closed", fileName_.c_str(), startLine);
            const char c = text_[at_++];
            if (c == '"') {
                if (at_ < text_.size() && text_[at_] == '"') {
                    field.push_back('"');
                    ++at_;
                    continue;
                }
                return;
            }
            if (c == '\n') ++line_;
            if (c != '\r') field.push_back(c);
        }
    }

    const std::string& text_;
    const char separator_;
    const std::string& fileName_;
    std::size_t at_ = 0;
    int line_ = 1;
};

bool blankRecord(const std::vector<std::string>& fields) {
    for (const auto& f : fields)
        if (!f.empty()) return false;
    return true;
}

}  // namespace

int TrialTable::column(const std::string& name) const {
    for (std::size_t k = 0; k < names.size(); ++k)
        if (names[k] == name) return static_cast<int>(k);
    return -1;
}

bool isMissingValue(const std::string& field) {
    if (field.empty() || field == ".") return true;
    std::string lower;
    for (char c : field) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    return lower == "na" || lower == "nan";
}

TrialTable parseTrialTable(const std::string& input, const std::string& fileName) {
    std::string text = input;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    TrialTable table;
    table.fileName = fileName;
    const std::string header = text.substr(0, text.find_first_of("\r\n"));
    // The separator of the header line, outside quotes.
    bool quoted = false, comma = false, tab = false;
    for (char c : header) {
        if (c == '"') quoted = !quoted;
        if (!quoted && c == ',') comma = true;
        if (!quoted && c == '\t') tab = true;
    }
    table.separator = comma ? ',' : (tab ? '\t' : ' ');

    FieldReader reader(text, table.separator, fileName);
    if (reader.atEnd()) stopRun("%s: the file is empty; it needs a header line of column names", fileName.c_str());
    table.names = reader.record();
    std::set<std::string> seen;
    for (std::size_t k = 0; k < table.names.size(); ++k) {
        const std::string& name = table.names[k];
        // The first column may be unnamed: the row names of a table written by R.
        if (name.empty() && k > 0) stopRunAt({fileName, 1, "", ""}, "%s: line 1: column %zu of the header has no name", fileName.c_str(), k + 1);
        if (!seen.insert(name).second)
            stopRunAt({fileName, 1, name, ""}, "%s: line 1: the column name '%s' appears twice in the header", fileName.c_str(),
                      name.c_str());
    }
    while (!reader.atEnd()) {
        const int line = reader.line();
        std::vector<std::string> fields = reader.record();
        if (blankRecord(fields)) continue;
        if (fields.size() != table.names.size())
            stopRunAt({fileName, line, "", ""}, "%s: line %d has %zu fields, but the header names %zu columns",
                      fileName.c_str(), line, fields.size(), table.names.size());
        table.rows.push_back(std::move(fields));
        table.lineOfRow.push_back(line);
    }
    return table;
}

TrialTable readTrialTable(const std::string& fileName) {
    std::string text;
    refuseUnlessRegularFile(fileName);
    if (!readFileText(fileName, &text)) stopRun("%s: cannot be opened (%s)", fileName.c_str(), std::strerror(errno));
    return parseTrialTable(text, fileName);
}

}  // namespace minque
