#include "jackknife_engine/minque/pair_covariances.hpp"

#include <algorithm>
#include <memory>
#include <vector>

#include "jackknife_engine/io/product_records.hpp"
#include "jackknife_engine/linalg/trait_kernels.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

// theta = S^- q into priorValues[resultRow] (q in workVector).
void solveForThetaFromForms(AnalysisState& st) {
    const int K = st.componentCount;
    const auto& q = st.workVector;
    const auto theta = st.priorValues[st.resultRow];
    for (int i = 1; i <= K; ++i) {
        const auto Si = st.equationMatrix[i];
        double sum = 0.0;
        for (int k = 1; k <= K; ++k) sum += static_cast<double>(q[k] * Si[k]);
        theta[i] = static_cast<float>(sum);
    }
}

}  // namespace

float factorCrossForm(AnalysisState& st, int first, int last, int slot) {
    if (first > last) return 0.0f;
    const int n = st.obsCount;
    const float* R = st.columnVector.ptr(1);  // zero-based views of slots 1..n
    const float* y1 = st.pairData.ptr(1, 1);
    const float* y2 = st.pairData.ptr(2, 1);
    double total = 0.0;
    for (int c = first; c <= last; ++c) {
        readProductRecord(st, slot, st.columnVector);
        double A = 0.0, B = 0.0;
        for (int j = 0; j < n; ++j) A += static_cast<double>(R[j]) * static_cast<double>(y1[j]);
        for (int j = 0; j < n; ++j) B += static_cast<double>(R[j]) * static_cast<double>(y2[j]);
        total += A * B;
    }
    return static_cast<float>(total);
}

float factorPairCrossForm(AnalysisState& st, int a1, int a2, int b1, int b2, int slot) {
    const int n = st.obsCount;
    const float* R = st.columnVector.ptr(1);  // zero-based views of slots 1..n
    const float* y1 = st.pairData.ptr(1, 1);
    const float* y2 = st.pairData.ptr(2, 1);
    double total = 0.0;
    for (int c = a1, h = 1; c <= a2; ++c, ++h) {
        seekProductRecord(st, slot, c);
        readProductRecord(st, slot, st.columnVector);
        double sum = 0.0;
        for (int j = 0; j < n; ++j) sum += static_cast<double>(R[j] * y1[j]);
        st.longWorkVector[h] = static_cast<float>(sum);
    }
    if (b1 > b2) return 0.0f;
    for (int c = b1, h = 1; c <= b2; ++c, ++h) {
        seekProductRecord(st, slot, c);
        readProductRecord(st, slot, st.columnVector);
        double B = 0.0;
        for (int j = 0; j < n; ++j) B += static_cast<double>(R[j] * y2[j]);
        total += static_cast<double>(st.longWorkVector[h]) * B;
    }
    return static_cast<float>(total);
}

float residualCrossForm(AnalysisState& st) {
    const int n = st.obsCount;
    if (n < 1) return 0.0f;
    const float* y1 = st.pairData.ptr(1, 1);
    const float* y2 = st.pairData.ptr(2, 1);
    double total = 0.0;
    for (int i = 1; i <= n; ++i) {
        const float* Qi = st.vInverse.ptr(i, 1);
        double A = 0.0, B = 0.0;
        for (int j = 0; j < n; ++j) A += static_cast<double>(y1[j]) * static_cast<double>(Qi[j]);
        for (int j = 0; j < n; ++j) B += static_cast<double>(y2[j]) * static_cast<double>(Qi[j]);
        total += A * B;
    }
    return static_cast<float>(total);
}

void estimatePairCovariances(AnalysisState& st, int slot) {
    const int r = st.randomFactorCount;
    const int K = st.componentCount;
    const auto& q = st.workVector;
    st.obsRecordLength = st.obsCount + 1;
    seekRecordByte(st, slot, 0);
    for (int u = 1; u <= r; ++u)
        q[u] = factorCrossForm(st, st.factorLevelEnd[u - 1] + 1, st.factorLevelEnd[u - 1] + st.factorLevels[u], slot);
    for (int p = 1; p <= st.covarianceCount; ++p) {
        const int a = st.covariancePair[p][1], b = st.covariancePair[p][2];
        const int a1 = st.factorColumnRange[a][1], a2 = st.factorColumnRange[a][2];
        const int b1 = st.factorColumnRange[b][1], b2 = st.factorColumnRange[b][2];
        q[r + p] = factorPairCrossForm(st, a1, a2, b1, b2, slot);
        q[r + p] = q[r + p] + factorPairCrossForm(st, b1, b2, a1, a2, slot);
    }
    q[K] = residualCrossForm(st);
    solveForThetaFromForms(st);
}

TraitWorkspace& traitWorkspace(AnalysisState& st, int traitCount) {
    if (!st.traitWorkspace) {
        st.traitWorkspace = std::make_shared<TraitWorkspace>();
        st.traitWorkspace->setTraits = dmatrix(1, traitCount, 1, st.vInverse.rowHi());
    }
    return *st.traitWorkspace;
}

