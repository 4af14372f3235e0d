#include "jackknife_engine/minque/minque_pass.hpp"

#include <algorithm>
#include <memory>

#include "jackknife_engine/core/phase_timer.hpp"
#include "jackknife_engine/gpu/device_discovery.hpp"
#include "jackknife_engine/gpu/sherman_gpu.hpp"
#include "jackknife_engine/io/product_records.hpp"
#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "jackknife_engine/linalg/svd_ginverse.hpp"
#include "jackknife_engine/linalg/update_kernels.hpp"
#include "jackknife_engine/minque/minque_equations.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

ProjectionWorkspace& workspaceOf(AnalysisState& st) {
    if (!st.projectionWorkspace) st.projectionWorkspace = std::make_shared<ProjectionWorkspace>();
    return *st.projectionWorkspace;
}

// C = X'W on the lower triangle, mirrored, then G = C^- in equationMatrix.
void invertFixedCrossProducts(AnalysisState& st) {
    const int p = st.fixedCount;
    const FloatMatrix& W = st.designWork;
    const FloatMatrix& G = st.equationMatrix;
    for (int f = 1; f <= p; ++f) {
        for (int g = 1; g <= f; ++g) {
            const auto rows = st.fixedColRows[g];
            double sum = 0.0;
            for (int k = 1; k <= st.fixedColCount[g]; ++k) sum += static_cast<double>(W[rows[k]][f]);
            G[f][g] = static_cast<float>(sum);
            G[g][f] = G[f][g];
        }
    }
    svdGinverse(st, st.equationWork, p);
}

}  // namespace

void projectOutFixedReference(AnalysisState& st) {
    const int n = st.obsCount, p = st.fixedCount;
    const FloatMatrix& A = st.vInverse;
    const FloatMatrix& W = st.designWork;
    const FloatMatrix& G = st.equationMatrix;

    // W = A X (A read in both triangles; complete before Q overwrites A).
    for (int r = 1; r <= n; ++r) {
        const auto Ar = A[r];
        for (int f = 1; f <= p; ++f) {
            const auto rows = st.fixedColRows[f];
            double sum = 0.0;
            for (int k = 1; k <= st.fixedColCount[f]; ++k) sum += static_cast<double>(Ar[rows[k]]);
            W[r][f] = static_cast<float>(sum);
        }
    }
    invertFixedCrossProducts(st);

    // Q = A - W G W', row by row; only the lower triangle and diagonal of A
    // are read, so writing the mirror element is safe.
    for (int r = 1; r <= n; ++r) {
        double* t = st.projectionTerms.data();
        for (int f = 1; f <= p; ++f) {
            double sum = 0.0;
            for (int g = 1; g <= p; ++g) sum += static_cast<double>(G[g][f] * W[r][g]);
            t[f] = sum;
        }
        for (int c = 1; c <= r; ++c) {
            double s = 0.0;
            for (int f = 1; f <= p; ++f) s += static_cast<double>(W[c][f]) * t[f];
            const float q = static_cast<float>(static_cast<double>(A[r][c]) - s);
            A[r][c] = q;
            A[c][r] = q;
        }
    }
}

void writeProductRecordsReference(AnalysisState& st, int slot) {
    const int n = st.obsCount;
    const FloatMatrix& Q = st.vInverse;
    const auto& R = st.columnVector;
    seekRecordByte(st, slot, 0);
    for (int i = 1; i <= st.randomLevelCount; ++i) {
        const auto rows = st.randomColRows[i];
        const auto values = st.randomColValues[i];
        const int count = st.randomColCount[i];
        for (int j = 1; j <= n; ++j) {
            double sum = 0.0;
            for (int k = 1; k <= count; ++k) sum += static_cast<double>(Q[rows[k]][j] * values[k]);
            R[j] = static_cast<float>(sum);
        }
        writeRecord(st, slot, R.ptr(0), st.obsRecordLength);
    }
}

