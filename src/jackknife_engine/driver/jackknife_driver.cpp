#include "jackknife_engine/driver/jackknife_driver.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/fatal_error.hpp"
#include "jackknife_engine/core/phase_timer.hpp"
#include "jackknife_engine/driver/rank_team.hpp"
#include "jackknife_engine/io/product_records.hpp"
#include "jackknife_engine/minque/minque_pass.hpp"
#include "jackknife_engine/minque/pair_covariances.hpp"
#include "jackknife_engine/report/jackknife_stats.hpp"
#include "jackknife_engine/report/report_writer.hpp"
#include "jackknife_engine/resampling/jackknife.hpp"

namespace minque {

namespace {

void setUnitPriors(AnalysisState& st) {
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
}

template <class Body>
void forEachPair(const TraitPairs& pairs, Body body) {
    for (std::size_t p = 0; p < pairs.pairs.size(); ++p) body(pairs.pairs[p].first, pairs.pairs[p].second, static_cast<int>(p));
}

// Appends the pair's covariance components (priorValues row 2, floats 0..K)
// to the record file of `slot`.
void appendComponentRecord(AnalysisState& st, int slot) {
    writeRecord(st, slot, st.priorValues[2].ptr(0), st.recordLength);
}

// The pairs of one estimation and the record file their records go to.
struct PairTarget {
    const TraitPairs* pairs;
    int recordSlot;
};

void readComponentRecord(AnalysisState& st, int slot, long long record, int row) {
    seekRecordByte(st, slot, record * st.recordLength * 4);
    readRecord(st, slot, st.priorValues[row].ptr(0), st.recordLength);
}

// The covariance components of every pair of every target on the current
// data set (after the pass of `slot`), each target's records appended to its
// file in pair order. Replicate 0 is the whole data; replicate k keeps the
// observations outside group k.
void estimatePairs(AnalysisState& st, const std::vector<PairTarget>& targets, int traitCount, int slot, int n, int k,
                   int g) {
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
        for (const PairTarget& target : targets)
            forEachPair(*target.pairs, [&](int i, int j, int) {
                st.firstTrait = i;
                st.secondTrait = j;
                st.resultRow = 2;
                if (k > 0) markReplicate(st, k, g, n);  // the estimation uses workVector as scratch
                keptValues(i, st.pairData[1]);
                st.obsCount = keptValues(j, st.pairData[2]);
                estimatePairCovariances(st, slot);
                appendComponentRecord(st, target.recordSlot);
            });
        return;
    }
    // The products of each trait once, then every pair from them.
    bool anyPair = false;
    for (const PairTarget& target : targets) anyPair = anyPair || !target.pairs->pairs.empty();
    if (!anyPair) return;
    if (k > 0) markReplicate(st, k, g, n);
    TraitWorkspace& traits = traitWorkspace(st, traitCount);
    for (int i = 1; i <= traitCount; ++i) st.obsCount = keptValues(i, traits.setTraits[i]);
    computeTraitProducts(st, slot, traitCount);
    for (const PairTarget& target : targets)
        forEachPair(*target.pairs, [&](int i, int j, int) {
            st.firstTrait = i;
            st.secondTrait = j;
            st.resultRow = 2;
            estimatePairFromTraitProducts(st, i, j, traitCount);
            appendComponentRecord(st, target.recordSlot);
        });
}

// The record slots the targets write to, each once, in target order.
std::vector<int> recordSlots(const std::vector<PairTarget>& targets) {
    std::vector<int> slots;
    for (const PairTarget& t : targets)
        if (std::find(slots.begin(), slots.end(), t.recordSlot) == slots.end()) slots.push_back(t.recordSlot);
    return slots;
}

// The records a rank other than 0 wrote for one pass (each slot's private
// records from their start), as one message: per slot, its byte count and
// bytes.
std::string passRecords(AnalysisState& st, const std::vector<int>& slots) {
    std::string message;
    for (int slot : slots) {
        const std::vector<float> records = recordsToPosition(st, slot);
        const long long size = static_cast<long long>(records.size() * sizeof(float));
        message.append(reinterpret_cast<const char*>(&size), sizeof size);
        message.append(reinterpret_cast<const char*>(records.data()), static_cast<std::size_t>(size));
    }
    return message;
}

// Rank 0 appends a pass's records received from another rank.
void appendPassRecords(AnalysisState& st, const std::vector<int>& slots, const std::string& message) {
    std::size_t at = 0;
    for (int slot : slots) {
        long long size = 0;
        if (at + sizeof size > message.size()) stopRun("a message of pass records is short");
        std::memcpy(&size, message.data() + at, sizeof size);
        at += sizeof size;
        if (size < 0 || size % static_cast<long long>(sizeof(float)) != 0 || at + static_cast<std::size_t>(size) > message.size())
            stopRun("a message of pass records is short");
        std::vector<float> records(static_cast<std::size_t>(size) / sizeof(float));
        std::memcpy(records.data(), message.data() + at, static_cast<std::size_t>(size));
        writeRecord(st, slot, records.data(), static_cast<int>(records.size()));
        at += static_cast<std::size_t>(size);
    }
}

// Phases 1 and 2: the pass on all data (k = 0) and every replicate's pass
// (k = 1..J), each followed by the pair estimates of every target. In a team
// of R ranks pass k is rank (k mod R)'s: the other ranks send their passes'
// records to rank 0, which writes every pass's records in pass order, as one
// process writes them, and prints the progress as they arrive.
void passesPhase(AnalysisState& st, const std::vector<PairTarget>& targets, int traitCount, int n, int g,
                 const JackknifeControl& control) {
    const RankTeam& team = rankTeam();
    const int J = st.replicateCount;
    const std::vector<int> slots = recordSlots(targets);
    const bool lead = team.rank == 0;
    if (team.rank > J) {
        std::fprintf(stderr, "[rank %d] no estimation pass for this rank: %d passes over %d ranks\n", team.rank, J + 1,
                     team.size);
        std::fflush(stderr);
        return;
    }
    for (int k = 0; k <= J; ++k) {
        const int owner = k % team.size;
        if (owner == team.rank) {
            if (k == 0)
                st.obsCount = n;
            else
                compactReplicate(st, k, g, n);
            if (k > 0 && !team.active() && control.programLines) {
                std::fprintf(stderr, "Jac %d / %d\n", k, J);
                std::fflush(stderr);
            }
            if (!lead)
                for (int slot : slots) seekRecordByte(st, slot, 0);
            setUnitPriors(st);
            const int slot = k == 0 ? kSlotWholeData : kSlotReplicate;
            minquePass(st, slot);
            estimatePairs(st, targets, traitCount, slot, n, k, g);
            if (control.passComputed) control.passComputed(st, k);
            if (!lead) sendPassRecords(k, passRecords(st, slots));
        } else if (lead) {
            appendPassRecords(st, slots, receivePassRecords(k, owner));
        }
        if (!lead) continue;
        if (k > 0 && team.active() && control.programLines) {
            std::fprintf(stderr, "Jac %d / %d\n", k, J);
            std::fflush(stderr);
        }
        if (control.passDone && !control.passDone(k, J))
            throw RunError(RunError::Kind::Cancelled,
                           "The analysis was cancelled after " + std::to_string(k) + " of " + std::to_string(J) +
                               " jackknife replicates");
    }
    if (lead && control.programLines) {
        std::fputs("\n\nJackknifing Is Finished.\n\n", stderr);
        std::fflush(stderr);
    }
}

// Phase 3: statistics and report block of every pair, from the records of
// slot 5 (pairs) and slot 4 (the variances of each trait).
std::vector<ReportBlock> statisticsPhase(AnalysisState& st, const TraitPairs& pairs, int traitCount, int n,
                                         const JackknifeControl& control) {
    PhaseTimer timer(st, kPhaseStatistics);
    const int J = st.replicateCount;
    const int K = st.componentCount;
    const long long t = traitCount;
    const long long P = static_cast<long long>(pairs.pairs.size());
    st.traitPairCount = static_cast<int>(P);
    std::vector<ReportBlock> blocks;
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
        blocks.push_back(writePairReport(st, J, J - 1));
        if (!control.programLines) return;
        if (pairs.variances)
            std::fprintf(stderr, "Var %d, ", i);
        else
            std::fprintf(stderr, "Cor %d & %d, ", i, j);
        std::fflush(stderr);
    });
    return blocks;
}

}  // namespace

