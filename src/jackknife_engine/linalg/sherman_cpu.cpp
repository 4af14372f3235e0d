#include "jackknife_engine/linalg/sherman_cpu.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

#include "jackknife_engine/linalg/update_kernels.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

// The n x n matrix, addressed from zero inside the kernels: element (i, j)
// of the one-based matrix is row(i - 1)[j - 1].
struct LowerMatrix {
    float* base;         // element (1, 1)
    std::size_t stride;  // floats per row
    float* row(int i) const { return base + static_cast<std::size_t>(i) * stride; }
    // W[i][j] read from its lower-triangle twin.
    float at(int i, int j) const { return j <= i ? row(i)[j] : row(j)[i]; }
};

// Adds one column with entries rows[0..count-1] (one-based observation
// numbers; coefficients values[0..count-1], or all 1 for a fixed column) and
// weight w. b[0..n-1] receives W z.
void addColumn(const LowerMatrix& W, int n, const std::int32_t* rows, const float* values, int count, float w,
               bool fixed, float* b) {
    for (int i = 0; i < n; ++i) {
        double sum = 0.0;
        if (fixed) {
            for (int k = 0; k < count; ++k) sum += static_cast<double>(W.at(i, rows[k] - 1));
        } else {
            for (int k = 0; k < count; ++k) sum += static_cast<double>(W.at(i, rows[k] - 1) * values[k]);
        }
        b[i] = static_cast<float>(sum);
    }
    double s = 0.0;
    double f;
    if (fixed) {
        for (int k = 0; k < count; ++k) s += static_cast<double>(b[rows[k] - 1]);
        s = s + 1.0;
        f = 1.0 / s;
    } else {
        for (int k = 0; k < count; ++k) s += static_cast<double>(b[rows[k] - 1] * values[k]);
        s = s * static_cast<double>(w) + 1.0;
        f = static_cast<double>(w) / s;
    }
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(b[i]) * f;
        float* Wi = W.row(i);
        for (int j = 0; j <= i; ++j)
            Wi[j] = static_cast<float>(static_cast<double>(Wi[j]) - static_cast<double>(b[j]) * t);
    }
}

// Copies the lower triangle into the upper one, tile by tile.
void mirrorLowerToUpper(const LowerMatrix& W, int n) {
    constexpr int kTile = 64;
    for (int i0 = 0; i0 < n; i0 += kTile) {
        const int i1 = std::min(n, i0 + kTile);
        for (int j0 = 0; j0 < i1; j0 += kTile) {
            const int j1 = std::min(i1, j0 + kTile);
            for (int i = i0; i < i1; ++i) {
                const float* Wi = W.row(i);
                for (int j = j0; j < std::min(j1, i); ++j) W.row(j)[i] = Wi[j];
            }
        }
    }
}

}  // namespace

void shermanCPUReference(AnalysisState& st, int n) {
    const LowerMatrix W{st.vInverse.ptr(1, 1), st.vInverse.stride()};
    float* b = st.workVector.ptr(1);  // b[i - 1] = workVector[i]
    const double residualPrior = static_cast<double>(st.priorValues[1][st.componentCount]);
    const float d = static_cast<float>(1.0 / residualPrior);
    for (int i = 0; i < n; ++i) {
        float* Wi = W.row(i);
        std::fill(Wi, Wi + i, 0.0f);
        Wi[i] = d;
    }

    // Random columns, last to first, each with its factor's prior value.
    int u = st.randomFactorCount;
    for (int c = st.randomLevelCount; c >= 1; --c) {
        while (u > 1 && c <= st.factorLevelEnd[u - 1]) --u;
        const float w = st.priorValues[1][u];
        if (std::fabs(static_cast<double>(w)) <= 1e-8) continue;
        addColumn(W, n, st.randomColRows[c].ptr(1), st.randomColValues[c].ptr(1), st.randomColCount[c], w, false, b);
    }
    // Fixed columns, last to first, weight 1.
    for (int c = st.fixedCount; c >= 1; --c)
        addColumn(W, n, st.fixedColRows[c].ptr(1), nullptr, st.fixedColCount[c], 1.0f, true, b);

    mirrorLowerToUpper(W, n);
}

