#include "io/product_records.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>

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

void seekRecordByte(const AnalysisState& st, int slot, long long byteOffset) {
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
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    const std::size_t got = std::fread(first, sizeof(float), static_cast<std::size_t>(count), f);
    if (got != static_cast<std::size_t>(count))
        stopRun("%s: a record of %d floats could not be read (%s)", slotFileName(st, slot), count,
                std::ferror(f) ? std::strerror(errno) : "the file ends early");
}

void writeRecord(const AnalysisState& st, int slot, const float* first, int count) {
    std::FILE* f = st.streams[static_cast<std::size_t>(slot)];
    if (std::fwrite(first, sizeof(float), static_cast<std::size_t>(count), f) != static_cast<std::size_t>(count))
        stopRun("%s: a record of %d floats could not be written (%s)", slotFileName(st, slot), count, std::strerror(errno));
}

void seekProductRecord(const AnalysisState& st, int slot, int column) {
    seekRecordByte(st, slot, static_cast<long long>(column - 1) * st.obsRecordLength * 4);
}

void readProductRecord(const AnalysisState& st, int slot, const FloatVector& buffer) {
    readRecord(st, slot, buffer.ptr(0), st.obsRecordLength);
}

}  // namespace minque
