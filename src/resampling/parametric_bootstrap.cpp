#include "resampling/parametric_bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/fatal_error.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

void symmetricEigen(std::vector<double>& a, std::vector<double>& v, int n) {
    v.assign(static_cast<std::size_t>(n) * n, 0.0);
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i) * n + i] = 1.0;
    auto at = [n](std::vector<double>& m, int i, int j) -> double& { return m[static_cast<std::size_t>(i) * n + j]; };
    for (int sweep = 0; sweep < 100; ++sweep) {
        double off = 0.0, diag = 0.0;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j) (i == j ? diag : off) += at(a, i, j) * at(a, i, j);
        if (off <= 1e-30 * diag || off == 0.0) return;
        for (int p = 0; p < n; ++p)
            for (int q = p + 1; q < n; ++q) {
                const double apq = at(a, p, q);
                if (apq == 0.0) continue;
                const double theta = (at(a, q, q) - at(a, p, p)) / (2.0 * apq);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < n; ++k) {  // columns p and q
                    const double akp = at(a, k, p), akq = at(a, k, q);
                    at(a, k, p) = c * akp - s * akq;
                    at(a, k, q) = s * akp + c * akq;
                }
                for (int k = 0; k < n; ++k) {  // rows p and q
                    const double apk = at(a, p, k), aqk = at(a, q, k);
                    at(a, p, k) = c * apk - s * aqk;
                    at(a, q, k) = s * apk + c * aqk;
                }
                for (int k = 0; k < n; ++k) {
                    const double vkp = at(v, k, p), vkq = at(v, k, q);
                    at(v, k, p) = c * vkp - s * vkq;
                    at(v, k, q) = s * vkp + c * vkq;
                }
            }
    }
}

namespace {

// The pseudo-inverse of a symmetric matrix (n x n, row-major): eigenvalues at
// or below 1e-10 of the largest in size are taken as 0.
std::vector<double> pseudoInverse(std::vector<double> a, int n) {
    std::vector<double> v;
    symmetricEigen(a, v, n);
    double largest = 0.0;
    for (int k = 0; k < n; ++k) largest = std::max(largest, std::fabs(a[static_cast<std::size_t>(k) * n + k]));
    std::vector<double> out(static_cast<std::size_t>(n) * n, 0.0);
    for (int k = 0; k < n; ++k) {
        const double lambda = a[static_cast<std::size_t>(k) * n + k];
        if (std::fabs(lambda) <= 1e-10 * largest || lambda == 0.0) continue;
        for (int i = 0; i < n; ++i)
            for (int j = 0; j < n; ++j)
                out[static_cast<std::size_t>(i) * n + j] +=
                    v[static_cast<std::size_t>(i) * n + k] * v[static_cast<std::size_t>(j) * n + k] / lambda;
    }
    return out;
}

// Solves L L' x = b in place (L lower, m x m, row-major).
void choleskySolve(const std::vector<double>& L, int m, double* x) {
    for (int i = 0; i < m; ++i) {
        const double* Li = L.data() + static_cast<std::size_t>(i) * m;
        double s = x[i];
        for (int k = 0; k < i; ++k) s -= Li[k] * x[k];
        x[i] = s / Li[i];
    }
    for (int i = m - 1; i >= 0; --i) {
        double s = x[i];
        for (int k = i + 1; k < m; ++k) s -= L[static_cast<std::size_t>(k) * m + i] * x[k];
        x[i] = s / L[static_cast<std::size_t>(i) * m + i];
    }
}

// SplitMix64: a stated 64-bit generator.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1): the top 53 bits, centred in their interval.
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }
};

// Standard normal deviates by Box-Muller, in pairs.
struct NormalDeviates {
    SplitMix64 bits;
    bool spare = false;
    double kept = 0.0;
    double next() {
        if (spare) {
            spare = false;
            return kept;
        }
        const double r = std::sqrt(-2.0 * std::log(bits.uniform()));
        const double angle = 6.283185307179586 * bits.uniform();
        kept = r * std::sin(angle);
        spare = true;
        return r * std::cos(angle);
    }
};

}  // namespace

