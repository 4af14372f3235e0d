// The device check of the GPU variance inverse (run by bench/gpu_check.sh on
// a machine with a CUDA device):
//   1. for n = 200, 1000, 4000 (m = n / 4 columns in three random factors,
//      two fixed columns, three traits) the projection Q and the whole-data
//      covariance components of every trait pair from the GPU inverse against
//      those from the host inverse (largest difference relative to the
//      largest host value);
//   2. the time of one estimation pass on both paths for n = 1000, 2000,
//      4000, 8000.
// Returns 1 when Q or the components of the two paths differ by more than
// single-precision rounding of an n x n inverse allows (kQTolerance,
// kComponentTolerance, relative to the largest host value).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "jackknife_engine/gpu/device_discovery.hpp"
#include "jackknife_engine/gpu/sherman_gpu.hpp"
#include "jackknife_engine/io/model_constants.hpp"
#include "jackknife_engine/io/model_reader.hpp"
#include "jackknife_engine/io/model_writer.hpp"
#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "jackknife_engine/linalg/svd_ginverse.hpp"
#include "jackknife_engine/minque/minque_equations.hpp"
#include "jackknife_engine/minque/minque_pass.hpp"
#include "jackknife_engine/minque/pair_covariances.hpp"

namespace {

using namespace minque;

constexpr int kTraits = 3;
// Float products, double sums: the two inverses differ by rounding of order
// 1e-7 per element; through the MINQUE system the components may lose a few
// digits more.
constexpr double kQTolerance = 1e-4;
constexpr double kComponentTolerance = 1e-3;

AnalysisState makeState(int n, unsigned seed) {
    std::mt19937 rng(seed);
    ModelDesign d;
    d.obsCount = n;
    d.traitCount = kTraits;
    d.componentNames = {"V(F1)", "V(F2)", "V(F3)", "V(e)", "-", "-", "-", "-"};
    const int m = n / 4;
    const int levels[3] = {std::max(1, n / 40), std::max(1, n / 10), m - std::max(1, n / 40) - std::max(1, n / 10)};
    d.fixedColumns.resize(2);
    for (int obs = 1; obs <= n; ++obs) {
        d.fixedColumns[0].push_back(obs);
        if (obs % 2 == 0) d.fixedColumns[1].push_back(obs);
    }
    for (int L : levels) {
        ModelDesign::Factor f;
        f.columns.resize(static_cast<std::size_t>(L));
        for (int obs = 1; obs <= n; ++obs)
            f.columns[rng() % static_cast<unsigned>(L)].emplace_back(obs, 0.5f + static_cast<float>(rng() % 4) * 0.25f);
        d.factors.push_back(f);
    }
    std::normal_distribution<float> z(10.0f, 2.0f);
    std::vector<std::vector<float>> rows(static_cast<std::size_t>(n), std::vector<float>(kTraits));
    for (auto& row : rows)
        for (auto& v : row) v = z(rng);
    std::string model = formatModelFile(d);
    std::string data = formatDataFile({}, {"A", "B", "C"}, {}, rows);
    AnalysisState st;
    const ModelHeader h = readModelFile(st, fmemopen(model.data(), model.size(), "r"), "CHECK.MAT", 0, nullptr);
    readDataFile(st, fmemopen(data.data(), data.size(), "r"), "CHECK.TXT", h.leadColumnCount, h.traitCount, nullptr);
    deriveModelConstants(st, h.trailingFactorCount, "CHECK.MAT");
    st.streams[kSlotWholeData] = std::tmpfile();
    st.streams[kSlotReplicate] = std::tmpfile();
    return st;
}

double relativeDifference(const std::vector<float>& a, const std::vector<float>& b) {
    double diff = 0.0, size = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff = std::max(diff, std::fabs(static_cast<double>(a[i]) - b[i]));
        size = std::max(size, std::fabs(static_cast<double>(b[i])));
    }
    return size > 0.0 ? diff / size : diff;
}

// Q, then the covariance components of every pair, after a whole-data pass.
void passResults(AnalysisState& st, bool host, std::vector<float>* q, std::vector<float>* theta) {
    st.forceHost = host;
    minquePass(st, kSlotWholeData);
    const int n = st.obsCount;
    q->assign(st.vInverse.ptr(1, 1), st.vInverse.ptr(1, 1) + static_cast<std::size_t>(n) * n);
    theta->clear();
    for (int i = 1; i <= kTraits; ++i)
        for (int j = i + 1; j <= kTraits; ++j) {
            for (int obs = 1; obs <= n; ++obs) {
                st.pairData[1][obs] = st.traitData[i][obs];
                st.pairData[2][obs] = st.traitData[j][obs];
            }
            st.resultRow = 2;
            estimatePairCovariances(st, kSlotWholeData);
            for (int k = 1; k <= st.componentCount; ++k) theta->push_back(st.priorValues[2][k]);
        }
}

}  // namespace

int main() {
    std::printf("devices: %d\n", getGPUCount());
    if (getGPUCount() < 1) {
        std::printf("no CUDA device: nothing to check\n");
        return 1;
    }
    std::printf("\nGPU against host inverse (largest difference / largest host value):\n");
    std::printf("%8s %8s %14s %14s\n", "n", "m", "Q", "components");
    bool agree = true;
    for (int n : {200, 1000, 4000}) {
        AnalysisState gpu = makeState(n, 11), cpu = makeState(n, 11);
        std::vector<float> qg, qc, tg, tc;
        passResults(gpu, false, &qg, &tg);
        passResults(cpu, true, &qc, &tc);
        const double q = relativeDifference(qg, qc), theta = relativeDifference(tg, tc);
        const bool ok = q <= kQTolerance && theta <= kComponentTolerance;
        agree = agree && ok;
        std::printf("%8d %8d %14.3g %14.3g%s\n", n, gpu.randomLevelCount, q, theta, ok ? "" : "  DIFFERENT");
    }
    std::printf("\nOne estimation pass (seconds):\n%8s %10s %10s\n", "n", "host", "GPU");
    for (int n : {1000, 2000, 4000, 8000}) {
        double seconds[2];
        for (int host = 1; host >= 0; --host) {
            AnalysisState st = makeState(n, 5);
            st.forceHost = host == 1;
            if (host == 0) minquePass(st, kSlotWholeData);  // warm-up: device and library start
            const auto t0 = std::chrono::steady_clock::now();
            minquePass(st, kSlotWholeData);
            seconds[1 - host] = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        }
        std::printf("%8d %10.3f %10.3f\n", n, seconds[0], seconds[1]);
    }
    if (!agree) std::printf("\nThe GPU and host paths differ by more than single-precision rounding.\n");
    return agree ? 0 : 1;
}
