// Analysis states for the benchmarks, built directly (no files): n
// observations, random factors with the given level counts (each observation
// in one level per factor, coefficient 1), p fixed columns (the first all
// ones), every prior value 1.
#pragma once

#include <random>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque::bench {

inline AnalysisState benchState(int n, const std::vector<int>& levels, int p, unsigned seed) {
    std::mt19937 rng(seed);
    AnalysisState st;
    const int r = static_cast<int>(levels.size());
    int q = 0;
    for (int L : levels) q += L;
    st.obsCount = n;
    st.fixedCount = p;
    st.randomFactorCount = r;
    st.randomLevelCount = q;
    st.componentCount = r + 1;
    st.factorLevels = ivector(0, r);
    st.factorLevelEnd = ivector(0, r);
    for (int u = 1; u <= r; ++u) {
        st.factorLevels[u] = levels[static_cast<std::size_t>(u - 1)];
        st.factorLevelEnd[u] = st.factorLevelEnd[u - 1] + st.factorLevels[u];
    }
    std::vector<std::vector<int>> randomRows(static_cast<std::size_t>(q) + 1);
    for (int u = 1; u <= r; ++u)
        for (int m = 1; m <= n; ++m)
            randomRows[static_cast<std::size_t>(st.factorLevelEnd[u - 1] + 1 + static_cast<int>(rng() % static_cast<unsigned>(st.factorLevels[u])))].push_back(m);
    std::vector<std::vector<int>> fixedRows(static_cast<std::size_t>(p) + 1);
    for (int c = 1; c <= p; ++c)
        for (int m = 1; m <= n; ++m)
            if (c == 1 || rng() % 3 == 0) fixedRows[static_cast<std::size_t>(c)].push_back(m);
    st.randomColCount = ivector(1, q);
    for (int j = 1; j <= q; ++j) st.randomColCount[j] = static_cast<int>(randomRows[static_cast<std::size_t>(j)].size());
    st.fixedColCount = ivector(1, p);
    for (int c = 1; c <= p; ++c) st.fixedColCount[c] = static_cast<int>(fixedRows[static_cast<std::size_t>(c)].size());
    st.randomColRows = iragged(st.randomColCount, q);
    st.randomColValues = dragged(st.randomColCount, q);
    st.fixedColRows = iragged(st.fixedColCount, p);
    for (int j = 1; j <= q; ++j)
        for (int k = 1; k <= st.randomColCount[j]; ++k) {
            st.randomColRows[j][k] = randomRows[static_cast<std::size_t>(j)][static_cast<std::size_t>(k - 1)];
            st.randomColValues[j][k] = 1.0f;
        }
    for (int c = 1; c <= p; ++c)
        for (int k = 1; k <= st.fixedColCount[c]; ++k) st.fixedColRows[c][k] = fixedRows[static_cast<std::size_t>(c)][static_cast<std::size_t>(k - 1)];
    st.priorValues = dmatrix(1, 3, 0, st.componentCount + 15);
    for (int k = 1; k <= st.componentCount; ++k) st.priorValues[1][k] = 1.0f;
    st.vInverse = dmatrix(1, n, 1, n);
    st.workVector = dvector(0, n);
    return st;
}

}  // namespace minque::bench
