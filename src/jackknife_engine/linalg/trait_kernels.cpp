#include "jackknife_engine/linalg/trait_kernels.hpp"

#include <cstddef>

#include "jackknife_engine/linalg/simd.hpp"
#include "jackknife_engine/linalg/vector_path.hpp"

namespace minque {

namespace {

void recordsGeneric(const float* const* records, int count, int n, const double* y, int lanes, double* A, double* P) {
    for (int r = 0; r < count; ++r)
        for (int i = 0; i < lanes; ++i) {
            double a = 0.0, p = 0.0;
            for (int j = 0; j < n; ++j) {
                const double yi = y[static_cast<std::size_t>(j) * lanes + i];
                a += static_cast<double>(records[r][j]) * yi;
                p += static_cast<double>(records[r][j] * static_cast<float>(yi));
            }
            A[static_cast<std::size_t>(r) * lanes + i] = a;
            P[static_cast<std::size_t>(r) * lanes + i] = p;
        }
}

void rowsGeneric(const float* const* rows, int count, int n, const double* y, int lanes, double* out) {
    for (int q = 0; q < count; ++q)
        for (int i = 0; i < lanes; ++i) {
            double s = 0.0;
            for (int j = 0; j < n; ++j) s += y[static_cast<std::size_t>(j) * lanes + i] * static_cast<double>(rows[q][j]);
            out[static_cast<std::size_t>(q) * lanes + i] = s;
        }
}

// G records (or rows) at a time, 16 trait lanes at a time. The product of two
// floats formed in double is exact, so rounding it to float gives the float
// product: P's term is the rounded A term.
template <int G>
__attribute__((target("avx512f"), always_inline)) inline void recordGroupAvx512(const float* const* records, int n,
                                                                                const double* y, int lanes, int lane0,
                                                                                double* A, double* P) {
    __m512d a[G][2], p[G][2];
    for (int r = 0; r < G; ++r)
        for (int h = 0; h < 2; ++h) a[r][h] = p[r][h] = _mm512_setzero_pd();
    for (int j = 0; j < n; ++j) {
        const double* yj = y + static_cast<std::size_t>(j) * lanes + lane0;
        const __m512d y0 = _mm512_loadu_pd(yj), y1 = _mm512_loadu_pd(yj + 8);
        for (int r = 0; r < G; ++r) {
            const __m512d rd = _mm512_set1_pd(static_cast<double>(records[r][j]));
            const __m512d t0 = _mm512_mul_pd(rd, y0), t1 = _mm512_mul_pd(rd, y1);
            a[r][0] = _mm512_add_pd(a[r][0], t0);
            a[r][1] = _mm512_add_pd(a[r][1], t1);
            p[r][0] = _mm512_add_pd(p[r][0], _mm512_cvtps_pd(_mm512_cvtpd_ps(t0)));
            p[r][1] = _mm512_add_pd(p[r][1], _mm512_cvtps_pd(_mm512_cvtpd_ps(t1)));
        }
    }
    for (int r = 0; r < G; ++r) {
        double* ar = A + static_cast<std::size_t>(r) * lanes + lane0;
        double* pr = P + static_cast<std::size_t>(r) * lanes + lane0;
        _mm512_storeu_pd(ar, a[r][0]);
        _mm512_storeu_pd(ar + 8, a[r][1]);
        _mm512_storeu_pd(pr, p[r][0]);
        _mm512_storeu_pd(pr + 8, p[r][1]);
    }
}

__attribute__((target("avx512f"))) void recordsAvx512(const float* const* records, int count, int n, const double* y,
                                                      int lanes, double* A, double* P) {
    if (lanes % 16 != 0) {
        recordsGeneric(records, count, n, y, lanes, A, P);
        return;
    }
    for (int lane0 = 0; lane0 < lanes; lane0 += 16) {
        int r = 0;
        for (; r + 4 <= count; r += 4)
            recordGroupAvx512<4>(records + r, n, y, lanes, lane0, A + static_cast<std::size_t>(r) * lanes,
                                 P + static_cast<std::size_t>(r) * lanes);
        for (; r < count; ++r)
            recordGroupAvx512<1>(records + r, n, y, lanes, lane0, A + static_cast<std::size_t>(r) * lanes,
                                 P + static_cast<std::size_t>(r) * lanes);
    }
}

template <int G>
__attribute__((target("avx512f"), always_inline)) inline void rowGroupAvx512(const float* const* rows, int n,
                                                                             const double* y, int lanes, int lane0,
                                                                             double* out) {
    __m512d s[G][2];
    for (int q = 0; q < G; ++q) s[q][0] = s[q][1] = _mm512_setzero_pd();
    for (int j = 0; j < n; ++j) {
        const double* yj = y + static_cast<std::size_t>(j) * lanes + lane0;
        const __m512d y0 = _mm512_loadu_pd(yj), y1 = _mm512_loadu_pd(yj + 8);
        for (int q = 0; q < G; ++q) {
            const __m512d qd = _mm512_set1_pd(static_cast<double>(rows[q][j]));
            s[q][0] = _mm512_add_pd(s[q][0], _mm512_mul_pd(y0, qd));
            s[q][1] = _mm512_add_pd(s[q][1], _mm512_mul_pd(y1, qd));
        }
    }
    for (int q = 0; q < G; ++q) {
        _mm512_storeu_pd(out + static_cast<std::size_t>(q) * lanes + lane0, s[q][0]);
        _mm512_storeu_pd(out + static_cast<std::size_t>(q) * lanes + lane0 + 8, s[q][1]);
    }
}

__attribute__((target("avx512f"))) void rowsAvx512(const float* const* rows, int count, int n, const double* y, int lanes,
                                                   double* out) {
    if (lanes % 16 != 0) {
        rowsGeneric(rows, count, n, y, lanes, out);
        return;
    }
    for (int lane0 = 0; lane0 < lanes; lane0 += 16) {
        int q = 0;
        for (; q + 4 <= count; q += 4) rowGroupAvx512<4>(rows + q, n, y, lanes, lane0, out + static_cast<std::size_t>(q) * lanes);
        for (; q < count; ++q) rowGroupAvx512<1>(rows + q, n, y, lanes, lane0, out + static_cast<std::size_t>(q) * lanes);
    }
}

}  // namespace

// The AVX2 and plain paths share the element-by-element kernels.
void traitRecordProducts(const float* const* records, int recordCount, int n, const double* y, int lanes, double* A,
                         double* P) {
    if (vectorPath() == VectorPath::Avx512)
        recordsAvx512(records, recordCount, n, y, lanes, A, P);
    else
        recordsGeneric(records, recordCount, n, y, lanes, A, P);
}

void traitRowProducts(const float* const* rows, int rowCount, int n, const double* y, int lanes, double* out) {
    if (vectorPath() == VectorPath::Avx512)
        rowsAvx512(rows, rowCount, n, y, lanes, out);
    else
        rowsGeneric(rows, rowCount, n, y, lanes, out);
}

}  // namespace minque
