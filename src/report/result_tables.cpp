#include "report/result_tables.hpp"

#include <cmath>

namespace minque {

void addFlag(std::string& flags, const char* flag) {
    if (!flags.empty()) flags += ";";
    flags += flag;
}

bool addFiniteAndFloorFlags(ResultRow& row) {
    if (!std::isfinite(row.estimate) || !std::isfinite(row.se) || !std::isfinite(row.p)) {
        addFlag(row.flag, "not_finite");
        return false;
    }
    if (row.p < 1e-10) addFlag(row.flag, "p_floor");
    return true;
}

void markUndefinedEstimates(ResultTables& tables) {
    for (std::vector<ResultRow>* rows : {&tables.correlations, &tables.heritabilities})
        for (ResultRow& row : *rows)
            if (row.flag.find("undefined") != std::string::npos || row.flag.find("below_threshold") != std::string::npos) {
                row.estimate = row.se = row.p = row.ciLow = row.ciHigh = std::numeric_limits<double>::quiet_NaN();
                row.mark.clear();
            }
}

namespace {

std::string csvField(const std::string& s) {
    if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string csvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (k > 0) line += ',';
        line += csvField(fields[k]);
    }
    return line + "\r\n";
}

}  // namespace

std::string resultCsv(const ResultTables& tables, ResultTable table) {
    const std::vector<ResultColumn>& columns = resultColumns(table, tables.method);
    std::vector<std::string> fields;
    for (const ResultColumn& c : columns) fields.push_back(c.name);
    std::string out = csvLine(fields);
    for (const ResultRow& row : resultRows(tables, table)) {
        fields.clear();
        for (const ResultColumn& c : columns) fields.push_back(cellText(row, c));
        out += csvLine(fields);
    }
    return out;
}

std::vector<FlagMeaning> flagMeanings(const std::string& method) {
    std::vector<FlagMeaning> meanings;
    for (const FlagMeaning& f : flagMeanings())
        if (!f.bootstrapOnly || method == "bootstrap") meanings.push_back(f);
    return meanings;
}

const std::vector<FlagMeaning>& flagMeanings() {
    static const std::vector<FlagMeaning> meanings = {
        {"negative", "a variance component estimated below zero (for a heritability: one of the components it is "
                     "made of): the true value is near zero; do not read a significance mark on it as evidence"},
        {"variance_not_positive", "a covariance component whose variance component of either trait is at or below "
                                  "zero: the covariance cannot be turned into a correlation"},
        {"undefined", "a correlation whose variance component of either trait is at or below zero (a heritability "
                      "whose phenotypic variance is): printed as 0 with S.E. 0 and P 1, which means not defined, not "
                      "zero"},
        {"below_threshold", "a correlation (or covariance) whose variance component of either trait is positive but "
                            "at or below 1e-10 of that trait's variance in the data (in the reports, 1e-10 itself, "
                            "where the report prints the correlation as 0 and the trait's scale is too small: multiply "
                            "it by a power of ten): zero up to rounding"},
        {"weights_positional", "a total (G+GE, Phenotypic) of a model whose weights follow the positions of its "
                               "factors, not genetic coefficients (every general model; the additive-dominance model "
                               "in one environment): a weighted sum, not the genotypic or phenotypic (co)variance"},
        {"cut", "a correlation cut to +1 or -1 (the estimate passed the bound): its S.E. and mark mean nothing"},
        {"near_bound", "a correlation of 0.95 or more in size: next to the bound the jackknife understates the "
                       "spread, so the S.E. is too small and the mark too strong"},
        {"p_floor", "a P value below 1e-10, the limit of the t-test's precision: read it as P < 1e-10"},
        {"not_finite", "the jackknife gave no finite value (nan or inf) for the estimate, S.E. or P: the component "
                       "cannot be estimated from these replicates"},
        {"component_not_positive", "a predicted effect of a term whose variance component is at or below zero: "
                                   "the term explains nothing the data can see, and every level is predicted 0"},
        {"no_records", "a predicted effect of a level without records of its own (a relative in the relationship "
                       "matrix that was not grown): predicted from its relatives alone",
         true},
        {"psd_adjusted", "bootstrap standard errors: the component's variance and covariance matrix over the traits "
                         "had negative eigenvalues (a variance below zero, or covariances too large for the variances); "
                         "the samples were drawn from it with those set to 0, so its spread is that of a nearby "
                         "positive semi-definite matrix",
         true},
        {"few_levels", "a component whose term has fewer than 8 levels (parents, crosses, blocks, levels of a "
                       "factor), or a correlation, G+GE total, heritability or share that rests on one: its "
                       "estimate has a coefficient of variation near sqrt(2 / (levels - 1)) (0.63 from 6 parents), so "
                       "its S.E., interval and mark are rough; report it as a rough estimate, not as a finding"},
        {"out_of_range", "a heritability or share of the phenotypic variance outside [0, 1], printed as computed: a "
                         "component below zero, or sampling error next to a bound; read it as near 0 or near 1"},
    };
    return meanings;
}

}  // namespace minque