namespace {

InverseWorkspace& workspaceOf(AnalysisState& st) {
    if (!st.inverseWorkspace) st.inverseWorkspace = std::make_shared<InverseWorkspace>();
    return *st.inverseWorkspace;
}

constexpr int kMaxPending = 32;
constexpr int kCatchUpGroup = 16;  // entry rows brought up to date together

// One column of U or X to add: entries rows[0..count-1] (one-based
// observation numbers) with coefficients values[] (unused for a fixed column).
struct ColumnUpdate {
    const std::int32_t* rows;
    const float* values;
    int count;
    float weight;
    bool fixed;
};

class BlockedInverse {
public:
    BlockedInverse(AnalysisState& st, int n)
        : n_(n), stride_(st.vInverse.stride()), W_(st.vInverse.ptr(1, 1)), b_(st.workVector.ptr(1)), st_(st),
          ws_(workspaceOf(st)) {
        const std::size_t full = static_cast<std::size_t>(st.vInverse.rowHi());
        ensureWorkSize(ws_.pendingB, kMaxPending * full);
        ensureWorkSize(ws_.pendingT, kMaxPending * full);
        ensureWorkSize(ws_.sums, full);
        ensureWorkSize(ws_.rowCopies, full * kCatchUpGroup * static_cast<std::size_t>(workerThreads()));
        ensureWorkSize(ws_.rowMarks, full);
        ensureWorkSize(ws_.rowList, full);
        ensureWorkSize(ws_.columnOrder, static_cast<std::size_t>(st.randomLevelCount + st.fixedCount));
        listColumns();
    }

    void run() {
        const double residualPrior = static_cast<double>(st_.priorValues[1][st_.componentCount]);
        const float d = static_cast<float>(1.0 / residualPrior);
        // d I on the lower triangle; the rows the first block reads are
        // completed like those of every later block.
        runOnWorkers([&](int worker) {
            int i0, i1;
            splitTriangle(n_, worker, workerThreads(), &i0, &i1);
            for (int i = i0; i < i1; ++i) {
                float* Wi = row(i);
                std::fill(Wi, Wi + i, 0.0f);
                Wi[i] = d;
            }
        });
        const int local = localPrefix(d);
        for (int q = 0; q < local; ++q) addLocal(column(q));
        completeRowsOf(local, blockEnd(local));
        for (int pos = local; pos < columns_;) {
            const int end = blockEnd(pos);
            for (int q = pos; q < end; ++q) add(column(q));
            sweep();
            completeRowsOf(end, blockEnd(end));
            pos = end;
        }
        mirrorAll();
    }

private:
    // The columns at the start of the order whose entry rows no earlier column
    // has touched (typically the levels of the first factor processed, each
    // on its own observations). Until such a column, its rows hold d on the
    // diagonal and +0 elsewhere, so b is exactly +0 outside the column's rows
    // and, with a positive weight and d, so is b_i f; every element outside
    // the block of those rows then receives an exactly zero product and keeps
    // its bits (an element between two blocks is +0 and stays +0). These
    // columns are applied to their own block only.
    int localPrefix(float d) const {
        if (!(d > 0.0f)) return 0;
        int* touched = ws_.rowMarks.data();
        int q = 0;
        for (; q < columns_; ++q) {
            const ColumnUpdate c = column(q);
            if (c.fixed || !(c.weight > 0.0f)) break;
            bool fresh = true;
            for (int k = 0; k < c.count && fresh; ++k) fresh = touched[c.rows[k] - 1] == 0;
            if (!fresh) break;
            for (int k = 0; k < c.count; ++k) touched[c.rows[k] - 1] = 1;
        }
        std::fill(ws_.rowMarks.begin(), ws_.rowMarks.begin() + n_, 0);
        return q;
    }

