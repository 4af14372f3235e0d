// Heritabilities through the library, on diallels simulated with known
// variances: close to the truth, equal to the ratio of the whole-data
// components of the variance file to the last printed digit, and the same
// for a trait analysed alone as with others.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>
#include <random>
#include <string>
#include <vector>

#include "jackknife_engine/report/report_writer.hpp"
#include "minquecov/analysis.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// A half diallel of `parents` parents with their lines (P(P+1)/2 entries)
// in `environments` environments of `blocks` blocks, traits simulated from
// y = mean + a_i + a_j + d_ij + (ae_ik + ae_jk + de_ijk) + block + e, so
// that V_A = 2 var(a), V_D = var(d), V_AE = 2 var(ae), V_DE = var(de).
struct Truth {
    double a, d, ae, de, block, e;  // variances of the effects
};

// The sample variance of the effects drawn.
double sampleVariance(const std::vector<double>& x) {
    double mean = 0, sum = 0;
    for (double v : x) mean += v / static_cast<double>(x.size());
    for (double v : x) sum += (v - mean) * (v - mean);
    return sum / static_cast<double>(x.size() - 1);
}

// The variances of the effects as drawn for each trait (the population's
// values are what a trial of few parents estimates only roughly; the
// estimates follow the effects the trial has).
std::vector<Truth> drawn;

TrialData simulatedDiallel(int parents, int environments, int blocks, const std::vector<Truth>& traits, unsigned seed) {
    drawn.clear();
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<TrialColumn> columns(4 + traits.size());
    const char* names[] = {"Env", "Fem", "Male", "Blk"};
    for (int c = 0; c < 4; ++c) columns[static_cast<std::size_t>(c)] = {names[c], true, {}, {}};
    for (std::size_t t = 0; t < traits.size(); ++t) columns[4 + t] = {"Y" + std::to_string(t + 1), true, {}, {}};
    for (std::size_t t = 0; t < traits.size(); ++t) {
        const Truth& v = traits[t];
        std::map<int, double> a, ae, blockEffect;
        std::map<std::pair<int, int>, double> d, de;
        std::vector<double> residuals;
        auto draw = [&](double variance) { return std::sqrt(variance) * normal(random); };
        for (int i = 1; i <= parents; ++i) {
            a[i] = draw(v.a);
            for (int k = 1; k <= environments; ++k) ae[i * 100 + k] = draw(v.ae);
        }
        for (int k = 1; k <= environments; ++k)
            for (int b = 1; b <= blocks; ++b) blockEffect[k * 100 + b] = draw(v.block);
        for (int k = 1; k <= environments; ++k)
            for (int b = 1; b <= blocks; ++b)
                for (int i = 1; i <= parents; ++i)
                    for (int j = i; j <= parents; ++j) {
                        if (d.count({i, j}) == 0) d[{i, j}] = draw(v.d);
                        if (de.count({i * 100 + j, k}) == 0) de[{i * 100 + j, k}] = draw(v.de);
                        double y = 10.0 + k + a[i] + a[j] + d[{i, j}] + ae[i * 100 + k] + ae[j * 100 + k] +
                                         de[{i * 100 + j, k}] + blockEffect[k * 100 + b];
                        const double residual = draw(v.e);
                        y += residual;
                        columns[4 + t].numbers.push_back(y);
                        residuals.push_back(residual);
                        if (t > 0) continue;
                        for (const auto& [c, value] : {std::pair{0, k}, {1, i}, {2, j}, {3, b}})
                            columns[static_cast<std::size_t>(c)].numbers.push_back(value);
                    }
        auto valuesOf = [](const auto& map) {
            std::vector<double> x;
            for (const auto& entry : map) x.push_back(entry.second);
            return x;
        };
        drawn.push_back({sampleVariance(valuesOf(a)), sampleVariance(valuesOf(d)),
                         environments > 1 ? sampleVariance(valuesOf(ae)) : 0.0,
                         environments > 1 ? sampleVariance(valuesOf(de)) : 0.0, 0.0, sampleVariance(residuals)});
    }
    TrialData data;
    data.name = "SIM.csv";
    data.columns = columns;
    return data;
}

