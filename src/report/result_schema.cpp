// The columns of the result tables, in the order of their CSV files, and the
// one function that prints a cell. The CSV files, the page's tables and the
// R data frames are all written from these lists: a new column is a line
// here (and a field of ResultRow when it shows a new quantity).
#include <cmath>

#include "minquecov/results.hpp"
#include "report/report_writer.hpp"

namespace minque {

namespace {

using R = ResultRow;

ResultColumn text(const char* name, const char* heading, std::string R::*field) {
    return {name, heading, field, nullptr, nullptr};
}
ResultColumn number(const char* name, const char* heading, double R::*field, const char* format) {
    return {name, heading, nullptr, field, format};
}

// The columns every table ends with: the statistics of the estimate.
std::vector<ResultColumn> withStatistics(std::vector<ResultColumn> columns, const char* estimateName,
                                         const char* estimateFormat) {
    columns.push_back(number(estimateName, estimateName, &R::estimate, estimateFormat));
    columns.push_back(number("se", "S.E.", &R::se, kCovarianceFormat));
    columns.push_back(number("p", "P", &R::p, kPFormat));
    columns.push_back(text("mark", "mark", &R::mark));
    columns.push_back(text("flag", "flag", &R::flag));
    return columns;
}

}  // namespace

const char* resultTableName(ResultTable table) {
    switch (table) {
        case ResultTable::Variances: return "variances";
        case ResultTable::Covariances: return "covariances";
        case ResultTable::Correlations: return "correlations";
        case ResultTable::Heritabilities: return "heritability";
        case ResultTable::Effects: return "effects";
    }
    return "";
}

const std::vector<ResultColumn>& resultColumns(ResultTable table) {
    static const std::vector<ResultColumn> variances = withStatistics(
        {text("trait", "trait", &R::trait1), text("component", "component", &R::component),
         number("weight", "weight", &R::weight, kCovarianceFormat)},
        "estimate", kCovarianceFormat);
    static const std::vector<ResultColumn> covariances = withStatistics(
        {text("trait_1", "trait 1", &R::trait1), text("trait_2", "trait 2", &R::trait2),
         text("component", "component", &R::component), number("weight", "weight", &R::weight, kCovarianceFormat)},
        "estimate", kCovarianceFormat);
    static const std::vector<ResultColumn> correlations = withStatistics(
        {text("trait_1", "trait 1", &R::trait1), text("trait_2", "trait 2", &R::trait2),
         text("component", "component", &R::component)},
        "estimate", kCorrelationFormat);
    static const std::vector<ResultColumn> heritabilities =
        withStatistics({text("trait", "trait", &R::trait1), text("quantity", "quantity", &R::component)}, "estimate",
                       kCorrelationFormat);
    static const std::vector<ResultColumn> effects = withStatistics(
        {text("trait", "trait", &R::trait1), text("term", "term", &R::component), text("level", "level", &R::level)},
        "effect", kCovarianceFormat);
    switch (table) {
        case ResultTable::Variances: return variances;
        case ResultTable::Covariances: return covariances;
        case ResultTable::Correlations: return correlations;
        case ResultTable::Heritabilities: return heritabilities;
        case ResultTable::Effects: break;
    }
    return effects;
}

const std::vector<ResultRow>& resultRows(const ResultTables& tables, ResultTable table) {
    switch (table) {
        case ResultTable::Variances: return tables.variances;
        case ResultTable::Covariances: return tables.covariances;
        case ResultTable::Correlations: return tables.correlations;
        case ResultTable::Heritabilities: return tables.heritabilities;
        case ResultTable::Effects: break;
    }
    return tables.effects;
}

std::string cellText(const ResultRow& row, const ResultColumn& column) {
    if (column.text != nullptr) return row.*column.text;
    const double value = row.*column.number;
    // A row without a weight (a total) leaves its cell blank.
    if (column.number == &R::weight && std::isnan(value)) return "";
    return printedNumber(column.format, value);
}

}  // namespace minque
