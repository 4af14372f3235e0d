#include "jackknife_engine/report/report_tables.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

namespace {

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(line);
    while (std::getline(in, field, ',')) fields.push_back(trimmed(field));
    return fields;
}

double number(const std::string& s) { return std::strtod(s.c_str(), nullptr); }

// A number as the report prints it with %g or %f, "nan" and "inf" included
// (a degenerate component gives them).
bool isNumber(const std::string& s) {
    if (s.empty()) return false;
    char* end = nullptr;
    (void)std::strtod(s.c_str(), &end);
    return end != nullptr && *end == '\0';
}

bool allFinite(const ReportEstimate& r) {
    return std::isfinite(r.estimate) && std::isfinite(r.se) && std::isfinite(r.p);
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// The trait names of a pair line in either language, or false.
bool pairLine(const std::string& line, std::string* a, std::string* b, bool* chinese) {
    const std::string english = "Covariances and Correlations Between,";
    const std::string t = trimmed(line);
    if (startsWith(t, english)) {
        // "Covariances and Correlations Between, A &, B ,for, USER:"
        const std::vector<std::string> f = splitFields(t);
        if (f.size() < 4 || f[1].size() < 2 || f[1].substr(f[1].size() - 1) != "&" || f[3] != "for") return false;
        *a = trimmed(f[1].substr(0, f[1].size() - 1));
        *b = f[2];
        *chinese = false;
        return !a->empty() && !b->empty();
    }
    const std::string chineseOpen = "协方差和相关分析结果 <";
    if (startsWith(t, chineseOpen)) {
        // "协方差和相关分析结果 < A 和 B > USER"
        const std::string rest = t.substr(chineseOpen.size());
        const std::size_t and_ = rest.find(" 和 ");
        const std::size_t close = rest.find(" > ");
        if (and_ == std::string::npos || close == std::string::npos || close < and_) return false;
        *a = trimmed(rest.substr(0, and_));
        *b = trimmed(rest.substr(and_ + std::strlen(" 和 "), close - and_ - std::strlen(" 和 ")));
        *chinese = true;
        return !a->empty() && !b->empty();
    }
    return false;
}

enum class Section { None, Covariances, TotalCovariances, Correlations, TotalCorrelations };

Section sectionOf(const std::string& line) {
    const std::string t = trimmed(line);
    for (bool chinese : {false, true}) {
        const ReportHeadings& h = reportHeadings(chinese);
        if (t == trimmed(h.covariances)) return Section::Covariances;
        if (t == trimmed(h.totalCovariances)) return Section::TotalCovariances;
        if (t == trimmed(h.correlations)) return Section::Correlations;
        if (t == trimmed(h.totalCorrelations)) return Section::TotalCorrelations;
    }
    return Section::None;
}

bool runTimeLine(const std::string& line) {
    const std::string t = trimmed(line);
    return startsWith(t, "Time Used (Hour) =") || startsWith(t, "电脑运行时间为");
}

[[noreturn]] void damaged(const std::string& file, int line, const char* what) {
    stopRun("%s: line %d: %s; the file is not a complete report of minque-cov or minque-var", file.c_str(), line, what);
}

// The printed numbers of a row as values; refuses a row whose fields are not
// numbers or whose mark is unknown.
void readNumbers(ReportEstimate& row, const std::string& estimate, const std::string& se, const std::string& p,
                 const std::string& file) {
    if (!isNumber(estimate) || !isNumber(se) || !isNumber(p))
        damaged(file, row.line, "the estimate, standard error or P value is not a number");
    row.estimate = number(estimate);
    row.se = number(se);
    row.p = number(p);
    static const char* const marks[] = {"NS", "S+", "S*", "S**"};
    bool known = false;
    for (const char* m : marks) known = known || row.mark == m;
    if (!known) damaged(file, row.line, "the significance mark is not NS, S+, S* or S**");
}

}  // namespace

bool ReportEstimates::variances() const {
    for (const auto& r : rows)
        if (r.trait1 != r.trait2) return false;
    return !rows.empty();
}