AnalysisRequest diallelRequest(const TrialData& data, int group, bool environments) {
    AnalysisRequest r;
    r.data = data;
    r.model.female = "Fem";
    r.model.male = "Male";
    r.model.block = "Blk";
    if (environments) r.model.env = "Env";
    r.options.standardErrors = StandardErrors::Jackknife;
    r.options.group = group;
    for (const TrialColumn& c : data.columns)
        if (c.name[0] == 'Y') r.options.traits.push_back(c.name);
    return r;
}

const ResultRow& rowOf(const AnalysisResult& r, const std::string& trait, const std::string& quantity) {
    for (const ResultRow& row : r.tables.heritabilities)
        if (row.trait1 == trait && row.component == quantity) return row;
    throw std::runtime_error("no " + quantity + " of " + trait);
}

// The whole-data components of a trait (0-based) from the variance records
// (the engine's, in single precision, under the jackknife).
std::vector<double> wholeComponents(const AnalysisResult& r, int trait) {
    const VarianceRecords& v = r.varianceRecords;
    std::vector<double> c(static_cast<std::size_t>(v.components) + 1);
    for (int k = 1; k <= v.components; ++k)
        c[static_cast<std::size_t>(k)] = v.values[static_cast<std::size_t>(trait * (v.components + 1) + k)];
    return c;
}

TEST(Heritabilities, OneEnvironmentDiallelGivesTheSimulatedHeritabilities) {
    // V_A = 1, V_D = 0.5, V_e = 1: h2 narrow 0.4, broad 0.6; the block
    // variance stays out of V_P.
    const Truth truth{0.5, 0.5, 0, 0, 0.3, 1.0};
    const TrialData data = simulatedDiallel(20, 1, 2, {truth, truth}, 7);
    const AnalysisResult r = analyse(diallelRequest(data, 10, false));
    ASSERT_EQ(r.tables.heritabilities.size(), 4u);  // narrow and broad of two traits
    for (int t = 0; t < 2; ++t) {
        const std::string trait = "Y" + std::to_string(t + 1);
        // Components A, D, B, e: the ratio of the variance file's numbers.
        const std::vector<double> c = wholeComponents(r, t);
        const double vp = 2 * c[1] + c[2] + c[4];
        const ResultRow& narrow = rowOf(r, trait, "h2_narrow");
        const ResultRow& broad = rowOf(r, trait, "h2_broad");
        EXPECT_NEAR(narrow.estimate, 2 * c[1] / vp, 1e-5);
        EXPECT_NEAR(broad.estimate, (2 * c[1] + c[2]) / vp, 1e-5);
        // Close to the heritabilities of the effects drawn.
        const Truth& v = drawn[static_cast<std::size_t>(t)];
        const double drawnVp = 2 * v.a + v.d + v.e;
        EXPECT_NEAR(narrow.estimate, 2 * v.a / drawnVp, 0.08) << trait;
        EXPECT_NEAR(broad.estimate, (2 * v.a + v.d) / drawnVp, 0.08) << trait;
        EXPECT_EQ(narrow.flag.find("out_of_range"), std::string::npos) << trait;
    }

    // The jackknife of one trait does not depend on the others.
    AnalysisRequest alone = diallelRequest(data, 10, false);
    alone.options.traits = {"Y2"};
    const AnalysisResult single = analyse(alone);
    ASSERT_EQ(single.tables.heritabilities.size(), 2u);
    for (const char* quantity : {"h2_narrow", "h2_broad"}) {
        const ResultRow& a = rowOf(single, "Y2", quantity);
        const ResultRow& b = rowOf(r, "Y2", quantity);
        EXPECT_EQ(printedNumber("%f", a.estimate) + printedNumber("%g", a.se) + printedNumber("%.3g", a.p) + a.mark + a.flag, printedNumber("%f", b.estimate) + printedNumber("%g", b.se) + printedNumber("%.3g", b.p) + b.mark + b.flag);
    }
}

