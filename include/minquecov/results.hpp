// The results of an analysis as three tables: the variance components of
// every trait, the covariance components of every trait pair and their
// correlations, each row with its estimate, jackknife standard error,
// two-tailed P value, significance mark and flags. The numbers are those the
// reports print, digit for digit (the CSV files hold the same text).
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
//   not_finite             the report prints nan or inf for the estimate, S.E.
//                          or P: the replicates cannot estimate the component
//   out_of_range           a heritability or share outside [0, 1]
//   component_not_positive a predicted effect of a term whose variance
//                          component is at or below zero: predicted as 0
// In the heritabilities, negative marks a ratio one of whose components is
// below zero, and undefined one whose phenotypic variance is at or below
// 1e-10.
#pragma once

#include <limits>
#include <string>
#include <vector>

namespace minque {

// A number of a table: its text as the report prints it ("0.0123457",
// "-nan"), and the value of that text. Empty text and NaN where a table has
// no such number (the weight of a total).
struct PrintedNumber {
    std::string text;
    double value = std::numeric_limits<double>::quiet_NaN();
};

// One row. In the variance table trait2 equals trait1; the weight is that of
// a component covariance (or variance) row and empty elsewhere.
struct ResultRow {
    std::string trait1, trait2;
    std::string component;  // the report's label ("V(A)"), or "G+GE" / "Phenotypic" for the totals
    std::string level;      // the predicted effects: the level ("P3", "P1 x P3", "Env2: P3"); else empty
    PrintedNumber weight, estimate, se, p;
    std::string mark;       // NS, S+, S* or S**
    std::string flag;       // the flags above, joined with ';'; empty when none
};

struct ResultTables {
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

}  // namespace minque
