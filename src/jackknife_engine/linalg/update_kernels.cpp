#include "jackknife_engine/linalg/update_kernels.hpp"

#include "jackknife_engine/linalg/simd.hpp"
#include "jackknife_engine/linalg/vector_path.hpp"

#include <cstddef>

namespace minque {

// A loop kernel written once as an always-inline body (NAME##Body) and
// compiled three times, for AVX-512, for AVX2 and for plain x86-64; the
// compiler vectorises each copy across the independent elements it handles.
// NAME picks the copy of the vector path in force at each call.
#define MINQUE_PATH_VARIANTS(NAME, PARAMS, ARGS)                                              \
    __attribute__((target("avx512f"))) void NAME##Avx512 PARAMS { NAME##Body ARGS; }          \
    __attribute__((target("avx2"))) void NAME##Avx2 PARAMS { NAME##Body ARGS; }               \
    void NAME##Plain PARAMS { NAME##Body ARGS; }
#define MINQUE_PATH_DISPATCH(NAME, ARGS)              \
    switch (vectorPath()) {                           \
        case VectorPath::Avx512: NAME##Avx512 ARGS; break; \
        case VectorPath::Avx2: NAME##Avx2 ARGS; break;     \
        case VectorPath::Plain: NAME##Plain ARGS; break;   \
    }

namespace {

// One update over a chunk.
inline __attribute__((always_inline)) void updateChunk(float* __restrict x, const double* __restrict v, double s,
                                                      int len) {
    for (int j = 0; j < len; ++j) x[j] = static_cast<float>(static_cast<double>(x[j]) - v[j] * s);
}

inline __attribute__((always_inline)) void applyRankOneUpdatesBody(float* __restrict x, int len,
                                                                   const double* const* vecs, const double* scales,
                                                                   int count) {
    // Chunks small enough that the chunk of x stays in the first-level cache
    // while every update passes over it.
    constexpr int kChunk = 1024;
    for (int j0 = 0; j0 < len; j0 += kChunk) {
        const int chunk = j0 + kChunk < len ? kChunk : len - j0;
        for (int l = 0; l < count; ++l) updateChunk(x + j0, vecs[l] + j0, scales[l], chunk);
    }
}
MINQUE_PATH_VARIANTS(applyRankOneUpdates, (float* x, int len, const double* const* vecs, const double* scales, int count),
                     (x, len, vecs, scales, count))

}  // namespace

void applyRankOneUpdates(float* x, int len, const double* const* vecs, const double* scales, int count) {
    MINQUE_PATH_DISPATCH(applyRankOneUpdates, (x, len, vecs, scales, count))
}

namespace {

// The tile, one element at a time: the definition the vector versions follow.
void tileGeneric(float* const* rows, int rowCount, const double* const* vecs, const double* scales, int stride,
                 int count) {
    for (int r = 0; r < rowCount; ++r) {
        float* x = rows[r];
        const double* s = scales + static_cast<std::ptrdiff_t>(r) * stride;
        for (int j = 0; j < kTileWidth; ++j) {
            float value = x[j];
            for (int l = 0; l < count; ++l) value = static_cast<float>(static_cast<double>(value) - vecs[l][j] * s[l]);
            x[j] = value;
        }
    }
}

// Four registers of eight doubles hold the 32 elements of a row's tile; each
// update is a double multiply and subtract per lane, then the rounding to
// float (convert down and back up), exactly as if the element were stored.
// R rows are updated together: their 4R chains of dependent updates are
// independent of one another, which keeps the vector units busy, and each
// load of an update vector serves all R rows.
template <int R>
__attribute__((target("avx512f"), always_inline)) inline void tileRowsAvx512(float* const* rows,
                                                                             const double* const* vecs,
                                                                             const double* scales, int stride,
                                                                             int count) {
    __m512d a[R][4];
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < 4; ++q) a[r][q] = _mm512_cvtps_pd(_mm256_loadu_ps(rows[r] + 8 * q));
    for (int l = 0; l < count; ++l) {
        const double* v = vecs[l];
        __m512d scale[R];
        for (int r = 0; r < R; ++r) scale[r] = _mm512_set1_pd(scales[static_cast<std::ptrdiff_t>(r) * stride + l]);
        for (int q = 0; q < 4; ++q) {
            const __m512d vq = _mm512_loadu_pd(v + 8 * q);
            for (int r = 0; r < R; ++r)
                a[r][q] = _mm512_cvtps_pd(_mm512_cvtpd_ps(_mm512_sub_pd(a[r][q], _mm512_mul_pd(vq, scale[r]))));
        }
    }
    for (int r = 0; r < R; ++r)
        for (int q = 0; q < 4; ++q) _mm256_storeu_ps(rows[r] + 8 * q, _mm512_cvtpd_ps(a[r][q]));
}

__attribute__((target("avx512f"))) void tileAvx512(float* const* rows, int rowCount, const double* const* vecs,
                                                   const double* scales, int stride, int count) {
    int r = 0;
    for (; r + 4 <= rowCount; r += 4) tileRowsAvx512<4>(rows + r, vecs, scales + static_cast<std::ptrdiff_t>(r) * stride, stride, count);
    for (; r + 2 <= rowCount; r += 2) tileRowsAvx512<2>(rows + r, vecs, scales + static_cast<std::ptrdiff_t>(r) * stride, stride, count);
    for (; r < rowCount; ++r) tileRowsAvx512<1>(rows + r, vecs, scales + static_cast<std::ptrdiff_t>(r) * stride, stride, count);
}

// The same with eight registers of four doubles.
__attribute__((target("avx2"))) void tileAvx2(float* const* rows, int rowCount, const double* const* vecs,
                                              const double* scales, int stride, int count) {
    for (int r = 0; r < rowCount; ++r) {
        float* x = rows[r];
        const double* s = scales + static_cast<std::ptrdiff_t>(r) * stride;
        __m256d a[8];
        for (int q = 0; q < 8; ++q) a[q] = _mm256_cvtps_pd(_mm_loadu_ps(x + 4 * q));
        for (int l = 0; l < count; ++l) {
            const double* v = vecs[l];
            const __m256d scale = _mm256_set1_pd(s[l]);
            for (int q = 0; q < 8; ++q) {
                const __m256d d = _mm256_sub_pd(a[q], _mm256_mul_pd(_mm256_loadu_pd(v + 4 * q), scale));
                a[q] = _mm256_cvtps_pd(_mm256_cvtpd_ps(d));
            }
        }
        for (int q = 0; q < 8; ++q) _mm_storeu_ps(x + 4 * q, _mm256_cvtpd_ps(a[q]));
    }
}

}  // namespace

