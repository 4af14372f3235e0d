#include "driver/jackknife_driver.hpp"

#include <cstdio>
#include <cstring>

#include "core/phase_timer.hpp"
#include "minque/minque_pass.hpp"
#include "io/product_records.hpp"
#include "report/jackknife_stats.hpp"
#include "minque/pair_covariances.hpp"
#include "report/report_writer.hpp"

namespace minque {

namespace {

void setUnitPriors(AnalysisState& st) {
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
}

template <class Body>
void forEachPair(const TraitPairs& pairs, Body body) {
    for (std::size_t p = 0; p < pairs.pairs.size(); ++p) body(pairs.pairs[p].first, pairs.pairs[p].second, static_cast<int>(p));
}

// Appends the pair's covariance components (priorValues row 2, floats 0..K).
void appendCovarianceRecord(AnalysisState& st) {
    writeRecord(st, kSlotCovariance, st.priorValues[2].ptr(0), st.recordLength);
}

void readComponentRecord(AnalysisState& st, int slot, long long record, int row) {
    seekRecordByte(st, slot, record * st.recordLength * 4);
    readRecord(st, slot, st.priorValues[row].ptr(0), st.recordLength);
}

// The covariance components of every pair on the current data set (after
// the pass of `slot`), appended to the record file in pair order. Replicate 0
// is the whole data; replicate k keeps the observations outside group k.
void estimatePairs(AnalysisState& st, const TraitPairs& pairs, int traitCount, int slot, int n, int k, int g) {
    PhaseTimer timer(st, kPhasePairs);
    // Copies the kept observations of trait `trait` to `out`; returns their number.
    auto keptValues = [&](int trait, const Row<float>& out) {
        if (k == 0) {
            std::memcpy(out.ptr(1), st.traitData.ptr(trait, 1), sizeof(float) * static_cast<std::size_t>(n));
            return n;
        }
        int kept = 0;
        for (int m = 1; m <= n; ++m)
            if (st.workVector[m] != 0.0f) out[++kept] = st.traitData[trait][m];
        return kept;
    };
    if (st.referenceKernels) {
        // Each pair from its own two trait vectors, as the cross forms define it.
        forEachPair(pairs, [&](int i, int j, int) {
            st.firstTrait = i;
            st.secondTrait = j;
            st.resultRow = 2;
            if (k > 0) markReplicate(st, k, g, n);  // the estimation uses workVector as scratch
            keptValues(i, st.pairData[1]);
            st.obsCount = keptValues(j, st.pairData[2]);
            estimatePairCovariances(st, slot);
            appendCovarianceRecord(st);
        });
        return;
    }
    // The products of each trait once, then every pair from them.
    if (pairs.pairs.empty()) return;
    if (k > 0) markReplicate(st, k, g, n);
    TraitWorkspace& traits = traitWorkspace(st, traitCount);
    for (int i = 1; i <= traitCount; ++i) st.obsCount = keptValues(i, traits.setTraits[i]);
    computeTraitProducts(st, slot, traitCount);
    forEachPair(pairs, [&](int i, int j, int) {
        st.firstTrait = i;
        st.secondTrait = j;
        st.resultRow = 2;
        estimatePairFromTraitProducts(st, i, j, traitCount);
        appendCovarianceRecord(st);
    });
}

// Phase 1: the pass on all data and the covariance components of every pair.
void wholeDataPhase(AnalysisState& st, const TraitPairs& pairs, int traitCount, int n) {
    st.obsCount = n;
    setUnitPriors(st);
    minquePass(st, kSlotWholeData);
    st.traitPairCount = static_cast<int>(pairs.pairs.size());
    estimatePairs(st, pairs, traitCount, kSlotWholeData, n, 0, 0);
}

// Phase 2: every replicate's pass and pair estimates.
void replicatePhase(AnalysisState& st, const TraitPairs& pairs, int traitCount, int n, int g) {
    const int J = st.replicateCount;
    for (int k = 1; k <= J; ++k) {
        compactReplicate(st, k, g, n);
        std::fprintf(stderr, "Jac %d / %d\n", k, J);
        std::fflush(stderr);
        setUnitPriors(st);
        minquePass(st, kSlotReplicate);
        estimatePairs(st, pairs, traitCount, kSlotReplicate, n, k, g);
    }
    std::fputs("\n\nJackknifing Is Finished.\n\n", stderr);
    std::fflush(stderr);
}

// Phase 3: statistics and report block of every pair.
void statisticsPhase(AnalysisState& st, const TraitPairs& pairs, int traitCount, int n) {
    PhaseTimer timer(st, kPhaseStatistics);
    const int J = st.replicateCount;
    const int K = st.componentCount;
    const long long t = traitCount;
    const long long P = st.traitPairCount;
    forEachPair(pairs, [&](int i, int j, int pair) {
        st.firstTrait = i;
        st.secondTrait = j;
        st.obsCount = n;
        for (int k = 1; k <= K + 2; ++k) {
            st.jackVectorA[k] = st.jackVectorB[k] = st.jackVectorC[k] = 0.0f;
            for (int x = 1; x <= 3; ++x) st.jackTerms[x][k] = st.wholeTerms[x][k] = 0.0f;
        }
        readComponentRecord(st, kSlotCovariance, pair, 2);
        readComponentRecord(st, kSlotVariance, i - 1, 1);
        readComponentRecord(st, kSlotVariance, j - 1, 3);
        prepareJackknife(st, J);
        for (int k = 1; k <= J; ++k) {
            readComponentRecord(st, kSlotCovariance, k * P + pair, 2);
            readComponentRecord(st, kSlotVariance, k * t + i - 1, 1);
            readComponentRecord(st, kSlotVariance, k * t + j - 1, 3);
            accumulateReplicate(st, J - 1);
        }
        writePairReport(st, J, J - 1);
        if (pairs.variances)
            std::fprintf(stderr, "Var %d, ", i);
        else
            std::fprintf(stderr, "Cor %d & %d, ", i, j);
        std::fflush(stderr);
    });
}

}  // namespace

void markReplicate(AnalysisState& st, int k, int g, int n) {
    for (int m = 1; m <= n; ++m) {
        st.workVector[m] = static_cast<float>(m);
        st.columnVector[m] = 0.0f;
    }
    for (int m = (k - 1) * g + 1; m <= k * g; ++m) st.workVector[m] = 0.0f;
}

void compactReplicate(AnalysisState& st, int k, int g, int n) {
    st.obsCount = n - g;
    markReplicate(st, k, g, n);
    int counter = 0;
    for (int m = 1; m <= n; ++m)
        if (st.workVector[m] != 0.0f) st.columnVector[m] = static_cast<float>(++counter);
    for (int c = 1; c <= st.fixedCount; ++c) {
        const auto full = st.fixedColRowsFull[c];
        const auto current = st.fixedColRows[c];
        int kept = 0;
        for (int e = 1; e <= st.fixedColCountFull[c]; ++e) {
            const int o = full[e];
            if (st.workVector[o] != 0.0f) current[++kept] = static_cast<int>(st.columnVector[o]);
        }
        st.fixedColCount[c] = kept;
    }
    for (int j = 1; j <= st.randomLevelCount; ++j) {
        const auto fullRows = st.randomColRowsFull[j];
        const auto fullValues = st.randomColValuesFull[j];
        const auto rows = st.randomColRows[j];
        const auto values = st.randomColValues[j];
        int kept = 0;
        for (int e = 1; e <= st.randomColCountFull[j]; ++e) {
            const int o = fullRows[e];
            if (st.workVector[o] == 0.0f) continue;
            ++kept;
            rows[kept] = static_cast<int>(st.columnVector[o]);
            values[kept] = fullValues[e];
        }
        st.randomColCount[j] = kept;
    }
}

TraitPairs covariancePairs(int traitCount) {
    TraitPairs p;
    for (int i = 1; i < traitCount; ++i)
        for (int j = i + 1; j <= traitCount; ++j) p.pairs.emplace_back(i, j);
    return p;
}

TraitPairs variancePairs(int traitCount) {
    TraitPairs p;
    for (int i = 1; i <= traitCount; ++i) p.pairs.emplace_back(i, i);
    p.variances = true;
    return p;
}

void runJackknife(AnalysisState& st, const TraitPairs& pairs, int traitCount, int groupSize) {
    const int n = st.obsCount;
    wholeDataPhase(st, pairs, traitCount, n);
    replicatePhase(st, pairs, traitCount, n, groupSize);
    statisticsPhase(st, pairs, traitCount, n);
}

}  // namespace minque
