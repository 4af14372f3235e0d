#include "jackknife_engine/report/jackknife_stats.hpp"

#include <cmath>


namespace minque {

namespace {

double dbl(float x) { return static_cast<double>(x); }

double pseudoCorrelation(double p1, double p2, double p3) {
    double rho = 0.0;
    if (p1 > 1e-8 && p3 > 1e-8) rho = (p2 / std::sqrt(p1)) / std::sqrt(p3);
    if (std::fabs(rho) > 1.0) rho = rho / std::fabs(rho);
    return rho;
}

void addTo(const FloatMatrix& m, int row, int k, double v) { m[row][k] = static_cast<float>(dbl(m[row][k]) + v); }
void addTo(const FloatVector& m, int k, double v) { m[k] = static_cast<float>(dbl(m[k]) + v); }

// Steps 1.3, 1.5 and 1.6 of a replicate at position k with pseudo-values p.
void accumulatePseudoValues(AnalysisState& st, int k, double p1, double p2, double p3) {
    addTo(st.jackTerms, 2, k, p2);
    addTo(st.jackVectorA, k, p2 * p2);
    addTo(st.jackTerms, 1, k, p1);
    addTo(st.jackTerms, 3, k, p3);
}

void accumulateCorrelation(AnalysisState& st, int k, double p1, double p2, double p3) {
    const double rho = pseudoCorrelation(p1, p2, p3);
    addTo(st.jackVectorB, k, rho);
    addTo(st.jackVectorC, k, rho * rho);
}

}  // namespace

bool isBetweenFactor(const AnalysisState& st, int k) { return k > st.randomFactorCount && k < st.componentCount; }

bool zeroTestRemoves(const AnalysisState& st, int k, const Row<float>& values) {
    const int a = st.covariancePair[k - st.randomFactorCount][1];
    const int b = st.covariancePair[k - st.randomFactorCount][2];
    return values[a] == 0.0f || values[b] == 0.0f;
}

void prepareJackknife(AnalysisState& st, int J) {
    const int K = st.componentCount;
    const auto row1 = st.priorValues[1], row2 = st.priorValues[2], row3 = st.priorValues[3];
    double T1 = 0.0, T2 = 0.0, T3 = 0.0;
    for (int k = 1; k <= K; ++k) {
        const double f = dbl(static_cast<float>(J) * st.componentWeight[k]);
        double t1 = dbl(row1[k]) * f;
        const double t2 = dbl(row2[k]) * f;
        double t3 = dbl(row3[k]) * f;
        if (isBetweenFactor(st, k)) {
            if (zeroTestRemoves(st, k, row1)) t1 = 0.0;
            if (zeroTestRemoves(st, k, row3)) t3 = 0.0;
            T1 += t1;
            T2 += t2;
            T3 += t3;
        }
        st.wholeTerms[1][k] = static_cast<float>(t1);
        st.wholeTerms[2][k] = static_cast<float>(t2);
        st.wholeTerms[3][k] = static_cast<float>(t3);
        T1 += t1;
        T2 += t2;
        T3 += t3;
    }
    st.wholeTerms[1][K + 2] = static_cast<float>(T1);
    st.wholeTerms[2][K + 2] = static_cast<float>(T2);
    st.wholeTerms[3][K + 2] = static_cast<float>(T3);
    // The residual subtracted is the unscaled whole-data value of the row.
    st.wholeTerms[1][K + 1] = static_cast<float>(T1 - dbl(row1[K]));
    st.wholeTerms[2][K + 1] = static_cast<float>(T2 - dbl(row2[K]));
    st.wholeTerms[3][K + 1] = static_cast<float>(T3 - dbl(row3[K]));
}

void accumulateReplicate(AnalysisState& st, int d) {
    const int K = st.componentCount;
    const int r = st.randomFactorCount;
    const auto row1 = st.priorValues[1], row2 = st.priorValues[2], row3 = st.priorValues[3];
    double U1 = 0.0, U2 = 0.0, U3 = 0.0;
    for (int k = 1; k <= K; ++k) {
        const double g = dbl(static_cast<float>(d) * st.componentWeight[k]);
        double p1 = dbl(st.wholeTerms[1][k]) - dbl(row1[k]) * g;
        const double p2 = dbl(st.wholeTerms[2][k]) - dbl(row2[k]) * g;
        double p3 = dbl(st.wholeTerms[3][k]) - dbl(row3[k]) * g;
        accumulatePseudoValues(st, k, p1, p2, p3);
        if (k <= r) {
            // Later between-factor components test these pseudo-values.
            row1[k] = static_cast<float>(p1);
            row3[k] = static_cast<float>(p3);
        } else if (k < K) {
            if (zeroTestRemoves(st, k, row1)) p1 = 0.0;
            if (zeroTestRemoves(st, k, row3)) p3 = 0.0;
            U1 += p1;
            U2 += p2;
            U3 += p3;
        }
        accumulateCorrelation(st, k, p1, p2, p3);
        U1 += p1;
        U2 += p2;
        U3 += p3;
    }
    accumulatePseudoValues(st, K + 2, U1, U2, U3);
    accumulateCorrelation(st, K + 2, U1, U2, U3);
    // The replicate's own residual, not its pseudo-value.
    U1 = U1 - dbl(row1[K]);
    U2 = U2 - dbl(row2[K]);
    U3 = U3 - dbl(row3[K]);
    accumulatePseudoValues(st, K + 1, U1, U2, U3);
    accumulateCorrelation(st, K + 1, U1, U2, U3);
}

}  // namespace minque