namespace {

// A report cut at a block boundary reads as a whole one of fewer traits: its
// header says how many traits it holds, and a covariance report holds a
// block for every pair of them (a variance report one for every trait).
void refuseIncompleteReport(const ReportEstimates& report, const std::string& fileName) {
    int traits = 0;
    for (const auto& [key, value] : report.settings)
        if (key == "Traits" && isNumber(value)) {
            const double named = number(value);
            if (!(named >= 1.0 && named <= 1e6 && named == std::floor(named)))
                stopRun("%s: the header names '%s' traits, not a count of traits; it is not a complete report",
                        fileName.c_str(), value.c_str());
            traits = static_cast<int>(named);
        }
    if (traits <= 0) return;
    std::set<std::pair<std::string, std::string>> blocks;
    for (const ReportEstimate& row : report.rows) blocks.emplace(row.trait1, row.trait2);
    const bool pairs = blocks.begin()->first != blocks.begin()->second;
    const std::size_t expected = pairs ? static_cast<std::size_t>(traits) * static_cast<std::size_t>(traits - 1) / 2
                                       : static_cast<std::size_t>(traits);
    if (static_cast<int>(report.traits.size()) >= traits && blocks.size() >= expected) return;
    std::string missing = "the trait after " + report.traits.back();
    if (static_cast<int>(report.traits.size()) >= traits && pairs)
        for (std::size_t i = 0; i < report.traits.size() && missing.rfind("the pair", 0) != 0; ++i)
            for (std::size_t j = i + 1; j < report.traits.size(); ++j)
                if (blocks.count({report.traits[i], report.traits[j]}) == 0) {
                    missing = "the pair " + report.traits[i] + " & " + report.traits[j];
                    break;
                }
    stopRun("%s: the header names %d traits, but the blocks cover %zu trait%s in %zu block%s of the %zu expected: the "
            "report ends early (%s is missing); give the whole report",
            fileName.c_str(), traits, report.traits.size(), report.traits.size() == 1 ? "" : "s", blocks.size(),
            blocks.size() == 1 ? "" : "s", expected, missing.c_str());
}

}  // namespace

ReportEstimates parseReport(const std::string& text, const std::string& fileName) {
    ReportEstimates report;
    report.fileName = fileName;
    std::istringstream in(text);
    std::string line;
    int lineNumber = 0;
    bool inBlock = false, ended = false;
    Section section = Section::None;
    std::string a, b;
    auto addTrait = [&](const std::string& name) {
        for (const auto& t : report.traits)
            if (t == name) return;
        report.traits.push_back(name);
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        // The reports are text: a NUL or another control character means a
        // damaged or foreign file, whose bytes must not reach the tables.
        for (unsigned char c : line)
            if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7f) damaged(fileName, lineNumber, "a control character");
        const std::string t = trimmed(line);
        if (t.empty()) continue;
        if (ended) damaged(fileName, lineNumber, "text after the run-time line");
        bool chinese = false;
        if (pairLine(line, &a, &b, &chinese)) {
            if (inBlock && report.rows.empty()) damaged(fileName, lineNumber, "a block without rows");
            report.chinese = chinese;
            inBlock = true;
            section = Section::None;
            addTrait(a);
            addTrait(b);
            continue;
        }
        if (!inBlock) {
            // The preamble: keep the settings it names.
            const std::vector<std::string> f = splitFields(t);
            if (f.size() == 2 && (f[0] == "Traits =" || f[0] == "Variance components =" || f[0] == "Degree of freedom ="))
                report.settings.emplace_back(trimmed(f[0].substr(0, f[0].size() - 1)), f[1]);
            if (startsWith(t, "Date and Time for Analysis:"))
                report.settings.emplace_back("Date", trimmed(t.substr(std::strlen("Date and Time for Analysis:"))));
            continue;
        }
        if (runTimeLine(line)) {
            ended = true;
            continue;
        }
        const Section s = sectionOf(line);
        if (s != Section::None) {
            section = s;
            continue;
        }
        // A component's label may hold commas ("C(1,3)"): it runs up to the
        // first " Cov, " or " Cor, "; the fields after it are comma-separated.
        std::vector<std::string> f;
        const std::size_t cov = t.find(" Cov, "), cor = t.find(" Cor, ");
        const std::size_t labelEnd = std::min(cov, cor);
        if ((section == Section::Covariances || section == Section::Correlations) && labelEnd != std::string::npos) {
            f = splitFields(t.substr(labelEnd + 6));
            f.insert(f.begin(), t.substr(0, labelEnd + 4));
        } else {
            f = splitFields(t);
        }
        ReportEstimate row;
        row.trait1 = a;
        row.trait2 = b;
        row.line = lineNumber;
        switch (section) {
            case Section::Covariances:
                if (f.size() != 6 || f[0].size() < 5 || f[0].substr(f[0].size() - 4) != " Cov" || f[4].empty() ||
                    f[4][0] != '/')
                    damaged(fileName, lineNumber, "not a covariance row (LABEL Cov, estimate, S.E., P, /weight, mark)");
                row.component = f[0].substr(0, f[0].size() - 4);
                if (!isNumber(f[4].substr(1))) damaged(fileName, lineNumber, "the weight is not a number");
                row.weight = number(f[4].substr(1));
                row.mark = f[5];
                break;
            case Section::Correlations:
                if (f.size() != 5 || f[0].size() < 5 || f[0].substr(f[0].size() - 4) != " Cor")
                    damaged(fileName, lineNumber, "not a correlation row (LABEL Cor, estimate, S.E., P, mark)");
                row.component = f[0].substr(0, f[0].size() - 4);
                row.correlation = true;
                row.mark = f[4];
                break;
            case Section::TotalCovariances:
            case Section::TotalCorrelations: {
                const char* kind = section == Section::TotalCovariances ? "Cov " : "Cor ";
                if (f.size() != 5 || (f[0] != std::string(kind) + "1" && f[0] != std::string(kind) + "2"))
                    damaged(fileName, lineNumber, "not a row of the totals (Cov 1 or 2, Cor 1 or 2)");
                row.component = f[0].back() == '1' ? "G+GE" : "Phenotypic";
                row.correlation = section == Section::TotalCorrelations;
                row.mark = f[4];
                break;
            }
            case Section::None:
                damaged(fileName, lineNumber, "a line outside the sections of a block");
        }
        readNumbers(row, f[1], f[2], f[3], fileName);
        // A correlation the report could not define is printed as 0 with
        // S.E. 0 (nan when its replicates are degenerate too) and P 1.
        row.undefined = row.correlation && row.estimate == 0.0 && (row.se == 0.0 || !std::isfinite(row.se)) &&
                        row.p == 1.0;
        report.rows.push_back(row);
    }
    if (report.rows.empty())
        stopRun("%s: no trait-pair block found; it is not a report of minque-cov or minque-var", fileName.c_str());
    refuseIncompleteReport(report, fileName);
    return report;
}

