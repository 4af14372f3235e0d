// Reports read back into tables, and the flags that tell a reader what not
// to over-interpret, each on a case built to show it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "jackknife_engine/report/report_tables.hpp"
#include "report/result_pages.hpp"
#include "report/result_tables.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// A variance report: Yield's additive variance is negative and marked.
constexpr const char* kVarianceReport =
    " Traits =, 2\n Date and Time for Analysis: Sat Dec  5 10:00:00 2026\n"
    "\n Covariances and Correlations Between, Yield &, Yield ,for, Public Users.:\n"
    "\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n"
    "V(A) Cov, -265.6, 115.3, 0.0412, /2,   S*\n"
    "V(e) Cov, 40.5, 3.1, 5.09e-11, /1,   S**\n"
    "\n Cov <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n"
    "Cov 2, 225.1, 110, 0.06,  S+\n"
    "Cov 1, -265.6, 115.3, 0.0412,  S*\n"
    "\n Covariances and Correlations Between, Height &, Height ,for, Public Users.:\n"
    "\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n"
    "V(A) Cov, 12.5, 2.5, 0.001, /2,   S**\n"
    "V(e) Cov, 4.25, 1.5, 0.02, /1,   S*\n"
    "\n Cov <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n"
    "Cov 2, 16.75, 3, 0.0001,  S**\n"
    "Cov 1, 12.5, 2.5, 0.001,  S**\n"
    "\n Time Used (Hour) = 0.000000 \n";

constexpr const char* kCovarianceReport =
    "\n Covariances and Correlations Between, Yield &, Height ,for, Public Users.:\n"
    "\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n"
    "V(A) Cov, 3.5, 1.25, 0.012, /2,   S*\n"
    "V(e) Cov, 1.5, 0.5, 0.009, /1,   S**\n"
    "\n Cov <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n"
    "Cov 2, 5, 1.5, 0.004,  S**\n"
    "Cov 1, 3.5, 1.25, 0.012,  S*\n"
    "\n Correlation, Estimates,   S.E.,  P-value of Two Tail t-Test \n"
    "V(A) Cor, 0.000000, 0, 1,  NS\n"
    "V(e) Cor, 0.961000, 0.031, 5.09e-11,  S**\n"
    "\n Cor <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n"
    "Cor 2, -1.000000, 0.00242432, 1.98e-17,  S**\n"
    "Cor 1, 0.412000, 0.1, 0.002,  S**\n"
    "\n Time Used (Hour) = 0.000000 \n";

using test::count;

const ResultRow& rowOf(const std::vector<ResultRow>& rows, const std::string& component) {
    for (const auto& r : rows)
        if (r.component == component) return r;
    throw std::runtime_error("no row " + component);
}

TEST(ResultTables, RowsKeepThePrintedNumbersAndCarryTheirFlags) {
    const ReportEstimates var = parseReport(kVarianceReport, "T.VAR");
    const ReportEstimates cov = parseReport(kCovarianceReport, "T.COV");
    EXPECT_TRUE(var.variances());
    EXPECT_FALSE(cov.variances());
    EXPECT_EQ(var.settings.front(), (std::pair<std::string, std::string>{"Traits", "2"}));
    const ResultTables t = buildResultTables(cov, &var);
    EXPECT_EQ(t.traits, (std::vector<std::string>{"Yield", "Height"}));
    EXPECT_EQ(t.correlationComponents, (std::vector<std::string>{"V(A)", "V(e)", "G+GE", "Phenotypic"}));
    ASSERT_EQ(t.variances.size(), 8u);
    ASSERT_EQ(t.covariances.size(), 4u);
    ASSERT_EQ(t.correlations.size(), 4u);

    const ResultRow& negative = rowOf(t.variances, "V(A)");
    EXPECT_EQ(printedNumber("%g", negative.estimate), "-265.6");  // as printed, not re-rounded
    EXPECT_EQ(negative.estimate, -265.6);
    EXPECT_EQ(printedNumber("%g", negative.weight), "2");
    EXPECT_EQ(negative.mark, "S*");
    EXPECT_EQ(negative.flag, "negative");
    EXPECT_EQ(rowOf(t.variances, "V(e)").flag, "p_floor");
    EXPECT_TRUE(std::isnan(rowOf(t.variances, "G+GE").weight));

    EXPECT_EQ(rowOf(t.covariances, "V(A)").flag, "variance_not_positive");  // Yield's V(A) < 0
    EXPECT_EQ(rowOf(t.covariances, "V(e)").flag, "");
    EXPECT_EQ(rowOf(t.correlations, "V(A)").flag, "undefined");
    EXPECT_EQ(rowOf(t.correlations, "V(e)").flag, "near_bound;p_floor");
    // A model of V(A) and V(e) alone: its totals are sums under positional weights.
    EXPECT_EQ(rowOf(t.correlations, "Phenotypic").flag, "cut;p_floor;weights_positional");
    EXPECT_EQ(rowOf(t.correlations, "G+GE").flag, "undefined;weights_positional");  // Yield's G+GE variance < 0
    EXPECT_EQ(rowOf(t.variances, "V(A)").flag, "negative");

    // Without the variances, undefined is read from the printed 0, 0, 1.
    const ResultTables alone = buildResultTables(cov, nullptr);
    EXPECT_EQ(rowOf(alone.correlations, "V(A)").flag, "undefined");
    EXPECT_EQ(rowOf(alone.correlations, "G+GE").flag, "weights_positional");
    EXPECT_EQ(rowOf(alone.covariances, "V(A)").flag, "");
}