MinqueProjection::MinqueProjection(const MinqueDesign& design) : design_(design) {
    n_ = design.observations;
    p_ = static_cast<int>(design.fixedColumns.size());
    const int r = static_cast<int>(design.factors.size());
    const int C = static_cast<int>(design.covariancePairs.size());
    components_ = r + C + 1;
    rowsOfObservation_.assign(static_cast<std::size_t>(n_), {});
    for (int u = 0; u < r; ++u) {
        firstColumn_.push_back(m_);
        for (const auto& level : design.factors[static_cast<std::size_t>(u)]) {
            for (const auto& [obs, coefficient] : level) {
                if (obs < 0 || obs >= n_) throw std::out_of_range("observation outside the design");
                rowsOfObservation_[static_cast<std::size_t>(obs)].emplace_back(m_, coefficient);
            }
            factorOfColumn_.push_back(u);
            ++m_;
        }
    }
    for (const auto& [a, b] : design.covariancePairs)
        if (a < 0 || b < 0 || a >= r || b >= r || a == b || levels(a) != levels(b))
            stopRun("internal error: a covariance component joins factors %d and %d of different levels", a + 1, b + 1);
    const std::size_t m = static_cast<std::size_t>(m_);
    // I + U'U, accumulated observation by observation, then its Cholesky
    // factor in the same storage: the one m x m matrix the bootstrap holds.
    cholesky_.assign(m * m, 0.0);
    std::vector<double>& L = cholesky_;
    for (std::size_t c = 0; c < m; ++c) L[c * m + c] = 1.0;
    for (const auto& entries : rowsOfObservation_)
        for (const auto& [a, ca] : entries)
            for (const auto& [b, cb] : entries)
                if (b <= a) L[static_cast<std::size_t>(a) * m + static_cast<std::size_t>(b)] += ca * cb;
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double s = L[i * m + j];
            for (std::size_t k = 0; k < j; ++k) s -= L[i * m + k] * L[j * m + k];
            L[i * m + j] = i == j ? std::sqrt(s) : s / L[j * m + j];
        }
    // W = V^-1 X, X'V^-1 X and its pseudo-inverse, U'W.
    std::vector<double> y(static_cast<std::size_t>(n_)), s(m);
    auto vInverse = [&](std::vector<double>& v) {
        std::fill(s.begin(), s.end(), 0.0);
        for (int obs = 0; obs < n_; ++obs)
            for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
                s[static_cast<std::size_t>(c)] += coefficient * v[static_cast<std::size_t>(obs)];
        choleskySolve(cholesky_, m_, s.data());
        for (int obs = 0; obs < n_; ++obs)
            for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
                v[static_cast<std::size_t>(obs)] -= coefficient * s[static_cast<std::size_t>(c)];
    };
    const std::size_t P = static_cast<std::size_t>(p_);
    W_.assign(static_cast<std::size_t>(n_) * P, 0.0);
    std::vector<double> F(P * P, 0.0);
    for (int f = 0; f < p_; ++f) {
        std::fill(y.begin(), y.end(), 0.0);
        for (int obs : design.fixedColumns[static_cast<std::size_t>(f)]) y[static_cast<std::size_t>(obs)] += 1.0;
        vInverse(y);
        std::copy(y.begin(), y.end(), W_.begin() + static_cast<std::ptrdiff_t>(f) * n_);
        for (int g = 0; g < p_; ++g)
            for (int obs : design.fixedColumns[static_cast<std::size_t>(g)])
                F[static_cast<std::size_t>(g) * P + static_cast<std::size_t>(f)] += y[static_cast<std::size_t>(obs)];
    }
    fixedInverse_ = pseudoInverse(F, p_);
    UW_.assign(m * P, 0.0);
    for (int f = 0; f < p_; ++f)
        for (int obs = 0; obs < n_; ++obs)
            for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
                UW_[static_cast<std::size_t>(c) * P + static_cast<std::size_t>(f)] +=
                    coefficient * W_[static_cast<std::size_t>(f) * static_cast<std::size_t>(n_) + static_cast<std::size_t>(obs)];
    buildMinqueMatrix();
}

