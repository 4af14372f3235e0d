#include "jackknife_engine/resampling/jackknife.hpp"

#include <cmath>

#include "resampling/student_t.hpp"

namespace minque {

RowStatistics rowStatistics(double S, double Q, double e, double eRef, RescaleRule rule, bool zeroVariance, int J,
                            int d) {
    const double m = S / J;
    double var = (Q - m * S) / static_cast<double>(static_cast<long long>(J) * d);  // J d as an integer product
    if (zeroVariance) var = 0.0;
    const double ratio = std::fabs(eRef / m);
    if (rule == RescaleRule::AtMostOne && ratio > 1.0)
        var = (var / ratio) / ratio;
    else
        var = (ratio * var) * ratio;
    if (var < 0.0) var = 0.0;
    // fabs: a standard error is printed without sign, also when a degenerate
    // row (every pseudo-value 0) leaves it undefined.
    const double se = std::fabs(std::sqrt(var));
    double p = 1.0;
    if (se > 0.0) {
        const double t = std::fabs(e / se);
        if (t != 0.0) p = studentTwoTailP(d, static_cast<double>(d) / (t * t + static_cast<double>(d)));
    }
    return {se, 0.5 * p};
}

}  // namespace minque
