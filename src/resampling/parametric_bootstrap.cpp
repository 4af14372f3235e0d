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
    components_ = r + 1;
    rowsOfObservation_.assign(static_cast<std::size_t>(n_), {});
    for (int u = 0; u < r; ++u)
        for (const auto& level : design.factors[static_cast<std::size_t>(u)]) {
            for (const auto& [obs, coefficient] : level) {
                if (obs < 0 || obs >= n_) throw std::out_of_range("observation outside the design");
                rowsOfObservation_[static_cast<std::size_t>(obs)].emplace_back(m_, coefficient);
            }
            factorOfColumn_.push_back(u);
            ++m_;
        }
    const std::size_t m = static_cast<std::size_t>(m_);
    // I + U'U, accumulated observation by observation, then its Cholesky factor.
    std::vector<double> A(m * m, 0.0);
    for (std::size_t c = 0; c < m; ++c) A[c * m + c] = 1.0;
    for (const auto& entries : rowsOfObservation_)
        for (const auto& [a, ca] : entries)
            for (const auto& [b, cb] : entries) A[static_cast<std::size_t>(a) * m + static_cast<std::size_t>(b)] += ca * cb;
    cholesky_.assign(m * m, 0.0);
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double s = A[i * m + j];
            for (std::size_t k = 0; k < j; ++k) s -= cholesky_[i * m + k] * cholesky_[j * m + k];
            cholesky_[i * m + j] = i == j ? std::sqrt(s) : s / cholesky_[j * m + j];
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
    W_.assign(static_cast<std::size_t>(n_) * static_cast<std::size_t>(p_), 0.0);
    std::vector<double> F(static_cast<std::size_t>(p_) * static_cast<std::size_t>(p_), 0.0);
    for (int f = 0; f < p_; ++f) {
        std::fill(y.begin(), y.end(), 0.0);
        for (int obs : design.fixedColumns[static_cast<std::size_t>(f)]) y[static_cast<std::size_t>(obs)] += 1.0;
        vInverse(y);
        std::copy(y.begin(), y.end(), W_.begin() + static_cast<std::ptrdiff_t>(f) * n_);
        for (int g = 0; g < p_; ++g)
            for (int obs : design.fixedColumns[static_cast<std::size_t>(g)])
                F[static_cast<std::size_t>(g) * static_cast<std::size_t>(p_) + static_cast<std::size_t>(f)] += y[static_cast<std::size_t>(obs)];
    }
    fixedInverse_ = pseudoInverse(F, p_);
    UW_.assign(m * static_cast<std::size_t>(p_), 0.0);
    for (int f = 0; f < p_; ++f)
        for (int obs = 0; obs < n_; ++obs)
            for (const auto& [c, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
                UW_[static_cast<std::size_t>(c) * static_cast<std::size_t>(p_) + static_cast<std::size_t>(f)] +=
                    coefficient * W_[static_cast<std::size_t>(f) * static_cast<std::size_t>(n_) + static_cast<std::size_t>(obs)];

    // S: ||U_u'Q U_v||^2, sum over the levels of u of ||Q U_l||^2, tr(QQ).
    const int K = components_;
    std::vector<double> S(static_cast<std::size_t>(K) * K, 0.0);
    std::vector<double> UQU(m * m), qy(static_cast<std::size_t>(n_)), uqy(m);
    std::vector<double> levelSquares(m);
    for (std::size_t c = 0; c < m; ++c) {
        std::fill(y.begin(), y.end(), 0.0);
        for (int obs = 0; obs < n_; ++obs)
            for (const auto& [col, coefficient] : rowsOfObservation_[static_cast<std::size_t>(obs)])
                if (static_cast<std::size_t>(col) == c) y[static_cast<std::size_t>(obs)] += coefficient;
        project(y.data(), qy.data(), uqy.data());
        std::copy(uqy.begin(), uqy.end(), UQU.begin() + static_cast<std::ptrdiff_t>(c * m));
        double ss = 0.0;
        for (double x : qy) ss += x * x;
        levelSquares[c] = ss;
    }
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < m; ++b) {
            const double x = UQU[a * m + b];
            S[static_cast<std::size_t>(factorOfColumn_[a]) * K + static_cast<std::size_t>(factorOfColumn_[b])] += x * x;
        }
    double trQQ = 0.0;
    for (int obs = 0; obs < n_; ++obs) {
        std::fill(y.begin(), y.end(), 0.0);
        y[static_cast<std::size_t>(obs)] = 1.0;
        project(y.data(), qy.data(), uqy.data());
        for (double x : qy) trQQ += x * x;
    }
    for (std::size_t c = 0; c < m; ++c) {
        const std::size_t u = static_cast<std::size_t>(factorOfColumn_[c]);
        S[u * K + static_cast<std::size_t>(K - 1)] += levelSquares[c];
        S[static_cast<std::size_t>(K - 1) * K + u] += levelSquares[c];
    }
    S[static_cast<std::size_t>(K) * K - 1] = trQQ;
    sInverse_ = pseudoInverse(S, K);
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
    for (int i = 0; i < t; ++i)
        for (int j = i; j < t; ++j) {
            std::fill(q.begin(), q.end(), 0.0);
            const double* ai = uqy.data() + static_cast<std::size_t>(i) * m;
            const double* aj = uqy.data() + static_cast<std::size_t>(j) * m;
            for (std::size_t c = 0; c < m; ++c) q[static_cast<std::size_t>(factorOfColumn_[c])] += ai[c] * aj[c];
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
                                   int samples, std::uint64_t seed) {
    const int K = projection.components();
    const std::size_t T = static_cast<std::size_t>(t), pairs = T * (T + 1) / 2;
    if (whole.size() != static_cast<std::size_t>(K) * pairs || samples < 1)
        stopRun("internal error: the bootstrap was given %zu components for %d traits", whole.size(), t);
    BootstrapDraws draws;
    draws.samples = samples;
    draws.traits = t;
    draws.components = K;
    draws.adjusted.assign(static_cast<std::size_t>(K), 0);
    // A factor of each component's t x t matrix, made positive semi-definite.
    std::vector<std::vector<double>> factors(static_cast<std::size_t>(K));
    for (int k = 0; k < K; ++k) {
        std::vector<double> G(T * T), vectors;
        for (int i = 0; i < t; ++i)
            for (int j = 0; j < t; ++j)
                G[static_cast<std::size_t>(i) * T + static_cast<std::size_t>(j)] =
                    whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(std::min(i, j), std::max(i, j), t))];
        symmetricEigen(G, vectors, t);
        std::vector<double>& L = factors[static_cast<std::size_t>(k)];
        L.assign(T * T, 0.0);
        for (std::size_t e = 0; e < T; ++e) {
            double lambda = G[e * T + e];
            if (lambda < 0.0) {
                draws.adjusted[static_cast<std::size_t>(k)] = 1;
                lambda = 0.0;
            }
            const double root = std::sqrt(lambda);
            for (std::size_t i = 0; i < T; ++i) L[i * T + e] = vectors[i * T + e] * root;
        }
    }
    const MinqueDesign& design = projection.design();
    const std::size_t n = static_cast<std::size_t>(projection.observations());
    draws.theta.assign(static_cast<std::size_t>(samples) * static_cast<std::size_t>(K) * pairs, 0.0);
    runOnWorkers([&](int worker) {
        int first = 0, last = 0;
        splitRange(samples, worker, workerThreads(), &first, &last);
        std::vector<double> Y(n * T), xi(T), e(T);
        for (int b = first; b < last; ++b) {
            NormalDeviates normal{SplitMix64{seed ^ (0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(b) + 1))}};
            std::fill(Y.begin(), Y.end(), 0.0);
            auto draw = [&](const std::vector<double>& L) {
                for (std::size_t i = 0; i < T; ++i) xi[i] = normal.next();
                for (std::size_t i = 0; i < T; ++i) {
                    double sum = 0.0;
                    for (std::size_t h = 0; h < T; ++h) sum += L[i * T + h] * xi[h];
                    e[i] = sum;
                }
            };
            for (std::size_t u = 0; u < design.factors.size(); ++u)
                for (const auto& level : design.factors[u]) {
                    draw(factors[u]);
                    for (const auto& [obs, coefficient] : level)
                        for (std::size_t i = 0; i < T; ++i) Y[static_cast<std::size_t>(obs) * T + i] += coefficient * e[i];
                }
            for (std::size_t obs = 0; obs < n; ++obs) {
                draw(factors[static_cast<std::size_t>(K - 1)]);
                for (std::size_t i = 0; i < T; ++i) Y[obs * T + i] += e[i];
            }
            const std::vector<double> theta = projection.estimate(Y, t);
            std::copy(theta.begin(), theta.end(),
                      draws.theta.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(b) * theta.size()));
        }
    });
    return draws;
}

}  // namespace minque
