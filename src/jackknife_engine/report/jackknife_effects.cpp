#include "jackknife_engine/report/jackknife_effects.hpp"

#include "jackknife_engine/resampling/jackknife.hpp"
#include "report/printed_numbers.hpp"
#include "report/result_tables.hpp"

namespace minque {

std::vector<ResultRow> effectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& p,
                                  const PredictedEffects& reported, const std::vector<std::string>& traits) {
    const int J = p.replicates, t = p.traits;
    const std::size_t q = static_cast<std::size_t>(p.columns);
    auto value = [&](int rep, int trait, int column) {
        return p.values[(static_cast<std::size_t>(rep) * static_cast<std::size_t>(t) + static_cast<std::size_t>(trait)) * q +
                        static_cast<std::size_t>(column)];
    };
    std::vector<ResultRow> rows;
    for (int i = 0; i < t; ++i) {
        if (!reported.predicted[static_cast<std::size_t>(i)]) continue;
        for (std::size_t u = 0; u < terms.size(); ++u) {
            const EffectTerm& term = terms[u];
            const bool positive = reported.termPositive[static_cast<std::size_t>(i) * terms.size() + u] != 0;
            for (int j = term.first; j <= term.last; ++j) {
                ResultRow row;
                row.trait1 = row.trait2 = traits[static_cast<std::size_t>(i)];
                row.component = term.name;
                row.level = term.levelNames[static_cast<std::size_t>(j - term.first)];
                double e = 0.0;
                RowStatistics s{0.0, 0.5};
                if (positive) {
                    e = reported.values[static_cast<std::size_t>(i) * q + static_cast<std::size_t>(j)];
                    PseudoValueSums sums;
                    for (int rep = 1; rep <= J; ++rep) sums.add(pseudoValue(J, value(0, i, j), value(rep, i, j)));
                    s = rowStatistics(sums, e, e, RescaleRule::Always, false, J);
                }
                row.estimate = e;
                row.se = s.se;
                row.p = printedP(s.halfP);
                row.mark = markOf(s.halfP);
                if (!positive) addFlag(row.flag, "component_not_positive");
                addFiniteAndFloorFlags(row);
                rows.push_back(row);
            }
        }
    }
    return rows;
}

}  // namespace minque