// The MINQUE matrix S_uv = tr(Q V_u Q V_v) from the columns of M = U'QU and
// of QU, one column (or one paired level) at a time, so that nothing of
// order m^2 or n^2 is held beyond the Cholesky factor. Each column's share is
// kept apart and the shares are added in column order: the same S on any
// thread count.
//   factor u, factor v:     sum over l in u, l' in v of M[l, l']^2
//   factor u, residual:     sum over l in u of ||Q U_l||^2
//   factor u, C(a, b):      2 sum over l in u, h of M[l, a_h] M[l, b_h]
//   C(a, b), residual:      2 sum over h of (Q U_a_h)'(Q U_b_h)
//   C(a, b), C(a2, b2):     2 sum over h, h' of (M[a2_h, a_h'] M[b2_h, b_h'] + M[a2_h, b_h'] M[b2_h, a_h'])
//   residual, residual:     tr(QQ) = tr(Q) - sum over factors of tr(Q V_u Q), as QVQ = Q;
//                           tr(Q) = n - m + tr((I + U'U)^-1) - tr((X'V^-1 X)^- W'W).
void MinqueProjection::buildMinqueMatrix() {
    const int r = static_cast<int>(design_.factors.size());
    const int C = static_cast<int>(design_.covariancePairs.size());
    const int K = components_;
    const std::size_t m = static_cast<std::size_t>(m_), n = static_cast<std::size_t>(n_);
    // Column c's share: K numbers (its factor's row of S); a paired level's: K numbers (its C's row).
    const std::size_t pairedLevels = [&] {
        std::size_t count = 0;
        for (const auto& pair : design_.covariancePairs) count += static_cast<std::size_t>(levels(pair.first));
        return count;
    }();
    std::vector<double> shares((m + pairedLevels) * static_cast<std::size_t>(K), 0.0), inverseSquares(m, 0.0);
    auto unitColumn = [&](int c, std::vector<double>& y) {
        std::fill(y.begin(), y.end(), 0.0);
        for (const auto& [obs, coefficient] :
             design_.factors[static_cast<std::size_t>(factorOfColumn_[static_cast<std::size_t>(c)])]
                            [static_cast<std::size_t>(c - firstColumn_[static_cast<std::size_t>(factorOfColumn_[static_cast<std::size_t>(c)])])])
            y[static_cast<std::size_t>(obs)] += coefficient;
    };
    // sum over h of x[a_h] z[b_h] for the pair (a, b).
    auto pairedSum = [&](const std::vector<double>& x, const std::vector<double>& z, int a, int b) {
        double sum = 0.0;
        const std::size_t fa = static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(a)]);
        const std::size_t fb = static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(b)]);
        for (int h = 0; h < levels(a); ++h) sum += x[fa + static_cast<std::size_t>(h)] * z[fb + static_cast<std::size_t>(h)];
        return sum;
    };
    const int tasks = static_cast<int>(m + pairedLevels);
    runOnWorkers([&](int worker) {
        int first = 0, last = 0;
        splitRange(tasks, worker, workerThreads(), &first, &last);
        std::vector<double> y(n), qa(n), qb(n), ma(m), mb(m), x(m);
        for (int task = first; task < last; ++task) {
            double* share = shares.data() + static_cast<std::size_t>(task) * static_cast<std::size_t>(K);
            if (task < m_) {
                const int c = task;
                unitColumn(c, y);
                project(y.data(), qa.data(), ma.data());
                for (std::size_t a = 0; a < m; ++a) share[factorOfColumn_[a]] += ma[a] * ma[a];
                double ss = 0.0;
                for (double v : qa) ss += v * v;
                share[K - 1] = ss;
                for (int d = 0; d < C; ++d) {
                    const auto& [a2, b2] = design_.covariancePairs[static_cast<std::size_t>(d)];
                    share[r + d] = 2.0 * pairedSum(ma, ma, a2, b2);
                }
                // Column c of L^-1, for tr((I + U'U)^-1) = ||L^-1||^2.
                std::fill(x.begin(), x.end(), 0.0);
                double squares = 0.0;
                for (std::size_t i = static_cast<std::size_t>(c); i < m; ++i) {
                    double v = i == static_cast<std::size_t>(c) ? 1.0 : 0.0;
                    for (std::size_t k = static_cast<std::size_t>(c); k < i; ++k) v -= cholesky_[i * m + k] * x[k];
                    x[i] = v / cholesky_[i * m + i];
                    squares += x[i] * x[i];
                }
                inverseSquares[static_cast<std::size_t>(c)] = squares;
                continue;
            }
            // Level h of the pair (a, b) of covariance component cc.
            int rest = task - m_, cc = 0;
            while (rest >= levels(design_.covariancePairs[static_cast<std::size_t>(cc)].first))
                rest -= levels(design_.covariancePairs[static_cast<std::size_t>(cc++)].first);
            const auto& [a, b] = design_.covariancePairs[static_cast<std::size_t>(cc)];
            unitColumn(firstColumn_[static_cast<std::size_t>(a)] + rest, y);
            project(y.data(), qa.data(), ma.data());
            unitColumn(firstColumn_[static_cast<std::size_t>(b)] + rest, y);
            project(y.data(), qb.data(), mb.data());
            double cross = 0.0;
            for (std::size_t obs = 0; obs < n; ++obs) cross += qa[obs] * qb[obs];
            share[K - 1] = 2.0 * cross;
            for (int d = 0; d < C; ++d) {
                const auto& [a2, b2] = design_.covariancePairs[static_cast<std::size_t>(d)];
                share[r + d] = 2.0 * (pairedSum(ma, mb, a2, b2) + pairedSum(mb, ma, a2, b2));
            }
            (void)b;
        }
    });
    std::vector<double> S(static_cast<std::size_t>(K) * static_cast<std::size_t>(K), 0.0);
    auto at = [&](int u, int v) -> double& { return S[static_cast<std::size_t>(u) * static_cast<std::size_t>(K) + static_cast<std::size_t>(v)]; };
    double inverseTrace = 0.0;
    for (std::size_t c = 0; c < m; ++c) {
        const double* share = shares.data() + c * static_cast<std::size_t>(K);
        const int u = factorOfColumn_[c];
        for (int v = 0; v < r; ++v) at(u, v) += share[v];
        for (int d = 0; d < C; ++d) at(u, r + d) += share[r + d];
        at(u, K - 1) += share[K - 1];
        inverseTrace += inverseSquares[c];
    }
    for (std::size_t task = m, cc = 0, h = 0; task < m + pairedLevels; ++task) {
        const double* share = shares.data() + task * static_cast<std::size_t>(K);
        for (int d = 0; d < C; ++d) at(r + static_cast<int>(cc), r + d) += share[r + d];
        at(r + static_cast<int>(cc), K - 1) += share[K - 1];
        if (++h == static_cast<std::size_t>(levels(design_.covariancePairs[cc].first))) {
            h = 0;
            ++cc;
        }
    }
    // The lower triangle of the factor rows and the residual's row by symmetry.
    for (int u = 0; u < r; ++u)
        for (int d = 0; d < C; ++d) at(r + d, u) = at(u, r + d);
    double factorTraces = 0.0;
    for (int u = 0; u < K - 1; ++u) {
        at(K - 1, u) = at(u, K - 1);
        if (u < r) factorTraces += at(u, K - 1);
    }
    // tr((X'V^-1 X)^- W'W).
    const std::size_t P = static_cast<std::size_t>(p_);
    double fixedTrace = 0.0;
    for (std::size_t f = 0; f < P; ++f)
        for (std::size_t g = 0; g < P; ++g) {
            double ww = 0.0;
            for (std::size_t obs = 0; obs < n; ++obs) ww += W_[g * n + obs] * W_[f * n + obs];
            fixedTrace += fixedInverse_[f * P + g] * ww;
        }
    const double traceQ = static_cast<double>(n_) - static_cast<double>(m_) + inverseTrace - fixedTrace;
    at(K - 1, K - 1) = traceQ - factorTraces;
    sInverse_ = pseudoInverse(S, K);
    S_ = std::move(S);
}

