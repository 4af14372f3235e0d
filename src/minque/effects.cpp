#include "minque/effects.hpp"

#include <algorithm>
#include <cmath>

#include "core/arrays.hpp"
#include "core/fatal_error.hpp"

namespace minque {

void solveSemiDefinite(std::vector<double>& a, std::vector<double>& b, int n, double tolerance,
                       std::vector<char>& dependent) {
    const std::size_t N = static_cast<std::size_t>(n);
    dependent.assign(N, 0);
    // Column by column: L[i][j] = (a[i][j] - sum_k L[i][k] L[j][k]) / L[j][j],
    // the sums over contiguous row prefixes.
    for (std::size_t j = 0; j < N; ++j) {
        double* rowJ = a.data() + j * N;
        const double diagonal = rowJ[j];
        double d = diagonal;
        for (std::size_t k = 0; k < j; ++k) d -= rowJ[k] * rowJ[k];
        if (!(diagonal > 0.0) || d <= tolerance * diagonal) {
            dependent[j] = 1;
            for (std::size_t k = 0; k < j; ++k) rowJ[k] = 0.0;
            rowJ[j] = 1.0;
            for (std::size_t i = j + 1; i < N; ++i) a[i * N + j] = 0.0;
            continue;
        }
        const double pivot = std::sqrt(d);
        rowJ[j] = pivot;
        for (std::size_t i = j + 1; i < N; ++i) {
            double* rowI = a.data() + i * N;
            double s = rowI[j];
            for (std::size_t k = 0; k < j; ++k) s -= rowI[k] * rowJ[k];
            rowI[j] = s / pivot;
        }
    }
    for (std::size_t j = 0; j < N; ++j) {
        if (dependent[j]) {
            b[j] = 0.0;
            continue;
        }
        const double* rowJ = a.data() + j * N;
        double s = b[j];
        for (std::size_t k = 0; k < j; ++k) s -= rowJ[k] * b[k];
        b[j] = s / rowJ[j];
    }
    for (std::size_t j = N; j-- > 0;) {
        if (dependent[j]) {
            b[j] = 0.0;
            continue;
        }
        double s = b[j];
        for (std::size_t i = j + 1; i < N; ++i) s -= a[i * N + j] * b[i];
        b[j] = s / a[j * N + j];
    }
}

void EffectPredictor::setDesign(const AnalysisState& st) {
    p_ = st.fixedCount;
    q_ = st.randomLevelCount;
    n_ = st.obsCount;
    const std::size_t N = static_cast<std::size_t>(p_ + q_);
    try {
        rows_.assign(static_cast<std::size_t>(n_) + 1, {});
        // An observation's row of [X U], coefficients of repeated entries summed.
        auto add = [&](int obs, int column, double value) {
            auto& row = rows_[static_cast<std::size_t>(obs)];
            for (auto& entry : row)
                if (entry.first == column) {
                    entry.second += value;
                    return;
                }
            row.emplace_back(column, value);
        };
        for (int c = 1; c <= p_; ++c)
            for (int e = 1; e <= st.fixedColCount[c]; ++e) add(st.fixedColRows[c][e], c - 1, 1.0);
        for (int j = 1; j <= q_; ++j)
            for (int e = 1; e <= st.randomColCount[j]; ++e)
                add(st.randomColRows[j][e], p_ + j - 1, static_cast<double>(st.randomColValues[j][e]));
        base_.assign(N * N, 0.0);
        for (int obs = 1; obs <= n_; ++obs) {
            const auto& row = rows_[static_cast<std::size_t>(obs)];
            for (const auto& [a, va] : row)
                for (const auto& [b, vb] : row) base_[static_cast<std::size_t>(a) * N + static_cast<std::size_t>(b)] += va * vb;
        }
    } catch (const std::bad_alloc&) {
        workAllocationFailure();
    }
}

bool EffectPredictor::predict(const AnalysisState& st, const float* y, const float* components, std::vector<double>& u) {
    const int K = st.componentCount;
    const std::size_t N = static_cast<std::size_t>(p_ + q_);
    u.assign(static_cast<std::size_t>(q_), 0.0);
    const double residual = components[K];
    if (!(residual > 0.0)) return false;
    try {
        work_ = base_;
        rhs_.assign(N, 0.0);
    } catch (const std::bad_alloc&) {
        workAllocationFailure();
    }
    for (int obs = 1; obs <= n_; ++obs)
        for (const auto& [column, value] : rows_[static_cast<std::size_t>(obs)])
            rhs_[static_cast<std::size_t>(column)] += value * static_cast<double>(y[obs]);
    for (int f = 1; f <= st.randomFactorCount; ++f) {
        const double sigma = components[f];
        for (int j = st.factorLevelEnd[f - 1] + 1; j <= st.factorLevelEnd[f]; ++j) {
            const std::size_t c = static_cast<std::size_t>(p_ + j - 1);
            if (sigma > 0.0) {
                work_[c * N + c] += residual / sigma;
                continue;
            }
            // A factor at or below zero: its columns leave the equations.
            for (std::size_t k = 0; k < N; ++k) work_[c * N + k] = work_[k * N + c] = 0.0;
            work_[c * N + c] = 1.0;
            rhs_[c] = 0.0;
        }
    }
    solveSemiDefinite(work_, rhs_, static_cast<int>(N), 1e-10, dependent_);
    for (int j = 0; j < q_; ++j) u[static_cast<std::size_t>(j)] = rhs_[static_cast<std::size_t>(p_ + j)];
    return true;
}

std::vector<double> EffectPredictor::predictionErrorVariances(const AnalysisState& st, const float* components) const {
    const std::size_t N = static_cast<std::size_t>(p_ + q_);
    const double residual = components[st.componentCount];
    std::vector<double> pev(static_cast<std::size_t>(q_), 0.0), z(N);
    for (int f = 1; f <= st.randomFactorCount; ++f) {
        if (!(components[f] > 0.0)) continue;  // left out: predicted 0 without error
        for (int j = st.factorLevelEnd[f - 1] + 1; j <= st.factorLevelEnd[f]; ++j) {
            // z = L^-1 e_c, zero before c; C^cc = z'z.
            const std::size_t c = static_cast<std::size_t>(p_ + j - 1);
            double squares = 0.0;
            for (std::size_t i = c; i < N; ++i) {
                if (dependent_[i]) {
                    z[i] = 0.0;
                    continue;
                }
                const double* rowI = work_.data() + i * N;
                double s = i == c ? 1.0 : 0.0;
                for (std::size_t k = c; k < i; ++k) s -= rowI[k] * z[k];
                z[i] = s / rowI[i];
                squares += z[i] * z[i];
            }
            pev[static_cast<std::size_t>(j - 1)] = residual * squares;
        }
    }
    return pev;
}

}  // namespace minque
