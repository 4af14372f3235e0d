#include "jackknife_engine/io/product_records.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "core/fatal_error.hpp"

namespace minque {

static_assert(std::numeric_limits<float>::is_iec559, "records hold IEEE 754 floats");
static_assert(std::endian::native == std::endian::little, "records are little-endian");

const char* slotFileName(const AnalysisState& st, int slot) {
    if (slot == kSlotCovariance && st.streams[kSlotCovariance] != nullptr &&
        st.streams[kSlotCovariance] == st.streams[kSlotVariance])
        slot = kSlotVariance;
    switch (slot) {
        case kSlotWholeData: return "MATRIX.UQ2";
        case kSlotReplicate: return "MATRIX.UQ3";
        case kSlotVariance: return "MATWRN.var";
        case kSlotCovariance: return "MATRIX.cov";
        default: return "the report";
    }
}

namespace {

AnalysisState::RecordStore* storeOf(const AnalysisState& st, int slot) {
    auto& store = st.recordStores[static_cast<std::size_t>(slot)];
    return store.active ? &store : nullptr;
}

}  // namespace

void seekRecordByte(const AnalysisState& st, int slot, long long byteOffset) {
    if (AnalysisState::RecordStore* store = storeOf(st, slot)) {
        store->position = static_cast<std::size_t>(byteOffset) / sizeof(float);
        return;
    }
    if (std::fseek(st.streams[static_cast<std::size_t>(slot)], static_cast<long>(byteOffset), SEEK_SET) != 0) {
        // Positioning writes out what the stream still holds: a full disk
        // shows here, and is one.
        const int error = errno;
        if (error == EFBIG || error == ENOSPC || error == EDQUOT || error == EIO)
            stopRun("%s: the records could not be written (%s)", slotFileName(st, slot), std::strerror(error));
        stopRun("%s: cannot position the file at byte %lld (%s)", slotFileName(st, slot), byteOffset, std::strerror(error));
    }
}

void readRecord(const AnalysisState& st, int slot, float* first, int count) {
    if (AnalysisState::RecordStore* store = storeOf(st, slot)) {
        const std::size_t n = static_cast<std::size_t>(count);
        if (store->position + n > store->values.size())
            stopRun("%s: a record of %d floats could not be read (the records end early)", slotFileName(st, slot), count);
        std::memcpy(first, store->values.data() + store->position, n * sizeof(float));
        store->position += n;
        return;
    }
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    const std::size_t got = std::fread(first, sizeof(float), static_cast<std::size_t>(count), f);
    if (got != static_cast<std::size_t>(count))
        stopRun("%s: a record of %d floats could not be read (%s)", slotFileName(st, slot), count,
                std::ferror(f) ? std::strerror(errno) : "the file ends early");
}

void writeRecord(const AnalysisState& st, int slot, const float* first, int count) {
    if (AnalysisState::RecordStore* store = storeOf(st, slot)) {
        const std::size_t n = static_cast<std::size_t>(count);
        try {
            if (store->position + n > store->values.size()) store->values.resize(store->position + n);
        } catch (const std::bad_alloc&) {
            stopRun("%s: not enough memory for the records of the analysis", slotFileName(st, slot));
        }
        std::memcpy(store->values.data() + store->position, first, n * sizeof(float));
        store->position += n;
        return;
    }
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    if (std::fwrite(first, sizeof(float), static_cast<std::size_t>(count), f) != static_cast<std::size_t>(count))
        stopRun("%s: a record of %d floats could not be written (%s)", slotFileName(st, slot), count, std::strerror(errno));
}

std::vector<float> recordsToPosition(const AnalysisState& st, int slot) {
    if (const AnalysisState::RecordStore* store = storeOf(st, slot))
        return {store->values.begin(), store->values.begin() + static_cast<std::ptrdiff_t>(store->position)};
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    const long bytes = std::ftell(f);
    std::vector<float> values(bytes > 0 ? static_cast<std::size_t>(bytes) / sizeof(float) : 0);
    if (bytes < 0 || std::fseek(f, 0, SEEK_SET) != 0 ||
        std::fread(values.data(), sizeof(float), values.size(), f) != values.size())
        stopRun("%s: the records could not be read back", slotFileName(st, slot));
    return values;
}

std::vector<float> allRecords(const AnalysisState& st, int slot) {
    if (const AnalysisState::RecordStore* store = storeOf(st, slot)) return store->values;
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    if (std::fseek(f, 0, SEEK_END) != 0) stopRun("%s: the records could not be read back", slotFileName(st, slot));
    return recordsToPosition(st, slot);
}

void seekProductRecord(const AnalysisState& st, int slot, int column) {
    seekRecordByte(st, slot, static_cast<long long>(column - 1) * st.obsRecordLength * 4);
}

void readProductRecord(const AnalysisState& st, int slot, const FloatVector& buffer) {
    readRecord(st, slot, buffer.ptr(0), st.obsRecordLength);
}

}  // namespace minque