TEST(ResultTables, ThePageCarriesTheFlagsAndPrintsPValuesAtTheFloorAsBelow) {
    const ReportEstimates var = parseReport(kVarianceReport, "T.VAR");
    const ResultTables t = buildResultTables(parseReport(kCovarianceReport, "T.COV"), &var);
    const std::string page = summaryPageHtml(t, {{"Traits", "2"}}, "docs/guide.md");
    // The negative additive variance of Yield, its row flagged.
    EXPECT_NE(page.find("<tr class=\"flagged\"><td>Yield</td><td>V(A)</td><td>2</td><td>-265.6</td><td>115.3</td>"
                        "<td>0.0412</td><td>S*</td><td>negative</td></tr>"),
              std::string::npos);
    // P = 5.09e-11 is below the floor: "< 1e-10", flagged.
    EXPECT_NE(page.find("<td>40.5</td><td>3.1</td><td>&lt; 1e-10</td><td>S**</td><td>p_floor</td>"), std::string::npos);
    EXPECT_EQ(page.find("5.09e-11"), std::string::npos);
    // Every flag the jackknife's tables can carry is explained, and no other.
    for (const FlagMeaning& f : flagMeanings())
        EXPECT_EQ(page.find(std::string("<dt>") + f.flag + "</dt>") != std::string::npos, !f.bootstrapOnly) << f.flag;
    EXPECT_NE(page.find("href=\"docs/guide.md\""), std::string::npos);
}

// The report with one line replaced.
std::string edited(std::string text, const std::string& line, const std::string& with) {
    const std::size_t at = text.find(line);
    if (at == std::string::npos) throw std::runtime_error("no line " + line);
    return text.replace(at, line.size(), with);
}

TEST(ResultTables, EachFlagStartsExactlyAtItsBoundary) {
    const std::string eCor = "V(e) Cor, 0.961000, 0.031, 5.09e-11,  S**";
    const std::string eCov = "V(e) Cov, 4.25, 1.5, 0.02, /1,   S*";  // Height's residual variance
    struct Case {
        const char* what;
        std::string covLine, covWith, varLine, varWith;
        const char* table;  // the row checked: "cor" or "cov" (V(e) of the pair), "var" (Height's V(e))
        const char* flag;
    };
    const Case cases[] = {
        {"|r| at 0.95", eCor, "V(e) Cor, 0.950000, 0.031, 0.002,  S**", "", "", "cor", "near_bound"},
        {"|r| just under 0.95", eCor, "V(e) Cor, 0.949999, 0.031, 0.002,  S**", "", "", "cor", ""},
        {"r at -0.95", eCor, "V(e) Cor, -0.950000, 0.031, 0.002,  S**", "", "", "cor", "near_bound"},
        {"cut at +1", eCor, "V(e) Cor, 1.000000, 0.031, 0.002,  S**", "", "", "cor", "cut"},
        {"cut at -1", eCor, "V(e) Cor, -1.000000, 0.031, 0.002,  S**", "", "", "cor", "cut"},
        {"P at 1e-10", eCor, "V(e) Cor, 0.500000, 0.031, 1e-10,  S**", "", "", "cor", ""},
        {"P under 1e-10", eCor, "V(e) Cor, 0.500000, 0.031, 9.99e-11,  S**", "", "", "cor", "p_floor"},
        {"correlation S.E. nan", eCor, "V(e) Cor, 0.500000, nan, 0.002,  S**", "", "", "cor", "not_finite"},
        {"correlation P inf", eCor, "V(e) Cor, 0.500000, 0.031, inf,  S**", "", "", "cor", "not_finite"},
        {"variance S.E. inf", "", "", eCov, "V(e) Cov, 4.25, inf, 0.02, /1,   S*", "var", "not_finite"},
        {"variance estimate nan", "", "", eCov, "V(e) Cov, nan, 1.5, 0.02, /1,   S*", "var", "not_finite"},
        {"variance exactly 0", "", "", eCov, "V(e) Cov, 0, 1.5, 1, /1,   NS", "cov", "variance_not_positive"},
        {"variance exactly 0, its correlation", "", "", eCov, "V(e) Cov, 0, 1.5, 1, /1,   NS", "cor", "undefined"},
        {"variance at 1e-10", "", "", eCov, "V(e) Cov, 1e-10, 1.5, 1, /1,   NS", "cov", "below_threshold"},
        // Printed 0 because of the scale, not because no correlation exists.
        {"variance at 1e-10, its correlation", eCor, "V(e) Cor, 0.000000, 0, 1,  NS", eCov,
         "V(e) Cov, 5e-11, 1.5, 1, /1,   NS", "cor", "below_threshold"},
        {"covariance S.E. nan", "V(e) Cov, 1.5, 0.5, 0.009, /1,   S**", "V(e) Cov, 1.5, nan, 0.009, /1,   S**", "", "",
         "cov", "not_finite"},
        {"variance just over 1e-10", "", "", eCov, "V(e) Cov, 1.0001e-10, 1.5, 1, /1,   NS", "cov", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string cov = c.covLine.empty() ? kCovarianceReport : edited(kCovarianceReport, c.covLine, c.covWith);
        const std::string var = c.varLine.empty() ? kVarianceReport : edited(kVarianceReport, c.varLine, c.varWith);
        const ReportEstimates variances = parseReport(var, "T.VAR");
        const ResultTables t = buildResultTables(parseReport(cov, "T.COV"), &variances);
        const std::string table = c.table;
        const ResultRow* row = nullptr;
        if (table == "var") {
            for (const ResultRow& r : t.variances)
                if (r.trait1 == "Height" && r.component == "V(e)") row = &r;
        } else {
            row = &rowOf(table == "cor" ? t.correlations : t.covariances, "V(e)");
        }
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->flag, c.flag);
        if (c.covWith.find("nan") != std::string::npos) {
            EXPECT_TRUE(std::isnan(row->se));  // as printed
        }
        // The heatmap: hatched and outlined exactly when cut or near the
        // bound, grey n/d when not defined, never a number then.
        if (table != "cor") continue;
        const std::string svg = correlationHeatmapSvg(t);
        const std::size_t panel = svg.find("data-component=\"V(e)\"");
        ASSERT_NE(panel, std::string::npos);
        const std::string cells = svg.substr(panel, svg.find("</g>", panel) - panel);
        const std::string flag = c.flag;
        const bool hatched = flag == "cut" || flag == "near_bound";
        const bool grey = flag == "undefined" || flag == "not_finite" || flag == "below_threshold";
        EXPECT_EQ(count(cells, "fill=\"url(#hatch"), hatched ? 2 : 0);
        EXPECT_EQ(count(cells, "class=\"undefined\" "), grey ? 2 : 0);
        EXPECT_EQ(count(cells, ">n/d</text>"), grey ? 2 : 0);
        const bool negative = c.covWith.find("Cor, -") != std::string::npos;
        EXPECT_EQ(count(cells, negative ? ">-1 cut</text>" : ">+1 cut</text>"), flag == "cut" ? 2 : 0);
        EXPECT_EQ(count(cells, "class=\"cell\" "), grey ? 0 : 2);
    }
}