static_assert(kTileWidth == 32, "the tile kernels hold 32 elements");

void applyRankOneUpdatesTile(float* const* rows, int rowCount, const double* const* vecs, const double* scales,
                             int stride, int count) {
    switch (vectorPath()) {
        case VectorPath::Avx512: tileAvx512(rows, rowCount, vecs, scales, stride, count); break;
        case VectorPath::Avx2: tileAvx2(rows, rowCount, vecs, scales, stride, count); break;
        case VectorPath::Plain: tileGeneric(rows, rowCount, vecs, scales, stride, count); break;
    }
}

namespace {

// Element by element: (j, i) = (i, j) for j < i, i in [i0, i1).
void mirrorGeneric(float* base, std::size_t stride, int i0, int i1) {
    constexpr int kTile = 16;
    auto row = [base, stride](int i) { return base + static_cast<std::size_t>(i) * stride; };
    for (int c0 = 0; c0 < i1; c0 += kTile) {
        const int c1 = c0 + kTile < i1 ? c0 + kTile : i1;
        for (int j = c0; j < c1; ++j) {
            float* Wj = row(j);
            for (int i = (i0 > j + 1 ? i0 : j + 1); i < i1; ++i) Wj[i] = row(i)[j];
        }
    }
}

// Transposes the 16 x 16 block with top-left (i, j) into the block with
// top-left (j, i).
__attribute__((target("avx512f"), always_inline)) inline void transposeBlock16(float* base, std::size_t stride, int i,
                                                                               int j) {
    __m512 r[16], t[16];
    for (int k = 0; k < 16; ++k) r[k] = _mm512_loadu_ps(base + static_cast<std::size_t>(i + k) * stride + j);
    for (int k = 0; k < 16; k += 2) {
        t[k] = _mm512_unpacklo_ps(r[k], r[k + 1]);
        t[k + 1] = _mm512_unpackhi_ps(r[k], r[k + 1]);
    }
    for (int k = 0; k < 16; k += 4) {
        r[k] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(1, 0, 1, 0));
        r[k + 1] = _mm512_shuffle_ps(t[k], t[k + 2], _MM_SHUFFLE(3, 2, 3, 2));
        r[k + 2] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(1, 0, 1, 0));
        r[k + 3] = _mm512_shuffle_ps(t[k + 1], t[k + 3], _MM_SHUFFLE(3, 2, 3, 2));
    }
    for (int k = 0; k < 4; ++k) {
        t[k] = _mm512_shuffle_f32x4(r[k], r[k + 4], 0x88);
        t[k + 4] = _mm512_shuffle_f32x4(r[k], r[k + 4], 0xdd);
        t[k + 8] = _mm512_shuffle_f32x4(r[k + 8], r[k + 12], 0x88);
        t[k + 12] = _mm512_shuffle_f32x4(r[k + 8], r[k + 12], 0xdd);
    }
    for (int k = 0; k < 8; ++k) {
        r[k] = _mm512_shuffle_f32x4(t[k], t[k + 8], 0x88);
        r[k + 8] = _mm512_shuffle_f32x4(t[k], t[k + 8], 0xdd);
    }
    for (int k = 0; k < 16; ++k) _mm512_storeu_ps(base + static_cast<std::size_t>(j + k) * stride + i, r[k]);
}