std::vector<std::vector<int>> MinqueProjection::confoundedComponents() const {
    const int K = components_;
    std::vector<double> a = S_, vectors;
    symmetricEigen(a, vectors, K);
    double largest = 0.0;
    for (int k = 0; k < K; ++k) largest = std::max(largest, std::fabs(a[static_cast<std::size_t>(k) * K + k]));
    // Components joined by a null vector, merged into sets.
    std::vector<int> setOf(static_cast<std::size_t>(K), -1);
    std::vector<std::vector<int>> sets;
    for (int e = 0; e < K; ++e) {
        if (std::fabs(a[static_cast<std::size_t>(e) * K + e]) > 1e-9 * largest) continue;
        double size = 0.0;
        for (int k = 0; k < K; ++k) size = std::max(size, std::fabs(vectors[static_cast<std::size_t>(k) * K + e]));
        std::vector<int> joined;
        for (int k = 0; k < K; ++k)
            if (std::fabs(vectors[static_cast<std::size_t>(k) * K + e]) >= 0.1 * size) joined.push_back(k);
        int into = -1;
        for (int k : joined)
            if (setOf[static_cast<std::size_t>(k)] >= 0) into = setOf[static_cast<std::size_t>(k)];
        if (into < 0) {
            into = static_cast<int>(sets.size());
            sets.emplace_back();
        }
        for (int k : joined) {
            const int was = setOf[static_cast<std::size_t>(k)];
            if (was == into) continue;
            if (was >= 0) {
                // A set met again through another component: merge it in.
                for (int moved : sets[static_cast<std::size_t>(was)]) {
                    setOf[static_cast<std::size_t>(moved)] = into;
                    sets[static_cast<std::size_t>(into)].push_back(moved);
                }
                sets[static_cast<std::size_t>(was)].clear();
                continue;
            }
            setOf[static_cast<std::size_t>(k)] = into;
            sets[static_cast<std::size_t>(into)].push_back(k);
        }
    }
    std::vector<std::vector<int>> confounded;
    for (auto& set : sets)
        if (!set.empty()) {
            std::sort(set.begin(), set.end());
            confounded.push_back(set);
        }
    return confounded;
}