TEST(Heritabilities, EnvironmentsAddTheInteractionHeritabilitiesAndAGeneralModelItsShares) {
    const Truth truth{0.5, 0.3, 0.25, 0.2, 0.1, 1.0};
    const TrialData data = simulatedDiallel(10, 3, 2, {truth}, 11);
    const AnalysisResult r = analyse(diallelRequest(data, 11, true));
    // Components A, D, AE, DE, B, e.
    const std::vector<double> c = wholeComponents(r, 0);
    const double vp = 2 * c[1] + c[2] + 2 * c[3] + c[4] + c[6];
    EXPECT_NEAR(rowOf(r, "Y1", "h2_narrow").estimate, 2 * c[1] / vp, 1e-5);
    EXPECT_NEAR(rowOf(r, "Y1", "h2_broad").estimate, (2 * c[1] + c[2]) / vp, 1e-5);
    EXPECT_NEAR(rowOf(r, "Y1", "h2_narrow_GE").estimate, 2 * c[3] / vp, 1e-5);
    EXPECT_NEAR(rowOf(r, "Y1", "h2_GE").estimate, (2 * c[3] + c[4]) / vp, 1e-5);
    for (const ResultRow& row : r.tables.heritabilities) EXPECT_EQ(row.flag.find("out_of_range"), std::string::npos);

    // A general model: every reported term's share, the block left out,
    // shares adding up to 1.
    AnalysisRequest general;
    general.data = data;
    general.model.random = {"Fem", "Env*Fem", "Blk"};
    general.model.fixed = {"Env"};
    general.model.trailing = 1;
    general.options.standardErrors = StandardErrors::Jackknife;
    general.options.group = 11;
    general.options.traits = {"Y1"};
    const AnalysisResult g = analyse(general);
    std::vector<std::string> quantities;
    double sum = 0;
    for (const ResultRow& row : g.tables.heritabilities) {
        quantities.push_back(row.component);
        if (row.component.rfind("share:", 0) == 0) sum += row.estimate;
    }
    // Fem, the one random main effect reported, is taken as the entries of
    // the line-mean heritability.
    EXPECT_EQ(quantities, (std::vector<std::string>{"share:V(Fem)", "share:V(Env*Fem)", "share:V(e)", "h2_line_mean",
                                                    "h2_line_mean_generalized"}));
    EXPECT_NEAR(sum, 1.0, 2e-6);
    const std::vector<double> s = wholeComponents(g, 0);  // Fem, Env*Fem, Blk, e
    EXPECT_NEAR(g.tables.heritabilities[0].estimate, s[1] / (s[1] + s[2] + s[4]), 1e-5);
}

