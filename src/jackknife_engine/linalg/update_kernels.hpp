// Vector kernels of the exact host arithmetic, built for AVX-512, AVX2 and
// plain x86-64; each call takes the vector path in force (vector_path.hpp). Every element keeps its own sequence
// of operations (double products and differences, a rounding to float after
// each update), so all three give the same bits; only independent elements
// are computed side by side. No fused multiply-add anywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace minque {

// x[j] = float(double(x[j]) - vecs[l][j] * scales[l]) for l = 0 .. count - 1
// in order, for every j in [0, len).
void applyRankOneUpdates(float* x, int len, const double* const* vecs, const double* scales, int count);

// The same for kTileWidth consecutive elements of each of `rows` rows:
// rows[r][j] = float(double(rows[r][j]) - vecs[l][j] * scales[r * stride + l])
// for l = 0 .. count - 1 in order, j in [0, kTileWidth). The elements stay in
// registers across the updates; vecs[l] point at the tile's first column.
inline constexpr int kTileWidth = 32;
void applyRankOneUpdatesTile(float* const* rows, int rowCount, const double* const* vecs, const double* scales,
                             int stride, int count);

// Copies the lower-triangle elements (i, j), j < i, of rows i0 .. i1 - 1 of a
// square row-major matrix into their mirror elements (j, i), tile by tile.
void mirrorLowerRows(float* base, std::size_t stride, int i0, int i1);

// x[c] = float(double(x[c]) - sum_f w[f * wStride + c] t[f]) for c in
// [0, len), the sum over f = 0 .. p - 1 in order from 0.0, in double.
void subtractProjection(float* x, int len, const double* w, std::size_t wStride, const double* t, int p);

// acc[j] += double(float(rows[k][j] * values[k])) for k = 0 .. count - 1 in
// order (values null: acc[j] += double(rows[k][j])), for j in [0, len). Each
// element of acc is loaded once, receives its terms in list order and is
// stored once.
void accumulateRows(double* acc, const float* const* rows, const float* values, int count, int len);

// accumulateRows over rows of a row-major matrix named by a list: row k is
// base + (rows[k] - 1) stride + column0 (rows one-based, in list order, any
// number of entries and repeats), for k = 0 .. count - 1.
void accumulateListedRows(double* acc, const float* base, std::size_t stride, std::size_t column0,
                          const std::int32_t* rows, const float* values, int count, int len);

// acc[j] += double(float(src[j] * v)) for j in [0, len).
void accumulateScaled(double* acc, const float* src, float v, int len);
// acc[j] += double(src[j]) for j in [0, len).
void accumulatePlain(double* acc, const float* src, int len);

}  // namespace minque
