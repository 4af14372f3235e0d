// The jackknife's tables from hand-made records, against a textbook
// delete-a-group jackknife written here (pseudo-quantities from the
// components' pseudo-values, the report's rescaling, and a P value by
// numerical integration of Student's t density), at whole-data estimates
// given apart from the records, as the estimator gives them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "estimator/level_space.hpp"
#include "library/engine_jackknife.hpp"
#include "report/printed_numbers.hpp"

namespace minque {
namespace {

// P(|T| >= t) on nu degrees of freedom: 1 - 2 * integral of the density
// from 0 to t (Simpson's rule).
double twoTailP(double t, int nu) {
    const double c = std::tgamma((nu + 1) / 2.0) / (std::sqrt(nu * M_PI) * std::tgamma(nu / 2.0));
    auto f = [&](double x) { return c * std::pow(1.0 + x * x / nu, -(nu + 1) / 2.0); };
    const int steps = 200000;
    const double h = t / steps;
    double sum = f(0.0) + f(t);
    for (int s = 1; s < steps; ++s) sum += (s % 2 == 1 ? 4.0 : 2.0) * f(s * h);
    return 1.0 - 2.0 * sum * h / 3.0;
}

std::string printed(const char* format, double v) {
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

// Components 1..4: A, D, a block, the residual; V_P = 2 A + D + e.
HeritabilityModel additiveDominance() {
    HeritabilityModel m;
    m.phenotypic = {0.0, 2.0, 1.0, 0.0, 1.0};
    m.ratios = {{"h2_narrow", {0.0, 2.0, 0.0, 0.0, 0.0}, {}}, {"h2_broad", {0.0, 2.0, 1.0, 0.0, 0.0}, {}}};
    return m;
}

constexpr int kJ = 5, kK = 4;

// The tables of traits whose records are given, at the whole-data
// components of the records shifted by `shift` (the estimator's values,
// which the estimates must take), with no trait pairs' spread.
ResultTables tablesOf(const std::vector<float>& records, const std::vector<std::string>& traits, double shift = 0.0) {
    const std::size_t t = traits.size(), pairs = t * (t + 1) / 2;
    ResampledTableInput in;
    in.traits = traits;
    in.labels = {"V(A)", "V(D)", "V(B)", "V(e)"};
    in.randomFactors = 3;
    in.heritability = additiveDominance();
    in.whole.assign(kK * pairs, 0.0);
    std::vector<float> covariances((kJ + 1) * (pairs - t) * (kK + 1), 0.0f);
    for (std::size_t i = 0; i < t; ++i)
        for (int k = 0; k < kK; ++k)
            in.whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(static_cast<int>(i), static_cast<int>(i), static_cast<int>(t)))] =
                records[i * (kK + 1) + static_cast<std::size_t>(k) + 1] + shift;
    return jackknifeTables(in, records, covariances, kJ);
}

// Records of one trait: its whole-data components, then J replicates whose
// components give the pseudo-values asked for (p = J V - (J - 1) V_r).
void addTrait(std::vector<float>& records, std::size_t traits, std::size_t trait, const std::vector<double>& whole,
              const std::vector<std::vector<double>>& pseudo) {
    const std::size_t R = kK + 1;
    records.resize((kJ + 1) * traits * R, 0.0f);
    for (int k = 1; k <= kK; ++k) records[trait * R + k] = static_cast<float>(whole[k]);
    for (int rep = 1; rep <= kJ; ++rep)
        for (int k = 1; k <= kK; ++k)
            records[(rep * traits + trait) * R + k] =
                static_cast<float>((kJ * whole[k] - pseudo[rep - 1][k]) / (kJ - 1));
}

TEST(JackknifeTables, RatiosComponentsAndStandardErrorsAreThoseOfATextbookJackknife) {
    const std::vector<double> whole = {0, 0.5, 0.4, 0.3, 1.0};
    const std::vector<std::vector<double>> pseudo = {{0, 0.45, 0.30, 0.2, 1.1}, {0, 0.60, 0.50, 0.4, 0.9},
                                                     {0, 0.40, 0.45, 0.3, 1.2}, {0, 0.55, 0.35, 0.1, 0.8},
                                                     {0, 0.52, 0.41, 0.5, 1.0}};
    std::vector<float> records;
    addTrait(records, 2, 0, whole, pseudo);
    // The second trait: every replicate as the whole data.
    addTrait(records, 2, 1, {0, 1.0, 0.5, 0.2, 2.0}, std::vector<std::vector<double>>(kJ, {0, 1.0, 0.5, 0.2, 2.0}));
    const double shift = 0.01;
    const ResultTables tables = tablesOf(records, {"Yield", "Height"}, shift);
    const auto& rows = tables.heritabilities;
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(tables.method, "jackknife");

    const HeritabilityModel model = additiveDominance();
    for (int q = 0; q < 2; ++q) {
        const auto& a = model.ratios[static_cast<std::size_t>(q)].numerator;
        auto ratioOf = [&](const std::vector<double>& v) {
            double num = 0, den = 0;
            for (int k = 1; k <= kK; ++k) {
                num += a[k] * v[k];
                den += model.phenotypic[k] * v[k];
            }
            return num / den;
        };
        // The components as the records hold them, in double: the
        // pseudo-values' whole data; the estimate is the shifted one's.
        std::vector<double> w(kK + 1), shifted(kK + 1);
        for (int k = 1; k <= kK; ++k) {
            w[k] = records[static_cast<std::size_t>(k)];
            shifted[k] = w[k] + shift;
        }
        const double e = ratioOf(shifted);
        double sum = 0, sumSquares = 0;
        std::vector<double> h;
        for (int rep = 1; rep <= kJ; ++rep) {
            std::vector<double> p(kK + 1);
            for (int k = 1; k <= kK; ++k)
                p[k] = kJ * w[k] - (kJ - 1) * static_cast<double>(records[(static_cast<std::size_t>(rep) * 2) * (kK + 1) + k]);
            h.push_back(ratioOf(p));
            sum += h.back();
        }
        const double mean = sum / kJ;
        for (double x : h) sumSquares += (x - mean) * (x - mean);
        double var = sumSquares / (kJ * (kJ - 1.0));
        const double ratio = std::fabs(e / mean);
        var = ratio > 1.0 ? var / (ratio * ratio) : var * ratio * ratio;
        const double se = std::sqrt(var);
        const ResultRow& row = rows[static_cast<std::size_t>(q)];
        EXPECT_EQ(row.trait1, "Yield");
        EXPECT_EQ(printedNumber("%f", row.estimate), printed("%f", e));
        EXPECT_NEAR(row.se, se, 5e-6 * se);  // as printed, to six digits
        EXPECT_NEAR(row.p, twoTailP(e / se, kJ - 1), 5e-3 * row.p);
        EXPECT_EQ(row.flag, "");
    }
    // V(A) on the genetic scale, 2 V(A): its pseudo-values 2 p, rescaled by
    // the square of the ratio between the estimate and their mean.
    {
        std::vector<double> p;
        double mean = 0.0;
        for (int rep = 1; rep <= kJ; ++rep) {
            p.push_back(2.0 * (kJ * static_cast<double>(records[1]) -
                               (kJ - 1) * static_cast<double>(records[(static_cast<std::size_t>(rep) * 2) * (kK + 1) + 1])));
            mean += p.back() / kJ;
        }
        const double e = 2.0 * (static_cast<double>(records[1]) + shift);
        double squares = 0.0;
        for (double x : p) squares += (x - mean) * (x - mean);
        const double se = std::sqrt(squares / (kJ * (kJ - 1.0))) * std::fabs(e / mean);
        const ResultRow& a = tables.variances[0];
        EXPECT_EQ(a.component, "V(A)");
        EXPECT_EQ(a.weight, 2.0);
        EXPECT_DOUBLE_EQ(a.estimate, e);
        EXPECT_NEAR(a.se, se, 1e-12);
        EXPECT_NEAR(a.p, twoTailP(e / se, kJ - 1), 5e-3 * a.p);
        EXPECT_TRUE(std::isnan(a.ciLow));  // the jackknife gives no interval
    }
    EXPECT_EQ(rows[0].component, "h2_narrow");
    EXPECT_EQ(rows[1].component, "h2_broad");
    // No spread over the replicates: S.E. 0, P 1, NS.
    EXPECT_EQ(printedNumber("%f", rows[2].estimate),
              printed("%f", 2.0 * (1.0 + shift) / (2.0 * (1.0 + shift) + 0.5 + shift + 2.0 + shift)));
    EXPECT_EQ(printedNumber("%g", rows[2].se), "0");
    EXPECT_EQ(printedNumber("%.3g", rows[2].p), "1");
    EXPECT_EQ(rows[2].mark, "NS");
}

TEST(JackknifeTables, FlagsNegativeComponentsBoundsAndAnUndefinedPhenotypicVariance) {
    const std::vector<std::vector<double>> spread = {{0, -0.2, 0.3, 0.1, 1.1}, {0, -0.1, 0.5, 0.4, 0.9},
                                                     {0, -0.3, 0.4, 0.3, 1.2}, {0, -0.2, 0.35, 0.1, 0.8},
                                                     {0, -0.25, 0.45, 0.5, 1.0}};
    std::vector<float> records;
    addTrait(records, 3, 0, {0, -0.2, 0.4, 0.3, 1.0}, spread);                // V(A) < 0
    addTrait(records, 3, 1, {0, 0.0, 0.0, 0.7, 0.0}, spread);                 // V_P = 0: only the block varies
    addTrait(records, 3, 2, {0, 0.9, -0.5, 0.2, 0.1}, spread);                // h2_narrow 1.8 / 1.4 > 1
    const auto rows = tablesOf(records, {"A", "B", "C"}).heritabilities;
    ASSERT_EQ(rows.size(), 6u);
    // Printed as computed: -0.4 / 1.0.
    EXPECT_EQ(printedNumber("%f", rows[0].estimate), "-0.400000");
    EXPECT_EQ(rows[0].flag, "negative;out_of_range");
    EXPECT_EQ(printedNumber("%f", rows[1].estimate), "0.000000");  // (-0.4 + 0.4) / 1.0
    EXPECT_EQ(rows[1].flag, "negative");
    EXPECT_EQ(printedNumber("%f", rows[2].estimate), "0.000000");
    EXPECT_EQ(printedNumber("%g", rows[2].se), "0");
    EXPECT_EQ(printedNumber("%.3g", rows[2].p), "1");
    EXPECT_EQ(rows[2].flag, "undefined");
    EXPECT_EQ(printedNumber("%f", rows[4].estimate), printed("%f", 1.8 / 1.4));
    EXPECT_EQ(rows[4].flag, "negative;out_of_range");
}

}  // namespace
}  // namespace minque