void computeTraitProducts(AnalysisState& st, int slot, int t) {
    TraitWorkspace& ws = traitWorkspace(st, t);
    const int n = st.obsCount, m = st.randomLevelCount;
    const int lanes = (t + 15) / 16 * 16;
    const std::size_t L = static_cast<std::size_t>(lanes);
    const std::size_t full = static_cast<std::size_t>(st.vInverse.rowHi());
    ws.lanes = lanes;
    ensureWorkSize(ws.recordProductsDouble, static_cast<std::size_t>(m) * L);
    ensureWorkSize(ws.recordProductsSingle, static_cast<std::size_t>(m) * L);
    ensureWorkSize(ws.projectedTraits, full * L);
    ensureWorkSize(ws.traitsByObservation, full * L);
    constexpr int kBatch = 64;
    const std::size_t recordFloats = full + 1;
    ensureWorkSize(ws.recordBatch, recordFloats * kBatch);
    if (t == 0) return;
    // The traits observation by observation, padded with zero lanes.
    double* y = ws.traitsByObservation.data();
    std::fill(y, y + static_cast<std::size_t>(n) * L, 0.0);
    for (int i = 1; i <= t; ++i)
        for (int j = 1; j <= n; ++j) y[static_cast<std::size_t>(j - 1) * L + static_cast<std::size_t>(i - 1)] = ws.setTraits[i][j];

    // Products of every record with every trait, a batch of records at a time.
    st.obsRecordLength = n + 1;
    seekRecordByte(st, slot, 0);
    for (int c0 = 0; c0 < m; c0 += kBatch) {
        const int count = std::min(kBatch, m - c0);
        for (int c = 0; c < count; ++c)
            readRecord(st, slot, ws.recordBatch.data() + static_cast<std::size_t>(c) * recordFloats, st.obsRecordLength);
        runOnWorkers([&](int worker) {
            int b0, b1;
            splitRange(count, worker, workerThreads(), &b0, &b1);
            const float* records[kBatch];
            for (int c = b0; c < b1; ++c) records[c - b0] = ws.recordBatch.data() + static_cast<std::size_t>(c) * recordFloats + 1;
            const std::size_t at = static_cast<std::size_t>(c0 + b0) * L;
            traitRecordProducts(records, b1 - b0, n, y, lanes, ws.recordProductsDouble.data() + at, ws.recordProductsSingle.data() + at);
        });
    }
    // Q times every trait, row by row.
    runOnWorkers([&](int worker) {
        int r0, r1;
        splitRange(n, worker, workerThreads(), &r0, &r1);
        constexpr int kRows = 64;
        const float* rows[kRows];
        for (int q0 = r0; q0 < r1; q0 += kRows) {
            const int count = std::min(kRows, r1 - q0);
            for (int q = 0; q < count; ++q) rows[q] = st.vInverse.ptr(q0 + q + 1, 1);
            traitRowProducts(rows, count, n, y, lanes, ws.projectedTraits.data() + static_cast<std::size_t>(q0) * L);
        }
    });
}

void estimatePairFromTraitProducts(AnalysisState& st, int ti, int tj, int traitCount) {
    const TraitWorkspace& ws = traitWorkspace(st, traitCount);
    const int r = st.randomFactorCount, K = st.componentCount, n = st.obsCount;
    const std::size_t T = static_cast<std::size_t>(ws.lanes);
    const std::size_t a = static_cast<std::size_t>(ti - 1), b = static_cast<std::size_t>(tj - 1);
    const auto& q = st.workVector;
    auto A = [&](int c, std::size_t trait) { return ws.recordProductsDouble[static_cast<std::size_t>(c - 1) * T + trait]; };
    auto P = [&](int c, std::size_t trait) { return ws.recordProductsSingle[static_cast<std::size_t>(c - 1) * T + trait]; };
    for (int u = 1; u <= r; ++u) {
        const int first = st.factorLevelEnd[u - 1] + 1, last = st.factorLevelEnd[u - 1] + st.factorLevels[u];
        double total = 0.0;
        for (int c = first; c <= last; ++c) total += A(c, a) * A(c, b);
        q[u] = static_cast<float>(total);
    }
    // Level h of the first factor with level h of the second; the first
    // trait's products rounded to float as the per-pair form stores them.
    auto pairForm = [&](int a1, int b1, int b2) {
        if (b1 > b2) return 0.0f;
        double total = 0.0;
        for (int ca = a1, cb = b1; cb <= b2; ++ca, ++cb)
            total += static_cast<double>(static_cast<float>(P(ca, a))) * P(cb, b);
        return static_cast<float>(total);
    };
    for (int p = 1; p <= st.covarianceCount; ++p) {
        const int fa = st.covariancePair[p][1], fb = st.covariancePair[p][2];
        const int a1 = st.factorColumnRange[fa][1], a2 = st.factorColumnRange[fa][2];
        const int b1 = st.factorColumnRange[fb][1], b2 = st.factorColumnRange[fb][2];
        q[r + p] = pairForm(a1, b1, b2);
        q[r + p] = q[r + p] + pairForm(b1, a1, a2);
    }
    double total = 0.0;
    for (int row = 0; row < n; ++row)
        total += ws.projectedTraits[static_cast<std::size_t>(row) * T + a] * ws.projectedTraits[static_cast<std::size_t>(row) * T + b];
    q[K] = n < 1 ? 0.0f : static_cast<float>(total);
    st.obsRecordLength = n + 1;
    solveForThetaFromForms(st);
}

}  // namespace minque
