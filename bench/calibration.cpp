// Calibration of the standard errors of genetic correlations by simulation:
// data sets drawn from known components on a half diallel and on a crossed
// design, each analysed as the library analyses it (MINQUE(0/1) with the
// delete-a-group jackknife) and by the parametric bootstrap at its own
// whole-data estimates. For each component's correlation it prints the
// spread of the estimates over the data sets (their standard deviation), the
// mean S.E. of each method and how often each method's 95% interval covers
// the true correlation: estimate +- 1.96 S.E. for the jackknife, the 2.5 and
// 97.5 percentiles of the bootstrap correlations for the bootstrap. Then
// the same for genotyped individuals related by their genomic relationship
// matrix (the bootstrap alone), and the coverage of the line-mean
// heritability of a multi-environment trial.
//
//   minque-calibration [DATA_SETS [BOOTSTRAP_SAMPLES [SEED]]]   (default 200 500 1)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "minquecov/analysis.hpp"
#include "estimator/relationship_matrix.hpp"
#include "resampling/parametric_bootstrap.hpp"

namespace {

using minque::MinqueDesign;

// A level's code: a letter and a number ("P3").
std::string code(char letter, int number) {
    std::string text(1, letter);
    text += std::to_string(number);
    return text;
}

struct Truth {
    std::string label;            // the report's label
    double var1, var2, correlation;
};

struct Design {
    std::string name;
    MinqueDesign design;
    std::vector<std::vector<std::string>> codes;  // per design column: the code of every row
    std::vector<std::string> columns;
    std::vector<Truth> truth;  // per random factor, then the residual
    minque::ModelSpec model;
    int group = 2;
};

// A half diallel of P parents without selfs, `rows` rows per cross: A (each
// parent of a cross with coefficient 1) and D (the cross).
Design halfDiallel(int P, int rows) {
    Design d;
    char name[128];
    std::snprintf(name, sizeof name, "half diallel, %d parents, %d crosses x %d rows", P, P * (P - 1) / 2, rows);
    d.name = name;
    d.columns = {"Fem", "Male"};
    d.codes.assign(2, {});
    std::vector<std::vector<std::pair<int, double>>> A(static_cast<std::size_t>(P)), D;
    int obs = 0;
    for (int i = 0; i < P; ++i)
        for (int j = i + 1; j < P; ++j) {
            D.emplace_back();
            for (int rep = 0; rep < rows; ++rep, ++obs) {  // the rows of a cross are consecutive
                A[static_cast<std::size_t>(i)].emplace_back(obs, 1.0);
                A[static_cast<std::size_t>(j)].emplace_back(obs, 1.0);
                D.back().emplace_back(obs, 1.0);
                d.codes[0].push_back(code('P', i + 1));
                d.codes[1].push_back(code('P', j + 1));
            }
        }
    d.design.observations = obs;
    d.design.factors = {A, D};
    std::vector<int> all(static_cast<std::size_t>(obs));
    for (int k = 0; k < obs; ++k) all[static_cast<std::size_t>(k)] = k;
    d.design.fixedColumns = {all};
    d.truth = {{"V(A)", 1.0, 1.0, 0.5}, {"V(D)", 1.0, 1.0, -0.3}, {"V(e)", 2.0, 2.0, 0.2}};
    d.model.female = "Fem";
    d.model.male = "Male";
    d.group = 2;  // the rows of one cross in one group: groups hold no whole parent
    return d;
}

// A x B crossed, one row per cell: random A and B.
Design crossed(int a, int b) {
    Design d;
    char name[128];
    std::snprintf(name, sizeof name, "A (%d) x B (%d) crossed, one row per cell", a, b);
    d.name = name;
    d.columns = {"A", "B"};
    d.codes.assign(2, {});
    std::vector<std::vector<std::pair<int, double>>> A(static_cast<std::size_t>(a)), B(static_cast<std::size_t>(b));
    int obs = 0;
    for (int i = 0; i < a; ++i)
        for (int j = 0; j < b; ++j, ++obs) {
            A[static_cast<std::size_t>(i)].emplace_back(obs, 1.0);
            B[static_cast<std::size_t>(j)].emplace_back(obs, 1.0);
            d.codes[0].push_back(code('A', i + 1));
            d.codes[1].push_back(code('B', j + 1));
        }
    d.design.observations = obs;
    d.design.factors = {A, B};
    std::vector<int> all(static_cast<std::size_t>(obs));
    for (int k = 0; k < obs; ++k) all[static_cast<std::size_t>(k)] = k;
    d.design.fixedColumns = {all};
    d.truth = {{"V(A)", 1.0, 1.0, 0.6}, {"V(B)", 1.0, 1.0, -0.4}, {"V(e)", 1.0, 1.0, 0.3}};
    d.model.random = {"A", "B"};
    d.group = 4;
    return d;
}

// Two traits drawn from the true components.
std::vector<double> simulate(const Design& d, std::mt19937_64& rng) {
    std::normal_distribution<double> z(0.0, 1.0);
    const int n = d.design.observations;
    std::vector<double> Y(static_cast<std::size_t>(n) * 2, 0.0);
    auto draw = [&](const Truth& t, double* e) {
        const double a = z(rng), b = z(rng);
        const double s1 = std::sqrt(t.var1), s2 = std::sqrt(t.var2);
        e[0] = s1 * a;
        e[1] = s2 * (t.correlation * a + std::sqrt(1.0 - t.correlation * t.correlation) * b);
    };
    double e[2];
    for (std::size_t u = 0; u < d.design.factors.size(); ++u)
        for (const auto& level : d.design.factors[u]) {
            draw(d.truth[u], e);
            for (const auto& [obs, c] : level)
                for (int i = 0; i < 2; ++i) Y[static_cast<std::size_t>(obs) * 2 + static_cast<std::size_t>(i)] += c * e[i];
        }
    for (int obs = 0; obs < n; ++obs) {
        draw(d.truth.back(), e);
        for (int i = 0; i < 2; ++i) Y[static_cast<std::size_t>(obs) * 2 + static_cast<std::size_t>(i)] += 10.0 + e[i];
    }
    return Y;
}

double correlationOf(const std::vector<double>& theta, std::size_t offset) {
    const double v1 = theta[offset + 0], c = theta[offset + 1], v2 = theta[offset + 2];  // pairs (0,0), (0,1), (1,1)
    if (v1 <= 1e-10 || v2 <= 1e-10) return std::nan("");
    return std::clamp(c / std::sqrt(v1 * v2), -1.0, 1.0);
}

// The standard deviation of values (n - 1 in the denominator).
double standardDeviation(const std::vector<double>& values) {
    double mean = 0.0, ss = 0.0;
    for (double x : values) mean += x / static_cast<double>(values.size());
    for (double x : values) ss += (x - mean) * (x - mean);
    return std::sqrt(ss / static_cast<double>(std::max<std::size_t>(1, values.size() - 1)));
}

// The bootstrap's S.E. of a correlation and its 95% percentile interval,
// from the samples' values.
struct Interval {
    double se, low, high;
};
Interval bootstrapInterval(std::vector<double> rs) {
    const double se = standardDeviation(rs);
    std::sort(rs.begin(), rs.end());
    return {se, rs[static_cast<std::size_t>(0.025 * static_cast<double>(rs.size() - 1))],
            rs[static_cast<std::size_t>(std::ceil(0.975 * static_cast<double>(rs.size() - 1)))]};
}

struct Tally {
    std::vector<double> estimates;
    double jackknifeSe = 0.0, bootstrapSe = 0.0;
    int jackknifeCovers = 0, bootstrapCovers = 0, counted = 0, undefined = 0;
};

void calibrate(const Design& d, int dataSets, int samples, std::uint64_t seed) {
    const minque::MinqueProjection projection(d.design);
    const int K = projection.components();
    std::vector<Tally> tally(static_cast<std::size_t>(K));
    std::mt19937_64 rng(seed);
    for (int s = 0; s < dataSets; ++s) {
        const std::vector<double> Y = simulate(d, rng);
        // The library's analysis of the same table, with its jackknife.
        minque::AnalysisRequest request;
        request.data.name = "simulated";
        for (std::size_t c = 0; c < d.columns.size(); ++c)
            request.data.columns.push_back({d.columns[c], false, d.codes[c], {}});
        for (int i = 0; i < 2; ++i) {
            minque::TrialColumn trait{code('T', i + 1), true, {}, {}};
            for (int obs = 0; obs < d.design.observations; ++obs)
                trait.numbers.push_back(Y[static_cast<std::size_t>(obs) * 2 + static_cast<std::size_t>(i)]);
            request.data.columns.push_back(trait);
        }
        request.model = d.model;
        request.options.standardErrors = minque::StandardErrors::Jackknife;  // the jackknife column
        request.options.group = d.group;
        const minque::AnalysisResult result = minque::analyse(request);
        // The bootstrap at this data set's own whole-data estimates.
        const std::vector<double> whole = projection.estimate(Y, 2);
        const minque::BootstrapDraws draws =
            minque::parametricBootstrap(projection, whole, 2, samples, seed * 1000003ULL + static_cast<std::uint64_t>(s));
        for (int k = 0; k < K; ++k) {
            Tally& t = tally[static_cast<std::size_t>(k)];
            const Truth& truth = d.truth[static_cast<std::size_t>(k)];
            const minque::ResultRow* row = nullptr;
            for (const auto& r : result.tables.correlations)
                if (r.component == truth.label) row = &r;
            const double r = correlationOf(whole, static_cast<std::size_t>(k) * 3);
            if (row == nullptr || !std::isfinite(r) || row->flag.find("undefined") != std::string::npos) {
                ++t.undefined;
                continue;
            }
            std::vector<double> rs;
            for (int b = 0; b < samples; ++b) {
                const double rb = correlationOf(draws.theta, (static_cast<std::size_t>(b) * static_cast<std::size_t>(K) +
                                                              static_cast<std::size_t>(k)) * 3);
                if (std::isfinite(rb)) rs.push_back(rb);
            }
            if (rs.size() < 10) {
                ++t.undefined;
                continue;
            }
            const auto [se, low, high] = bootstrapInterval(rs);
            ++t.counted;
            t.estimates.push_back(row->estimate);
            t.jackknifeSe += row->se;
            t.bootstrapSe += se;
            if (std::fabs(row->estimate - truth.correlation) <= 1.96 * row->se) ++t.jackknifeCovers;
            if (low <= truth.correlation && truth.correlation <= high) ++t.bootstrapCovers;
        }
    }
    std::printf("\n%s, J = %d, %d data sets, B = %d\n\n", d.name.c_str(), d.design.observations / d.group, dataSets,
                samples);
    std::printf("| component | true r | spread of r | jackknife: mean S.E. | coverage | bootstrap: mean S.E. | coverage | "
                "undefined |\n|---|---|---|---|---|---|---|---|\n");
    for (int k = 0; k < K; ++k) {
        const Tally& t = tally[static_cast<std::size_t>(k)];
        const double spread = standardDeviation(t.estimates);
        const double c = static_cast<double>(std::max(1, t.counted));
        std::printf("| %s | %.2f | %.3f | %.3f | %.0f%% | %.3f | %.0f%% | %d |\n", d.truth[static_cast<std::size_t>(k)].label.c_str(),
                    d.truth[static_cast<std::size_t>(k)].correlation, spread, t.jackknifeSe / c, 100.0 * t.jackknifeCovers / c,
                    t.bootstrapSe / c, 100.0 * t.bootstrapCovers / c, t.undefined);
    }
}

// Genotyped individuals related by their genomic relationship: N
// individuals, each a mosaic of 8 founders' haplotypes over M markers in 10
// chromosomes (inbred: calls 0 or 2), R records each; Geno's effects drawn
// from N(0, Sigma_G x G) with G the matrix the analysis uses (0.99 VanRaden
// + 0.01 I), so that the truth is the model's. Only the bootstrap: the
// jackknife's engine takes no relationship matrix.
void calibrateGenomic(int N, int M, int R, int dataSets, int samples, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const int F = 8, C = 10;
    std::vector<std::vector<int>> haplotypes(F, std::vector<int>(static_cast<std::size_t>(M)));
    for (int m = 0; m < M; ++m) {
        const double p = 0.1 + 0.8 * u(rng);
        for (int f = 0; f < F; ++f) haplotypes[static_cast<std::size_t>(f)][static_cast<std::size_t>(m)] = u(rng) < p ? 1 : 0;
    }
    minque::MarkerCalls markers;
    markers.source = "simulated markers";
    for (int m = 0; m < M; ++m) markers.markers.push_back(code('m', m + 1));
    const int per = M / C;
    for (int n = 0; n < N; ++n) {
        markers.ids.push_back(code('G', n + 1));
        for (int c = 0; c < C; ++c) {
            const int a = static_cast<int>(F * u(rng)), b = static_cast<int>(F * u(rng));
            const int cut = c * per + static_cast<int>(per * u(rng)), last = c == C - 1 ? M : (c + 1) * per;
            for (int m = c * per; m < last; ++m)
                markers.calls.push_back(static_cast<signed char>(2 * haplotypes[static_cast<std::size_t>(m < cut ? a : b)][static_cast<std::size_t>(m)]));
        }
    }
    const minque::GenomicRelationship genomic = minque::genomicRelationship(markers);
    Design d;
    d.design.observations = N * R;
    std::vector<std::vector<std::pair<int, double>>> geno(static_cast<std::size_t>(N));
    std::vector<int> all;
    for (int obs = 0; obs < N * R; ++obs) {
        geno[static_cast<std::size_t>(obs % N)].emplace_back(obs, 1.0);
        all.push_back(obs);
    }
    d.design.factors = {geno};
    d.design.fixedColumns = {all};
    const auto related = minque::relatedLevelsOf(genomic.matrix);
    std::vector<int> order(static_cast<std::size_t>(N));
    for (int n = 0; n < N; ++n) order[static_cast<std::size_t>(n)] = n;
    d.design.related.push_back({0, related, {order}});
    d.truth = {{"V(Geno)", 1.0, 1.0, 0.5}, {"V(e)", 2.0, 2.0, 0.2}};
    const minque::MinqueProjection projection(d.design);
    const int K = projection.components();
    std::vector<Tally> tally(static_cast<std::size_t>(K));
    std::normal_distribution<double> z(0.0, 1.0);
    for (int s = 0; s < dataSets; ++s) {
        // Two traits: Geno's effects L (a, b) mixed to the true correlation, then residuals.
        std::vector<double> a(static_cast<std::size_t>(N)), b(static_cast<std::size_t>(N)), e(static_cast<std::size_t>(2 * N));
        for (int n = 0; n < N; ++n) {
            const double x = z(rng), y = z(rng);
            const Truth& t = d.truth[0];
            e[static_cast<std::size_t>(2 * n)] = std::sqrt(t.var1) * x;
            e[static_cast<std::size_t>(2 * n + 1)] = std::sqrt(t.var2) * (t.correlation * x + std::sqrt(1.0 - t.correlation * t.correlation) * y);
        }
        minque::applyRelationshipRoot(d.design.related[0], e.data(), 2);
        std::vector<double> Y(static_cast<std::size_t>(2 * N * R));
        for (int obs = 0; obs < N * R; ++obs) {
            const Truth& t = d.truth[1];
            const double x = z(rng), y = z(rng);
            Y[static_cast<std::size_t>(2 * obs)] = 10.0 + e[static_cast<std::size_t>(2 * (obs % N))] + std::sqrt(t.var1) * x;
            Y[static_cast<std::size_t>(2 * obs + 1)] = 10.0 + e[static_cast<std::size_t>(2 * (obs % N) + 1)] +
                                                       std::sqrt(t.var2) * (t.correlation * x + std::sqrt(1.0 - t.correlation * t.correlation) * y);
        }
        const std::vector<double> whole = projection.estimate(Y, 2);
        const minque::BootstrapDraws draws =
            minque::parametricBootstrap(projection, whole, 2, samples, seed * 1000003ULL + static_cast<std::uint64_t>(s));
        for (int k = 0; k < K; ++k) {
            Tally& t = tally[static_cast<std::size_t>(k)];
            const double r = correlationOf(whole, static_cast<std::size_t>(k) * 3);
            std::vector<double> rs;
            for (int bb = 0; bb < samples; ++bb) {
                const double rb = correlationOf(draws.theta, (static_cast<std::size_t>(bb) * static_cast<std::size_t>(K) + static_cast<std::size_t>(k)) * 3);
                if (std::isfinite(rb)) rs.push_back(rb);
            }
            if (!std::isfinite(r) || rs.size() < 10) {
                ++t.undefined;
                continue;
            }
            const auto [se, low, high] = bootstrapInterval(rs);
            ++t.counted;
            t.estimates.push_back(r);
            t.bootstrapSe += se;
            const double truth = d.truth[static_cast<std::size_t>(k)].correlation;
            if (low <= truth && truth <= high) ++t.bootstrapCovers;
        }
    }
    std::printf("\n%d genotyped individuals (%d markers used of %d, mean diagonal of G %.2f), %d records each, %d data "
                "sets, B = %d\n\n",
                N, genomic.markersUsed, M, related->meanDiagonal, R, dataSets, samples);
    std::printf("| component | true r | spread of r | bootstrap: mean S.E. | coverage | undefined |\n|---|---|---|---|---|---|\n");
    for (int k = 0; k < K; ++k) {
        const Tally& t = tally[static_cast<std::size_t>(k)];
        const double spread = standardDeviation(t.estimates);
        const double c = static_cast<double>(std::max(1, t.counted));
        std::printf("| %s | %.2f | %.3f | %.3f | %.0f%% | %d |\n", d.truth[static_cast<std::size_t>(k)].label.c_str(),
                    d.truth[static_cast<std::size_t>(k)].correlation, spread, t.bootstrapSe / c, 100.0 * t.bootstrapCovers / c,
                    t.undefined);
    }
}

// The line-mean heritability of a balanced multi-environment trial through
// the library, as `minque analyse` runs it: G genotypes x E environments x R
// reps, one trait, random Geno, Geno*Env and Env*Rep, Env fixed. Its truth is
// the textbook V_G / (V_G + V_GE / E + V_e / (E R)), which both forms equal
// on balanced data; the bootstrap's 95% percentile interval of each form
// should cover it about 95% of the time.
void calibrateLineMean(int G, int E, int R, int dataSets, int samples, std::uint64_t seed) {
    const double vG = 1.0, vGE = 0.5, vBlock = 0.3, vE = 2.0;
    const double truth = vG / (vG + vGE / E + vE / (E * R));
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> z(0.0, 1.0);
    minque::AnalysisRequest request;
    request.model.random = {"Geno", "Geno*Env", "Env*Rep"};
    request.model.fixed = {"1", "Env"};
    request.options.bootstrapSamples = samples;
    minque::TrialColumn geno{"Geno", false, {}, {}}, env{"Env", false, {}, {}}, rep{"Rep", false, {}, {}};
    for (int g = 0; g < G; ++g)
        for (int e = 0; e < E; ++e)
            for (int r = 0; r < R; ++r) {
                geno.text.push_back(code('G', g + 1));
                env.text.push_back(code('E', e + 1));
                rep.text.push_back(code('R', r + 1));
            }
    const char* forms[] = {"h2_line_mean", "h2_line_mean_generalized"};
    struct FormTally {
        std::vector<double> estimates;
        double se = 0.0;
        int covers = 0;
    } tally[2];
    for (int s = 0; s < dataSets; ++s) {
        std::vector<double> g(static_cast<std::size_t>(G)), ge(static_cast<std::size_t>(G * E)), block(static_cast<std::size_t>(E * R));
        for (double& x : g) x = std::sqrt(vG) * z(rng);
        for (double& x : ge) x = std::sqrt(vGE) * z(rng);
        for (double& x : block) x = std::sqrt(vBlock) * z(rng);
        minque::TrialColumn y{"y", true, {}, {}};
        for (int i = 0; i < G; ++i)
            for (int e = 0; e < E; ++e)
                for (int r = 0; r < R; ++r)
                    y.numbers.push_back(10.0 + e + g[static_cast<std::size_t>(i)] + ge[static_cast<std::size_t>(i * E + e)] +
                                        block[static_cast<std::size_t>(e * R + r)] + std::sqrt(vE) * z(rng));
        request.data.columns = {geno, env, rep, y};
        request.options.seed = seed * 1000003ULL + static_cast<std::uint64_t>(s);
        const minque::AnalysisResult result = minque::analyse(request);
        for (int f = 0; f < 2; ++f)
            for (const minque::ResultRow& row : result.tables.heritabilities)
                if (row.component == forms[f]) {
                    tally[f].estimates.push_back(row.estimate);
                    tally[f].se += row.se;
                    if (row.ciLow <= truth && truth <= row.ciHigh) ++tally[f].covers;
                }
    }
    std::printf("\nMulti-environment trial, %d genotypes x %d environments x %d reps (balanced), V_G %.1f, V_GE %.1f, "
                "V_block %.1f, V_e %.1f: true line-mean heritability %.3f; %d data sets, B = %d\n\n",
                G, E, R, vG, vGE, vBlock, vE, truth, dataSets, samples);
    std::printf("| form | spread | bootstrap: mean S.E. | coverage |\n|---|---|---|---|\n");
    for (int f = 0; f < 2; ++f) {
        const double c = static_cast<double>(std::max<std::size_t>(1, tally[f].estimates.size()));
        std::printf("| %s | %.3f | %.3f | %.0f%% |\n", forms[f], standardDeviation(tally[f].estimates), tally[f].se / c,
                    100.0 * tally[f].covers / c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int dataSets = argc > 1 ? std::atoi(argv[1]) : 200;
    const int samples = argc > 2 ? std::atoi(argv[2]) : 500;
    const std::uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    if (dataSets < 2 || samples < 20) {
        std::fprintf(stderr, "usage: minque-calibration [DATA_SETS >= 2 [BOOTSTRAP_SAMPLES >= 20 [SEED]]]\n");
        return 2;
    }
    try {
        calibrate(halfDiallel(10, 2), dataSets, samples, seed);
        calibrate(crossed(20, 20), dataSets, samples, seed + 1);
        calibrateGenomic(400, 2000, 2, dataSets, samples, seed + 2);
        calibrateLineMean(40, 4, 3, dataSets, samples, seed + 3);
    } catch (const minque::RunError& e) {
        std::fprintf(stderr, "minque-calibration: %s\n", e.what());
        return 1;
    }
    return 0;
}
