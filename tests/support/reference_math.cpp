#include "support/reference_math.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

namespace minque::test {

DMatrix gaussJordanInverse(DMatrix a) {
    const std::size_t n = a.size();
    DMatrix inv(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) inv[i][i] = 1.0;
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < n; ++r)
            if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
        if (a[pivot][col] == 0.0) throw std::runtime_error("singular matrix");
        std::swap(a[pivot], a[col]);
        std::swap(inv[pivot], inv[col]);
        const double d = a[col][col];
        for (std::size_t j = 0; j < n; ++j) {
            a[col][j] /= d;
            inv[col][j] /= d;
        }
        for (std::size_t r = 0; r < n; ++r) {
            if (r == col || a[r][col] == 0.0) continue;
            const double factor = a[r][col];
            for (std::size_t j = 0; j < n; ++j) {
                a[r][j] -= factor * a[col][j];
                inv[r][j] -= factor * inv[col][j];
            }
        }
    }
    return inv;
}

DMatrix symmetricPseudoInverse(const DMatrix& input, double tol) {
    const std::size_t n = input.size();
    DMatrix a = input;
    DMatrix v(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) v[i][i] = 1.0;
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) off += a[p][q] * a[p][q];
        if (off < 1e-30) break;
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t q = p + 1; q < n; ++q) {
                if (a[p][q] == 0.0) continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (std::size_t k = 0; k < n; ++k) {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (std::size_t k = 0; k < n; ++k) {
                    const double vkp = v[k][p], vkq = v[k][q];
                    v[k][p] = c * vkp - s * vkq;
                    v[k][q] = s * vkp + c * vkq;
                }
            }
    }
    DMatrix g(n, std::vector<double>(n, 0.0));
    for (std::size_t k = 0; k < n; ++k) {
        if (std::fabs(a[k][k]) <= tol) continue;
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) g[i][j] += v[i][k] * v[j][k] / a[k][k];
    }
    return g;
}

DMatrix multiply(const DMatrix& a, const DMatrix& b) {
    const std::size_t n = a.size(), m = b[0].size(), inner = b.size();
    DMatrix c(n, std::vector<double>(m, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t k = 0; k < inner; ++k)
            for (std::size_t j = 0; j < m; ++j) c[i][j] += a[i][k] * b[k][j];
    return c;
}

}  // namespace minque::test
