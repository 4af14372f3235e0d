#include "resampling/parametric_bootstrap.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <stdexcept>

#ifdef MINQUE_HAVE_LIBMVEC
#include <emmintrin.h>
// glibc's vector math (x86-64 vector function ABI, two doubles per call).
extern "C" __m128d _ZGVbN2v_log(__m128d);
extern "C" __m128d _ZGVbN2v_sin(__m128d);
extern "C" __m128d _ZGVbN2v_cos(__m128d);
#endif

#include "core/fatal_error.hpp"
#include "core/small_counts.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

// SplitMix64: a stated 64-bit generator.
struct SplitMix64 {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in (0, 1): the top 53 bits, centred in their interval.
    double uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }
};

// `count` standard normal deviates by Box-Muller: pair p takes the uniforms
// u1 then u2 and gives r cos(a) then r sin(a), r = sqrt(-2 log u1), a = 2 pi
// u2 (an odd count drops the last sine). The pairs' logarithms, sines and
// cosines go two at a time through the C library's vector math (glibc's
// libmvec: within 4 ulp of the scalar functions, the same on every thread
// count) where the build has it, else one at a time.
void normalDeviates(SplitMix64& bits, double* out, std::size_t count, std::vector<double>& scratch) {
    const std::size_t pairs = (count + 1) / 2;
    scratch.resize(4 * pairs);
    double* u1 = scratch.data();
    double* u2 = u1 + pairs;
    double* c = u2 + pairs;
    double* s = c + pairs;
    for (std::size_t p = 0; p < pairs; ++p) {
        u1[p] = bits.uniform();
        u2[p] = 6.283185307179586 * bits.uniform();
    }
    std::size_t p = 0;
#ifdef MINQUE_HAVE_LIBMVEC
    for (; p + 2 <= pairs; p += 2) {
        const __m128d angle = _mm_loadu_pd(u2 + p);
        _mm_storeu_pd(u1 + p, _mm_sqrt_pd(_mm_mul_pd(_mm_set1_pd(-2.0), _ZGVbN2v_log(_mm_loadu_pd(u1 + p)))));
        _mm_storeu_pd(c + p, _ZGVbN2v_cos(angle));
        _mm_storeu_pd(s + p, _ZGVbN2v_sin(angle));
    }
#endif
    for (; p < pairs; ++p) {
        u1[p] = std::sqrt(-2.0 * std::log(u1[p]));
        c[p] = std::cos(u2[p]);
        s[p] = std::sin(u2[p]);
    }
    for (std::size_t q = 0; q < count / 2; ++q) {
        out[2 * q] = u1[q] * c[q];
        out[2 * q + 1] = u1[q] * s[q];
    }
    if (count % 2 == 1) out[count - 1] = u1[pairs - 1] * c[pairs - 1];
}

// e = L xi, L column-major (size x size), each e_i summed over the columns
// in increasing order; the rows' sums advance together.
void timesColumns(const double* L, const double* xi, double* e, std::size_t size) {
    withSmallCount(size, [&](auto N) {
        for (std::size_t i = 0; i < N; ++i) e[i] = 0.0;
        for (std::size_t h = 0; h < N; ++h)
            for (std::size_t i = 0; i < N; ++i) e[i] += L[h * N + i] * xi[h];
    });
}

// y += a v over `size` entries.
void addScaled(double* __restrict y, double a, const double* v, std::size_t size) {
    withSmallCount(size, [&](auto N) {
        for (std::size_t i = 0; i < N; ++i) y[i] += a * v[i];
    });
}

}  // namespace

