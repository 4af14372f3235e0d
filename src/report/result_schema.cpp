// The columns of the result tables, in the order of their CSV files, and the
// one function that prints a cell. The CSV files, the page's tables and the
// R data frames are all written from these lists: a new column is a line
// here (and a field of ResultRow when it shows a new quantity).
#include <cmath>

#include "minquecov/results.hpp"
#include "report/printed_numbers.hpp"

namespace minque {

namespace {

using R = ResultRow;

ResultColumn text(const char* name, const char* heading, std::string R::*field) {
    return {name, heading, field, nullptr, nullptr};
}
ResultColumn number(const char* name, const char* heading, double R::*field, const char* format) {
    return {name, heading, nullptr, field, format};
}

// The columns every table ends with: the statistics of the estimate, with
// the interval where the method gives one.
std::vector<ResultColumn> withStatistics(std::vector<ResultColumn> columns, const char* estimateName,
                                         const char* estimateFormat, bool intervals = false, bool draws = false) {
    columns.push_back(number(estimateName, estimateName, &R::estimate, estimateFormat));
    columns.push_back(number("se", "S.E.", &R::se, kCovarianceFormat));
    if (intervals) {
        columns.push_back(number("ci_low", "95% low", &R::ciLow, estimateFormat));
        columns.push_back(number("ci_high", "95% high", &R::ciHigh, estimateFormat));
    }
    if (intervals && draws) columns.push_back(number("undefined_draws", "undefined draws", &R::undefinedDraws, "%.0f"));
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

const std::vector<ResultColumn>& resultColumns(ResultTable table, const std::string& method) {
    // The tables of each method, in the order of ResultTable.
    struct Schema {
        std::vector<ResultColumn> tables[5];
        explicit Schema(bool intervals) {
            tables[0] = withStatistics({text("trait", "trait", &R::trait1), text("component", "component", &R::component),
                                        number("weight", "weight", &R::weight, kCovarianceFormat)},
                                       "estimate", kCovarianceFormat, intervals);
            tables[1] = withStatistics(
                {text("trait_1", "trait 1", &R::trait1), text("trait_2", "trait 2", &R::trait2),
                 text("component", "component", &R::component), number("weight", "weight", &R::weight, kCovarianceFormat)},
                "estimate", kCovarianceFormat, intervals);
            tables[2] = withStatistics({text("trait_1", "trait 1", &R::trait1), text("trait_2", "trait 2", &R::trait2),
                                        text("component", "component", &R::component)},
                                       "estimate", kCorrelationFormat, intervals, true);
            tables[3] = withStatistics({text("trait", "trait", &R::trait1), text("quantity", "quantity", &R::component)},
                                       "estimate", kCorrelationFormat, intervals);
            std::vector<ResultColumn> effects = {text("trait", "trait", &R::trait1), text("term", "term", &R::component),
                                                 text("level", "level", &R::level)};
            if (intervals) effects.push_back(number("records", "records", &R::records, "%.0f"));
            tables[4] = withStatistics(effects, "effect", kCovarianceFormat, intervals);
            if (intervals)
                for (auto at = tables[4].begin(); at != tables[4].end(); ++at)
                    if (at->number == &R::p) {
                        tables[4].insert(at, number("reliability", "reliability", &R::reliability, "%.4f"));
                        break;
                    }
        }
    };
    static const Schema jackknife(false), bootstrap(true);
    return (method == "bootstrap" ? bootstrap : jackknife).tables[static_cast<int>(table)];
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
    // A row without a weight (a total), an interval or a count leaves its
    // cell blank.
    if (column.number != &R::estimate && column.number != &R::se && column.number != &R::p && std::isnan(value))
        return "";
    // An estimate, S.E. or P the data do not define, or the method could not
    // give: NA, as R writes a missing number (never a 0 that reads as one).
    if (std::isnan(value)) return "NA";
    return printedNumber(column.format, value);
}

}  // namespace minque
