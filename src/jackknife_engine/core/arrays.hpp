// One-based numeric arrays.
//
// Every array of the analysis is addressed with the bounds its caller chose,
// most often starting at 1: a vector v[lo..hi], a matrix m[rlo..rhi][clo..chi].
// Elements are 32-bit floats ("d" allocators, despite the name) or 32-bit
// signed ints ("i" allocators); every element starts at zero, which the
// analysis relies on (counts, weights and sums are filled only where the model
// sets them).
//
// Layout: a vector is one contiguous block; a matrix is one contiguous
// row-major block (row stride = number of columns), so hot loops can stream a
// row or a whole triangle. Arrays are sized once and never resized; shrinking
// data sets (jackknife replicates) use a prefix. Allocation failure ends the
// run through fatalError with the allocator's message; every array frees its
// block when it goes.
//
// Index checks: a build with MINQUE_CHECKED_INDEX defined (the sanitizer
// build) checks every operator[] against the bounds and stops the run with the
// offending index (an internal error), so an out-of-range subscript is caught
// at its source rather than somewhere inside the block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace minque {

#ifdef MINQUE_CHECKED_INDEX
[[noreturn]] void indexOutOfRange(long index, long lo, long hi);
#define MINQUE_CHECK_INDEX(i, lo, hi) \
    do { if ((i) < (lo) || (i) > (hi)) ::minque::indexOutOfRange((i), (lo), (hi)); } while (0)
#else
#define MINQUE_CHECK_INDEX(i, lo, hi) do { } while (0)
#endif

struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

// Zeroed block of `count` elements of `size` bytes, or nullptr when the size
// overflows, passes the allocation limit or the allocator refuses. count 0
// gives a valid empty block.
void* zeroedBlock(std::size_t count, std::size_t size);

// The largest single array the allocators hand out (default: no limit). The
// fuzzing harnesses lower it, so that a file asking for more memory than
// they allow meets the allocators' failure path like one asking for more than
// the machine has.
void setAllocationLimit(std::size_t bytes);
std::size_t allocationLimit();

// A view of one row (or of a whole vector): index lo..hi.
template <class T>
class Row {
public:
    Row() = default;
    Row(T* first, int lo, int hi) : first_(first), lo_(lo), hi_(hi) {}
    T& operator[](int i) const {
        MINQUE_CHECK_INDEX(i, lo_, hi_);
        return first_[i - lo_];
    }
    // Raw pointer to element i (i may be hi + 1, the end); for hot loops.
    T* ptr(int i) const { return first_ + (i - lo_); }
    int lo() const { return lo_; }
    int hi() const { return hi_; }

private:
    T* first_ = nullptr;
    int lo_ = 1, hi_ = 0;
};

template <class T>
class Vector {
public:
    Vector() = default;
    Vector(std::unique_ptr<T[], FreeDeleter> block, int lo, int hi)
        : block_(std::move(block)), lo_(lo), hi_(hi) {}
    T& operator[](int i) const {
        MINQUE_CHECK_INDEX(i, lo_, hi_);
        return block_.get()[i - lo_];
    }
    T* ptr(int i) const { return block_.get() + (i - lo_); }
    int lo() const { return lo_; }
    int hi() const { return hi_; }

private:
    std::unique_ptr<T[], FreeDeleter> block_;
    int lo_ = 1, hi_ = 0;
};

template <class T>
class Matrix {
public:
    Matrix() = default;
    Matrix(std::unique_ptr<T[], FreeDeleter> block, int rlo, int rhi, int clo, int chi)
        : block_(std::move(block)), rlo_(rlo), rhi_(rhi), clo_(clo), chi_(chi),
          stride_(static_cast<std::size_t>(chi - clo + 1)) {}
    Row<T> operator[](int r) const {
        MINQUE_CHECK_INDEX(r, rlo_, rhi_);
        return Row<T>(block_.get() + static_cast<std::size_t>(r - rlo_) * stride_, clo_, chi_);
    }
    // Raw pointer to element (r, c); for hot loops over contiguous rows.
    T* ptr(int r, int c) const {
        return block_.get() + static_cast<std::size_t>(r - rlo_) * stride_ + (c - clo_);
    }
    std::size_t stride() const { return stride_; }
    int rowHi() const { return rhi_; }

private:
    std::unique_ptr<T[], FreeDeleter> block_;
    int rlo_ = 1, rhi_ = 0, clo_ = 1, chi_ = 0;
    std::size_t stride_ = 0;
};

// Ragged list: rows 1..rows, row c addressed 1..length[c] + 1 (one element
// longer than the entries it holds). One block plus row offsets.
template <class T>
class Ragged {
public:
    Ragged() = default;
    Ragged(std::unique_ptr<T[], FreeDeleter> block, std::unique_ptr<std::size_t[], FreeDeleter> offsets,
           int rows)
        : block_(std::move(block)), offsets_(std::move(offsets)), rows_(rows) {}
    Row<T> operator[](int c) const {
        MINQUE_CHECK_INDEX(c, 1, rows_);
        const std::size_t begin = offsets_[c - 1];
        const std::size_t end = offsets_[c];
        return Row<T>(block_.get() + begin, 1, static_cast<int>(end - begin));
    }
    int rows() const { return rows_; }

private:
    std::unique_ptr<T[], FreeDeleter> block_;
    std::unique_ptr<std::size_t[], FreeDeleter> offsets_;
    int rows_ = 0;
};

using FloatVector = Vector<float>;
using IntVector = Vector<std::int32_t>;
using FloatMatrix = Matrix<float>;
using IntMatrix = Matrix<std::int32_t>;
using FloatRagged = Ragged<float>;
using IntRagged = Ragged<std::int32_t>;

// The four allocators. Failure calls fatalError with
// "allocation failure in dvector()", "allocation failure in ivector()",
// "allocation failure 1 in dmatrix()" / "allocation failure 2 in dmatrix()"
// (row table / rows) and the same for imatrix().
FloatVector dvector(int nl, int nh);
IntVector ivector(int nl, int nh);
FloatMatrix dmatrix(int nrl, int nrh, int ncl, int nch);
IntMatrix imatrix(int nrl, int nrh, int ncl, int nch);

// Ragged lists sized from per-row entry counts counts[1..rows] (each row gets
// count + 1 slots). Failures use the imatrix()/dmatrix() messages.
IntRagged iragged(const IntVector& counts, int rows);
FloatRagged dragged(const IntVector& counts, int rows);

// Grows a work vector of the fast kernels to at least `size` elements (it
// never shrinks, so after the first, largest data set nothing is allocated);
// failure ends the run like any allocation failure.
[[noreturn]] void workAllocationFailure();
template <class T>
void ensureWorkSize(std::vector<T>& v, std::size_t size) {
    if (v.size() >= size) return;
    if (size > allocationLimit() / sizeof(T)) workAllocationFailure();
    try {
        v.resize(size);
    } catch (const std::bad_alloc&) {
        workAllocationFailure();
    }
}

}  // namespace minque