BootstrapDraws parametricBootstrap(const MinqueProjection& projection, const std::vector<double>& whole, int t,
                                   int samples, std::uint64_t seed, const std::function<void(int done)>& blockDone) {
    const int K = projection.components();
    const std::size_t T = static_cast<std::size_t>(t), pairs = T * (T + 1) / 2;
    if (whole.size() != static_cast<std::size_t>(K) * pairs || samples < 1)
        stopRun("internal error: the bootstrap was given %zu components for %d traits", whole.size(), t);
    BootstrapDraws draws;
    draws.samples = samples;
    draws.traits = t;
    draws.components = K;
    draws.adjusted.assign(static_cast<std::size_t>(K), 0);
    draws.smallestEigenvalue.assign(static_cast<std::size_t>(K), 0.0);
    // The groups of factors drawn jointly: those joined by covariance
    // components, each group listed from its first factor; the residual
    // alone, last.
    const MinqueDesign& design = projection.design();
    const int r = static_cast<int>(design.factors.size());
    std::vector<int> groupOf(static_cast<std::size_t>(r));
    for (int u = 0; u < r; ++u) groupOf[static_cast<std::size_t>(u)] = u;
    auto root = [&](int u) {
        while (groupOf[static_cast<std::size_t>(u)] != u) u = groupOf[static_cast<std::size_t>(u)];
        return u;
    };
    for (const auto& [a, b] : design.covariancePairs) {
        const int ra = root(a), rb = root(b);
        groupOf[static_cast<std::size_t>(std::max(ra, rb))] = std::min(ra, rb);
    }
    struct Group {
        std::vector<int> factors;
        std::vector<double> L;  // a factor of its (factors x traits) matrix, column-major
    };
    std::vector<Group> groups;
    std::vector<int> groupIndex(static_cast<std::size_t>(r), -1);
    for (int u = 0; u < r; ++u) {
        const int g = root(u);
        if (groupIndex[static_cast<std::size_t>(g)] < 0) {
            groupIndex[static_cast<std::size_t>(g)] = static_cast<int>(groups.size());
            groups.emplace_back();
        }
        groups[static_cast<std::size_t>(groupIndex[static_cast<std::size_t>(g)])].factors.push_back(u);
    }
    auto component = [&](int k, int i, int j) {
        return whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(std::min(i, j), std::max(i, j), t))];
    };
    // Sets L to a factor of the matrix, made positive semi-definite (column
    // by column: L[h size + i] is row i of column h), and marks the
    // components k of the matrix when it had to be.
    auto factorOf = [&](const std::vector<double>& G, std::size_t size, std::vector<double>& L, const std::vector<int>& ks) {
        std::vector<double> rows;
        const double smallest = positiveSemiDefiniteRoot(G, static_cast<int>(size), rows);
        L.resize(size * size);
        for (std::size_t i = 0; i < size; ++i)
            for (std::size_t h = 0; h < size; ++h) L[h * size + i] = rows[i * size + h];
        for (int k : ks) {
            draws.smallestEigenvalue[static_cast<std::size_t>(k)] = smallest;
            draws.adjusted[static_cast<std::size_t>(k)] = smallest < 0.0 ? 1 : 0;
        }
    };
    for (Group& group : groups) {
        const std::size_t s = group.factors.size(), size = s * T;
        std::vector<double> G(size * size, 0.0);
        std::vector<int> joined;  // the covariance components inside the group
        for (std::size_t x = 0; x < s; ++x)
            for (std::size_t z = 0; z < s; ++z) {
                int k = x == z ? group.factors[x] : -1;
                for (std::size_t d = 0; d < design.covariancePairs.size(); ++d) {
                    const auto& [a, b] = design.covariancePairs[d];
                    if ((a == group.factors[x] && b == group.factors[z]) || (b == group.factors[x] && a == group.factors[z])) {
                        k = r + static_cast<int>(d);
                        if (x < z) joined.push_back(k);
                    }
                }
                if (k < 0) continue;
                for (int i = 0; i < t; ++i)
                    for (int j = 0; j < t; ++j)
                        G[(x * T + static_cast<std::size_t>(i)) * size + z * T + static_cast<std::size_t>(j)] = component(k, i, j);
            }
        std::vector<int> ks = group.factors;
        ks.insert(ks.end(), joined.begin(), joined.end());
        factorOf(G, size, group.L, ks);
    }
    std::vector<double> residualL;
    {
        std::vector<double> G(T * T);
        for (int i = 0; i < t; ++i)
            for (int j = 0; j < t; ++j) G[static_cast<std::size_t>(i) * T + static_cast<std::size_t>(j)] = component(K - 1, i, j);
        factorOf(G, T, residualL, {K - 1});
    }
    const std::size_t n = static_cast<std::size_t>(projection.observations());
    draws.theta.assign(static_cast<std::size_t>(samples) * static_cast<std::size_t>(K) * pairs, 0.0);
    // Every sample has its own generator: the blocks change nothing drawn.
    // Samples go in fixed chunks of kChunk, drawn and then estimated together
    // (their projections are one product with many columns): the chunks, and
    // so every sum, are the same on any thread count. A block holds at least
    // two chunks per worker (100 samples on a small machine), which the
    // workers take in turn as they finish, so that none waits long for
    // another at its end; the caller hears of each block (and may stop the
    // run).
    // A group of one factor with a relationship matrix (no covariance
    // component joins such a factor).
    auto relatedOf = [&](const Group& group) -> const RelatedFactor* {
        for (const RelatedFactor& related : design.related)
            if (related.factor == group.factors.front()) return &related;
        return nullptr;
    };
    constexpr int kChunk = 10;
    const int block = kChunk * std::max(10, 2 * workerThreads());
    const std::size_t thetaSize = static_cast<std::size_t>(K) * pairs;
    std::size_t largest = T;
    for (const Group& group : groups) largest = std::max(largest, group.factors.size() * T);
    // The deviates of one sample, in the order they are used: every level of
    // every group, then every observation's.
    std::size_t perSample = n * T;
    for (const Group& group : groups)
        perSample += design.factors[static_cast<std::size_t>(group.factors.front())].size() *
                     (relatedOf(group) != nullptr ? T : group.factors.size() * T);
    for (int blockStart = 0; blockStart < samples; blockStart += block) {
        const int blockSize = std::min(block, samples - blockStart);
        const int chunks = (blockSize + kChunk - 1) / kChunk;
        std::atomic<int> nextChunk{0};
        runOnWorkers([&](int) {
            std::vector<double> Y, deviates(perSample), scratch, e(largest);
            std::vector<std::vector<double>> relatedEffects(design.related.size());
            for (int chunk = nextChunk++; chunk < chunks; chunk = nextChunk++) {
                const int first = blockStart + chunk * kChunk, count = std::min(kChunk, blockSize - chunk * kChunk);
                // Observation-major n x (count t): sample first + c in entries
                // c t .. c t + t - 1 of each observation's row.
                const std::size_t width = T * static_cast<std::size_t>(count);
                Y.assign(n * width, 0.0);
                for (int c = 0; c < count; ++c) {
                    const int b = first + c;
                    double* Yb = Y.data() + static_cast<std::size_t>(c) * T;
                    SplitMix64 bits{seed ^ (0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(b) + 1))};
                    normalDeviates(bits, deviates.data(), perSample, scratch);
                    const double* next = deviates.data();
                    // e = L xi for the next `size` deviates xi.
                    auto draw = [&](const std::vector<double>& L, std::size_t size) {
                        timesColumns(L.data(), next, e.data(), size);
                        next += size;
                    };
                    for (const Group& group : groups) {
                        const std::size_t levels = design.factors[static_cast<std::size_t>(group.factors.front())].size();
                        if (const RelatedFactor* related = relatedOf(group)) {
                            // Effects N(0, G K): every level's deviates as
                            // for independent levels, kept for L to be
                            // applied to the chunk's samples at once.
                            std::vector<double>& effects = relatedEffects[static_cast<std::size_t>(related - design.related.data())];
                            effects.resize(levels * width);
                            for (std::size_t h = 0; h < levels; ++h) {
                                draw(group.L, T);
                                for (std::size_t i = 0; i < T; ++i) effects[h * width + static_cast<std::size_t>(c) * T + i] = e[i];
                            }
                            continue;
                        }
                        for (std::size_t h = 0; h < levels; ++h) {
                            draw(group.L, group.factors.size() * T);
                            for (std::size_t x = 0; x < group.factors.size(); ++x) {
                                const double* effect = e.data() + x * T;
                                for (const auto& [obs, coefficient] : design.factors[static_cast<std::size_t>(group.factors[x])][h])
                                    addScaled(Yb + static_cast<std::size_t>(obs) * width, coefficient, effect, T);
                            }
                        }
                    }
                    for (std::size_t obs = 0; obs < n; ++obs) {
                        draw(residualL, T);
                        addScaled(Yb + obs * width, 1.0, e.data(), T);
                    }
                }
                // The related factors' effects L e, added to every sample of the chunk.
                for (std::size_t f = 0; f < design.related.size(); ++f) {
                    const RelatedFactor& related = design.related[f];
                    std::vector<double>& effects = relatedEffects[f];
                    applyRelationshipRoot(related, effects.data(), static_cast<int>(width));
                    const auto& levelsOf = design.factors[static_cast<std::size_t>(related.factor)];
                    for (std::size_t h = 0; h < levelsOf.size(); ++h)
                        for (const auto& [obs, coefficient] : levelsOf[h]) {
                            double* row = Y.data() + static_cast<std::size_t>(obs) * width;
                            const double* effect = effects.data() + h * width;
                            for (std::size_t x = 0; x < width; ++x) row[x] += coefficient * effect[x];
                        }
                }
                projection.estimateMany(Y.data(), t, count, draws.theta.data() + static_cast<std::size_t>(first) * thetaSize);
            }
        });
        if (blockDone) blockDone(blockStart + blockSize);
    }
    return draws;
}

}  // namespace minque
