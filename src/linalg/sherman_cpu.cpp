#include "linalg/sherman_cpu.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace minque {

namespace {

// The n x n matrix, addressed from zero inside the kernels: element (i, j)
// of the one-based matrix is row(i - 1)[j - 1].
struct LowerMatrix {
    float* base;         // element (1, 1)
    std::size_t stride;  // floats per row
    float* row(int i) const { return base + static_cast<std::size_t>(i) * stride; }
    // W[i][j] read from its lower-triangle twin.
    float at(int i, int j) const { return j <= i ? row(i)[j] : row(j)[i]; }
};

// Adds one column with entries rows[0..count-1] (one-based observation
// numbers; coefficients values[0..count-1], or all 1 for a fixed column) and
// weight w. b[0..n-1] receives W z.
void addColumn(const LowerMatrix& W, int n, const std::int32_t* rows, const float* values, int count, float w,
               bool fixed, float* b) {
    for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        if (fixed) {
            for (int k = 0; k < count; ++k) sum += static_cast<double>(W.at(i, rows[k] - 1));
        } else {
            for (int k = 0; k < count; ++k) sum += static_cast<double>(W.at(i, rows[k] - 1) * values[k]);
        }
        b[i] = static_cast<float>(sum);
    }
    double s = 0.0;
    double f;
    if (fixed) {
        for (int k = 0; k < count; ++k) s += static_cast<double>(b[rows[k] - 1]);
        s = s + 1.0;
        f = 1.0 / s;
    } else {
        for (int k = 0; k < count; ++k) s += static_cast<double>(b[rows[k] - 1] * values[k]);
        s = s * static_cast<double>(w) + 1.0;
        f = static_cast<double>(w) / s;
    }
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(b[i]) * f;
        float* Wi = W.row(i);
        for (int j = 0; j <= i; ++j)
            Wi[j] = static_cast<float>(static_cast<double>(Wi[j]) - static_cast<double>(b[j]) * t);
    }
}

// Copies the lower triangle into the upper one, tile by tile.
void mirrorLowerToUpper(const LowerMatrix& W, int n) {
    constexpr int kTile = 64;
    for (int i0 = 0; i0 < n; i0 += kTile) {
        const int i1 = std::min(n, i0 + kTile);
        for (int j0 = 0; j0 < i1; j0 += kTile) {
            const int j1 = std::min(i1, j0 + kTile);
            for (int i = i0; i < i1; ++i) {
                const float* Wi = W.row(i);
                for (int j = j0; j < std::min(j1, i); ++j) W.row(j)[i] = Wi[j];
            }
        }
    }
}

}  // namespace

void shermanCPU(AnalysisState& st, int n) {
    const LowerMatrix W{st.vInverse.ptr(1, 1), st.vInverse.stride()};
    float* b = st.workVector.ptr(1);  // b[i - 1] = workVector[i]
    const double residualPrior = static_cast<double>(st.priorValues[1][st.componentCount]);
    const float d = static_cast<float>(1.0 / residualPrior);
    for (int i = 0; i < n; ++i) {
        float* Wi = W.row(i);
        std::fill(Wi, Wi + i, 0.0f);
        Wi[i] = d;
    }

    // Random columns, last to first, each with its factor's prior value.
    int u = st.randomFactorCount;
    for (int c = st.randomLevelCount; c >= 1; --c) {
        while (u > 1 && c <= st.factorLevelEnd[u - 1]) --u;
        const float w = st.priorValues[1][u];
        if (std::fabs(static_cast<double>(w)) <= 1e-8) continue;
        addColumn(W, n, st.randomColRows[c].ptr(1), st.randomColValues[c].ptr(1), st.randomColCount[c], w, false, b);
    }
    // Fixed columns, last to first, weight 1.
    for (int c = st.fixedCount; c >= 1; --c)
        addColumn(W, n, st.fixedColRows[c].ptr(1), nullptr, st.fixedColCount[c], 1.0f, true, b);

    mirrorLowerToUpper(W, n);
}

}  // namespace minque
