// An independent witness for the reported statistics: a small two-factor
// trial (tests/data/witness) whose standard errors, P values and marks were
// computed by make_expected.R there, outside this program, from the
// component estimates of the whole data and of every jackknife replicate.
// The run must print exactly those lines, digit for digit, for a covariance
// component, both totals and the correlations; and its component estimates
// must be the MINQUE(0/1) estimates that the script computes from the table
// in double precision.
//
// The script's input records.csv holds the run's own estimates; with
// MINQUE_WITNESS_RECORDS=PATH this test writes them there (after a change of
// the estimation, then rerun the script).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "minquecov/analysis.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

const std::string kWitness = std::string(MINQUE_SOURCE_DIR) + "/tests/data/witness/";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

std::vector<std::vector<double>> csvNumbers(const std::string& text) {
    std::vector<std::vector<double>> rows;
    for (const std::string& line : lines(text)) {
        if (line.empty() || line[0] < '-' || line[0] > '9' || line[0] == '/') continue;  // the heading
        std::vector<double> row;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, ',');) row.push_back(std::stod(f));
        rows.push_back(row);
    }
    return rows;
}

// The report's lines of one pair block: from its heading to the next blank
// line after the correlations (or the end of the block).
std::vector<std::string> blockLines(const std::string& report, const std::string& heading) {
    const std::size_t at = report.find(heading);
    if (at == std::string::npos) return {};
    std::vector<std::string> out;
    for (const std::string& line : lines(report.substr(at))) {
        if (line.find(" Cov, ") != std::string::npos || line.find(" Cor, ") != std::string::npos ||
            line.rfind("Cov ", 0) == 0 || line.rfind("Cor ", 0) == 0)
            out.push_back(line);
        if (line.find("Time Used") != std::string::npos || (out.size() > 2 && line.find("Between,") != std::string::npos))
            break;
    }
    return out;
}

TEST(Witness, TheReportPrintsTheStatisticsComputedOutsideTheProgram) {
    AnalysisRequest request;
    request.data = trialDataFromFile(kWitness + "trial.csv");
    request.model.random = {"A", "B"};
    request.options.standardErrors = StandardErrors::Jackknife;
    request.options.group = 4;
    request.options.threads = 1;
    request.options.covarianceRecords = true;
    const AnalysisResult r = analyse(request);
    const int K = r.varianceRecords.components;
    ASSERT_EQ(K, 3);
    ASSERT_EQ(r.covarianceRecords.pairs, 1);
    ASSERT_EQ(r.covarianceRecords.replicates, 6);

    // records.csv: kind (0 trait T1, 1 trait T2, 2 the pair), replicate, components.
    std::vector<std::vector<double>> ours;
    for (int k = 0; k <= 6; ++k)
        for (int kind = 0; kind < 3; ++kind) {
            const std::vector<float>& v = kind < 2 ? r.varianceRecords.values : r.covarianceRecords.values;
            const std::size_t record = static_cast<std::size_t>(kind < 2 ? k * 2 + kind : k);
            std::vector<double> row = {static_cast<double>(kind), static_cast<double>(k)};
            for (int c = 1; c <= K; ++c) row.push_back(v.at(record * static_cast<std::size_t>(K + 1) + c));
            ours.push_back(row);
        }
    if (const char* dump = std::getenv("MINQUE_WITNESS_RECORDS")) {
        std::string text = "kind,replicate,c1,c2,c3\n";
        for (const auto& row : ours) {
            char line[160];
            std::snprintf(line, sizeof line, "%g,%g,%.9g,%.9g,%.9g\n", row[0], row[1], row[2], row[3], row[4]);
            text += line;
        }
        test::writeFile(dump, text);
    }
    // The script's input is this run's estimates, float for float.
    const auto records = csvNumbers(test::readFile(kWitness + "records.csv"));
    ASSERT_EQ(records.size(), ours.size());
    for (std::size_t i = 0; i < ours.size(); ++i)
        for (std::size_t c = 0; c < ours[i].size(); ++c)
            EXPECT_EQ(static_cast<float>(records[i][c]), static_cast<float>(ours[i][c])) << "record " << i;

    // The estimates are the MINQUE(0/1) estimates computed in double from the
    // table, to the accuracy of single-precision storage.
    const auto exact = csvNumbers(test::readFile(kWitness + "components_double.csv"));
    ASSERT_EQ(exact.size(), ours.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
        double scale = 0.0;
        for (int c = 2; c < 2 + K; ++c) scale = std::max(scale, std::fabs(exact[i][c]));
        for (int c = 2; c < 2 + K; ++c) EXPECT_NEAR(ours[i][c], exact[i][c], 2e-5 * scale) << "record " << i << " component " << c - 1;
    }

    // Every printed digit of the pair's block and of each trait's variance block.
    EXPECT_EQ(blockLines(r.covarianceReport, "Between, T1 &, T2 ,"), lines(test::readFile(kWitness + "expected_cov_lines.txt")));
    EXPECT_EQ(blockLines(r.varianceReport, "Between, T1 &, T1 ,"), lines(test::readFile(kWitness + "expected_var_T1_lines.txt")));
    EXPECT_EQ(blockLines(r.varianceReport, "Between, T2 &, T2 ,"), lines(test::readFile(kWitness + "expected_var_T2_lines.txt")));
}

}  // namespace
}  // namespace minque