void MinqueProjection::project(const double* y, double* qy, double* uqy) const {
    const std::size_t m = static_cast<std::size_t>(m_);
    std::vector<double> s(m, 0.0), g(static_cast<std::size_t>(p_), 0.0), xv(static_cast<std::size_t>(p_), 0.0);
    for (int obs = 0; obs < n_; ++obs)
        for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
            s[static_cast<std::size_t>(c)] += coefficient * y[obs];
    choleskySolve(cholesky_, m_, s.data());  // s = (I + U'U)^-1 U'y = U'V^-1 y
    for (int obs = 0; obs < n_; ++obs) {
        double v = y[obs];
        for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
            v -= coefficient * s[static_cast<std::size_t>(c)];
        qy[obs] = v;  // V^-1 y, for now
    }
    for (int f = 0; f < p_; ++f)
        for (int obs : design_.fixedColumns[static_cast<std::size_t>(f)]) xv[static_cast<std::size_t>(f)] += qy[obs];
    for (int f = 0; f < p_; ++f)
        for (int h = 0; h < p_; ++h)
            g[static_cast<std::size_t>(f)] += fixedInverse_[static_cast<std::size_t>(f) * static_cast<std::size_t>(p_) + static_cast<std::size_t>(h)] *
                                              xv[static_cast<std::size_t>(h)];
    for (int f = 0; f < p_; ++f)
        for (int obs = 0; obs < n_; ++obs)
            qy[obs] -= W_[static_cast<std::size_t>(f) * static_cast<std::size_t>(n_) + static_cast<std::size_t>(obs)] * g[static_cast<std::size_t>(f)];
    for (std::size_t c = 0; c < m; ++c) {
        double a = s[c];
        for (int f = 0; f < p_; ++f) a -= UW_[c * static_cast<std::size_t>(p_) + static_cast<std::size_t>(f)] * g[static_cast<std::size_t>(f)];
        uqy[c] = a;
    }
}