    // One column applied to the block of its rows, element by element as in
    // every update: (i, j), i >= j, becomes W[i][j] - b_j (b_i f).
    void addLocal(const ColumnUpdate& c) {
        // The column's distinct rows, ascending: an observation listed
        // several times is one row of the block (the list may be longer
        // than n, the distinct rows never are).
        int* seen = ws_.rowMarks.data();
        int* rows = ws_.rowList.data();
        int count = 0;
        for (int k = 0; k < c.count; ++k) {
            const int r = c.rows[k] - 1;
            if (seen[r] == 0) {
                seen[r] = 1;
                rows[count++] = r;
            }
        }
        std::sort(rows, rows + count);
        auto at = [this](int i, int j) { return j <= i ? row(i)[j] : row(j)[i]; };
        for (int a = 0; a < count; ++a) {
            const int i = rows[a];
            double sum = 0.0;
            for (int k = 0; k < c.count; ++k) sum += static_cast<double>(at(i, c.rows[k] - 1) * c.values[k]);
            b_[i] = static_cast<float>(sum);
        }
        double s = 0.0;
        for (int k = 0; k < c.count; ++k) s += static_cast<double>(b_[c.rows[k] - 1] * c.values[k]);
        s = s * static_cast<double>(c.weight) + 1.0;
        const double f = static_cast<double>(c.weight) / s;
        for (int a = 0; a < count; ++a) {
            const int i = rows[a];
            const double t = static_cast<double>(b_[i]) * f;
            float* Wi = row(i);
            for (int e = 0; e <= a; ++e) {
                const int j = rows[e];
                Wi[j] = static_cast<float>(static_cast<double>(Wi[j]) - static_cast<double>(b_[j]) * t);
            }
        }
        for (int a = 0; a < count; ++a) seen[rows[a]] = 0;
    }

    void mirrorAll() {
        runOnWorkers([&](int worker) {
            int r0, r1;
            splitTriangle(n_, worker, workerThreads(), &r0, &r1);
            mirrorLowerRows(W_, stride_, r0, r1);
        });
    }

    float* row(int i) const { return W_ + static_cast<std::size_t>(i) * stride_; }
    double* pendingB(int l) const { return ws_.pendingB.data() + static_cast<std::size_t>(l) * n_; }
    double* pendingT(int l) const { return ws_.pendingT.data() + static_cast<std::size_t>(l) * n_; }

    // The columns in the order of the updates: U from the last column to the
    // first (skipping factors with |prior| <= 1e-8), then X from the last to
    // the first; a random column c is listed as c, a fixed column f as -f.
    void listColumns() {
        int u = st_.randomFactorCount;
        for (int c = st_.randomLevelCount; c >= 1; --c) {
            while (u > 1 && c <= st_.factorLevelEnd[u - 1]) --u;
            if (std::fabs(static_cast<double>(st_.priorValues[1][u])) <= 1e-8) continue;
            ws_.columnOrder[static_cast<std::size_t>(columns_++)] = c;
        }
        for (int f = st_.fixedCount; f >= 1; --f) ws_.columnOrder[static_cast<std::size_t>(columns_++)] = -f;
    }

    ColumnUpdate column(int q) const {
        const int id = ws_.columnOrder[static_cast<std::size_t>(q)];
        if (id < 0) return {st_.fixedColRows[-id].ptr(1), nullptr, st_.fixedColCount[-id], 1.0f, true};
        int u = 1;
        while (id > st_.factorLevelEnd[u]) ++u;
        return {st_.randomColRows[id].ptr(1), st_.randomColValues[id].ptr(1), st_.randomColCount[id],
                st_.priorValues[1][u], false};
    }