// Whole 16 x 16 blocks strictly below the diagonal by the vector transpose,
// the rest element by element.
__attribute__((target("avx512f"))) void mirrorAvx512(float* base, std::size_t stride, int i0, int i1) {
    for (int b0 = i0; b0 < i1; b0 += 16) {
        const int b1 = b0 + 16 < i1 ? b0 + 16 : i1;
        int j0 = 0;
        if (b1 - b0 == 16)
            for (; j0 + 16 <= b0; j0 += 16) transposeBlock16(base, stride, b0, j0);
        // The diagonal block and any partial band.
        auto row = [base, stride](int i) { return base + static_cast<std::size_t>(i) * stride; };
        for (int j = j0; j < b1; ++j) {
            float* Wj = row(j);
            for (int i = (b0 > j + 1 ? b0 : j + 1); i < b1; ++i) Wj[i] = row(i)[j];
        }
    }
}

}  // namespace

void mirrorLowerRows(float* base, std::size_t stride, int i0, int i1) {
    if (vectorPath() == VectorPath::Avx512)
        mirrorAvx512(base, stride, i0, i1);
    else
        mirrorGeneric(base, stride, i0, i1);
}

namespace {

inline __attribute__((always_inline)) void subtractProjectionBody(float* __restrict x, int len, const double* w,
                                                                  std::size_t wStride, const double* t, int p) {
    constexpr int kChunk = 256;
    double s[kChunk];
    for (int c0 = 0; c0 < len; c0 += kChunk) {
        const int chunk = c0 + kChunk < len ? kChunk : len - c0;
        for (int c = 0; c < chunk; ++c) s[c] = 0.0;
        for (int f = 0; f < p; ++f) {
            const double* __restrict wf = w + static_cast<std::size_t>(f) * wStride + c0;
            const double tf = t[f];
            for (int c = 0; c < chunk; ++c) s[c] += wf[c] * tf;
        }
        for (int c = 0; c < chunk; ++c) x[c0 + c] = static_cast<float>(static_cast<double>(x[c0 + c]) - s[c]);
    }
}
MINQUE_PATH_VARIANTS(subtractProjection, (float* x, int len, const double* w, std::size_t wStride, const double* t, int p),
                     (x, len, w, wStride, t, p))

inline __attribute__((always_inline)) void accumulateScaledBody(double* __restrict acc, const float* __restrict src,
                                                                float v, int len) {
    for (int j = 0; j < len; ++j) acc[j] += static_cast<double>(src[j] * v);
}
MINQUE_PATH_VARIANTS(accumulateScaled, (double* acc, const float* src, float v, int len), (acc, src, v, len))

inline __attribute__((always_inline)) void accumulatePlainBody(double* __restrict acc, const float* __restrict src,
                                                               int len) {
    for (int j = 0; j < len; ++j) acc[j] += static_cast<double>(src[j]);
}
MINQUE_PATH_VARIANTS(accumulatePlain, (double* acc, const float* src, int len), (acc, src, len))

}  // namespace

