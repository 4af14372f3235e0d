#include "library/trial_coding.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "core/analysis_state.hpp"
#include "core/fatal_error.hpp"

namespace minque {

namespace {

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0') return false;
    *value = v;
    return true;
}

// Levels of a set of codes: ascending, numeric order when every code is a
// number (then "2" < "10"), else byte order.
std::map<std::string, int> levelsOf(const std::set<std::string>& codes) {
    bool numeric = true;
    std::vector<std::pair<double, std::string>> byNumber;
    for (const auto& c : codes) {
        double v = 0.0;
        if (!parseNumber(c, &v) || !std::isfinite(v)) {
            numeric = false;
            break;
        }
        byNumber.emplace_back(v, c);
    }
    std::vector<std::string> order;
    if (numeric) {
        std::sort(byNumber.begin(), byNumber.end());
        for (const auto& [v, c] : byNumber) order.push_back(c);
    } else {
        order.assign(codes.begin(), codes.end());
    }
    std::map<std::string, int> levels;
    int next = 0;
    for (const auto& c : order) levels[c] = ++next;
    return levels;
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
        if (name.find_first_of(" \t,\"") != std::string::npos)
            stopRun("%s: the %s name '%s' holds a space, comma or quote, which the engine's files cannot; rename the "
                    "column (for example with '_' for the spaces)",
                    file.c_str(), role, name.c_str());
    };
    for (const auto& name : request.design) {
        designColumns.push_back(columnOf(name, "a design column"));
        checkName(name, kLeadWordLength, "design column");
    }
    for (const auto& name : request.traits) {
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
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        const int line = table.lineOfRow[r];
        bool missing = false;
        for (int c : designColumns)
            if (isMissingValue(row[static_cast<std::size_t>(c)])) {
                if (!request.dropIncomplete)
                    stopRunAt({file, line, table.names[static_cast<std::size_t>(c)], ""},
                              "%s: %s %d, column %s: the design code is missing ('%s'); give %s to drop the rows with a "
                              "missing value",
                              file.c_str(), request.rowWord.c_str(), line, table.names[static_cast<std::size_t>(c)].c_str(),
                              row[static_cast<std::size_t>(c)].c_str(), request.dropOption.c_str());
                missing = true;
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
                continue;
            }
            double v = 0.0;
            if (!parseNumber(field, &v))
                stopRunAt({file, line, name, ""}, "%s: %s %d, column %s: '%s' is not a number", file.c_str(),
                          request.rowWord.c_str(), line, name, field.c_str());
            if (!std::isfinite(v) || !std::isfinite(static_cast<float>(v)))
                stopRunAt({file, line, name, ""}, "%s: %s %d, column %s: '%s' is not a finite number in single precision",
                          file.c_str(), request.rowWord.c_str(), line, name, field.c_str());
        }
        if (missing)
            coded.droppedLines.push_back(line);
        else
            kept.push_back(r);
    }

    // Levels: each column its own coding, the shared groups one coding each.
    std::vector<std::map<std::string, int>> levels(designColumns.size());
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
    for (const auto& map : levels) {
        std::vector<std::string> codes(map.size());
        for (const auto& [text, level] : map) codes[static_cast<std::size_t>(level - 1)] = text;
        coded.data.leadCodes.push_back(codes);
    }
    for (std::size_t r : kept) {
        const auto& row = table.rows[r];
        std::vector<int> lead;
        for (std::size_t k = 0; k < designColumns.size(); ++k)
            lead.push_back(levels[k].at(row[static_cast<std::size_t>(designColumns[k])]));
        coded.data.lead.push_back(lead);
        std::vector<float> values;
        for (int c : traitColumns) values.push_back(std::strtof(row[static_cast<std::size_t>(c)].c_str(), nullptr));
        coded.values.push_back(values);
    }
    return coded;
}

}  // namespace minque
