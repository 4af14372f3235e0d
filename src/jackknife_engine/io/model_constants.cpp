#include "jackknife_engine/io/model_constants.hpp"

#include <algorithm>

#include "core/component_layout.hpp"
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
    const std::vector<std::pair<int, int>> pairs =
        covariancePairsOf(st.fullCovarianceSet != 0, st.covarianceCount, r, s, severalFixed);
    for (int k = 1; k <= st.covarianceCount; ++k) {
        st.covariancePair[k][1] = pairs[static_cast<std::size_t>(k - 1)].first;
        st.covariancePair[k][2] = pairs[static_cast<std::size_t>(k - 1)].second;
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
    std::vector<int> levels(static_cast<std::size_t>(r) + 1, 0);
    for (int u = 1; u <= r; ++u) levels[static_cast<std::size_t>(u)] = st.factorLevels[u];
    checkCovariancePairs(pairs, levels, modelFileName, factorNames, option);
    int covarianceLevels = 0;
    int largestLevels = 0;
    for (int u = 1; u <= r; ++u) largestLevels = std::max(largestLevels, st.factorLevels[u]);
    for (const auto& pair : pairs) covarianceLevels = std::max(covarianceLevels, st.factorLevels[pair.first]);

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