ReportEstimates reportOfBlocks(const std::vector<ReportBlock>& blocks, const std::vector<std::string>& traitNames,
                               bool chinese) {
    ReportEstimates report;
    report.chinese = chinese;
    auto addTrait = [&](const std::string& name) {
        if (std::find(report.traits.begin(), report.traits.end(), name) == report.traits.end())
            report.traits.push_back(name);
    };
    for (const ReportBlock& block : blocks) {
        const std::string& a = traitNames[static_cast<std::size_t>(block.trait1)];
        const std::string& b = traitNames[static_cast<std::size_t>(block.trait2)];
        addTrait(a);
        addTrait(b);
        for (const ReportedRow& r : block.rows) {
            ReportEstimate row;
            row.trait1 = a;
            row.trait2 = b;
            const bool total = r.section == ReportedRow::Section::TotalCovariances ||
                               r.section == ReportedRow::Section::TotalCorrelations;
            row.component = total ? (r.index == 1 ? "G+GE" : "Phenotypic") : r.label;
            if (r.section == ReportedRow::Section::Covariances) row.weight = static_cast<double>(r.weight);
            row.estimate = r.estimate;
            row.se = r.se;
            row.p = printedP(r.halfP);
            row.mark = markOf(r.halfP);
            row.correlation = r.section == ReportedRow::Section::Correlations ||
                              r.section == ReportedRow::Section::TotalCorrelations;
            row.undefined = r.undefined;
            report.rows.push_back(row);
        }
    }
    return report;
}

ReportEstimates readReport(const std::string& fileName) {
    std::string text;
    refuseUnlessRegularFile(fileName);
    if (!readFileText(fileName, &text)) stopRun("%s: cannot be opened (%s)", fileName.c_str(), std::strerror(errno));
    return parseReport(text, fileName);
}

