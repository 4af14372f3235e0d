// The results of an analysis as five tables of typed rows: the variance
// components of every trait, the covariance components of every trait pair,
// their correlations, the heritabilities and the predicted effects. Each row
// holds its estimate, standard error and two-tailed P value as doubles at
// full precision, its significance mark and its flags, all computed from the
// values (never from printed text). One schema lists the columns of each
// table; every output (the CSV files, the page, the R data frames) is written
// from it, and cellText gives a number's printed digits exactly as the
// reports print them.
//
// Flags (several are joined with ';'):
//   negative               a variance component (or total) below zero
//   variance_not_positive  a covariance whose component has a variance of
//                          either trait at or below zero (needs the variances)
//   undefined              a correlation whose variance component of either
//                          trait is at or below zero: the report prints 0
//                          with SE 0 and P 1, which means "not defined"
//   below_threshold        a correlation (covariance) whose variance component
//                          of either trait is positive but at or below 1e-10:
//                          the report prints the correlation as 0
//   weights_positional     a total of a model whose weights follow the
//                          positions of its factors, not genetic coefficients
//   cut                    a correlation cut to +1 or -1
//   near_bound             a correlation of 0.95 or more in size, next to the
//                          bound where the jackknife understates its spread
//   p_floor                a P value below 1e-10, the floor of the t-test's
//                          precision: read it as "below 1e-10"
//   not_finite             the estimate, S.E. or P is nan or inf: the
//                          replicates cannot estimate the component
//   out_of_range           a heritability or share outside [0, 1]
//   component_not_positive a predicted effect of a term whose variance
//                          component is at or below zero: predicted as 0
//   no_records             a predicted effect of a level without records
//                          (a relative in a relationship matrix)
//   psd_adjusted           bootstrap standard errors: the component's matrix
//                          over the traits was made positive semi-definite
//                          to draw the samples
//   few_levels             a component whose term has fewer than 8 levels
//                          (6 parents, 3 blocks), or a correlation, G+GE
//                          total, heritability or share that rests on one:
//                          the design is too small for a precise estimate
// In the heritabilities, negative marks a ratio one of whose components is
// below zero, and undefined one whose phenotypic variance is at or below
// 1e-10.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace minque {

// One row. In the variance table trait2 equals trait1. NaN in weight means
// the row has none (the totals, and the tables without weights).
struct ResultRow {
    std::string trait1, trait2;
    std::string component;  // the report's label ("V(A)"), "G+GE" / "Phenotypic"; the quantity; the term
    std::string level;      // the predicted effects: the level ("P3", "P1 x P3", "Env2: P3"); else empty
    double weight = std::numeric_limits<double>::quiet_NaN();
    double estimate = 0.0, se = 0.0, p = 1.0;
    // With bootstrap standard errors: the 95% interval, and for a correlation
    // the number of bootstrap samples in which it was not defined.
    double ciLow = std::numeric_limits<double>::quiet_NaN(), ciHigh = std::numeric_limits<double>::quiet_NaN();
    double undefinedDraws = std::numeric_limits<double>::quiet_NaN();
    // The bootstrap's predicted effects: the level's records, and the
    // reliability 1 - PEV / (sigma2 K_ii) of its prediction (K_ii = 1 for a
    // term without a relationship matrix).
    double records = std::numeric_limits<double>::quiet_NaN();
    double reliability = std::numeric_limits<double>::quiet_NaN();
    std::string mark;  // NS, S+, S* or S**
    std::string flag;  // the flags above, joined with ';'; empty when none
};

struct ResultTables {
    // "jackknife" (the reports' standard errors) or "bootstrap" (the
    // parametric bootstrap; the tables then also hold intervals).
    std::string method = "jackknife";
    std::vector<std::string> traits;
    std::vector<std::string> correlationComponents;  // reported correlations, then G+GE and Phenotypic
    std::vector<ResultRow> variances, covariances, correlations;
    // Per trait, its heritabilities or shares of the phenotypic variance
    // (component: the quantity, "h2_narrow", "share:V(A)", ...; trait2 equals
    // trait1; no weight). Empty for tables read from reports.
    std::vector<ResultRow> heritabilities;
    // Per trait, the predicted effect of every level of every random term
    // (component: the term, "A", "D", "AE", "DE", "B" or a general model's
    // term; level: its name), when asked for. Empty otherwise.
    std::vector<ResultRow> effects;
};

// ---- The schema ------------------------------------------------------------

enum class ResultTable { Variances, Covariances, Correlations, Heritabilities, Effects };
inline constexpr ResultTable kResultTables[] = {ResultTable::Variances, ResultTable::Covariances,
                                                ResultTable::Correlations, ResultTable::Heritabilities,
                                                ResultTable::Effects};

// One column of a table: its name in the CSV file and the R data frame, its
// heading on the page, and the row's field it shows: a text, or a number
// printed with `format` (blank where a weight is NaN).
struct ResultColumn {
    const char* name;
    const char* heading;
    std::string ResultRow::*text = nullptr;
    double ResultRow::*number = nullptr;
    const char* format = nullptr;
};

// "variances", "covariances", "correlations", "heritability", "effects": the
// CSV file's name without ".csv" and the R result's element.
const char* resultTableName(ResultTable table);
// The columns of a table of the method's tables: the bootstrap's add
// ci_low, ci_high and, for the correlations, undefined_draws.
const std::vector<ResultColumn>& resultColumns(ResultTable table, const std::string& method = "jackknife");
const std::vector<ResultRow>& resultRows(const ResultTables& tables, ResultTable table);

// A cell as the tables print it: the text, or the number with the column's
// format ("%g", "%f", "%.3g"), as the reports print the same number.
std::string cellText(const ResultRow& row, const ResultColumn& column);

// The meaning of each flag in a sentence, for the page, the help and R.
struct FlagMeaning {
    const char* flag;
    const char* meaning;
    bool bootstrapOnly = false;  // carried by the bootstrap's tables alone
};
// The meanings a method's ("jackknife", "bootstrap") tables can carry.
std::vector<FlagMeaning> flagMeanings(const std::string& method);

}  // namespace minque
