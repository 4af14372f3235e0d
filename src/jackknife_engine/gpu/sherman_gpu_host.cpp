// The host halves of the GPU variance inverse, shared by the CUDA build and
// the stand-in.
#include <cstring>

#include "jackknife_engine/gpu/sherman_gpu.hpp"

namespace minque {

void buildDenseU(const AnalysisState& st, float* denseU, int n, int m) {
    std::memset(denseU, 0, sizeof(float) * static_cast<std::size_t>(n) * static_cast<std::size_t>(m));
    for (int c = 1; c <= m; ++c) {
        const auto rows = st.randomColRows[c];
        const auto values = st.randomColValues[c];
        for (int k = 1; k <= st.randomColCount[c]; ++k)
            denseU[static_cast<std::size_t>(rows[k] - 1) * static_cast<std::size_t>(m) + static_cast<std::size_t>(c - 1)] = values[k];
    }
}

void denseToMatrix(const float* result, const FloatMatrix& vInverse, int n) {
    for (int i = 1; i <= n; ++i)
        std::memcpy(vInverse.ptr(i, 1), result + static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(n),
                    sizeof(float) * static_cast<std::size_t>(n));
}

}  // namespace minque