void markReplicate(AnalysisState& st, int k, int g, int n) {
    for (int m = 1; m <= n; ++m) {
        st.workVector[m] = static_cast<float>(m);
        st.columnVector[m] = 0.0f;
    }
    const JackknifeGroups groups{n, g};
    for (int m = groups.firstDeleted(k); m <= groups.lastDeleted(k); ++m) st.workVector[m] = 0.0f;
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

void runJackknife(AnalysisState& st, const TraitPairs& pairs, int traitCount, int groupSize,
                  const JackknifeControl& control) {
    const int n = st.obsCount;
    const std::vector<PairTarget> targets = {{&pairs, kSlotCovariance}};
    passesPhase(st, targets, traitCount, n, groupSize, control);
    if (rankTeam().rank == 0) statisticsPhase(st, pairs, traitCount, n, control);
}

ReportedBlocks runJackknifeBoth(AnalysisState& st, int traitCount, int groupSize, std::FILE* varianceReport,
                                std::FILE* covarianceReport, const JackknifeControl& control) {
    const int n = st.obsCount;
    const TraitPairs variances = variancePairs(traitCount);
    const TraitPairs covariances = covariancePairs(traitCount);
    std::FILE* covarianceFile = st.streams[kSlotCovariance];
    const std::vector<PairTarget> targets = {{&variances, kSlotVariance}, {&covariances, kSlotCovariance}};
    passesPhase(st, targets, traitCount, n, groupSize, control);
    ReportedBlocks blocks;
    if (rankTeam().rank != 0) return blocks;

    // The variance report reads its records from the variance file in both
    // slots, as minque-var does; then the covariance report as minque-cov.
    // The slots are the caller's again on every way out.
    struct Restore {
        AnalysisState& st;
        std::FILE* report;
        std::FILE* covariances;
        AnalysisState::RecordStore covarianceStore;
        bool holding = false;
        void giveBack() {
            if (holding) st.recordStores[kSlotCovariance] = std::move(covarianceStore);
            holding = false;
        }
        ~Restore() {
            st.streams[kSlotReport] = report;
            st.streams[kSlotCovariance] = covariances;
            giveBack();
        }
    } restore{st, st.streams[kSlotReport], covarianceFile, {}, false};
    st.streams[kSlotReport] = varianceReport;
    st.streams[kSlotCovariance] = st.streams[kSlotVariance];
    restore.covarianceStore = std::move(st.recordStores[kSlotCovariance]);
    restore.holding = true;
    st.recordStores[kSlotCovariance] = st.recordStores[kSlotVariance];
    blocks.variances = statisticsPhase(st, variances, traitCount, n, control);
    st.streams[kSlotReport] = covarianceReport;
    st.streams[kSlotCovariance] = covarianceFile;
    restore.giveBack();
    if (control.covarianceRecords) blocks.covarianceRecords = allRecords(st, kSlotCovariance);
    blocks.covariances = statisticsPhase(st, covariances, traitCount, n, control);
    return blocks;
}

}  // namespace minque
