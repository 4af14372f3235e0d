#include "jackknife_engine/minque/minque_equations.hpp"

#include "jackknife_engine/io/product_records.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

double columnProduct(const AnalysisState& st, const FloatVector& R, int l) {
    const auto rows = st.randomColRows[l];
    const auto values = st.randomColValues[l];
    double sum = 0.0;
    for (int k = 1; k <= st.randomColCount[l]; ++k) sum += static_cast<double>(R[rows[k]] * values[k]);
    return sum;
}

// s + sum over j = 1..n of double(float(a[j] * b[j])), added term by term
// to the running sum s: a trace that runs over several records is one
// sequence of additions, never a sum of per-record subtotals.
double addProducts(double s, const float* a, const float* b, int n) {
    for (int j = 1; j <= n; ++j) s += static_cast<double>(a[j] * b[j]);
    return s;
}

}  // namespace

ColumnRange factorRange(const AnalysisState& st, int factor) {
    return {st.factorColumnRange[factor][1], st.factorColumnRange[factor][2]};
}

float traceFactorResidual(AnalysisState& st, ColumnRange A, int slot) {
    const float* R = st.columnVector.ptr(0);
    double s = 0.0;
    for (int t = 1; t <= A.width(); ++t) {
        readProductRecord(st, slot, st.columnVector);
        s = addProducts(s, R, R, st.obsCount);
    }
    return static_cast<float>(s);
}

float traceFactorFactor(AnalysisState& st, ColumnRange A, ColumnRange B, int slot) {
    double s = 0.0;
    for (int t = 1; t <= A.width(); ++t) {
        readProductRecord(st, slot, st.columnVector);
        for (int l = B.first; l <= B.last; ++l) {
            const double x = columnProduct(st, st.columnVector, l);
            s += x * x;
        }
    }
    return static_cast<float>(s);
}

float tracePairResidual(AnalysisState& st, ColumnRange A, ColumnRange B, int slot) {
    double s = 0.0;
    for (int t = 1; t <= A.width(); ++t) {
        seekProductRecord(st, slot, A.first + t - 1);
        readProductRecord(st, slot, st.columnVector);
        if (t <= B.width()) {
            seekProductRecord(st, slot, B.first + t - 1);
            readProductRecord(st, slot, st.workVector);
            s = addProducts(s, st.columnVector.ptr(0), st.workVector.ptr(0), st.obsCount);
        }
    }
    return static_cast<float>(s);
}

float traceCrossProduct(AnalysisState& st, ColumnRange I1, ColumnRange C1, ColumnRange C2, ColumnRange I2,
                        int slot) {
    const FloatMatrix& block = st.designWork;
    for (int t = 1; t <= C1.width(); ++t) {
        seekProductRecord(st, slot, C1.first + t - 1);
        readProductRecord(st, slot, st.workVector);
        for (int i = 1; i <= I1.width(); ++i)
            block[i][t] = static_cast<float>(columnProduct(st, st.workVector, I1.first + i - 1));
    }
    double s = 0.0;
    for (int t = 1; t <= C2.width(); ++t) {
        seekProductRecord(st, slot, C2.first + t - 1);
        readProductRecord(st, slot, st.workVector);
        for (int i = 1; i <= I2.width(); ++i)
            s += static_cast<double>(block[i][t]) * columnProduct(st, st.workVector, I2.first + i - 1);
    }
    return static_cast<float>(s);
}

namespace {

// tr(QQ) = 2 s_up + s_diag from the upper triangle and the diagonal of the
// symmetric Q, each accumulated row by row in increasing i and j.
float traceOfSquare(const AnalysisState& st) {
    const int n = st.obsCount;
    double up = 0.0, diag = 0.0;
    for (int i = 1; i <= n; ++i) {
        const float* Qi = st.vInverse.ptr(i, 1);  // Qi[j - 1] = Q[i][j]
        for (int j = i + 1; j <= n; ++j) up += static_cast<double>(Qi[j - 1] * Qi[j - 1]);
    }
    for (int i = 1; i <= n; ++i) {
        const float q = st.vInverse[i][i];
        diag += static_cast<double>(q * q);
    }
    return static_cast<float>(2.0 * up + diag);
}

void assembleTraces(AnalysisState& st, int slot);

}  // namespace

// tr(QQ) is one long chain of dependent additions and needs nothing of the
// records, so a second worker computes it while the traces of the records
// are formed; each value is the same as in a serial run.
void assembleMinqueMatrix(AnalysisState& st, int slot) {
    float traceQQ = 0.0f;
    runOnWorkers([&](int worker) {
        const int workers = workerThreads();
        if (worker == 0) assembleTraces(st, slot);
        if (worker == (workers > 1 ? 1 : 0)) traceQQ = traceOfSquare(st);
    });
    st.equationMatrix[st.componentCount][st.componentCount] = traceQQ;
}

namespace {

void assembleTraces(AnalysisState& st, int slot) {
    const int r = st.randomFactorCount;
    const int e = st.componentCount;
    const FloatMatrix& S = st.equationMatrix;
    auto setBoth = [&S](int k, int l, float value) {
        S[k][l] = value;
        S[l][k] = value;
    };
    auto dbl = [](float x) { return static_cast<double>(x); };

    for (int u = 1; u <= r; ++u) {
        const ColumnRange Lu = factorRange(st, u);
        for (int v = u; v <= r; ++v) {
            seekProductRecord(st, slot, Lu.first);
            setBoth(u, v, traceFactorFactor(st, Lu, factorRange(st, v), slot));
        }
        seekProductRecord(st, slot, Lu.first);
        setBoth(u, e, traceFactorResidual(st, Lu, slot));
        for (int c = 1; c <= st.covarianceCount; ++c) {
            const ColumnRange La = factorRange(st, st.covariancePair[c][1]);
            const ColumnRange Lb = factorRange(st, st.covariancePair[c][2]);
            setBoth(u, r + c,
                    static_cast<float>(dbl(traceCrossProduct(st, Lu, La, Lb, Lu, slot)) +
                                       dbl(traceCrossProduct(st, Lu, Lb, La, Lu, slot))));
        }
    }
    for (int c = 1; c <= st.covarianceCount; ++c) {
        const ColumnRange La = factorRange(st, st.covariancePair[c][1]);
        const ColumnRange Lb = factorRange(st, st.covariancePair[c][2]);
        for (int d = c; d <= st.covarianceCount; ++d) {
            const ColumnRange La2 = factorRange(st, st.covariancePair[d][1]);
            const ColumnRange Lb2 = factorRange(st, st.covariancePair[d][2]);
            const float T1 = traceCrossProduct(st, La, La2, Lb2, Lb, slot);
            const float T2 = traceCrossProduct(st, Lb, La2, Lb2, La, slot);
            setBoth(r + c, r + d, static_cast<float>(2.0 * dbl(T1) + 2.0 * dbl(T2)));
        }
        setBoth(r + c, e, static_cast<float>(2.0 * dbl(tracePairResidual(st, La, Lb, slot))));
    }

}

}  // namespace

}  // namespace minque
