// What a newcomer's table must not do silently: an identifier column taken
// for a trait, a trait without variation, a trait on a scale the method's
// fixed limits cannot hold; and one trait alone is an analysis too.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "jackknife_engine/report/report_writer.hpp"
#include "minquecov/analysis.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

TrialData example() {
    TrialData data = trialDataFromFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT");
    data.name = "data";
    return data;
}

AnalysisRequest diallel(const TrialData& data) { return test::exampleDiallel(data); }

// The example with one more column, its values from Yield's.
TrialData withColumn(const std::string& name, double factor, double shift = 0.0) {
    TrialData data = example();
    TrialColumn column{name, true, {}, {}};
    for (const std::string& field : data.columns[4].text) column.numbers.push_back(std::stod(field) * factor + shift);
    data.columns.push_back(column);
    return data;
}

TEST(Traps, OneTraitIsAnAnalysisToTheEnd) {
    AnalysisRequest one = diallel(example());
    one.options.traits = {"Yield"};
    const AnalysisResult r = analyse(one);
    EXPECT_EQ(r.tables.variances.size(), 7u);  // A, D, AE, DE, e and the two totals
    EXPECT_TRUE(r.tables.covariances.empty());
    EXPECT_TRUE(r.tables.correlations.empty());
    EXPECT_EQ(r.tables.heritabilities.size(), 4u);
    EXPECT_EQ(r.settings.model, "additive-dominance (environment Env, female Fem, male Male, block Blk)");
    // Genetic weights: the totals are not flagged, as with several traits.
    for (const ResultRow& row : r.tables.variances) EXPECT_EQ(row.flag.find("weights_positional"), std::string::npos);
    // A table of one numeric column besides the design: the same.
    TrialData single = example();
    single.columns.resize(5);
    EXPECT_EQ(analyse(diallel(single)).tables.variances.size(), 7u);
    AnalysisRequest oneEnvironment = diallel(single);
    oneEnvironment.model.env.clear();
    oneEnvironment.options.traits = {"Yield"};  // Env, no longer in the model, is a design column, not a trait
    EXPECT_EQ(analyse(oneEnvironment).settings.model, "additive-dominance (female Fem, male Male, block Blk; one environment)");

    // The command line: all files, exit 0.
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT"));
    const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH,
                                      {"analyse", "EX.TXT", "--env", "Env", "--female", "Fem", "--male", "Male", "--block",
                                       "Blk", "--se", "jackknife", "--group", "4", "--traits", "Yield"},
                                      dir.path());
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(test::fileExists(dir.file("EX-results/summary.html")));
    EXPECT_TRUE(test::fileExists(dir.file("EX-results/variances.csv")));
}

TEST(Traps, IdentifierColumnsAreLeftOutOfTheTraitsSayingSoUnlessListed) {
    TrialData data = example();
    TrialColumn rows{"Order", true, {}, {}}, unnamed{"", false, {}, {}};
    for (std::size_t r = 0; r < data.columns[0].text.size(); ++r) {
        rows.numbers.push_back(static_cast<double>(r + 1));
        unnamed.text.push_back("row" + std::to_string(r));
    }
    data.columns.insert(data.columns.begin(), rows);
    data.columns.insert(data.columns.begin(), unnamed);
    std::vector<std::string> notes;
    AnalysisProgress progress;
    progress.note = [&](const std::string& n) { notes.push_back(n); };
    const AnalysisResult r = analyse(diallel(data), progress);
    EXPECT_EQ(r.settings.traits, (std::vector<std::string>{"Yield", "Height", "GrainWt", "Heading"}));
    // The first note; the others say which components rest on few levels.
    ASSERT_GE(notes.size(), 1u);
    EXPECT_EQ(notes[0], "data: left out of the traits as row identifiers: '' (an unnamed first column), 'Order' (the row "
                        "numbers 1..84); list the traits with --traits to analyse such a column");
    // Listed, it is a trait like any other.
    AnalysisRequest listed = diallel(data);
    listed.options.traits = {"Order", "Yield"};
    EXPECT_EQ(analyse(listed).settings.traits, (std::vector<std::string>{"Order", "Yield"}));
}