std::vector<double> MinqueProjection::estimate(const std::vector<double>& Y, int t) const {
    const std::size_t n = static_cast<std::size_t>(n_), m = static_cast<std::size_t>(m_), T = static_cast<std::size_t>(t);
    const int K = components_;
    const std::size_t pairs = T * (T + 1) / 2;
    std::vector<double> qy(n * T), uqy(m * T), y(n);
    for (std::size_t i = 0; i < T; ++i) {
        for (std::size_t obs = 0; obs < n; ++obs) y[obs] = Y[obs * T + i];
        project(y.data(), qy.data() + i * n, uqy.data() + i * m);
    }
    std::vector<double> q(static_cast<std::size_t>(K)), theta(static_cast<std::size_t>(K) * pairs, 0.0);
    const int r = static_cast<int>(design_.factors.size());
    for (int i = 0; i < t; ++i)
        for (int j = i; j < t; ++j) {
            std::fill(q.begin(), q.end(), 0.0);
            const double* ai = uqy.data() + static_cast<std::size_t>(i) * m;
            const double* aj = uqy.data() + static_cast<std::size_t>(j) * m;
            for (std::size_t c = 0; c < m; ++c) q[static_cast<std::size_t>(factorOfColumn_[c])] += ai[c] * aj[c];
            for (std::size_t d = 0; d < design_.covariancePairs.size(); ++d) {
                const auto& [a, b] = design_.covariancePairs[d];
                const std::size_t fa = static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(a)]);
                const std::size_t fb = static_cast<std::size_t>(firstColumn_[static_cast<std::size_t>(b)]);
                double form = 0.0;
                for (std::size_t h = 0; h < static_cast<std::size_t>(levels(a)); ++h)
                    form += ai[fa + h] * aj[fb + h] + ai[fb + h] * aj[fa + h];
                q[static_cast<std::size_t>(r) + d] = form;
            }
            const double* qi = qy.data() + static_cast<std::size_t>(i) * n;
            const double* qj = qy.data() + static_cast<std::size_t>(j) * n;
            double residual = 0.0;
            for (std::size_t obs = 0; obs < n; ++obs) residual += qi[obs] * qj[obs];
            q[static_cast<std::size_t>(K - 1)] = residual;
            const std::size_t pair = static_cast<std::size_t>(pairIndex(i, j, t));
            for (int k = 0; k < K; ++k) {
                double sum = 0.0;
                for (int v = 0; v < K; ++v) sum += sInverse_[static_cast<std::size_t>(k) * K + static_cast<std::size_t>(v)] * q[static_cast<std::size_t>(v)];
                theta[static_cast<std::size_t>(k) * pairs + pair] = sum;
            }
        }
    return theta;
}