namespace {


// Variance estimates by (trait, component).
using VarianceMap = std::map<std::pair<std::string, std::string>, double>;

constexpr double kDegenerateVariance = 1e-10;  // the report's own test for a correlation's variances

ResultRow tableRow(const ReportEstimate& r) {
    ResultRow row;
    row.trait1 = r.trait1;
    row.trait2 = r.trait2;
    row.component = r.component;
    row.weight = r.weight;
    row.estimate = r.estimate;
    row.se = r.se;
    row.p = r.p;
    row.mark = r.mark;
    return row;
}

}  // namespace

ResultTables buildResultTables(const ReportEstimates& cov, const ReportEstimates* var) {
    ResultTables tables;
    tables.traits = cov.traits;
    VarianceMap variances;
    if (var != nullptr) {
        for (const auto& t : var->traits) {
            bool known = false;
            for (const auto& u : tables.traits) known = known || u == t;
            if (!known) tables.traits.push_back(t);
        }
        for (const ReportEstimate& r : var->rows) {
            if (r.correlation) continue;
            ResultRow row = tableRow(r);
            if (!allFinite(r)) addFlag(row.flag, "not_finite");
            if (r.estimate < 0.0) addFlag(row.flag, "negative");
            if (r.p < 1e-10) addFlag(row.flag, "p_floor");
            tables.variances.push_back(row);
            variances[{r.trait1, r.component}] = r.estimate;
        }
    }
    // The variances of the row's component in both traits: at or below zero
    // (no correlation exists), or positive but at or below the report's
    // threshold of 1e-10 (the report prints the correlation as 0).
    enum class Variances { Positive, BelowThreshold, NotPositive };
    auto variancesOf = [&](const ReportEstimate& r) {
        Variances worst = Variances::Positive;
        for (const std::string& trait : {r.trait1, r.trait2}) {
            const auto it = variances.find({trait, r.component});
            if (it == variances.end()) continue;
            if (it->second <= 0.0) return Variances::NotPositive;
            if (it->second <= kDegenerateVariance) worst = Variances::BelowThreshold;
        }
        return worst;
    };
    for (const ReportEstimate& r : cov.rows) {
        ResultRow row = tableRow(r);
        const Variances v = variancesOf(r);
        if (!r.correlation) {
            if (!allFinite(r)) addFlag(row.flag, "not_finite");
            if (v == Variances::NotPositive) addFlag(row.flag, "variance_not_positive");
            if (v == Variances::BelowThreshold) addFlag(row.flag, "below_threshold");
            if (r.p < 1e-10) addFlag(row.flag, "p_floor");
            tables.covariances.push_back(row);
            continue;
        }
        const double rho = r.estimate;
        if (v == Variances::BelowThreshold) {
            addFlag(row.flag, "below_threshold");
        } else if (v == Variances::NotPositive || r.undefined) {
            addFlag(row.flag, "undefined");
        } else if (!allFinite(r)) {
            addFlag(row.flag, "not_finite");
        } else {
            if (std::fabs(rho) == 1.0) addFlag(row.flag, "cut");
            else if (std::fabs(rho) >= 0.95) addFlag(row.flag, "near_bound");
            if (r.p < 1e-10) addFlag(row.flag, "p_floor");
        }
        tables.correlations.push_back(row);
        bool listed = false;
        for (const auto& c : tables.correlationComponents) listed = listed || c == r.component;
        if (!listed && r.component != "G+GE" && r.component != "Phenotypic") tables.correlationComponents.push_back(r.component);
    }
    if (!tables.correlations.empty()) {
        tables.correlationComponents.push_back("G+GE");
        tables.correlationComponents.push_back("Phenotypic");
    }
    // Genetic coefficients only in the additive-dominance model across
    // environments; elsewhere the totals are sums under positional weights.
    // The components are read from either report: an analysis of one trait
    // has no covariance rows.
    std::set<std::string> components;
    for (const ReportEstimates* report : {&cov, var})
        if (report != nullptr)
            for (const ReportEstimate& r : report->rows)
                if (!r.correlation && r.component != "G+GE" && r.component != "Phenotypic") components.insert(r.component);
    if (components != std::set<std::string>{"V(A)", "V(D)", "V(AE)", "V(DE)", "V(e)"})
        for (auto* rows : {&tables.variances, &tables.covariances, &tables.correlations})
            for (ResultRow& r : *rows)
                if (r.component == "G+GE" || r.component == "Phenotypic") addFlag(r.flag, "weights_positional");
    return tables;
}

}  // namespace minque
