// Writes the bundled example trial, EXAMPLE.TXT, into the directory given.
//
// A half diallel of 6 parents: the 6 parent lines and the 15 F1 crosses
// (21 entries), grown in 2 environments with 2 blocks each, one plot per
// entry and block (84 plots, ordered by environment, block, entry). Four
// traits: Yield (t/ha), Height (cm), GrainWt (g per 1000 grains) and Heading
// (days to heading).
//
// Each trait follows the additive-dominance model
//   y = mean + E + B + (A_f + A_m) + D_fm + (AE_f + AE_m) + DE_fm + e
// (a parent line, f = m, carries 2 A_f and 2 AE_f), with the component
// standard deviations and the genetic correlations between traits listed
// below. With only 6 parents, independent random draws of the additive
// effects would give sample correlations anywhere within about +-0.4 of the
// target; so the generator transforms the drawn effects of every component
// (and the plot errors) so that their sample means are 0 and their sample
// covariance matrix across the four traits is exactly the target. What is
// left between the targets and the estimates is the estimation error of the
// design itself. In the example's report the additive and the residual
// correlations come out within 0.14 of their targets; the
// dominance correlations scatter up to 0.5 from theirs, because the 21
// dominance effects are smaller than the additive ones and share their
// information with the dominance-by-environment effects and the plot errors
// (two environments, two blocks), and MINQUE(0/1) weights every component
// equally. The environment interactions (AE, DE) are smaller still and their
// correlations are not meaningful at this size. Other seeds move the additive
// correlations by up to about 0.5: six parents is a small sample of a
// population, however exact its realised effects.
//
// The random numbers are a seeded Mersenne twister with a Box-Muller
// transform written here, so the file is the same on every platform.
#include "model/example_trial.hpp"

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "io/file_text.hpp"

