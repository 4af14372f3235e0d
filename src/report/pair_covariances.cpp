#include "report/pair_covariances.hpp"

#include "minque/product_records.hpp"

namespace minque {

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
    const auto theta = st.priorValues[st.resultRow];
    for (int i = 1; i <= K; ++i) {
        const auto Si = st.equationMatrix[i];
        double sum = 0.0;
        for (int k = 1; k <= K; ++k) sum += static_cast<double>(q[k] * Si[k]);
        theta[i] = static_cast<float>(sum);
    }
}

}  // namespace minque
