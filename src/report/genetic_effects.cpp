#include "report/genetic_effects.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "report/printed_numbers.hpp"
#include "report/result_tables.hpp"
#include "resampling/student_t.hpp"

namespace minque {

std::vector<ResultRow> effectRowsFromPredictionErrors(const std::vector<EffectTerm>& terms, const PredictedEffects& p,
                                                      const std::vector<std::string>& traits) {
    const std::size_t q = static_cast<std::size_t>(p.columns);
    std::vector<ResultRow> rows;
    for (int i = 0; i < p.traits; ++i) {
        if (!p.predicted[static_cast<std::size_t>(i)]) continue;
        for (std::size_t u = 0; u < terms.size(); ++u) {
            const EffectTerm& term = terms[u];
            const bool positive = p.termPositive[static_cast<std::size_t>(i) * terms.size() + u] != 0;
            for (int j = term.first; j <= term.last; ++j) {
                const std::size_t at = static_cast<std::size_t>(i) * q + static_cast<std::size_t>(j);
                ResultRow row;
                row.trait1 = row.trait2 = traits[static_cast<std::size_t>(i)];
                row.component = term.name;
                row.level = term.levelNames[static_cast<std::size_t>(j - term.first)];
                row.estimate = positive ? p.values[at] : 0.0;
                row.se = positive ? std::sqrt(p.predictionErrorVariances[at]) : 0.0;
                row.p = row.se > 0.0 ? std::erfc(std::fabs(row.estimate) / row.se / std::sqrt(2.0)) : 1.0;
                if (row.se > 0.0) {
                    row.ciLow = row.estimate - 1.959963984540054 * row.se;
                    row.ciHigh = row.estimate + 1.959963984540054 * row.se;
                }
                const std::string mark = significanceMark(row.p);  // " NS\n"
                row.mark = mark.substr(1, mark.size() - 2);
                if (!p.records.empty()) row.records = p.records[static_cast<std::size_t>(j)];
                if (positive && !p.termVariance.empty()) {
                    const double prior = p.termVariance[static_cast<std::size_t>(i) * terms.size() + u] * p.relationshipDiagonal[static_cast<std::size_t>(j)];
                    row.reliability = prior > 0.0 ? 1.0 - p.predictionErrorVariances[at] / prior : std::nan("");
                }
                if (!positive) addFlag(row.flag, "component_not_positive");
                if (!p.records.empty() && p.records[static_cast<std::size_t>(j)] == 0) addFlag(row.flag, "no_records");
                addFiniteAndFloorFlags(row);
                rows.push_back(row);
            }
        }
    }
    return rows;
}

}  // namespace minque