// A trial of G genotypes in E environments of R reps, random Geno, Geno*Env
// and Env*Rep, one trait; `dropped` plots left out (every 7th from the first).
TrialData multiEnvironmentTrial(int G, int E, int R, int dropped, unsigned seed) {
    std::mt19937 random(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    TrialColumn geno{"Geno", false, {}, {}}, env{"Env", false, {}, {}}, rep{"Rep", false, {}, {}}, y{"y", true, {}, {}};
    std::vector<double> g(static_cast<std::size_t>(G));
    for (double& x : g) x = normal(random);
    int plot = 0;
    for (int i = 0; i < G; ++i)
        for (int e = 0; e < E; ++e) {
            const double ge = 0.7 * normal(random);
            for (int r = 0; r < R; ++r, ++plot) {
                const double value = 10.0 + e + g[static_cast<std::size_t>(i)] + ge + 1.3 * normal(random);
                if (plot % 7 == 0 && plot / 7 < dropped) continue;
                geno.text.push_back("G" + std::to_string(i + 1));
                env.text.push_back("E" + std::to_string(e + 1));
                rep.text.push_back("R" + std::to_string(r + 1));
                y.numbers.push_back(value);
            }
        }
    TrialData data;
    data.columns = {geno, env, rep, y};
    return data;
}

// Line-mean heritability: on a balanced trial the textbook
// V_G / (V_G + V_GE / E + V_e / (E R)) of the components, both forms; on an
// unbalanced one the standard form takes the harmonic means of the
// environments and plots per genotype, and the generalized form moves apart.
TEST(Heritabilities, TheLineMeanHeritabilityIsTheTextbooksOnBalancedTrialsAndMovesWithUnbalance) {
    for (const int dropped : {0, 20}) {
        AnalysisRequest request;
        request.data = multiEnvironmentTrial(15, 4, 3, dropped, 5);
        request.model.random = {"Geno", "Geno*Env", "Env*Rep"};
        request.model.fixed = {"1", "Env"};
        request.options.bootstrapSamples = 40;
        std::vector<std::string> notes;
        AnalysisProgress progress;
        progress.note = [&](const std::string& note) { notes.push_back(note); };
        const AnalysisResult r = analyse(request, progress);
        std::map<std::string, double> v;
        for (const ResultRow& row : r.tables.variances) v[row.component] = row.estimate;
        // Per genotype its environments and plots; their harmonic means.
        std::map<std::string, std::set<std::string>> environments;
        std::map<std::string, double> plots;
        for (std::size_t k = 0; k < request.data.columns[0].text.size(); ++k) {
            environments[request.data.columns[0].text[k]].insert(request.data.columns[1].text[k]);
            plots[request.data.columns[0].text[k]] += 1.0;
        }
        double inverseE = 0.0, inverseN = 0.0;
        for (const auto& [genotype, envs] : environments) {
            inverseE += 1.0 / static_cast<double>(envs.size()) / 15.0;
            inverseN += 1.0 / plots[genotype] / 15.0;
        }
        if (dropped == 0) EXPECT_DOUBLE_EQ(inverseN, 1.0 / 12.0);
        const double textbook = v["V(Geno)"] / (v["V(Geno)"] + v["V(Geno*Env)"] * inverseE + v["V(e)"] * inverseN);
        const ResultRow& standard = rowOf(r, "y", "h2_line_mean");
        const ResultRow& generalized = rowOf(r, "y", "h2_line_mean_generalized");
        EXPECT_NEAR(standard.estimate, textbook, 1e-12) << dropped;
        EXPECT_GT(standard.se, 0.0);
        EXPECT_LT(generalized.ciLow, generalized.estimate);
        if (dropped == 0)
            EXPECT_NEAR(generalized.estimate, standard.estimate, 1e-6);
        else
            EXPECT_GT(std::fabs(generalized.estimate - standard.estimate), 1e-4);
        EXPECT_NE(std::find(notes.begin(), notes.end(),
                            "Geno: taken as the entry term (the genotypes) of the line-mean heritability; name another "
                            "with --entry"),
                  notes.end());
    }
    // Entries named: a term that cannot be them is refused by name.
    AnalysisRequest request;
    request.data = multiEnvironmentTrial(6, 2, 2, 0, 1);
    request.model.random = {"Geno", "Geno*Env", "Rep"};
    request.model.fixed = {"1", "Env"};
    request.model.entry = "Geno*Env";
    EXPECT_RUN_ERROR(analyse(request), 1,
                     "^--entry: 'Geno\\*Env' cannot be the line-mean heritability's entry term \\(the genotypes\\): it "
                     "must be a random main effect .*\\(the model's: Geno, Rep\\)");
}

TEST(Heritabilities, ANegativeAdditiveVarianceIsFlaggedAndPrintedAsComputed) {
    // No additive variance at all: about half the traits estimate it below 0.
    const Truth none{0.0, 0.5, 0, 0, 0.0, 1.0};
    const TrialData data = simulatedDiallel(8, 1, 2, std::vector<Truth>(6, none), 3);
    const AnalysisResult r = analyse(diallelRequest(data, 6, false));
    int negative = 0;
    for (int t = 0; t < 6; ++t) {
        const std::vector<double> c = wholeComponents(r, t);
        const ResultRow& narrow = rowOf(r, "Y" + std::to_string(t + 1), "h2_narrow");
        EXPECT_NEAR(narrow.estimate, 2 * c[1] / (2 * c[1] + c[2] + c[4]), 1e-5);
        if (c[1] >= 0) continue;
        ++negative;
        EXPECT_LT(narrow.estimate, 0.0);
        EXPECT_EQ(narrow.flag.substr(0, 21), "negative;out_of_range");
    }
    EXPECT_GT(negative, 0);
}

}  // namespace
}  // namespace minque
