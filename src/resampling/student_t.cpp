#include "resampling/student_t.hpp"

#include <cmath>

namespace minque {

double studentTwoTailP(int n, double x) {
    const double s = std::sqrt(1.0 - x);
    const double c = std::sqrt(x);
    const int a = 2 * (n / 2) + 2 - n;  // 2 for even n, 1 for odd n
    double p, d;
    if (a == 2) {
        p = 1.0 - s;
        d = (s * x) * 0.5;
    } else {
        p = 1.0 - std::atan(s / c) * 0.6366197724;
        d = (s * 0.3183098862) * c;
    }
    for (int i = a; i < n; i += 2) {
        const double di = static_cast<double>(i);
        p = p - (d * 2.0) / di;
        d = ((d * x) * (di + 1.0)) / di;
    }
    return p;
}

const char* significanceMark(double p) {
    if (p > 0.1) return " NS\n";
    if (p > 0.05) return " S+\n";
    if (p > 0.01) return " S*\n";
    return " S**\n";
}

}  // namespace minque
