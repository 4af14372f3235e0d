#include "io/model_constants.hpp"

#include <algorithm>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

// Single-precision sum of the first coefficients of the columns of factor u
// whose first entry is observation 1.
float firstObservationSum(const AnalysisState& st, int u) {
    float sum = 0.0f;
    for (int c = st.factorColumnRange[u][1]; c <= st.factorColumnRange[u][2]; ++c)
        if (st.randomColCountFull[c] >= 1 && st.randomColRowsFull[c][1] == 1)
            sum = sum + st.randomColValuesFull[c][1];
    return sum;
}

void setPair(AnalysisState& st, int k, int a, int b) {
    st.covariancePair[k][1] = a;
    st.covariancePair[k][2] = b;
}

}  // namespace

void deriveModelConstants(AnalysisState& st, int trailingFactorCount, const std::string& modelFileName,
                          const std::vector<std::string>& factorNames, const std::string& option) {
    const int r = st.randomFactorCount;
    const int s = st.factorShift;
    const int K = st.componentCount;
    const bool severalFixed = st.fixedCount > 1;
    auto& W = st.componentWeight;

    // 1. Column ranges.
    st.factorLevelEnd[0] = 0;
    for (int u = 1; u <= r; ++u) {
        st.factorLevelEnd[u] = st.factorLevelEnd[u - 1] + st.factorLevels[u];
        st.factorColumnRange[u][1] = st.factorLevelEnd[u - 1] + 1;
        st.factorColumnRange[u][2] = st.factorLevelEnd[u - 1] + st.factorLevels[u];
    }

    // 2. Dosage check: coefficients of observation 1 summing to 3 or more mark
    // a factor coded by allele dosage (factor 1, else factor 3).
    st.dosageFactor = 0;
    if (r >= 1 && firstObservationSum(st, 1) >= 3.0f)
        st.dosageFactor = 1;
    else if (r >= 3 && firstObservationSum(st, 3) >= 3.0f)
        st.dosageFactor = 2;
    const bool D = st.dosageFactor != 0;
    const int L1 = r >= 1 ? st.factorLevels[1] : 0;
    const int L3 = r >= 3 ? st.factorLevels[3] : 0;

    // 3.
    if (s == 1) W[4] = 2.0f; else W[3] = 2.0f;

    // 4. Weights of the random factors.
    auto setFactorPair = [&](int first) {
        if (D) { W[first] = 4.5f; W[first + 1] = 3.0f; }
        else if (L3 > L1) { W[first] = 2.0f; W[first + 1] = 1.0f; }
        else { W[first] = 2.0f; W[first + 1] = 0.375f; }
    };
    if (st.fullCovarianceSet == 0) {
        setFactorPair(1);
        if (severalFixed) {
            const int h = r / 2 + 1;
            setFactorPair(h);
            W[h + s + 2] = L3 > L1 ? 4.0f : 2.0f;
        }
    } else {
        auto fullBlock = [&](int first) {
            W[first] = 2.0f; W[first + 1] = 0.375f; W[first + 2] = 4.5f; W[first + 3] = 3.0f;
        };
        fullBlock(1);
        if (s == 0) { W[5] = 2.0f; W[6] = 1.0f; }
        else { W[5] = 1.0f; W[6] = 2.0f; W[7] = 1.0f; }
        if (severalFixed) {
            fullBlock(s + 7);
            if (s == 0) { W[11] = 2.0f; W[12] = 1.0f; }
            else { W[12] = 1.0f; W[13] = 2.0f; W[14] = 1.0f; }
        }
    }

    // 5. Covariance pairs.
    if (st.fullCovarianceSet == 0) {
        for (int k = 1; k <= st.covarianceCount; ++k) {
            if (k <= 2) setPair(st, k, k, k + s + 2);
            else setPair(st, k, r / 2 + k - 2, r / 2 + k + s);
        }
    } else {
        setPair(st, 1, 1, 3);
        setPair(st, 2, 2, 4);
        setPair(st, 3, 1, s + 5);
        setPair(st, 4, 2, s + 6);
        setPair(st, 5, 3, s + 5);
        setPair(st, 6, 4, s + 6);
        if (severalFixed) {
            setPair(st, 7, s + 7, s + 9);
            setPair(st, 8, s + 8, s + 10);
            setPair(st, 9, s + 7, 2 * s + 11);
            setPair(st, 10, s + 8, 2 * s + 12);
            setPair(st, 11, s + 9, 2 * s + 11);
            setPair(st, 12, s + 10, 2 * s + 12);
        }
    }

    // 6. A trailing factor (a block effect) is estimated but not reported.
    if (trailingFactorCount == 1) W[r] = 0.0f;

    // 7. Weights of the covariance components.
    if (st.covarianceCount > 0) {
        if (st.fullCovarianceSet == 0) {
            auto pairWeights = [&](int first) {
                if (D) { W[first] = 3.0f; W[first + 1] = 1.0f; }
                else { W[first] = 2.0f; W[first + 1] = 0.5f; }
            };
            pairWeights(K - 2);
            if (severalFixed) pairWeights(K - 4);
        } else {
            auto fullWeights = [&](int first) {
                const float values[6] = {3.0f, 1.0f, 2.0f, 0.5f, 3.0f, 1.0f};
                for (int i = 0; i < 6; ++i) W[first + i] = values[i];
            };
            fullWeights(K - 6);
            if (severalFixed) fullWeights(K - 12);
        }
    }

    // The covariance components must join two factors of the model with
    // matching levels (level h of one paired with level h of the other).
    int covarianceLevels = 0;
    int largestLevels = 0;
    for (int u = 1; u <= r; ++u) largestLevels = std::max(largestLevels, st.factorLevels[u]);
    for (int k = 1; k <= st.covarianceCount; ++k) {
        const int a = st.covariancePair[k][1], b = st.covariancePair[k][2];
        const bool named = static_cast<int>(factorNames.size()) >= r;
        auto nameOf = [&](int u) { return factorNames[static_cast<std::size_t>(u - 1)].c_str(); };
        if (named && (a < 1 || a > r || b < 1 || b > r)) {
            std::string given;
            for (int u = 1; u <= r; ++u) given += std::string(u == 1 ? "" : ", ") + nameOf(u);
            stopRun("%s: a covariance model needs its random terms in pairs that share their levels (such as an "
                    "additive and a maternal effect of the same parents), given in the order that pairs them: with "
                    "one fixed column the first with the third and the second with the fourth, so four terms; the "
                    "%d given (%s) leave term %d without its partner, term %d",
                    option.c_str(), r, given.c_str(), a, b);
        }
        if (named && st.factorLevels[a] != st.factorLevels[b])
            stopRun("%s: a covariance component would join the random terms %s (%d levels) and %s (%d levels); "
                    "it pairs level h of one with level h of the other, so both need the same levels (such as an "
                    "additive and a maternal effect of the same parents). The additive-dominance model has no such "
                    "terms; use %s with a general model (--random) whose paired terms share their levels",
                    option.c_str(), nameOf(a), st.factorLevels[a], nameOf(b), st.factorLevels[b], option.c_str());
        if (a < 1 || a > r || b < 1 || b > r)
            stopRun("%s: covariance component %d joins random factors %d and %d, but the model has %d random "
                    "factors (the covariance switch, argument 8, may be on by mistake)",
                    modelFileName.c_str(), k, a, b, r);
        if (st.factorLevels[a] != st.factorLevels[b])
            stopRun("%s: covariance component %d joins random factors %d (%d levels) and %d (%d levels); "
                    "both must have the same number of levels",
                    modelFileName.c_str(), k, a, st.factorLevels[a], b, st.factorLevels[b]);
        covarianceLevels = std::max(covarianceLevels, st.factorLevels[a]);
    }

    // designWork holds W = V^-1 X (n x p), the right singular vectors of the
    // MINQUE matrix (K x K) and, with covariance components, one block of U'QU
    // (levels of any factor x levels of a covariance factor).
    int rows = std::max(st.obsCount, K);
    int cols = std::max({K, st.fixedCount, st.workOrder});
    if (st.covarianceCount > 0) {
        rows = std::max(rows, largestLevels);
        cols = std::max(cols, covarianceLevels);
    }
    st.designWork = dmatrix(1, rows, 1, cols);
}

}  // namespace minque
