#include "jackknife_engine/core/arrays.hpp"

#include <cstdio>
#include <limits>

#include "core/fatal_error.hpp"

namespace minque {

#ifdef MINQUE_CHECKED_INDEX
void indexOutOfRange(long index, long lo, long hi) {
    stopRun("internal error: index %ld outside %ld..%ld", index, lo, hi);
}
#endif

namespace {
std::size_t limitBytes = std::numeric_limits<std::size_t>::max();
}  // namespace

void setAllocationLimit(std::size_t bytes) { limitBytes = bytes; }
std::size_t allocationLimit() { return limitBytes; }

void* zeroedBlock(std::size_t count, std::size_t size) {
    if (count == 0) count = 1;  // an empty array still gets a valid block
    if (count > limitBytes / size) return nullptr;
    return std::calloc(count, size);
}

namespace {

// Elements of the range lo..hi; a reversed range is empty. Negative when the
// bounds are absurd (hi - lo overflowing int), which the allocators refuse.
long long extent(int lo, int hi) {
    return hi >= lo ? static_cast<long long>(hi) - lo + 1 : 0;
}

template <class T>
std::unique_ptr<T[], FreeDeleter> block(long long count, const char* failure) {
    void* p = zeroedBlock(static_cast<std::size_t>(count), sizeof(T));
    if (p == nullptr) fatalError(failure);
    return std::unique_ptr<T[], FreeDeleter>(static_cast<T*>(p));
}

template <class T>
Matrix<T> matrix(int nrl, int nrh, int ncl, int nch, const char* failure2) {
    const long long rows = extent(nrl, nrh);
    const long long cols = extent(ncl, nch);
    // One contiguous block holds every row; its failure is the rows' failure.
    if (cols != 0 && rows > std::numeric_limits<long long>::max() / cols) fatalError(failure2);
    auto data = block<T>(rows * cols, failure2);
    return Matrix<T>(std::move(data), nrl, nrh, ncl, nch);
}

template <class T>
Ragged<T> ragged(const IntVector& counts, int rows, const char* failure1, const char* failure2) {
    void* off = zeroedBlock(static_cast<std::size_t>(rows) + 1, sizeof(std::size_t));
    if (off == nullptr) fatalError(failure1);
    std::unique_ptr<std::size_t[], FreeDeleter> offsets(static_cast<std::size_t*>(off));
    std::size_t total = 0;
    for (int c = 1; c <= rows; ++c) {
        total += static_cast<std::size_t>(counts[c]) + 1;
        offsets[c] = total;
    }
    auto data = block<T>(static_cast<long long>(total), failure2);
    return Ragged<T>(std::move(data), std::move(offsets), rows);
}

}  // namespace

void workAllocationFailure() { fatalError("allocation failure in dvector()"); }

FloatVector dvector(int nl, int nh) {
    return FloatVector(block<float>(extent(nl, nh), "allocation failure in dvector()"), nl, nh);
}

IntVector ivector(int nl, int nh) {
    return IntVector(block<std::int32_t>(extent(nl, nh), "allocation failure in ivector()"), nl, nh);
}

FloatMatrix dmatrix(int nrl, int nrh, int ncl, int nch) {
    return matrix<float>(nrl, nrh, ncl, nch, "allocation failure 2 in dmatrix()");
}

IntMatrix imatrix(int nrl, int nrh, int ncl, int nch) {
    return matrix<std::int32_t>(nrl, nrh, ncl, nch, "allocation failure 2 in imatrix()");
}

IntRagged iragged(const IntVector& counts, int rows) {
    return ragged<std::int32_t>(counts, rows, "allocation failure 1 in imatrix()",
                                "allocation failure 2 in imatrix()");
}

FloatRagged dragged(const IntVector& counts, int rows) {
    return ragged<float>(counts, rows, "allocation failure 1 in dmatrix()",
                         "allocation failure 2 in dmatrix()");
}

}  // namespace minque
