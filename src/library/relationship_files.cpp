// The files of relationship matrices, pedigrees and marker calls.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>

#include "core/fatal_error.hpp"
#include "estimator/relationship_matrix.hpp"
#include "io/delimited_records.hpp"
#include "io/trial_table.hpp"
#include "minquecov/relationship.hpp"

namespace minque {

namespace {

// A message of several pieces, appended in turn.
std::string words(std::initializer_list<const char*> pieces) {
    std::string text;
    for (const char* piece : pieces) text.append(piece);
    return text;
}

// An id or parent field: "" for an unknown parent (0, NA, ".", empty).
std::string parentCode(const char* field) {
    const std::string code = field;
    return code == "0" || isMissingValue(code) ? std::string() : code;
}

}  // namespace

RelationshipMatrix relationshipFromFile(const std::string& path) {
    DelimitedRecords file(path);
    RelationshipMatrix k;
    k.source = path;
    const std::vector<std::string>& header = file.header();
    std::vector<const char*> fields;
    // Square: the header's fields after the first are the ids, and so are the
    // first fields of the rows, in the same order.
    auto number = [&](const char* field, int column) {
        double value = 0.0;
        if (!numberOfField(field, &value)) file.refuse(column, words({"'", field, "' is not a number"}));
        if (std::isnan(value)) file.refuse(column, "a relationship is missing; every entry must be a number");
        return value;
    };
    if (header.size() < 3)
        stopRun("%s: has %zu columns; a relationship matrix is square (a first column of ids, then one column per id) "
                "or long (id1,id2,value)",
                path.c_str(), header.size());
    // Three columns are the long form, unless they hold a square matrix of two ids.
    std::vector<std::array<std::string, 3>> firstRecords;
    std::map<std::string, std::size_t> at;
    std::vector<std::size_t> first, second;
    std::vector<double> values;
    std::vector<int> lines;
    if (header.size() == 3) {
        while (file.next(fields)) {
            if (firstRecords.size() < 3) firstRecords.push_back({fields[0], fields[1], fields[2]});
            for (int c = 0; c < 2; ++c)
                if (at.emplace(fields[c], k.ids.size()).second) k.ids.emplace_back(fields[c]);
            first.push_back(at[fields[0]]);
            second.push_back(at[fields[1]]);
            double value = 0.0;
            values.push_back(numberOfField(fields[2], &value) ? value : std::nan(""));
            lines.push_back(file.line());
        }
        const bool square = firstRecords.size() == 2 && firstRecords[0][0] == header[1] && firstRecords[1][0] == header[2];
        if (!square) {
            const std::size_t q = k.ids.size();
            refuseRelationshipTooLarge(q, 2, path);
            k.values.assign(q * q, 0.0);
            std::vector<char> given(q * q, 0);
            for (std::size_t r = 0; r < values.size(); ++r) {
                if (std::isnan(values[r]))
                    stopRunAt({path, lines[r], header[2], ""}, "%s: line %d, column '%s': the relationship is missing or not a number",
                              path.c_str(), lines[r], header[2].c_str());
                const std::size_t i = first[r], j = second[r];
                for (const std::size_t cell : {i * q + j, j * q + i}) {
                    if (given[cell] && k.values[cell] != values[r])
                        stopRunAt({path, lines[r], "", ""}, "%s: line %d: '%s' with '%s' is given twice, as %.10g and %.10g",
                                  path.c_str(), lines[r], k.ids[i].c_str(), k.ids[j].c_str(), k.values[cell], values[r]);
                    k.values[cell] = values[r];
                    given[cell] = 1;
                }
            }
            for (std::size_t i = 0; i < q; ++i)
                if (!given[i * q + i])
                    stopRun("%s: the relationship of '%s' with itself is not given; the long form needs every diagonal entry",
                            path.c_str(), k.ids[i].c_str());
            return k;
        }
        k.ids = {header[1], header[2]};
        k.values.resize(4);
        for (std::size_t r = 0; r < 2; ++r)
            for (std::size_t j = 0; j < 2; ++j) {
                double value = 0.0;
                if (!numberOfField(firstRecords[r][j + 1].c_str(), &value) || std::isnan(value))
                    stopRunAt({path, lines[r], header[j + 1], ""}, "%s: line %d, column '%s': '%s' is not a number", path.c_str(), lines[r],
                              header[j + 1].c_str(), firstRecords[r][j + 1].c_str());
                k.values[r * 2 + j] = value;
            }
        return k;
    }
    const std::size_t q = header.size() - 1;
    refuseRelationshipTooLarge(q, 2, path);
    k.ids.assign(header.begin() + 1, header.end());
    for (std::size_t i = 0; i < q; ++i)
        if (!at.emplace(k.ids[i], i).second) stopRun("%s: the id '%s' heads two columns", path.c_str(), k.ids[i].c_str());
    k.values.assign(q * q, 0.0);
    std::size_t row = 0;
    while (file.next(fields)) {
        if (row >= q) file.refuse(0, "more rows than the header has ids (" + std::to_string(q) + ")");
        if (fields[0] != k.ids[row])
            file.refuse(0, words({"the row of '", fields[0], "' where the header's order has '", k.ids[row].c_str(), "'"}));
        for (std::size_t j = 0; j < q; ++j) k.values[row * q + j] = number(fields[j + 1], static_cast<int>(j + 1));
        ++row;
    }
    if (row != q) stopRun("%s: %zu rows for the header's %zu ids; a square matrix has a row per id", path.c_str(), row, q);
    return k;
}

Pedigree pedigreeFromFile(const std::string& path) {
    DelimitedRecords file(path);
    if (file.header().size() < 3) stopRun("%s: has %zu columns; a pedigree has three: id, sire, dam", path.c_str(), file.header().size());
    Pedigree p;
    p.source = path;
    std::vector<const char*> fields;
    while (file.next(fields)) {
        if (parentCode(fields[0]).empty()) file.refuse(0, "the individual has no id");
        p.ids.emplace_back(fields[0]);
        p.sires.push_back(parentCode(fields[1]));
        p.dams.push_back(parentCode(fields[2]));
        p.lines.push_back(file.line());
    }
    if (p.ids.empty()) stopRun("%s: has no records; a pedigree lists one individual per line", path.c_str());
    return p;
}

MarkerCalls markersFromFile(const std::string& path) {
    DelimitedRecords file(path);
    const std::vector<std::string>& header = file.header();
    if (header.size() < 2) stopRun("%s: has no marker columns; a marker file has the ids, then one column per marker", path.c_str());
    MarkerCalls m;
    m.source = path;
    m.markers.assign(header.begin() + 1, header.end());
    std::map<std::string, int> seen;
    std::vector<const char*> fields;
    while (file.next(fields)) {
        if (!seen.emplace(fields[0], file.line()).second) file.refuse(0, words({"the id '", fields[0], "' is given twice"}));
        m.ids.emplace_back(fields[0]);
        for (std::size_t j = 1; j < fields.size(); ++j) {
            // The common case, one digit, without the number parser.
            if (fields[j][0] >= '0' && fields[j][0] <= '2' && fields[j][1] == '\0') {
                m.calls.push_back(static_cast<signed char>(fields[j][0] - '0'));
                continue;
            }
            double call = 0.0;
            if (!numberOfField(fields[j], &call) || (!std::isnan(call) && call != 0.0 && call != 1.0 && call != 2.0))
                file.refuse(static_cast<int>(j), words({"the call '", fields[j], "' is not 0, 1 or 2 (or missing: NA, '.', empty)"}));
            m.calls.push_back(std::isnan(call) ? kMissingCall : static_cast<signed char>(call));
        }
    }
    if (m.ids.empty()) stopRun("%s: has no individuals", path.c_str());
    return m;
}

void relationshipCsvLines(const RelationshipMatrix& k, const std::function<void(const std::string&)>& line) {
    const std::size_t q = k.ids.size();
    std::string out = "\"\"";
    // An id in quotes, a quote in it doubled.
    auto quoted = [&out](const std::string& text) {
        out.push_back('"');
        for (char c : text) {
            if (c == '"') out.push_back('"');
            out.push_back(c);
        }
        out.push_back('"');
    };
    for (const std::string& id : k.ids) {
        out.push_back(',');
        quoted(id);
    }
    out += "\n";
    line(out);
    char buffer[40];
    buffer[0] = ',';
    for (std::size_t i = 0; i < q; ++i) {
        out.clear();
        quoted(k.ids[i]);
        for (std::size_t j = 0; j < q; ++j) {
            // The shortest text that reads back as the same double.
            const auto written = std::to_chars(buffer + 1, buffer + sizeof buffer, k.values[i * q + j]);
            out.append(buffer, written.ptr);
        }
        out += "\n";
        line(out);
    }
}

std::string relationshipCsv(const RelationshipMatrix& k) {
    std::string text;
    relationshipCsvLines(k, [&text](const std::string& line) { text += line; });
    return text;
}

}  // namespace minque