TEST(ResultTables, TheHeritabilityChartWritesNaWhereTheEstimateIsNotANumber) {
    ResultTables t;
    t.traits = {"Yield"};
    for (const char* estimate : {"0.5", "nan"}) {
        ResultRow r;
        r.trait1 = r.trait2 = "Yield";
        r.component = std::string(estimate) == "nan" ? "h2_broad" : "h2_narrow";
        r.estimate = std::strtod(estimate, nullptr);
        r.se = 0.1;
        r.p = 0.01;
        r.mark = "S*";
        t.heritabilities.push_back(r);
    }
    const std::string svg = heritabilityChartSvg(t);
    EXPECT_EQ(count(svg, "<rect class=\"bar\""), 1);
    EXPECT_EQ(count(svg, ">n/a<title>"), 1);
}

TEST(ResultTables, CsvIsRfc4180WithAHeaderRow) {
    const ReportEstimates cov = parseReport(kCovarianceReport, "T.COV");
    ResultTables t = buildResultTables(cov, nullptr);
    t.correlations[0].trait1 = "Yield, \"dry\"";
    const std::string csv = resultCsv(t, ResultTable::Correlations);
    EXPECT_EQ(csv.substr(0, csv.find("\r\n")), "trait_1,trait_2,component,estimate,se,p,mark,flag");
    EXPECT_NE(csv.find("\r\n\"Yield, \"\"dry\"\"\",Height,V(A),0.000000,0,1,NS,undefined\r\n"), std::string::npos);
    EXPECT_EQ(resultCsv(t, ResultTable::Covariances).substr(0, 57), "trait_1,trait_2,component,weight,estimate,se,p,mark,flag\r");
}

TEST(ResultTables, ADamagedReportStopsNamingTheFileAndLine) {
    std::string cut = kCovarianceReport;
    cut.replace(cut.find("V(e) Cov, 1.5, 0.5, 0.009, /1,   S**"), 36, "V(e) Cov, 1.5, 0.5");
    EXPECT_RUN_ERROR(parseReport(cut, "T.COV"), 1, "T.COV: line 6: not a covariance row");
    std::string badNumber = kCovarianceReport;
    badNumber.replace(badNumber.find("0.961000"), 8, "0.96x");
    EXPECT_RUN_ERROR(parseReport(badNumber, "T.COV"), 1, "T.COV: line 14: the estimate, standard error");
    EXPECT_RUN_ERROR(parseReport("just some text\n", "T.COV"), 1, "T.COV: no trait-pair block found");
}

}  // namespace
}  // namespace minque
