#include "io/delimited_records.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

DelimitedRecords::DelimitedRecords(const std::string& fileName) : fileName_(fileName) {
    refuseUnlessRegularFile(fileName);
    file_ = std::fopen(fileName.c_str(), "r");
    if (file_ == nullptr) stopRun("%s: cannot be opened: %s", fileName.c_str(), std::strerror(errno));
    // The header: the first line with anything on it.
    do {
        if (!readLine()) stopRun("%s: is empty; it needs a header line", fileName.c_str());
    } while (record_.find_first_not_of(" \t,") == std::string::npos);
    if (record_.compare(0, 3, "\xEF\xBB\xBF") == 0) record_.erase(0, 3);
    separator_ = record_.find(',') != std::string::npos ? ',' : record_.find('\t') != std::string::npos ? '\t' : ' ';
    std::vector<const char*> fields;
    split(fields);
    for (const char* field : fields) header_.emplace_back(field);
}

DelimitedRecords::~DelimitedRecords() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(buffer_);
}

bool DelimitedRecords::readLine() {
    const ssize_t length = ::getline(&buffer_, &capacity_, file_);
    if (length < 0) {
        if (std::ferror(file_)) stopRun("%s: cannot be read: %s", fileName_.c_str(), std::strerror(errno));
        return false;
    }
    ++line_;
    record_.assign(buffer_, static_cast<std::size_t>(length));
    while (!record_.empty() && (record_.back() == '\n' || record_.back() == '\r')) record_.pop_back();
    return true;
}

// Splits the record in place: every field ends with a 0 byte; quotes are
// removed (a doubled quote inside them is one), white space around a field
// trimmed.
void DelimitedRecords::split(std::vector<const char*>& fields) {
    fields.clear();
    std::string& r = record_;
    r.push_back('\0');
    std::size_t in = 0, out = 0;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (true) {
        if (separator_ == ' ')
            while (in < r.size() - 1 && blank(r[in])) ++in;
        else
            while (in < r.size() - 1 && blank(r[in]) && r[in] != separator_) ++in;
        if (separator_ == ' ' && in == r.size() - 1) break;
        const std::size_t start = out;
        if (r[in] == '"') {
            ++in;
            while (true) {
                if (in >= r.size() - 1) refuse(-1, "a quote is not closed on its line");
                if (r[in] == '"') {
                    if (r[in + 1] == '"') {
                        r[out++] = '"';
                        in += 2;
                        continue;
                    }
                    ++in;
                    break;
                }
                r[out++] = r[in++];
            }
            while (in < r.size() - 1 && blank(r[in]) && r[in] != separator_) ++in;
        } else {
            while (in < r.size() - 1 && r[in] != separator_ && !(separator_ == ' ' && blank(r[in]))) r[out++] = r[in++];
            while (out > start && blank(r[out - 1])) --out;
        }
        const bool more = in < r.size() - 1 && (r[in] == separator_ || separator_ == ' ');
        r[out++] = '\0';
        fields.push_back(r.data() + start);
        if (!more) break;
        ++in;
        if (out > in) refuse(-1, "internal error: a field outgrew its line");
    }
}

bool DelimitedRecords::next(std::vector<const char*>& fields) {
    do {
        if (!readLine()) return false;
    } while (record_.find_first_not_of(separator_ == ' ' ? " \t" : std::string(" \t") + separator_) == std::string::npos);
    split(fields);
    if (fields.size() != header_.size())
        stopRunAt({fileName_, line_, "", ""}, "%s: line %d has %zu field%s; the header has %zu", fileName_.c_str(), line_,
                  fields.size(), fields.size() == 1 ? "" : "s", header_.size());
    return true;
}

void DelimitedRecords::refuse(int column, const std::string& what) const {
    if (column < 0 || static_cast<std::size_t>(column) >= header_.size())
        stopRunAt({fileName_, line_, "", ""}, "%s: line %d: %s", fileName_.c_str(), line_, what.c_str());
    stopRunAt({fileName_, line_, header_[static_cast<std::size_t>(column)], ""}, "%s: line %d, column '%s': %s",
              fileName_.c_str(), line_, header_[static_cast<std::size_t>(column)].c_str(), what.c_str());
}

bool numberOfField(const char* field, double* value) {
    if (field[0] == '\0' || std::strcmp(field, ".") == 0 || strcasecmp(field, "NA") == 0 || strcasecmp(field, "NaN") == 0) {
        *value = std::nan("");
        return true;
    }
    char* end = nullptr;
    errno = 0;
    *value = std::strtod(field, &end);
    if (end == field || *end != '\0') return false;
    // inf, infinity and overflow are numbers here; the callers refuse them as not finite.
    return true;
}

}  // namespace minque
