#include "driver/jackknife_driver.hpp"

#include <cstring>

#include "minque/minque_pass.hpp"
#include "minque/product_records.hpp"
#include "report/pair_covariances.hpp"

namespace minque {

namespace {

void setUnitPriors(AnalysisState& st) {
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
}

// Appends the pair's covariance components (priorValues row 2, floats 0..K)
// to "MATRIX.cov".
void appendCovarianceRecord(AnalysisState& st) {
    writeRecord(st, kSlotCovariance, st.priorValues[2].ptr(0), st.recordLength);
}

// Phase 1: the pass on all data and the covariance components of every pair.
void wholeDataPhase(AnalysisState& st, int traitCount, int n) {
    st.obsCount = n;
    setUnitPriors(st);
    minquePass(st, kSlotWholeData);
    st.traitPairCount = traitCount * (traitCount - 1) / 2;
    for (int i = 1; i < traitCount; ++i) {
        for (int j = i + 1; j <= traitCount; ++j) {
            st.firstTrait = i;
            st.secondTrait = j;
            st.obsCount = n;
            st.resultRow = 2;
            std::memcpy(st.pairData.ptr(1, 1), st.traitData.ptr(i, 1), sizeof(float) * static_cast<std::size_t>(n));
            std::memcpy(st.pairData.ptr(2, 1), st.traitData.ptr(j, 1), sizeof(float) * static_cast<std::size_t>(n));
            estimatePairCovariances(st, kSlotWholeData);
            appendCovarianceRecord(st);
        }
    }
}

}  // namespace

void runJackknife(AnalysisState& st, int traitCount, int /*groupSize*/) {
    const int n = st.obsCount;
    wholeDataPhase(st, traitCount, n);
}

}  // namespace minque
