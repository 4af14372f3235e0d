// Predicted genetic effects through the library: against the conditional
// modes of REML fits by lme4 on balanced designs (tests/data/effects, made
// by make_reference.R there), the identities a balanced diallel must keep,
// and the rules for components at or below zero.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "jackknife_engine/report/report_writer.hpp"
#include "minquecov/analysis.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

const std::string kData = std::string(MINQUE_SOURCE_DIR) + "/tests/data/effects/";

AnalysisRequest generalRequest(const TrialData& data, std::vector<std::string> random, int group) {
    AnalysisRequest r;
    r.data = data;
    r.model.random = std::move(random);
    r.options.standardErrors = StandardErrors::Jackknife;
    r.options.group = group;
    r.options.effects = true;
    return r;
}

using Key = std::tuple<std::string, std::string, std::string>;  // trait, term, level

std::map<Key, const ResultRow*> byLevel(const AnalysisResult& r) {
    std::map<Key, const ResultRow*> rows;
    for (const ResultRow& row : r.tables.effects) rows[{row.trait1, row.component, row.level}] = &row;
    return rows;
}

TEST(Effects, BalancedDesignsGiveTheConditionalModesOfREMLTo4SignificantDigits) {
    // expected_effects.csv: design, trait, term, level, effect.
    std::map<std::string, std::map<Key, double>> expected;
    std::istringstream in(test::readFile(kData + "expected_effects.csv"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::string field;
        std::istringstream fields(line);
        while (std::getline(fields, field, ',')) f.push_back(field);
        ASSERT_EQ(f.size(), 5u) << line;
        expected[f[0]][{f[1], f[2], f[3]}] = std::stod(f[4]);
    }
    const std::map<std::string, std::vector<std::string>> models = {{"oneway", {"A"}}, {"twoway", {"A", "B"}}};
    for (const auto& [design, terms] : models) {
        SCOPED_TRACE(design);
        const AnalysisResult r =
            analyse(generalRequest(trialDataFromFile(kData + design + ".csv"), terms, design == "oneway" ? 5 : 6));
        const auto ours = byLevel(r);
        ASSERT_EQ(ours.size(), expected[design].size());
        // Four significant digits of each term's effects.
        std::map<std::pair<std::string, std::string>, double> scale;
        for (const auto& [key, value] : expected[design]) {
            double& s = scale[{std::get<0>(key), std::get<1>(key)}];
            s = std::max(s, std::fabs(value));
        }
        for (const auto& [key, value] : expected[design]) {
            const auto it = ours.find(key);
            ASSERT_NE(it, ours.end()) << std::get<0>(key) << " " << std::get<1>(key) << " " << std::get<2>(key);
            const double tolerance = 1e-4 * scale[{std::get<0>(key), std::get<1>(key)}];
            EXPECT_NEAR(it->second->estimate, value, tolerance)
                << std::get<0>(key) << " " << std::get<1>(key) << " " << std::get<2>(key);
            EXPECT_EQ(it->second->flag.find("component_not_positive"), std::string::npos);
        }
    }
}

TEST(Effects, ABalancedDiallelsAdditiveEffectsSumToZeroAndDoNotSeeWhichParentIsFemale) {
    AnalysisRequest request;
    request.data = trialDataFromFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT");
    request.model.env = "Env";
    request.model.female = "Fem";
    request.model.male = "Male";
    request.model.block = "Blk";
    request.options.standardErrors = StandardErrors::Jackknife;
    request.options.group = 4;
    request.options.effects = true;
    const AnalysisResult r = analyse(request);
    std::map<std::string, double> sum, largest;
    std::vector<std::string> terms;
    for (const ResultRow& row : r.tables.effects) {
        if (std::find(terms.begin(), terms.end(), row.component) == terms.end()) terms.push_back(row.component);
        if (row.component != "A") continue;
        sum[row.trait1] += row.estimate;
        largest[row.trait1] = std::max(largest[row.trait1], std::fabs(row.estimate));
    }
    EXPECT_EQ(terms, (std::vector<std::string>{"A", "D", "AE", "DE", "B"}));
    ASSERT_EQ(sum.size(), 4u);
    for (const auto& [trait, s] : sum) EXPECT_NEAR(s, 0.0, 1e-5 * largest[trait]) << trait;
    // Names from the table's codes: parents, crosses, and the environment first.
    const auto rows = byLevel(r);
    EXPECT_EQ(rows.count({"Yield", "A", "3"}), 1u);
    EXPECT_EQ(rows.count({"Yield", "D", "2 x 5"}), 1u);
    EXPECT_EQ(rows.count({"Yield", "AE", "2: 3"}), 1u);
    EXPECT_EQ(rows.count({"Yield", "DE", "1: 1 x 6"}), 1u);

    // The same diallel with the parents' columns exchanged: every prediction unchanged.
    AnalysisRequest swapped = request;
    std::swap(swapped.data.columns[1].name, swapped.data.columns[2].name);
    const AnalysisResult s = analyse(swapped);
    ASSERT_EQ(s.tables.effects.size(), r.tables.effects.size());
    for (std::size_t k = 0; k < r.tables.effects.size(); ++k) {
        const ResultRow &a = r.tables.effects[k], &b = s.tables.effects[k];
        EXPECT_EQ(a.trait1 + a.component + a.level + printedNumber("%g", a.estimate) + printedNumber("%g", a.se),
                  b.trait1 + b.component + b.level + printedNumber("%g", b.estimate) + printedNumber("%g", b.se));
    }
}

TEST(Effects, ATermAtOrBelowZeroPredictsZeroAndATraitWithoutResidualNothing) {
    // The one-way table with two more traits: T3 with every level's mean
    // equal (its V(A) is negative), T4 constant within a level (its residual
    // component is 0).
    TrialData data = trialDataFromFile(kData + "oneway.csv");
    const TrialColumn& levels = data.columns[0];
    std::map<std::string, double> sum, count;
    for (std::size_t k = 0; k < levels.text.size(); ++k) {
        sum[levels.text[k]] += std::stod(data.columns[1].text[k]);
        count[levels.text[k]] += 1;
    }
    TrialColumn t3{"T3", true, {}, {}}, t4{"T4", true, {}, {}};
    for (std::size_t k = 0; k < levels.text.size(); ++k) {
        const std::string& level = levels.text[k];
        t3.numbers.push_back(std::stod(data.columns[1].text[k]) - sum[level] / count[level] + 10.0);
        t4.numbers.push_back(1.5 + std::stoi(level.substr(1)));
    }
    data.columns.push_back(t3);
    data.columns.push_back(t4);
    std::vector<std::string> notes;
    AnalysisProgress progress;
    progress.note = [&](const std::string& note) { notes.push_back(note); };
    const AnalysisResult r = analyse(generalRequest(data, {"A"}, 5), progress);
    int t3Rows = 0;
    for (const ResultRow& row : r.tables.effects) {
        EXPECT_NE(row.trait1, "T4");
        if (row.trait1 != "T3") continue;
        ++t3Rows;
        EXPECT_EQ(printedNumber("%g", row.estimate) + " " + printedNumber("%g", row.se) + " " + printedNumber("%.3g", row.p) + " " + row.mark + " " + row.flag,
                  "0 0 1 NS component_not_positive");
    }
    EXPECT_EQ(t3Rows, 8);
    EXPECT_EQ(notes, (std::vector<std::string>{
                         "A: taken as the entry term (the genotypes) of the line-mean heritability; name another with --entry",
                         "T4: the residual variance component is at or below zero; no effects are predicted for this trait"}));

    // Covariance components between factors are refused before any work.
    AnalysisRequest covariances = generalRequest(data, {"A"}, 5);
    covariances.model.covariances = true;
    EXPECT_RUN_ERROR(analyse(covariances), 1, "--effects cannot be combined with --covariances");
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

TEST(Effects, WithTheBootstrapTheirSeIsThePredictionErrorOfTheBalancedOneWayClosedForm) {
    // One-way, a levels of n rows, intercept fixed: the random block of the
    // inverse of Henderson's coefficient matrix has the diagonal
    // 1 / (n + l) + n / (a l (n + l)), l = V(e) / V(A) (Sherman-Morrison on
    // the block (n + l) I - (n / a) 11'), so PEV = V(e) times it.
    AnalysisRequest request = generalRequest(trialDataFromFile(kData + "oneway.csv"), {"A"}, 5);
    request.options.standardErrors = StandardErrors::Bootstrap;
    request.options.bootstrapSamples = 50;
    const AnalysisResult r = analyse(request);
    const double a = 8, n = 5;
    const VarianceRecords& v = r.varianceRecords;
    ASSERT_EQ(v.components, 2);
    int checked = 0;
    for (int i = 0; i < v.traits; ++i) {
        const double va = v.values[static_cast<std::size_t>(i) * 3 + 1], ve = v.values[static_cast<std::size_t>(i) * 3 + 2];
        ASSERT_GT(va, 0.0);
        const double l = ve / va;
        const double pev = ve * (1.0 / (n + l) + n / (a * l * (n + l)));
        for (const ResultRow& row : r.tables.effects) {
            if (row.trait1 != r.settings.traits[static_cast<std::size_t>(i)]) continue;
            // The records hold the components rounded to float; the effects
            // were predicted at the doubles.
            EXPECT_NEAR(row.se, std::sqrt(pev), 1e-6 * std::sqrt(pev)) << row.trait1 << " " << row.level;
            EXPECT_NEAR(row.ciHigh - row.ciLow, 2 * 1.959963984540054 * row.se, 1e-12);
            ++checked;
        }
    }
    EXPECT_EQ(checked, 16);
}

}  // namespace
}  // namespace minque