void projectOutFixedFast(AnalysisState& st) {
    ProjectionWorkspace& ws = workspaceOf(st);
    const int n = st.obsCount, p = st.fixedCount;
    const std::size_t full = static_cast<std::size_t>(st.vInverse.rowHi());
    ensureWorkSize(ws.fixedProducts, full * static_cast<std::size_t>(p));
    ensureWorkSize(ws.sums, full);
    const std::size_t terms = static_cast<std::size_t>(p) + 1;
    ensureWorkSize(ws.terms, terms * static_cast<std::size_t>(workerThreads()));
    float* A = st.vInverse.ptr(1, 1);
    const std::size_t stride = st.vInverse.stride();
    auto rowOf = [A, stride](int r) { return A + static_cast<std::size_t>(r) * stride; };  // zero-based row
    double* Wd = ws.fixedProducts.data();  // W[r][f] as double at (f - 1) n + r - 1

    // W = A X: column f of W at row r sums A[r][row_k] over the rows of X
    // column f in list order. When A is symmetric in storage (the host
    // inverse), A[row_k][r] is the same float and a whole row of A serves
    // every r at once; otherwise each row of A is summed on its own.
    if (!st.inverseSymmetric) {
        runOnWorkers([&](int worker) {
            int r0, r1;
            splitRange(n, worker, workerThreads(), &r0, &r1);
            for (int r = r0; r < r1; ++r) {
                const float* Ar = rowOf(r);
                for (int f = 1; f <= p; ++f) {
                    const auto rows = st.fixedColRows[f];
                    double sum = 0.0;
                    for (int k = 1; k <= st.fixedColCount[f]; ++k) sum += static_cast<double>(Ar[rows[k] - 1]);
                    const float w = static_cast<float>(sum);
                    st.designWork[r + 1][f] = w;
                    Wd[static_cast<std::size_t>(f - 1) * n + static_cast<std::size_t>(r)] = static_cast<double>(w);
                }
            }
        });
    }
    for (int f = 1; f <= p && st.inverseSymmetric; ++f) {
        const auto rows = st.fixedColRows[f];
        const int count = st.fixedColCount[f];
        runOnWorkers([&](int worker) {
            int r0, r1;
            splitRange(n, worker, workerThreads(), &r0, &r1);
            double* acc = ws.sums.data();
            std::fill(acc + r0, acc + r1, 0.0);
            accumulateListedRows(acc + r0, A, stride, static_cast<std::size_t>(r0), rows.ptr(1), nullptr, count, r1 - r0);
            for (int r = r0; r < r1; ++r) {
                const float w = static_cast<float>(acc[r]);
                st.designWork[r + 1][f] = w;
                Wd[static_cast<std::size_t>(f - 1) * n + static_cast<std::size_t>(r)] = static_cast<double>(w);
            }
        });
    }
    invertFixedCrossProducts(st);

    // Q = A - W G W' on the lower triangle, band by band, mirrored.
    const FloatMatrix& G = st.equationMatrix;
    runOnWorkers([&](int worker) {
        int r0, r1;
        splitTriangle(n, worker, workerThreads(), &r0, &r1);
        double* t = ws.terms.data() + terms * static_cast<std::size_t>(worker);
        constexpr int kBand = 16;
        for (int i0 = r0; i0 < r1; i0 += kBand) {
            const int i1 = std::min(r1, i0 + kBand);
            for (int r = i0; r < i1; ++r) {
                const auto Wr = st.designWork[r + 1];
                for (int f = 1; f <= p; ++f) {
                    double sum = 0.0;
                    for (int g = 1; g <= p; ++g) sum += static_cast<double>(G[g][f] * Wr[g]);
                    t[f - 1] = sum;
                }
                subtractProjection(rowOf(r), r + 1, Wd, static_cast<std::size_t>(n), t, p);
            }
            mirrorLowerRows(A, stride, i0, i1);
        }
    });
}

void writeProductRecordsFast(AnalysisState& st, int slot) {
    ProjectionWorkspace& ws = workspaceOf(st);
    const int n = st.obsCount, m = st.randomLevelCount;
    const int threads = workerThreads();
    const std::size_t full = static_cast<std::size_t>(st.vInverse.rowHi());
    const std::size_t recordFloats = full + 1;
    constexpr int kBatch = 32;
    ensureWorkSize(ws.recordBatch, recordFloats * kBatch);
    ensureWorkSize(ws.recordSums, full * static_cast<std::size_t>(threads));
    const float* Q = st.vInverse.ptr(1, 1);
    const std::size_t stride = st.vInverse.stride();
    seekRecordByte(st, slot, 0);
    for (int c0 = 1; c0 <= m; c0 += kBatch) {
        const int c1 = std::min(m + 1, c0 + kBatch);
        runOnWorkers([&](int worker) {
            double* acc = ws.recordSums.data() + static_cast<std::size_t>(worker) * full;
            for (int c = c0 + worker; c < c1; c += threads) {
                const auto rows = st.randomColRows[c];
                const auto values = st.randomColValues[c];
                std::fill(acc, acc + n, 0.0);
                accumulateListedRows(acc, Q, stride, 0, rows.ptr(1), values.ptr(1), st.randomColCount[c], n);
                float* record = ws.recordBatch.data() + static_cast<std::size_t>(c - c0) * recordFloats;
                record[0] = 0.0f;  // the pad
                for (int j = 0; j < n; ++j) record[j + 1] = static_cast<float>(acc[j]);
            }
        });
        for (int c = c0; c < c1; ++c)
            writeRecord(st, slot, ws.recordBatch.data() + static_cast<std::size_t>(c - c0) * recordFloats, st.obsRecordLength);
    }
}

void projectOutFixed(AnalysisState& st) {
    if (st.referenceKernels)
        projectOutFixedReference(st);
    else
        projectOutFixedFast(st);
}

void writeProductRecords(AnalysisState& st, int slot) {
    if (st.referenceKernels)
        writeProductRecordsReference(st, slot);
    else
        writeProductRecordsFast(st, slot);
}

void minquePass(AnalysisState& st, int slot) {
    st.obsRecordLength = st.obsCount + 1;
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
    {
        PhaseTimer timer(st, kPhaseInverse);
        st.inverseSymmetric = st.forceHost || getGPUCount() < 1;
        if (st.inverseSymmetric)
            shermanCPU(st, st.obsCount);
        else
            shermanGPU(st, st.obsCount, st.randomLevelCount);
    }
    {
        PhaseTimer timer(st, kPhaseProjection);
        projectOutFixed(st);
        writeProductRecords(st, slot);
    }
    PhaseTimer timer(st, kPhaseEquations);
    assembleMinqueMatrix(st, slot);
    svdGinverse(st, st.designWork, st.componentCount);
}

}  // namespace minque
