#include "jackknife_engine/report/heritability.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "core/fatal_error.hpp"
#include "jackknife_engine/report/report_writer.hpp"
#include "jackknife_engine/resampling/jackknife.hpp"
#include "report/result_tables.hpp"

namespace minque {

namespace {

// sum_k w_k v_k over k = 1..K in increasing order.
double weighted(const std::vector<double>& w, const std::vector<double>& v) {
    double sum = 0.0;
    for (std::size_t k = 1; k < w.size(); ++k) sum += w[k] * v[k];
    return sum;
}

}  // namespace

std::vector<ResultRow> heritabilityRows(const HeritabilityModel& model, const std::vector<float>& records,
                                        const std::vector<std::string>& traits, int K, int J) {
    const std::size_t t = traits.size();
    const std::size_t R = static_cast<std::size_t>(K) + 1;
    if (J < 2 || records.size() != (static_cast<std::size_t>(J) + 1) * t * R || model.phenotypic.size() != R)
        stopRun("internal error: variance records of %zu floats for %zu traits, %d replicates and %d components",
                records.size(), t, J, K);
    std::vector<ResultRow> rows;
    std::vector<double> whole(R), pseudo(R);
    for (std::size_t i = 0; i < t; ++i) {
        auto component = [&](int rep, std::size_t k) {
            return static_cast<double>(records[(static_cast<std::size_t>(rep) * t + i) * R + k]);
        };
        for (std::size_t k = 1; k < R; ++k) whole[k] = component(0, k);
        const double phenotypic = weighted(model.phenotypic, whole);
        const bool undefined = phenotypic <= 1e-10;
        for (const RatioDefinition& ratio : model.ratios) {
            const double e = undefined ? 0.0 : weighted(ratio.numerator, whole) / phenotypic;
            PseudoValueSums sums;
            for (int rep = 1; rep <= J; ++rep) {
                for (std::size_t k = 1; k < R; ++k) pseudo[k] = pseudoValue(J, whole[k], component(rep, k));
                const double p = weighted(model.phenotypic, pseudo);
                sums.add(p > 1e-8 ? weighted(ratio.numerator, pseudo) / p : 0.0);
            }
            const RowStatistics s = rowStatistics(sums, e, e, RescaleRule::AtMostOne, undefined, J);
            ResultRow row;
            row.trait1 = row.trait2 = traits[i];
            row.component = ratio.quantity;
            row.estimate = e;
            row.se = s.se;
            row.p = printedP(s.halfP);
            row.mark = markOf(s.halfP);
            bool negative = false;
            for (std::size_t k = 1; k < R; ++k)
                negative = negative || ((ratio.numerator[k] != 0.0 || model.phenotypic[k] != 0.0) && whole[k] < 0.0);
            const bool finite = std::isfinite(row.estimate) && std::isfinite(row.se) && std::isfinite(row.p);
            if (negative) addFlag(row.flag, "negative");
            if (undefined) addFlag(row.flag, "undefined");
            if (!finite) {
                addFlag(row.flag, "not_finite");
            } else {
                if (row.estimate < 0.0 || row.estimate > 1.0) addFlag(row.flag, "out_of_range");
                if (row.p < 1e-10) addFlag(row.flag, "p_floor");
            }
            rows.push_back(row);
        }
    }
    return rows;
}

}  // namespace minque