    // The block that starts at `pos`: up to kMaxPending columns whose updates
    // are deferred together. Bringing a row up to date costs one update of n
    // elements per pending column, for each entry of the column; a column
    // whose catch-up would pass about half a sweep of the triangle (n
    // elements per entry and pending column > n(n+1)/2) starts the next block
    // instead. Measured on the reference case, limits between a quarter and a
    // whole sweep time within noise of each other.
    int blockEnd(int pos) const {
        int end = pos;
        while (end < columns_ && end - pos < kMaxPending) {
            const int pending = end - pos;
            if (pending > 0 && static_cast<long long>(column(end).count) * pending > n_) break;
            ++end;
        }
        return end;
    }

    void add(const ColumnUpdate& c) {
        computeB(c);
        ++pending_;
    }

    // s and f of the column from the complete b (every worker forms the same
    // values, by the same operations in the same order).
    double scaleOf(const ColumnUpdate& c) const {
        double s = 0.0;
        if (c.fixed) {
            for (int k = 0; k < c.count; ++k) s += static_cast<double>(b_[c.rows[k] - 1]);
            s = s + 1.0;
            return 1.0 / s;
        }
        for (int k = 0; k < c.count; ++k) s += static_cast<double>(b_[c.rows[k] - 1] * c.values[k]);
        s = s * static_cast<double>(c.weight) + 1.0;
        return static_cast<double>(c.weight) / s;
    }

    // b = W z with W as it stands after the pending updates. The rows of the
    // column's entries are complete in both triangles (completeRowsOf).
    void computeB(const ColumnUpdate& c) {
        runOnWorkers([&](int worker) {
            int i0, i1;
            splitRange(n_, worker, workerThreads(), &i0, &i1);
            const int len = i1 - i0;
            double* acc = ws_.sums.data() + i0;
            std::fill(acc, acc + len, 0.0);
            if (len > 0 && pending_ == 0) {
                accumulateListedRows(acc, W_, stride_, static_cast<std::size_t>(i0), c.rows,
                                     c.fixed ? nullptr : c.values, c.count, len);
            } else if (len > 0) {
                const float* sources[kCatchUpGroup];
                // The entry rows brought up to date a group at a time, then
                // added to the sums in list order.
                float* copies = ws_.rowCopies.data() + static_cast<std::size_t>(worker) * kCatchUpGroup * full_;
                for (int k0 = 0; k0 < c.count; k0 += kCatchUpGroup) {
                    const int group = std::min(kCatchUpGroup, c.count - k0);
                    catchUpGroup(c.rows + k0, group, i0, i1, copies, sources);
                    accumulateRows(acc, sources, c.fixed ? nullptr : c.values + k0, group, len);
                }
            }
            for (int i = i0; i < i1; ++i) b_[i] = static_cast<float>(ws_.sums[static_cast<std::size_t>(i)]);
            // The column's update, b as double and t = b f, once all of b is
            // known (every worker reaches the barrier, even with no rows).
            workerBarrier();
            const double f = scaleOf(c);
            double* B = pendingB(pending_);
            double* T = pendingT(pending_);
            for (int i = i0; i < i1; ++i) {
                B[i] = static_cast<double>(b_[i]);
                T[i] = B[i] * f;
            }
        });
    }

