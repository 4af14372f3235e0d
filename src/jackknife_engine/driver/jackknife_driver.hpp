// The jackknife loop: the estimation on all data and on every replicate, the
// covariance file, and the statistics and report block of every trait pair.
//
// Replicate k (1..J, J = n / g) leaves out observations (k - 1) g + 1 .. k g;
// the last n - J g observations are in every replicate. "MATRIX.cov" record
// k P + pair holds the pair's covariance components in replicate k (k = 0:
// all data); "MATWRN.var" record k t + (i - 1) the variance components of
// trait i.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/report/report_writer.hpp"

namespace minque {

// What the loop estimates: the covariances of the trait pairs i < j (records
// in "MATRIX.cov"), or the variances of every trait, as the pairs (i, i)
// (records written to the variance file itself, which then serves both
// slots 4 and 5).
struct TraitPairs {
    std::vector<std::pair<int, int>> pairs;
    bool variances = false;
};
TraitPairs covariancePairs(int traitCount);
TraitPairs variancePairs(int traitCount);

// What the loop tells the console, and whom it asks whether to go on. The
// programs' own lines ("Jac k / J" per replicate, "Var i, " or "Cor i & j, "
// per report block) by default; a front door turns them off and follows the
// passes through passDone, which is told after every pass (replicate 0: the
// whole data, then 1..J) and returns false to stop the run there: before the
// next pass, or before the statistics after the last one. The run then ends
// with a cancelled RunError (passDone may also throw its own).
// passComputed, when given, is called on the process that computed a pass,
// right after its records were appended, with the state still holding the
// pass's data set (its design lists, obsCount): work of the caller's own on
// the same data set (the predicted effects).
struct JackknifeControl {
    bool programLines = true;
    std::function<bool(int replicate, int replicates)> passDone;
    std::function<void(AnalysisState& state, int replicate)> passComputed;
    bool covarianceRecords = false;  // runJackknifeBoth also returns "MATRIX.cov" whole
};

// Runs the three phases for the pairs of `traitCount` traits with group size
// g; the state holds the model, the data and the open streams.
void runJackknife(AnalysisState& state, const TraitPairs& pairs, int traitCount, int groupSize,
                  const JackknifeControl& control = {});

// The variances of every trait and the covariances of every pair from one
// jackknife: each pass (all data, then every replicate) serves both, its
// variance records going to the variance file (slot 4) and its covariance
// records to "MATRIX.cov" (slot 5); then the variance report (as minque-var
// writes it) and the covariance report (as minque-cov writes it), each to the
// stream given. Returns the blocks of both reports as they were printed.
struct ReportedBlocks {
    std::vector<ReportBlock> variances, covariances;
    std::vector<float> covarianceRecords;  // on request, the whole of "MATRIX.cov", as the reports read it
    // A combined run's estimates and reports as values: the variance
    // records (the bytes of "MATWRN.var") and the texts of both reports.
    std::vector<float> varianceRecords;
    std::string varianceReport, covarianceReport;
};
ReportedBlocks runJackknifeBoth(AnalysisState& state, int traitCount, int groupSize, std::FILE* varianceReport,
                                std::FILE* covarianceReport, const JackknifeControl& control = {});

// Keep marks of replicate k: workVector[m] = m for a kept observation and 0
// for a deleted one; columnVector[1..n] = 0.
void markReplicate(AnalysisState& state, int k, int g, int n);

// The design lists of replicate k, rebuilt from the full lists: kept
// observations renumbered 1..n - g in order, coefficients carried with their
// rows, obsCount = n - g; columnVector[m] holds the new number of m.
void compactReplicate(AnalysisState& state, int k, int g, int n);

}  // namespace minque
