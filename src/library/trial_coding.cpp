#include "library/trial_coding.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "core/fatal_error.hpp"
#include "core/model_design.hpp"

namespace minque {

namespace {

// The whole text as a number (a NUL or anything else after it is not).
bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) return false;
    *value = v;
    return true;
}

// A design code without the white space around it, which never tells two
// levels apart.
std::string trimmed(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The levels of a set of codes (as the table spells them), each with its
// name. When every code is a number the levels are the numbers, in numeric
// order ("2" < "10"), and spellings of one number ("1", "1.0", "01") are one
// level, named by the number; else the codes, without the white space around
// them, in byte order.
struct Levels {
    std::map<std::string, int> ofCode;  // every spelling -> level 1..L
    std::vector<std::string> names;     // level l's name at l - 1
};

Levels levelsOf(const std::set<std::string>& codes) {
    bool numeric = true;
    std::vector<std::pair<double, std::string>> byNumber;
    for (const auto& c : codes) {
        double v = 0.0;
        if (!parseNumber(trimmed(c), &v) || !std::isfinite(v)) {
            numeric = false;
            break;
        }
        byNumber.emplace_back(v, c);
    }
    Levels levels;
    if (numeric) {
        std::sort(byNumber.begin(), byNumber.end());
        for (std::size_t k = 0; k < byNumber.size(); ++k) {
            if (k == 0 || byNumber[k].first != byNumber[k - 1].first) {
                char name[32];
                std::snprintf(name, sizeof name, "%.15g", byNumber[k].first == 0.0 ? 0.0 : byNumber[k].first);
                levels.names.push_back(name);
            }
            levels.ofCode[byNumber[k].second] = static_cast<int>(levels.names.size());
        }
        return levels;
    }
    std::map<std::string, std::vector<std::string>> spellings;
    for (const auto& c : codes) spellings[trimmed(c)].push_back(c);
    for (const auto& [name, spelt] : spellings) {
        levels.names.push_back(name);
        for (const auto& c : spelt) levels.ofCode[c] = static_cast<int>(levels.names.size());
    }
    return levels;
}

// Whether a text is valid UTF-8 (the names go into the engine's files, the
// page and the pictures, which must be able to show them).
bool validUtf8(const std::string& text) {
    for (std::size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xe ? 2 : (c >> 3) == 0x1e ? 3 : -1;
        if (extra < 0 || (extra == 1 && c < 0xc2) || k + static_cast<std::size_t>(extra) >= text.size() + (extra == 0))
            return false;
        for (int e = 1; e <= extra; ++e)
            if ((static_cast<unsigned char>(text[k + static_cast<std::size_t>(e)]) >> 6) != 0x2) return false;
        k += static_cast<std::size_t>(extra) + 1;
    }
    return true;
}

// The first control character of a field (a NUL, a line break inside
// quotes, ...), or -1: no code or number holds one.
int controlCharacter(const std::string& text) {
    for (unsigned char ch : text)
        if (ch < 0x20 || ch == 0x7f) return ch;
    return -1;
}

}  // namespace