BootstrapDraws parametricBootstrap(const MinqueProjection& projection, const std::vector<double>& whole, int t,
                                   int samples, std::uint64_t seed, const std::function<void(int done)>& blockDone) {
    const int K = projection.components();
    const std::size_t T = static_cast<std::size_t>(t), pairs = T * (T + 1) / 2;
    if (whole.size() != static_cast<std::size_t>(K) * pairs || samples < 1)
        stopRun("internal error: the bootstrap was given %zu components for %d traits", whole.size(), t);
    BootstrapDraws draws;
    draws.samples = samples;
    draws.traits = t;
    draws.components = K;
    draws.adjusted.assign(static_cast<std::size_t>(K), 0);
    // The groups of factors drawn jointly: those joined by covariance
    // components, each group listed from its first factor; the residual
    // alone, last.
    const MinqueDesign& design = projection.design();
    const int r = static_cast<int>(design.factors.size());
    std::vector<int> groupOf(static_cast<std::size_t>(r));
    for (int u = 0; u < r; ++u) groupOf[static_cast<std::size_t>(u)] = u;
    auto root = [&](int u) {
        while (groupOf[static_cast<std::size_t>(u)] != u) u = groupOf[static_cast<std::size_t>(u)];
        return u;
    };
    for (const auto& [a, b] : design.covariancePairs) {
        const int ra = root(a), rb = root(b);
        groupOf[static_cast<std::size_t>(std::max(ra, rb))] = std::min(ra, rb);
    }
    struct Group {
        std::vector<int> factors;
        std::vector<double> L;  // a factor of its (factors x traits) matrix
    };
    std::vector<Group> groups;
    std::vector<int> groupIndex(static_cast<std::size_t>(r), -1);
    for (int u = 0; u < r; ++u) {
        const int g = root(u);
        if (groupIndex[static_cast<std::size_t>(g)] < 0) {
            groupIndex[static_cast<std::size_t>(g)] = static_cast<int>(groups.size());
            groups.emplace_back();
        }
        groups[static_cast<std::size_t>(groupIndex[static_cast<std::size_t>(g)])].factors.push_back(u);
    }
    auto component = [&](int k, int i, int j) {
        return whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(std::min(i, j), std::max(i, j), t))];
    };
    // Sets L to a factor of the matrix, made positive semi-definite; true when it had to be.
    auto factorOf = [](std::vector<double> G, std::size_t size, std::vector<double>& L) {
        std::vector<double> vectors;
        symmetricEigen(G, vectors, static_cast<int>(size));
        L.assign(size * size, 0.0);
        bool adjusted = false;
        for (std::size_t e = 0; e < size; ++e) {
            double lambda = G[e * size + e];
            if (lambda < 0.0) {
                adjusted = true;
                lambda = 0.0;
            }
            const double rootLambda = std::sqrt(lambda);
            for (std::size_t i = 0; i < size; ++i) L[i * size + e] = vectors[i * size + e] * rootLambda;
        }
        return adjusted;
    };
    for (Group& group : groups) {
        const std::size_t s = group.factors.size(), size = s * T;
        std::vector<double> G(size * size, 0.0);
        std::vector<int> joined;  // the covariance components inside the group
        for (std::size_t x = 0; x < s; ++x)
            for (std::size_t z = 0; z < s; ++z) {
                int k = x == z ? group.factors[x] : -1;
                for (std::size_t d = 0; d < design.covariancePairs.size(); ++d) {
                    const auto& [a, b] = design.covariancePairs[d];
                    if ((a == group.factors[x] && b == group.factors[z]) || (b == group.factors[x] && a == group.factors[z])) {
                        k = r + static_cast<int>(d);
                        if (x < z) joined.push_back(k);
                    }
                }
                if (k < 0) continue;
                for (int i = 0; i < t; ++i)
                    for (int j = 0; j < t; ++j)
                        G[(x * T + static_cast<std::size_t>(i)) * size + z * T + static_cast<std::size_t>(j)] = component(k, i, j);
            }
        if (factorOf(G, size, group.L)) {
            for (int u : group.factors) draws.adjusted[static_cast<std::size_t>(u)] = 1;
            for (int k : joined) draws.adjusted[static_cast<std::size_t>(k)] = 1;
        }
    }
    std::vector<double> residualL;
    {
        std::vector<double> G(T * T);
        for (int i = 0; i < t; ++i)
            for (int j = 0; j < t; ++j) G[static_cast<std::size_t>(i) * T + static_cast<std::size_t>(j)] = component(K - 1, i, j);
        if (factorOf(G, T, residualL)) draws.adjusted[static_cast<std::size_t>(K - 1)] = 1;
    }
    const std::size_t n = static_cast<std::size_t>(projection.observations());
    draws.theta.assign(static_cast<std::size_t>(samples) * static_cast<std::size_t>(K) * pairs, 0.0);
    // Every sample has its own generator: the blocks change nothing drawn.
    constexpr int kBlock = 50;
    for (int blockStart = 0; blockStart < samples; blockStart += kBlock) {
        const int blockSize = std::min(kBlock, samples - blockStart);
        runOnWorkers([&](int worker) {
            int first = 0, last = 0;
            splitRange(blockSize, worker, workerThreads(), &first, &last);
            first += blockStart;
            last += blockStart;
            std::size_t largest = T;
            for (const Group& group : groups) largest = std::max(largest, group.factors.size() * T);
            std::vector<double> Y(n * T), xi(largest), e(largest);
            for (int b = first; b < last; ++b) {
                NormalDeviates normal{SplitMix64{seed ^ (0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(b) + 1))}};
                std::fill(Y.begin(), Y.end(), 0.0);
                auto draw = [&](const std::vector<double>& L, std::size_t size) {
                    for (std::size_t i = 0; i < size; ++i) xi[i] = normal.next();
                    for (std::size_t i = 0; i < size; ++i) {
                        double sum = 0.0;
                        for (std::size_t h = 0; h < size; ++h) sum += L[i * size + h] * xi[h];
                        e[i] = sum;
                    }
                };
                for (const Group& group : groups) {
                    const std::size_t levels = design.factors[static_cast<std::size_t>(group.factors.front())].size();
                    for (std::size_t h = 0; h < levels; ++h) {
                        draw(group.L, group.factors.size() * T);
                        for (std::size_t x = 0; x < group.factors.size(); ++x)
                            for (const auto& [obs, coefficient] : design.factors[static_cast<std::size_t>(group.factors[x])][h])
                                for (std::size_t i = 0; i < T; ++i) Y[static_cast<std::size_t>(obs) * T + i] += coefficient * e[x * T + i];
                    }
                }
                for (std::size_t obs = 0; obs < n; ++obs) {
                    draw(residualL, T);
                    for (std::size_t i = 0; i < T; ++i) Y[obs * T + i] += e[i];
                }
                const std::vector<double> theta = projection.estimate(Y, t);
                std::copy(theta.begin(), theta.end(),
                          draws.theta.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(b) * theta.size()));
            }
        });
        if (blockDone) blockDone(blockStart + blockSize);
    }
    return draws;
}

}  // namespace minque