    // Copies columns i0..i1-1 of the rows entries[0..group-1] (one-based) into
    // `copies` and brings them up to date; sources[g] receives entry g's copy.
    // The copies are ordered by row, so that in each tile of kTileWidth
    // columns the rows wholly past the tile (element (r, i), i < r) and the
    // rows wholly before it (i >= r) form two runs that the tile kernel
    // updates with their own formula; rows that the tile straddles, and the
    // columns after the last whole tile, go through the row kernel.
    void catchUpGroup(const std::int32_t* entries, int group, int i0, int i1, float* copies, const float** sources) const {
        int order[kCatchUpGroup];
        for (int g = 0; g < group; ++g) {
            int at = g;
            while (at > 0 && entries[order[at - 1]] > entries[g]) {
                order[at] = order[at - 1];
                --at;
            }
            order[at] = g;
        }
        int rows[kCatchUpGroup];
        double before[kCatchUpGroup * kMaxPending], after[kCatchUpGroup * kMaxPending];
        for (int g = 0; g < group; ++g) {
            const int r = entries[order[g]] - 1;
            rows[g] = r;
            float* copy = copies + static_cast<std::size_t>(g) * full_;
            std::copy(row(r) + i0, row(r) + i1, copy);
            sources[order[g]] = copy;
            for (int l = 0; l < pending_; ++l) {
                after[g * kMaxPending + l] = pendingT(l)[r];   // i < r: W - b_i (b_r f)
                before[g * kMaxPending + l] = pendingB(l)[r];  // i >= r: W - b_r (b_i f)
            }
        }
        const double* vecs[kMaxPending];
        float* tileRows[kCatchUpGroup];
        int p0 = 0;
        for (; p0 + kTileWidth <= i1 - i0; p0 += kTileWidth) {
            const int c0 = i0 + p0, c1 = c0 + kTileWidth;
            int nb = 0;
            while (nb < group && rows[nb] <= c0) ++nb;
            int na = nb;
            while (na < group && rows[na] < c1) ++na;
            if (nb > 0) {
                for (int l = 0; l < pending_; ++l) vecs[l] = pendingT(l) + c0;
                for (int g = 0; g < nb; ++g) tileRows[g] = copies + static_cast<std::size_t>(g) * full_ + p0;
                applyRankOneUpdatesTile(tileRows, nb, vecs, before, kMaxPending, pending_);
            }
            if (na < group) {
                for (int l = 0; l < pending_; ++l) vecs[l] = pendingB(l) + c0;
                for (int g = na; g < group; ++g) tileRows[g - na] = copies + static_cast<std::size_t>(g) * full_ + p0;
                applyRankOneUpdatesTile(tileRows, group - na, vecs, after + na * kMaxPending, kMaxPending, pending_);
            }
            for (int g = nb; g < na; ++g)
                bringUpToDate(copies + static_cast<std::size_t>(g) * full_ + p0, rows[g], c0, c1);
        }
        if (i0 + p0 < i1)
            for (int g = 0; g < group; ++g)
                bringUpToDate(copies + static_cast<std::size_t>(g) * full_ + p0, rows[g], i0 + p0, i1);
    }

    // Elements (r, i0..i1) of the pending state: element (r, i) is the
    // lower-triangle element (max, min), updated as W - b_min (b_max f).
    void bringUpToDate(float* current, int r, int i0, int i1) const {
        const double* vecs[kMaxPending];
        double scales[kMaxPending];
        const int split = std::clamp(r, i0, i1);  // i < r: (r, i); i >= r: (i, r)
        if (split > i0) {
            for (int l = 0; l < pending_; ++l) {
                vecs[l] = pendingB(l) + i0;
                scales[l] = pendingT(l)[r];
            }
            applyRankOneUpdates(current, split - i0, vecs, scales, pending_);
        }
        if (i1 > split) {
            for (int l = 0; l < pending_; ++l) {
                vecs[l] = pendingT(l) + split;
                scales[l] = pendingB(l)[r];
            }
            applyRankOneUpdates(current + (split - i0), i1 - split, vecs, scales, pending_);
        }
    }

