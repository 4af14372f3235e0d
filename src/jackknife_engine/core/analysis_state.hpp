// The analysis state: model dimensions, design lists, weights, trait data,
// work arrays, jackknife accumulators and the six file streams.
//
// The model is y = X b + U_1 e_1 + ... + U_r e_r + e with n observations,
// p fixed-effect columns (X, 0/1), r random factors with L_u levels each
// (q = L_1 + ... + L_r columns of U with real coefficients) and the residual.
//
// Component order: 1..r the random factors, r+1..r+covarianceCount the
// covariance components between two random factors, K = componentCount the
// residual; the statistics add K+1 (G+GE) and K+2 (Phenotypic).
//
// One instance per run, filled by the readers and the model constants, never
// resized. Afterwards only obsCount, obsRecordLength, the current design lists,
// pairData, priorValues, firstTrait/secondTrait, the work arrays and the
// accumulators change. Every index is one-based.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "core/model_design.hpp"
#include "jackknife_engine/core/arrays.hpp"

namespace minque {

struct InverseWorkspace;
struct ProjectionWorkspace;
struct TraitWorkspace;

// Table limits of the state.
// (kMaxRandomFactors, kMaxTraits and the name lengths are the design's.)
inline constexpr int kMaxCovarianceComponents = 20;

// Stream slots.
inline constexpr int kSlotReport = 0;  // the .MAT file while reading, then the report
inline constexpr int kSlotDat = 1;
inline constexpr int kSlotWholeData = 2;  // the data file while reading, then "MATRIX.UQ2"
inline constexpr int kSlotReplicate = 3;  // "MATRIX.UQ3"
inline constexpr int kSlotVariance = 4;   // "MATWRN.var"
inline constexpr int kSlotCovariance = 5; // "MATRIX.cov"

// Phases of a run whose wall-clock time can be gathered.
enum Phase { kPhaseInverse, kPhaseProjection, kPhaseEquations, kPhasePairs, kPhaseStatistics, kPhaseCount };

struct AnalysisState {
    int reportInChinese = 0;
    int obsCount = 0;          // n of the data set being estimated
    int fixedCount = 0;        // p
    int randomFactorCount = 0; // r
    int randomLevelCount = 0;  // q (m): columns of U
    int workOrder = 0;
    int componentCount = 0;    // K
    int covarianceCount = 0;
    int fullCovarianceSet = 0;
    int factorShift = 0;
    int dosageFactor = 0;
    int recordLength = 0;      // K + 1 floats per component record
    int obsRecordLength = 0;   // obsCount + 1 floats per product record
    int replicateCount = 0;    // J
    int replicateDf = 0;       // J - 1
    int traitPairCount = 0;
    int firstTrait = 0, secondTrait = 0;
    int resultRow = 2;

    IntVector factorLevels;       // 0..r
    IntVector factorLevelEnd;     // 0..r: last U column of factor u
    IntMatrix factorColumnRange;  // 1..r x 1..2: first and last U column of factor u

    IntVector fixedColCountFull, fixedColCount;  // 1..p
    IntRagged fixedColRowsFull, fixedColRows;    // observation numbers of each X column
    IntVector randomColCountFull, randomColCount;  // 1..q
    IntRagged randomColRowsFull, randomColRows;    // observation numbers of each U column
    FloatRagged randomColValuesFull, randomColValues;  // coefficients, parallel to the rows

    FloatMatrix priorValues;     // 1..3 x 0..K+15
    FloatVector componentWeight; // 1..K+15
    IntMatrix covariancePair;    // 0..20 x 1..2: the two random factors of covariance component k

    FloatMatrix traitData;  // 1..t x 1..n
    FloatMatrix pairData;   // 1..2 x 1..n
    FloatMatrix vInverse;   // 1..n x 1..n: V^-1, then the projection Q
    FloatVector workVector;     // 0..n (at least K, p)
    FloatVector columnVector;   // 0..n (at least K, p)
    FloatVector longWorkVector; // 1..max(q, n) (at least K, p)
    FloatMatrix equationMatrix, equationWork;  // square, order max(workOrder, K, p)
    FloatMatrix designWork;     // projection and trace scratch; right singular vectors of S
    std::vector<double> projectionTerms;  // 0..p: the double terms t_f of one row of the projection

    // Scratch of the fast host kernels. Each type is defined beside the
    // kernel that owns it (linalg/sherman_cpu.hpp, minque/minque_pass.hpp,
    // minque/pair_covariances.hpp) and created at that kernel's first use;
    // the state only keeps it alive from pass to pass, so that nothing is
    // allocated per replicate.
    std::shared_ptr<InverseWorkspace> inverseWorkspace;
    std::shared_ptr<ProjectionWorkspace> projectionWorkspace;
    std::shared_ptr<TraitWorkspace> traitWorkspace;

    FloatMatrix wholeTerms, jackTerms;                  // 1..3 x 0..K+2
    FloatVector jackVectorA, jackVectorB, jackVectorC;  // 0..K+2

    std::vector<std::string> componentNames;  // 1..max(r + 5, K); labels past r + 5 are empty
    std::vector<std::string> traitNames;      // 1..t

    std::array<std::FILE*, 6> streams{};
    std::string reportName;  // for messages about the report stream

    // The record slots 2..5 of a run that keeps its records in memory (the
    // library's runs): a slot whose store is active holds its records here,
    // float for float as its file would, and its stream is not used.
    struct RecordStore {
        bool active = false;
        std::vector<float> values;  // every float written, from the start
        std::size_t position = 0;   // the next float read or written
    };
    mutable std::array<RecordStore, 6> recordStores{};

    // True when vInverse holds an exactly symmetric inverse (the host path);
    // the GPU solve is symmetric only up to rounding.
    bool inverseSymmetric = true;
    bool forceHost = false;  // compute on the host even when a device is present
    // Run the straightforward reference kernels instead of the fast ones:
    // the same digits, slower; for comparing the two.
    bool referenceKernels = false;

    bool timePhases = false;
    double phaseSeconds[kPhaseCount] = {};
};

}  // namespace minque