CodedTrial codeTrial(const TrialTable& table, const TrialDesign& request) {
    const std::string& file = table.fileName;
    std::vector<int> designColumns, traitColumns;
    auto columnOf = [&](const std::string& name, const char* role) {
        const int c = table.column(name);
        if (c < 0) {
            std::string known;
            for (const auto& n : table.names) known += (known.empty() ? "" : ", ") + n;
            stopRunAt({file, 0, name, ""}, "%s: there is no column '%s' (%s); the columns are: %s", file.c_str(),
                      name.c_str(), role, known.c_str());
        }
        return c;
    };
    auto checkName = [&](const std::string& name, std::size_t limit, const char* role) {
        if (name.size() > limit)
            stopRun("%s: the %s name '%s' has %zu characters; the engine's files hold at most %zu", file.c_str(), role,
                    name.c_str(), name.size(), limit);
        if (isMissingValue(name))
            stopRunAt({file, 0, name, ""}, "%s: the %s name '%s' reads as a missing value; rename the column",
                      file.c_str(), role, name.c_str());
        if (controlCharacter(name) >= 0 || !validUtf8(name))
            stopRunAt({file, 0, name, ""},
                      "%s: the %s name '%s' holds a control character (a line break, ...) or bytes that are not UTF-8; "
                      "rename the column",
                      file.c_str(), role, name.c_str());
        if (name.find_first_of(" \t,\"") != std::string::npos)
            stopRun("%s: the %s name '%s' holds a space, comma or quote, which the engine's files cannot; rename the "
                    "column (for example with '_' for the spaces)",
                    file.c_str(), role, name.c_str());
    };
    for (const auto& name : request.design) {
        designColumns.push_back(columnOf(name, "a design column"));
        checkName(name, kLeadWordLength, "design column");
    }
    for (std::size_t k = 0; k < request.traits.size(); ++k) {
        const std::string& name = request.traits[k];
        if (std::find(request.traits.begin(), request.traits.begin() + static_cast<std::ptrdiff_t>(k), name) !=
            request.traits.begin() + static_cast<std::ptrdiff_t>(k))
            stopRunAt({file, 0, name, request.traitsOption},
                      "%s: the trait '%s' is listed twice in %s; each trait once (a trait against itself is not a "
                      "correlation)",
                      file.c_str(), name.c_str(), request.traitsOption.c_str());
        const int c = columnOf(name, "a trait");
        if (std::find(designColumns.begin(), designColumns.end(), c) != designColumns.end())
            stopRunAt({file, 0, name, ""}, "%s: the column '%s' is named both as a design column and as a trait",
                      file.c_str(), name.c_str());
        traitColumns.push_back(c);
        checkName(name, kTraitNameLength, "trait");
    }
    if (traitColumns.empty()) stopRun("%s: no trait columns: every column is a design column", file.c_str());
    if (traitColumns.size() > static_cast<std::size_t>(kMaxTraits))
        stopRun("%s: %zu traits; an analysis holds at most %d", file.c_str(), traitColumns.size(), kMaxTraits);

    CodedTrial coded;
    std::vector<std::size_t> kept;
    std::map<int, int> missingIn;  // column: rows where it is missing
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        const int line = table.lineOfRow[r];
        bool missing = false;
        for (int c : designColumns) {
            const int control = controlCharacter(row[static_cast<std::size_t>(c)]);
            if (control >= 0)
                stopRunAt({file, line, table.names[static_cast<std::size_t>(c)], ""},
                          "%s: %s %d, column %s: the design code holds a control character (byte 0x%02x); no code "
                          "holds one",
                          file.c_str(), request.rowWord.c_str(), line, table.names[static_cast<std::size_t>(c)].c_str(),
                          control);
            // Codes name levels in the tables, the page and its pictures.
            if (!validUtf8(row[static_cast<std::size_t>(c)]))
                stopRunAt({file, line, table.names[static_cast<std::size_t>(c)], ""},
                          "%s: %s %d, column %s: the design code holds bytes that are not UTF-8; save the table as UTF-8",
                          file.c_str(), request.rowWord.c_str(), line, table.names[static_cast<std::size_t>(c)].c_str());
        }
        for (int c : designColumns)
            if (isMissingValue(row[static_cast<std::size_t>(c)])) {
                if (!request.dropIncomplete)
                    stopRunAt({file, line, table.names[static_cast<std::size_t>(c)], ""},
                              "%s: %s %d, column %s: the design code is missing ('%s'); give %s to drop the rows with a "
                              "missing value",
                              file.c_str(), request.rowWord.c_str(), line, table.names[static_cast<std::size_t>(c)].c_str(),
                              row[static_cast<std::size_t>(c)].c_str(), request.dropOption.c_str());
                missing = true;
                ++missingIn[c];
            }
        for (int c : traitColumns) {
            const std::string& field = row[static_cast<std::size_t>(c)];
            const char* name = table.names[static_cast<std::size_t>(c)].c_str();
            if (isMissingValue(field)) {
                if (!request.dropIncomplete)
                    stopRunAt({file, line, name, ""},
                              "%s: %s %d, column %s: the value is missing ('%s'); give %s to drop the rows with a "
                              "missing value",
                              file.c_str(), request.rowWord.c_str(), line, name, field.c_str(), request.dropOption.c_str());
                missing = true;
                ++missingIn[c];
                continue;
            }
            double v = 0.0;
            const int control = controlCharacter(field);
            if (control >= 0)
                stopRunAt({file, line, name, ""},
                          "%s: %s %d, column %s: the value holds a control character (byte 0x%02x) and is not a number",
                          file.c_str(), request.rowWord.c_str(), line, name, control);
            if (!parseNumber(field, &v))
                stopRunAt({file, line, name, ""}, "%s: %s %d, column %s: '%s' is not a number%s", file.c_str(),
                          request.rowWord.c_str(), line, name, field.c_str(),
                          request.traitsListed
                              ? ""
                              : ("; the column is taken as a trait: if it is not one, list the traits with " +
                                 request.traitsOption)
                                    .c_str());
            if (!std::isfinite(v) || !std::isfinite(static_cast<float>(v)))
                stopRunAt({file, line, name, ""}, "%s: %s %d, column %s: '%s' is not a finite number in single precision",
                          file.c_str(), request.rowWord.c_str(), line, name, field.c_str());
        }
        if (missing)
            coded.droppedLines.push_back(line);
        else
            kept.push_back(r);
    }
    for (const auto& [c, count] : missingIn) coded.missingByColumn.emplace_back(table.names[static_cast<std::size_t>(c)], count);

    // Levels: each column its own coding, the shared groups one coding each.
    std::vector<Levels> levels(designColumns.size());
    std::vector<bool> done(designColumns.size(), false);
    auto indexOf = [&](const std::string& name) {
        for (std::size_t k = 0; k < request.design.size(); ++k)
            if (request.design[k] == name) return k;
        return request.design.size();
    };
    auto code = [&](const std::vector<std::size_t>& members) {
        std::set<std::string> codes;
        for (std::size_t k : members)
            for (std::size_t r : kept) codes.insert(table.rows[r][static_cast<std::size_t>(designColumns[k])]);
        const auto map = levelsOf(codes);
        // Codes that differ only in case are a slip far more often than two
        // levels: refused, naming both.
        std::map<std::string, std::string> byLower;
        for (const std::string& name : map.names) {
            std::string lower;
            for (char ch : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            const auto [at, fresh] = byLower.emplace(lower, name);
            if (fresh) continue;
            std::string columns;
            for (std::size_t k : members) columns += (columns.empty() ? "" : " and ") + request.design[k];
            stopRunAt({file, 0, request.design[members.front()], ""},
                      "%s: %s %s the codes '%s' and '%s', which differ only in upper and lower case; spell each "
                      "level alike everywhere (if they are two levels, name them apart otherwise)",
                      file.c_str(), (members.size() > 1 ? "columns " + columns : "column " + columns).c_str(),
                      members.size() > 1 ? "hold" : "holds", at->second.c_str(), name.c_str());
        }
        for (std::size_t k : members) {
            levels[k] = map;
            done[k] = true;
        }
    };
    for (const auto& group : request.shared) {
        std::vector<std::size_t> members;
        for (const auto& name : group)
            if (indexOf(name) < request.design.size()) members.push_back(indexOf(name));
        if (!members.empty()) code(members);
    }
    for (std::size_t k = 0; k < designColumns.size(); ++k)
        if (!done[k]) code({k});

    coded.data.leadNames = request.design;
    coded.data.traitNames = request.traits;
    for (const auto& column : levels) coded.data.leadCodes.push_back(column.names);
    for (std::size_t r : kept) {
        const auto& row = table.rows[r];
        std::vector<int> lead;
        for (std::size_t k = 0; k < designColumns.size(); ++k)
            lead.push_back(levels[k].ofCode.at(row[static_cast<std::size_t>(designColumns[k])]));
        coded.data.lead.push_back(lead);
        std::vector<float> values;
        for (int c : traitColumns) values.push_back(std::strtof(row[static_cast<std::size_t>(c)].c_str(), nullptr));
        coded.values.push_back(values);
    }
    return coded;
}

}  // namespace minque