    // Applies the pending updates to the lower triangle, band by band. Tiles
    // of kTileWidth columns keep their elements in registers across all the
    // updates. The tiles of a band run up to and across the diagonal: their
    // elements above it are computed too (with meaningless values), which is
    // harmless because the upper triangle is only ever read after it has been
    // copied from the lower one (completeRowsOf, the final mirror). Only at
    // the right edge of the stored rows does the row kernel take the rest.
    // Every element of the lower triangle receives the same updates in the
    // same order.
    void sweep() {
        if (pending_ == 0) return;
        const int width = static_cast<int>(stride_);
        runOnWorkers([&](int worker) {
            int r0, r1;
            splitTriangle(n_, worker, workerThreads(), &r0, &r1);
            constexpr int kBand = 16;
            const double* vecs[kMaxPending];
            const double* tileVecs[kMaxPending];
            double scales[kBand * kMaxPending];
            float* rows[kBand];
            for (int l = 0; l < pending_; ++l) vecs[l] = pendingB(l);
            for (int i0 = r0; i0 < r1; i0 += kBand) {
                const int i1 = std::min(r1, i0 + kBand);
                for (int i = i0; i < i1; ++i)
                    for (int l = 0; l < pending_; ++l) scales[(i - i0) * kMaxPending + l] = pendingT(l)[i];
                int j0 = 0;
                for (; j0 < i1 && j0 + kTileWidth <= width; j0 += kTileWidth) {
                    // Rows of the band that reach column j0.
                    const int first = std::max(i0, j0);
                    for (int l = 0; l < pending_; ++l) tileVecs[l] = vecs[l] + j0;
                    for (int i = first; i < i1; ++i) rows[i - first] = row(i) + j0;
                    applyRankOneUpdatesTile(rows, i1 - first, tileVecs, scales + (first - i0) * kMaxPending,
                                            kMaxPending, pending_);
                }
                for (int i = std::max(i0, j0); i < i1; ++i) {
                    for (int l = 0; l < pending_; ++l) tileVecs[l] = vecs[l] + j0;
                    applyRankOneUpdates(row(i) + j0, i + 1 - j0, tileVecs, scales + (i - i0) * kMaxPending, pending_);
                }
            }
        });
        pending_ = 0;
    }

    // Copies the lower triangle into the upper part of the rows that the
    // columns first..last-1 read, the only rows of the upper triangle that
    // the next block uses; the rest is mirrored once at the end.
    void completeRowsOf(int first, int last) {
        int* marks = ws_.rowMarks.data();
        int needed = 0;
        for (int q = first; q < last; ++q) {
            const ColumnUpdate c = column(q);
            for (int k = 0; k < c.count; ++k) marks[c.rows[k] - 1] = 1;
        }
        int* list = ws_.rowMarks.data();  // rebuilt in place, ascending
        for (int r = 0; r < n_; ++r)
            if (marks[r] != 0) {
                marks[r] = 0;
                list[needed++] = r;
            }
        if (needed == 0) return;
        if (4 * needed > n_) {
            // Most rows: the tiled mirror of the whole triangle is cheaper.
            for (int k = 0; k < needed; ++k) list[k] = 0;
            mirrorAll();
            return;
        }
        runOnWorkers([&](int worker) {
            int i0, i1;
            splitTriangle(n_, worker, workerThreads(), &i0, &i1);  // row i copies the needed rows before it
            for (int i = i0; i < i1; ++i) {
                const float* Wi = row(i);
                for (int k = 0; k < needed && list[k] < i; ++k) row(list[k])[i] = Wi[list[k]];
            }
        });
        for (int k = 0; k < needed; ++k) list[k] = 0;
    }

    const int n_;
    const std::size_t stride_;
    float* const W_;
    float* const b_;
    AnalysisState& st_;
    InverseWorkspace& ws_;
    const std::size_t full_ = static_cast<std::size_t>(st_.vInverse.rowHi());
    int columns_ = 0;
    int pending_ = 0;
};

}  // namespace

void shermanCPUBlocked(AnalysisState& st, int n) {
    BlockedInverse inverse(st, n);
    inverse.run();
}

void shermanCPU(AnalysisState& st, int n) {
    if (st.referenceKernels)
        shermanCPUReference(st, n);
    else
        shermanCPUBlocked(st, n);
}

}  // namespace minque