void subtractProjection(float* x, int len, const double* w, std::size_t wStride, const double* t, int p) {
    MINQUE_PATH_DISPATCH(subtractProjection, (x, len, w, wStride, t, p))
}

void accumulateScaled(double* acc, const float* src, float v, int len) {
    MINQUE_PATH_DISPATCH(accumulateScaled, (acc, src, v, len))
}

void accumulatePlain(double* acc, const float* src, int len) { MINQUE_PATH_DISPATCH(accumulatePlain, (acc, src, len)) }

namespace {

void accumulateRowsGeneric(double* acc, const float* const* rows, const float* values, int count, int len) {
    for (int k = 0; k < count; ++k) {
        if (values == nullptr)
            accumulatePlain(acc, rows[k], len);
        else
            accumulateScaled(acc, rows[k], values[k], len);
    }
}

__attribute__((target("avx512f"))) void accumulateRowsAvx512(double* acc, const float* const* rows, const float* values,
                                                             int count, int len) {
    int j = 0;
    for (; j + 8 <= len; j += 8) {
        __m512d a = _mm512_loadu_pd(acc + j);
        if (values == nullptr) {
            for (int k = 0; k < count; ++k) a = _mm512_add_pd(a, _mm512_cvtps_pd(_mm256_loadu_ps(rows[k] + j)));
        } else {
            for (int k = 0; k < count; ++k) {
                const __m256 product = _mm256_mul_ps(_mm256_loadu_ps(rows[k] + j), _mm256_set1_ps(values[k]));
                a = _mm512_add_pd(a, _mm512_cvtps_pd(product));
            }
        }
        _mm512_storeu_pd(acc + j, a);
    }
    for (; j < len; ++j)
        for (int k = 0; k < count; ++k)
            acc[j] += values == nullptr ? static_cast<double>(rows[k][j]) : static_cast<double>(rows[k][j] * values[k]);
}

}  // namespace

void accumulateRows(double* acc, const float* const* rows, const float* values, int count, int len) {
    const bool wide = vectorPath() == VectorPath::Avx512;
    // Groups of rows, so the pointer lists stay short.
    constexpr int kGroup = 16;
    for (int k0 = 0; k0 < count; k0 += kGroup) {
        const int group = count - k0 < kGroup ? count - k0 : kGroup;
        const float* groupValues = values == nullptr ? nullptr : values + k0;
        if (wide)
            accumulateRowsAvx512(acc, rows + k0, groupValues, group, len);
        else
            accumulateRowsGeneric(acc, rows + k0, groupValues, group, len);
    }
}

void accumulateListedRows(double* acc, const float* base, std::size_t stride, std::size_t column0,
                          const std::int32_t* rows, const float* values, int count, int len) {
    // The pointers of a group at a time: a column may list more entries than
    // the matrix has rows (an observation repeated), so no list is sized by n.
    constexpr int kGroup = 16;
    const float* sources[kGroup];
    for (int k0 = 0; k0 < count; k0 += kGroup) {
        const int group = count - k0 < kGroup ? count - k0 : kGroup;
        for (int k = 0; k < group; ++k)
            sources[k] = base + static_cast<std::size_t>(rows[k0 + k] - 1) * stride + column0;
        accumulateRows(acc, sources, values == nullptr ? nullptr : values + k0, group, len);
    }
}

}  // namespace minque
