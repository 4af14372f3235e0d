#include "jackknife_engine/linalg/svd_ginverse.hpp"

#include <cmath>

#include "core/fatal_error.hpp"

namespace minque {

namespace svd_detail {

double hyp(double a, double b) {
    const float p = static_cast<float>(std::fabs(a));
    const float q = static_cast<float>(std::fabs(b));
    if (p > q) {
        const float r = q / p;
        return static_cast<double>(p) * std::sqrt(1.0 + static_cast<double>(r * r));
    }
    if (q == 0.0f) return 0.0;
    const float r = p / q;
    return static_cast<double>(q) * std::sqrt(1.0 + static_cast<double>(r * r));
}

void rotationFromHyp(double f, double h, double r, double* c, double* s) {
    if (r == 0.0) {
        *c = 1.0;
        *s = 0.0;
        return;
    }
    *c = f / r;
    *s = h / r;
}

}  // namespace svd_detail

namespace {

using svd_detail::hyp;

double sign(double a, double b) { return b >= 0.0 ? std::fabs(a) : -std::fabs(a); }

double dbl(float x) { return static_cast<double>(x); }
float flt(double x) { return static_cast<float>(x); }

// Rotates columns p and q of m over rows 1..n: (y, z) -> (y c + z s, z c - y s).
void rotateColumns(const FloatMatrix& m, int n, int p, int q, double c, double s) {
    for (int j = 1; j <= n; ++j) {
        const auto row = m[j];
        const double y = dbl(row[p]);
        const double z = dbl(row[q]);
        row[p] = flt(y * c + z * s);
        row[q] = flt(z * c - y * s);
    }
}

}  // namespace

void svdGinverse(const FloatMatrix& a, const FloatVector& w, const FloatMatrix& v, int n, const FloatVector& e) {
    float anorm = 0.0f;
    auto negligible = [&anorm](double x) { return std::fabs(x) + dbl(anorm) == dbl(anorm); };
    double g = 0.0, scale = 0.0, s = 0.0, f = 0.0, h = 0.0;

    // 1. Householder reduction to upper bidiagonal form.
    for (int i = 1; i <= n; ++i) {
        const int l = i + 1;
        e[i] = flt(scale * g);
        g = s = scale = 0.0;
        for (int k = i; k <= n; ++k) scale += std::fabs(dbl(a[k][i]));
        if (scale != 0.0) {
            for (int k = i; k <= n; ++k) {
                a[k][i] = flt(dbl(a[k][i]) / scale);
                s += dbl(a[k][i] * a[k][i]);
            }
            f = dbl(a[i][i]);
            g = -sign(std::sqrt(s), f);
            h = f * g - s;
            a[i][i] = flt(f - g);
            if (i != n) {
                for (int j = l; j <= n; ++j) {
                    double sum = 0.0;
                    for (int k = i; k <= n; ++k) sum += dbl(a[k][i] * a[k][j]);
                    f = sum / h;
                    for (int k = i; k <= n; ++k) a[k][j] = flt(dbl(a[k][j]) + f * dbl(a[k][i]));
                }
            }
            for (int k = i; k <= n; ++k) a[k][i] = flt(dbl(a[k][i]) * scale);
        }
        w[i] = flt(scale * g);
        g = s = scale = 0.0;
        if (i != n) {
            for (int k = l; k <= n; ++k) scale += std::fabs(dbl(a[i][k]));
            if (scale != 0.0) {
                for (int k = l; k <= n; ++k) {
                    a[i][k] = flt(dbl(a[i][k]) / scale);
                    s += dbl(a[i][k] * a[i][k]);
                }
                f = dbl(a[i][l]);
                g = -sign(std::sqrt(s), f);
                h = f * g - s;
                a[i][l] = flt(f - g);
                for (int k = l; k <= n; ++k) e[k] = flt(dbl(a[i][k]) / h);
                for (int j = l; j <= n; ++j) {
                    double sum = 0.0;
                    for (int k = l; k <= n; ++k) sum += dbl(a[j][k] * a[i][k]);
                    for (int k = l; k <= n; ++k) a[j][k] = flt(dbl(a[j][k]) + sum * dbl(e[k]));
                }
                for (int k = l; k <= n; ++k) a[i][k] = flt(dbl(a[i][k]) * scale);
            }
        }
        const float candidate = flt(std::fabs(dbl(w[i])) + std::fabs(dbl(e[i])));
        anorm = anorm > candidate ? anorm : candidate;
    }

    // 2. Right-hand transformations into v.
    for (int i = n; i >= 1; --i) {
        const int l = i + 1;
        if (i < n) {
            g = dbl(e[l]);
            if (g != 0.0) {
                for (int j = l; j <= n; ++j) v[j][i] = flt(dbl(a[i][j] / a[i][l]) / g);
                for (int j = l; j <= n; ++j) {
                    double sum = 0.0;
                    for (int k = l; k <= n; ++k) sum += dbl(a[i][k] * v[k][j]);
                    for (int k = l; k <= n; ++k) v[k][j] = flt(dbl(v[k][j]) + sum * dbl(v[k][i]));
                }
            }
            for (int j = l; j <= n; ++j) v[i][j] = v[j][i] = 0.0f;
        }
        v[i][i] = 1.0f;
    }

    // 3. Left-hand transformations into a.
    for (int i = n; i >= 1; --i) {
        const int l = i + 1;
        g = dbl(w[i]);
        for (int j = l; j <= n; ++j) a[i][j] = 0.0f;
        if (g != 0.0) {
            g = 1.0 / g;
            for (int j = l; j <= n; ++j) {
                double sum = 0.0;
                for (int k = l; k <= n; ++k) sum += dbl(a[k][i] * a[k][j]);
                f = (sum / dbl(a[i][i])) * g;
                for (int k = i; k <= n; ++k) a[k][j] = flt(dbl(a[k][j]) + f * dbl(a[k][i]));
            }
            for (int j = i; j <= n; ++j) a[j][i] = flt(dbl(a[j][i]) * g);
        } else {
            for (int j = i; j <= n; ++j) a[j][i] = 0.0f;
        }
        a[i][i] = a[i][i] + 1.0f;
    }

    // 4. Diagonalisation of the bidiagonal form.
    for (int k = n; k >= 1; --k) {
        for (int its = 1;; ++its) {
            bool cancel = true;
            int l = k;
            for (; l >= 1; --l) {
                // e[1] is always 0, so the search ends at l = 1 at the latest;
                // stopping there explicitly keeps a non-finite norm from
                // reading w[0].
                if (negligible(dbl(e[l])) || l == 1) {
                    cancel = false;
                    break;
                }
                if (negligible(dbl(w[l - 1]))) break;
            }
            if (cancel) {
                const int nm = l - 1;
                double c = 0.0;
                s = 1.0;
                for (int i = l; i <= k; ++i) {
                    f = s * dbl(e[i]);
                    if (negligible(f)) continue;
                    g = dbl(w[i]);
                    h = hyp(f, g);
                    w[i] = flt(h);
                    if (h == 0.0) {  // see rotationFromHyp: identity rotation
                        c = 1.0;
                        s = 0.0;
                        continue;
                    }
                    h = 1.0 / h;
                    c = g * h;
                    s = -f * h;
                    rotateColumns(a, n, nm, i, c, s);
                }
            }
            double z = dbl(w[k]);
            if (l == k) {
                if (z < 0.0) {
                    w[k] = flt(-z);
                    for (int j = 1; j <= n; ++j) v[j][k] = -v[j][k];
                }
                break;
            }
            if (its == 30) fatalError("No convergence in 30 SVDCMP iterations");
            double x = dbl(w[l]);
            const int nm = k - 1;
            double y = dbl(w[nm]);
            g = dbl(e[nm]);
            h = dbl(e[k]);
            f = ((y - z) * (y + z) + (g - h) * (g + h)) / (2.0 * h * y);
            g = hyp(f, 1.0);
            f = ((x - z) * (x + z) + h * ((y / (f + sign(g, f))) - h)) / x;
            double c = 1.0;
            s = 1.0;
            for (int j = l; j <= nm; ++j) {
                const int i = j + 1;
                g = dbl(e[i]);
                y = dbl(w[i]);
                h = s * g;
                g = c * g;
                z = hyp(f, h);
                e[j] = flt(z);
                svd_detail::rotationFromHyp(f, h, z, &c, &s);
                f = x * c + g * s;
                g = g * c - x * s;
                h = y * s;
                y = y * c;
                rotateColumns(v, n, j, i, c, s);
                z = hyp(f, h);
                w[j] = flt(z);
                if (z != 0.0) {
                    z = 1.0 / z;
                    c = f * z;
                    s = h * z;
                }
                f = c * g + s * y;
                x = c * y - s * g;
                rotateColumns(a, n, j, i, c, s);
            }
            e[l] = 0.0f;
            e[k] = flt(f);
            w[k] = flt(x);
        }
    }

    // 5. Threshold: singular values at or below 1e-6 are dropped.
    for (int i = 1; i <= n; ++i) w[i] = dbl(w[i]) > 1e-6 ? flt(1.0 / dbl(w[i])) : 0.0f;

    // 6. a = V diag(w) V', lower triangle computed, the same float stored twice.
    for (int i = 1; i <= n; ++i) {
        for (int j = 1; j <= i; ++j) {
            double t = 0.0;
            for (int k = 1; k <= n; ++k) t += dbl((v[j][k] * v[i][k]) * w[k]);
            a[i][j] = flt(t);
            a[j][i] = a[i][j];
        }
    }
}

void svdGinverse(AnalysisState& st, const FloatMatrix& v, int n) {
    svdGinverse(st.equationMatrix, st.workVector, v, n, st.longWorkVector);
}

}  // namespace minque
