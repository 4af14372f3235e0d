// Fixed-length float records in the binary files of the analysis.
//
// Product records ("MATRIX.UQ2" for the whole data, "MATRIX.UQ3" for the
// current jackknife replicate): record l (l = 1..m) holds row l of U'Q, that is
// column l of QU, as n + 1 little-endian IEEE floats: slot 0 a zero pad, slots
// 1..n the values. Record l starts at byte (l - 1)(n + 1) 4. No header.
//
// Component records ("MATWRN.var", "MATRIX.cov"): K + 1 floats, float 0
// without meaning, floats 1..K the components.
//
// Every transfer is one fread/fwrite of a whole record; a failed seek, read or
// write stops the run with a message naming the file. A slot whose record
// store is active (AnalysisState::recordStores) holds the same floats in
// memory instead, at the same positions, and nothing reaches a file.
#pragma once

#include <cstdio>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

static_assert(sizeof(float) == 4, "records hold 32-bit floats");

// The name of the file open in `slot`, for messages: minque-var's records go
// through the covariance slot into the variance file.
const char* slotFileName(const AnalysisState& st, int slot);

void seekRecordByte(const AnalysisState& state, int slot, long long byteOffset);
void readRecord(const AnalysisState& state, int slot, float* first, int count);
void writeRecord(const AnalysisState& state, int slot, const float* first, int count);

// Every float written to `slot` from its start up to the current position
// (a rank's records of one pass), and every float the slot holds.
std::vector<float> recordsToPosition(const AnalysisState& state, int slot);
std::vector<float> allRecords(const AnalysisState& state, int slot);

// Positions the product file of `slot` at record `column` (one-based) of the
// current record length.
void seekProductRecord(const AnalysisState& state, int slot, int column);
// Reads the next product record into buffer slots 0..n.
void readProductRecord(const AnalysisState& state, int slot, const FloatVector& buffer);

}  // namespace minque