TEST(Traps, ATraitWithoutVariationOrOnAScaleTheLimitsCannotHoldIsRefused) {
    EXPECT_RUN_ERROR(analyse(diallel(withColumn("Flat", 0.0, 7.5))), 1,
                     "data: the trait 'Flat' does not vary \\(every value is 7.5, within single precision\\)");
    // Equal in single precision, though not in the table.
    EXPECT_RUN_ERROR(analyse(diallel(withColumn("Flat", 1e-9, 1e4))), 1, "the trait 'Flat' does not vary");
    EXPECT_RUN_ERROR(analyse(diallel(withColumn("Tiny", 1e-6))), 1,
                     "the trait 'Tiny' varies on a scale the method cannot hold \\(standard deviation [0-9.e-]+\\): "
                     "its variance components would fall near the jackknife's fixed limits of 1e-10 and 1e-8, where "
                     "correlations become 0 \\(the bootstrap's limits follow each trait's scale\\). Multiply it by 1e\\+06");
    EXPECT_RUN_ERROR(analyse(diallel(withColumn("Huge", 1e10))), 1,
                     "the trait 'Huge' varies on a scale .* overflow single precision in the jackknife's sums of squares"
                     ".* Multiply it by 1e-10");
    // The bootstrap's estimator works in double with limits that follow each
    // trait's scale: 1e10 and 1e-20 are scales like any other (Yield's
    // correlations with itself, rescaled, are 1), and only what its
    // single-precision records cannot hold is refused.
    for (const double factor : {1e10, 1e-20}) {
        AnalysisRequest bootstrap = diallel(withColumn("Scaled", factor));
        bootstrap.options.standardErrors = StandardErrors::Bootstrap;
        bootstrap.options.bootstrapSamples = 20;
        const AnalysisResult scaled = analyse(bootstrap);
        int ones = 0;
        for (const ResultRow& row : scaled.tables.correlations)
            if (row.trait1 == "Yield" && row.trait2 == "Scaled" && std::isfinite(row.estimate)) {
                EXPECT_NEAR(row.estimate, 1.0, 1e-5) << factor << " " << row.component;
                ++ones;
            }
        EXPECT_GE(ones, 4) << factor;
        for (const ResultRow& row : scaled.tables.heritabilities)
            if (row.trait1 == "Scaled") EXPECT_EQ(row.flag.find("undefined"), std::string::npos) << factor;
    }
    AnalysisRequest bootstrap = diallel(withColumn("Huge", 1e20));
    bootstrap.options.standardErrors = StandardErrors::Bootstrap;
    bootstrap.options.bootstrapSamples = 20;
    EXPECT_RUN_ERROR(analyse(bootstrap), 1, "the trait 'Huge' varies on a scale .* overflow the single-precision records");

    // Three orders of magnitude either way: the same correlations as Yield's own.
    std::map<std::string, std::string> unscaled;
    const AnalysisResult plain = analyse(diallel(withColumn("Same", 1.0)));
    for (const ResultRow& row : plain.tables.correlations)
        if (row.trait1 == "Yield" && row.trait2 != "Same") unscaled[row.trait2 + row.component] = printedNumber("%f", row.estimate);
    for (const double factor : {1e-3, 1e6}) {
        const AnalysisResult scaled = analyse(diallel(withColumn("Scaled", factor)));
        int compared = 0;
        for (const ResultRow& row : scaled.tables.correlations) {
            if (row.trait1 != "Scaled" && row.trait2 != "Scaled") continue;
            const std::string other = row.trait1 == "Scaled" ? row.trait2 : row.trait1;
            if (other == "Yield" || unscaled.count(other + row.component) == 0) continue;
            EXPECT_NEAR(row.estimate, std::stod(unscaled[other + row.component]), 2e-6) << factor << " " << other;
            ++compared;
        }
        EXPECT_EQ(compared, 3 * 7) << factor;  // Height, GrainWt, Heading; seven correlations each
    }
}

TEST(Traps, CovarianceComponentsTheModelCannotHaveAreRefusedInTheTermsOfTheCommand) {
    AnalysisRequest request = diallel(example());
    request.model.covariances = true;
    EXPECT_RUN_ERROR(analyse(request), 1,
                     "^--covariances: a covariance component would join the random terms V\\(A\\) \\(6 levels\\) and "
                     "V\\(AE\\) \\(12 levels\\).*The additive-dominance model has no such terms");
    request.model = ModelSpec{};
    request.model.random = {"Fem", "Male"};
    request.model.covariances = true;
    request.options.traits = {"Yield", "Height"};
    EXPECT_RUN_ERROR(analyse(request), 1,
                     "^--covariances: a covariance model needs its random terms in pairs that share their levels .*so four "
                     "terms; the 2 given \\(V\\(Fem\\), V\\(Male\\)\\) leave term 1 without its partner, term 3");
}

// The reports weigh a general model's components by their positions; the
// jackknife's tables, as every run's, give them on the genetic scale, so no
// total is flagged for its weights.
TEST(Traps, TheJackknifesTablesOfAGeneralModelKeepGeneticWeights) {
    AnalysisRequest general = diallel(example());
    general.model = ModelSpec{};
    general.model.random = {"Fem", "Male"};
    general.model.fixed = {"1", "Env"};
    general.options.traits = {"Yield", "Height"};
    const AnalysisResult r = analyse(general);
    ASSERT_EQ(r.tables.method, "jackknife");
    for (const auto* rows : {&r.tables.variances, &r.tables.covariances, &r.tables.correlations})
        for (const ResultRow& row : *rows) EXPECT_EQ(row.flag.find("weights_positional"), std::string::npos) << row.component;
    for (const ResultRow& row : r.tables.variances)
        if (row.component == "V(Fem)") {
            EXPECT_EQ(row.weight, 1.0);
        }
    // The report keeps its positional weight, 2.
    const std::size_t line = r.varianceReport.find("V(Fem) Cov, ");
    ASSERT_NE(line, std::string::npos);
    EXPECT_NE(r.varianceReport.substr(line, r.varianceReport.find('\n', line) - line).find(", /2,"), std::string::npos);
}

}  // namespace
}  // namespace minque
