#include "minque/minque_pass.hpp"

#include "gpu/device_discovery.hpp"
#include "gpu/sherman_gpu.hpp"
#include "linalg/sherman_cpu.hpp"
#include "linalg/svd_ginverse.hpp"
#include "minque/minque_equations.hpp"
#include "minque/product_records.hpp"

namespace minque {

void projectOutFixed(AnalysisState& st) {
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
    // C = X'W on the lower triangle, mirrored.
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

void writeProductRecords(AnalysisState& st, int slot) {
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

void minquePass(AnalysisState& st, int slot) {
    st.obsRecordLength = st.obsCount + 1;
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
    if (getGPUCount() > 0)
        shermanGPU(st, st.obsCount, st.randomLevelCount);
    else
        shermanCPU(st, st.obsCount);
    projectOutFixed(st);
    writeProductRecords(st, slot);
    assembleMinqueMatrix(st, slot);
    svdGinverse(st, st.designWork, st.componentCount);
}

}  // namespace minque