namespace {

constexpr int kTraits = 4;
constexpr int kParents = 6;
constexpr int kEnvironments = 2;
constexpr int kBlocks = 2;
const char* const kTraitNames[kTraits] = {"Yield", "Height", "GrainWt", "Heading"};
const double kMeans[kTraits] = {6.0, 100.0, 40.0, 80.0};
const double kEnvironmentShift[kEnvironments][kTraits] = {{-0.4, -3.0, -1.0, 2.0}, {0.4, 3.0, 1.0, -2.0}};

// Standard deviations of A, D, AE, DE, B and e for each trait.
enum Component { kA, kD, kAE, kDE, kB, kE, kComponents };
const double kSd[kComponents][kTraits] = {
    {0.45, 6.0, 2.5, 3.0},   // A
    {0.30, 3.0, 1.2, 1.5},   // D
    {0.20, 2.0, 0.8, 1.0},   // AE
    {0.18, 2.0, 0.7, 0.8},   // DE
    {0.15, 1.5, 0.5, 0.6},   // B
    {0.25, 3.0, 1.2, 1.5},   // e
};

using Matrix = std::vector<std::vector<double>>;

// Correlations between Yield, Height, GrainWt and Heading.
const Matrix kAdditiveCorrelation = {{1.0, 0.5, 0.6, -0.4}, {0.5, 1.0, 0.3, 0.2}, {0.6, 0.3, 1.0, -0.3}, {-0.4, 0.2, -0.3, 1.0}};
const Matrix kDominanceCorrelation = {{1.0, 0.4, 0.3, -0.2}, {0.4, 1.0, 0.2, 0.1}, {0.3, 0.2, 1.0, -0.1}, {-0.2, 0.1, -0.1, 1.0}};
const Matrix kInteractionCorrelation = {{1.0, 0.2, 0.2, 0.0}, {0.2, 1.0, 0.1, 0.0}, {0.2, 0.1, 1.0, 0.0}, {0.0, 0.0, 0.0, 1.0}};
const Matrix kErrorCorrelation = {{1.0, 0.2, 0.1, -0.1}, {0.2, 1.0, 0.1, 0.0}, {0.1, 0.1, 1.0, 0.0}, {-0.1, 0.0, 0.0, 1.0}};

class Normal {
public:
    explicit Normal(unsigned seed) : rng_(seed) {}
    double operator()() {
        if (haveSpare_) {
            haveSpare_ = false;
            return spare_;
        }
        const double u1 = (static_cast<double>(rng_()) + 1.0) / 4294967297.0;
        const double u2 = static_cast<double>(rng_()) / 4294967296.0;
        const double radius = std::sqrt(-2.0 * std::log(u1));
        spare_ = radius * std::sin(2.0 * M_PI * u2);
        haveSpare_ = true;
        return radius * std::cos(2.0 * M_PI * u2);
    }

private:
    std::mt19937 rng_;
    double spare_ = 0.0;
    bool haveSpare_ = false;
};

// Lower Cholesky factor of a positive definite matrix.
Matrix cholesky(const Matrix& a) {
    const std::size_t n = a.size();
    Matrix l(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j <= i; ++j) {
            double s = a[i][j];
            for (std::size_t k = 0; k < j; ++k) s -= l[i][k] * l[j][k];
            l[i][j] = i == j ? std::sqrt(s) : s / l[j][j];
        }
    return l;
}

// `levels` effects per trait whose sample mean is 0 and whose sample
// covariance matrix is exactly diag(sd) R diag(sd). With fewer than five
// levels (the blocks) the sample covariance cannot be fixed; those effects
// are plain draws with that covariance.
Matrix effects(Normal& normal, int levels, const Matrix& correlation, const double* sd) {
    Matrix z(static_cast<std::size_t>(levels), std::vector<double>(kTraits));
    for (auto& row : z)
        for (double& x : row) x = normal();
    const bool exact = levels > kTraits;
    for (int t = 0; t < kTraits && exact; ++t) {
        double mean = 0.0;
        for (const auto& row : z) mean += row[static_cast<std::size_t>(t)] / levels;
        for (auto& row : z) row[static_cast<std::size_t>(t)] -= mean;
    }
    Matrix s(kTraits, std::vector<double>(kTraits, 0.0));
    for (const auto& row : z)
        for (int i = 0; i < kTraits; ++i)
            for (int j = 0; j < kTraits; ++j) s[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] += row[static_cast<std::size_t>(i)] * row[static_cast<std::size_t>(j)] / (levels - 1);
    Matrix c = cholesky(s);
    if (!exact) {
        for (int i = 0; i < kTraits; ++i)
            for (int j = 0; j < kTraits; ++j) c[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = i == j ? 1.0 : 0.0;
    }
    Matrix target(kTraits, std::vector<double>(kTraits));
    for (int i = 0; i < kTraits; ++i)
        for (int j = 0; j < kTraits; ++j)
            target[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] = correlation[static_cast<std::size_t>(i)][static_cast<std::size_t>(j)] * sd[i] * sd[j];
    const Matrix l = cholesky(target);
    for (auto& row : z) {
        // Whiten (solve c w = row), then colour (l w).
        std::vector<double> w(kTraits);
        for (int i = 0; i < kTraits; ++i) {
            double v = row[static_cast<std::size_t>(i)];
            for (int k = 0; k < i; ++k) v -= c[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] * w[static_cast<std::size_t>(k)];
            w[static_cast<std::size_t>(i)] = v / c[static_cast<std::size_t>(i)][static_cast<std::size_t>(i)];
        }
        for (int i = 0; i < kTraits; ++i) {
            double v = 0.0;
            for (int k = 0; k <= i; ++k) v += l[static_cast<std::size_t>(i)][static_cast<std::size_t>(k)] * w[static_cast<std::size_t>(k)];
            row[static_cast<std::size_t>(i)] = v;
        }
    }
    return z;
}

}  // namespace

namespace minque {

int writeExampleTrial(const std::string& directory) {
    Normal normal(20261205u);
    std::vector<std::pair<int, int>> entries;  // parents first, then the crosses
    for (int p = 1; p <= kParents; ++p) entries.emplace_back(p, p);
    for (int f = 1; f <= kParents; ++f)
        for (int m = f + 1; m <= kParents; ++m) entries.emplace_back(f, m);
    auto pairIndex = [&](int f, int m) {
        for (std::size_t k = 0; k < entries.size(); ++k)
            if (entries[k] == std::make_pair(f, m)) return static_cast<int>(k);
        return -1;
    };
    const int plots = kEnvironments * kBlocks * static_cast<int>(entries.size());
    const Matrix A = effects(normal, kParents, kAdditiveCorrelation, kSd[kA]);
    const Matrix D = effects(normal, static_cast<int>(entries.size()), kDominanceCorrelation, kSd[kD]);
    const Matrix AE = effects(normal, kParents * kEnvironments, kInteractionCorrelation, kSd[kAE]);
    const Matrix DE = effects(normal, static_cast<int>(entries.size()) * kEnvironments, kInteractionCorrelation, kSd[kDE]);
    const Matrix B = effects(normal, kBlocks * kEnvironments, kInteractionCorrelation, kSd[kB]);
    const Matrix e = effects(normal, plots, kErrorCorrelation, kSd[kE]);

    const std::string path = directory + "/EXAMPLE.TXT";
    std::FILE* out = createFile(path, "w");
    if (out == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    std::fprintf(out, "Env Fem Male Blk");
    for (const char* name : kTraitNames) std::fprintf(out, " %s", name);
    std::fprintf(out, "\n");
    int plot = 0;
    for (int env = 1; env <= kEnvironments; ++env)
        for (int blk = 1; blk <= kBlocks; ++blk)
            for (const auto& [f, m] : entries) {
                std::fprintf(out, "%d %d %d %d", env, f, m, blk);
                const std::size_t d = static_cast<std::size_t>(pairIndex(f, m));
                const std::size_t de = static_cast<std::size_t>(env - 1) * entries.size() + d;
                const std::size_t af = static_cast<std::size_t>(f - 1), am = static_cast<std::size_t>(m - 1);
                const std::size_t aef = static_cast<std::size_t>(env - 1) * kParents + af;
                const std::size_t aem = static_cast<std::size_t>(env - 1) * kParents + am;
                const std::size_t b = static_cast<std::size_t>((env - 1) * kBlocks + blk - 1);
                for (int t = 0; t < kTraits; ++t) {
                    const std::size_t ti = static_cast<std::size_t>(t);
                    const double y = kMeans[t] + kEnvironmentShift[env - 1][t] + B[b][ti] + A[af][ti] + A[am][ti] + D[d][ti] +
                                     AE[aef][ti] + AE[aem][ti] + DE[de][ti] + e[static_cast<std::size_t>(plot)][ti];
                    std::fprintf(out, " %.3f", y);
                }
                std::fprintf(out, "\n");
                ++plot;
            }
    if (std::fclose(out) != 0) {
        std::perror(path.c_str());
        return 1;
    }
    return 0;
}

}  // namespace minque
