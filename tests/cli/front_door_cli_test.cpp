// minque analyse and minque summary, run as a user runs them: the files they
// write, their agreement with the three-program chain, the tables against the
// reports' printed numbers, the picture and the page, and the refusals.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.hpp"

namespace minque {
namespace {

std::string exampleTable() { return test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.TXT"); }

// The example with commas for the spaces.
std::string commaSeparated(const std::string& text) {
    std::string out;
    bool inGap = false;
    for (char c : text) {
        if (c == ' ') {
            if (!inGap) out += ',';
            inGap = true;
            continue;
        }
        inGap = false;
        out += c;
    }
    return out;
}

test::ProcessResult minque(const std::vector<std::string>& args, const std::string& cwd) {
    return test::runProcess(MINQUE_FRONT_DOOR_PATH, args, cwd);
}

// The three programs on `name`.TXT in `dir`: minque-model with `modelArgs`,
// then minque-var and minque-cov with group size g.
void runChain(const test::TempDir& dir, const std::string& name, std::vector<std::string> modelArgs,
              const std::string& language, int g, int covarianceSwitch) {
    modelArgs.insert(modelArgs.begin(), name + ".TXT");
    ASSERT_EQ(test::runProcess(MINQUE_MODEL_PATH, modelArgs, dir.path()).exitCode, 0);
    const auto args = test::analysisArgs(language, g, covarianceSwitch, name + ".TXT");
    ASSERT_EQ(test::runProcess(MINQUE_VAR_PATH, args, dir.path()).exitCode, 0);
    ASSERT_EQ(test::runProcess(MINQUE_COV_PATH, args, dir.path()).exitCode, 0);
}

void expectSameAsChain(const std::string& results, const test::TempDir& chain, const std::string& name) {
    for (const std::string& file : {name + ".MAT", std::string("MATWRN.var")})
        EXPECT_EQ(test::readFile(results + "/" + file), test::readFile(chain.file(file))) << file;
    for (const std::string& file : {name + ".VAR", name + ".COV"})
        EXPECT_EQ(test::withoutClock(test::readFile(results + "/" + file)), test::withoutClock(test::readFile(chain.file(file))))
            << file;
}

std::vector<std::vector<std::string>> csvRows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::vector<std::string> fields;
        std::string field;
        std::istringstream f(line);
        while (std::getline(f, field, ',')) fields.push_back(field);
        if (!line.empty() && line.back() == ',') fields.push_back("");
        rows.push_back(fields);
    }
    return rows;
}

// The numbers of every row of a report, read with a pattern of its own:
// label, Cov or Cor, estimate, S.E., P, mark and weight as printed, in report order.
std::vector<std::vector<std::string>> reportRows(const std::string& text) {
    static const std::regex row("^(.+) (Cov|Cor), ([^,]+), ([^,]+), ([^,]+), (?:/([^,]+),)? +(S\\*\\*|S\\*|S\\+|NS)$");
    static const std::regex total("^(Cov|Cor) ([12]), ([^,]+), ([^,]+), ([^,]+), +(S\\*\\*|S\\*|S\\+|NS)$");
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    std::string line;
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_match(line, m, row))
            rows.push_back({m[1], m[2], m[3], m[4], m[5], m[7], m[6]});
        else if (std::regex_match(line, m, total))
            rows.push_back({m[2] == "1" ? "G+GE" : "Phenotypic", m[1], m[3], m[4], m[5], m[6], ""});
    }
    return rows;
}

// A minimal XML well-formedness check: every tag closed in order, attribute
// values quoted, no bare '<' or '&' in text.
bool wellFormedXml(const std::string& s, std::string* why) {
    std::vector<std::string> open;
    std::size_t at = 0;
    while (at < s.size()) {
        if (s[at] == '&') {
            const std::size_t semi = s.find(';', at);
            if (semi == std::string::npos || semi - at > 6) return *why = "bare &", false;
        }
        if (s[at] != '<') {
            ++at;
            continue;
        }
        const std::size_t end = s.find('>', at);
        if (end == std::string::npos) return *why = "unclosed tag", false;
        std::string tag = s.substr(at + 1, end - at - 1);
        at = end + 1;
        if (tag.empty() || tag[0] == '?' || tag[0] == '!') continue;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return *why = "mismatched </" + tag.substr(1) + ">", false;
            open.pop_back();
            continue;
        }
        const bool selfClosing = tag.back() == '/';
        const std::string name = tag.substr(0, tag.find_first_of(" \n/"));
        std::size_t quotes = 0;
        for (char c : tag) quotes += c == '"';
        if (quotes % 2 != 0) return *why = "unbalanced quotes in <" + name + ">", false;
        if (!selfClosing) open.push_back(name);
    }
    if (!open.empty()) return *why = "<" + open.back() + "> not closed", false;
    return true;
}

using test::count;

// The headless Chromium of this machine, or empty.
std::string headlessChromium() {
    for (const char* candidate : {"/usr/bin/chromium-headless-shell", "/usr/bin/chromium"})
        if (test::fileExists(candidate)) return candidate;
    return "";
}

const char* const kExampleModel[] = {"--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--se", "jackknife", "--group", "4"};

TEST(FrontDoor, AnalyseWritesEverythingAndAgreesWithTheThreePrograms) {
    for (const bool commas : {false, true}) {
        SCOPED_TRACE(commas ? "comma-separated" : "space-separated");
        test::TempDir dir;
        test::writeFile(dir.file("TRIAL.csv"), commas ? commaSeparated(exampleTable()) : exampleTable());
        std::vector<std::string> args = {"analyse", "TRIAL.csv"};
        args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
        const auto run = minque(args, dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string results = dir.file("TRIAL-results");
        for (const char* file : {"TRIAL.TXT", "TRIAL.MAT", "TRIAL.DAT", "MATWRN.var", "TRIAL.VAR", "TRIAL.COV",
                                 "variances.csv", "covariances.csv", "correlations.csv", "heritability.csv",
                                 "correlations.svg", "summary.html", "run.txt"})
            EXPECT_TRUE(test::fileExists(results + "/" + file)) << file;
        EXPECT_NE(run.out.find("V(A) correlations"), std::string::npos);
        EXPECT_NE(run.out.find("Results in TRIAL-results/"), std::string::npos);
        // The engine's data file is the bundled example's, as minque-model reads it.
        test::TempDir chain;
        test::writeFile(chain.file("TRIAL.TXT"), test::readFile(results + "/TRIAL.TXT"));
        runChain(chain, "TRIAL", {"--lead", "4", "--ad", "Env,Fem,Male,Blk"}, "E", 4, 0);
        expectSameAsChain(results, chain, "TRIAL");
        EXPECT_EQ(test::readFile(results + "/TRIAL.MAT"), test::readFile(std::string(MINQUE_SOURCE_DIR) + "/examples/EXAMPLE.MAT"));
    }
}

// The jackknife's tables hold the bootstrap's estimates, every one, on the
// genetic scale; the reports keep their own weights. The spread of a
// component and of its correlation is the reports'.
TEST(FrontDoor, TheJackknifesTablesHoldTheBootstrapsEstimatesAndTheReportsSpread) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "out", "--effects"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    const auto run = minque(args, dir.path());
    ASSERT_EQ(run.exitCode, 0);
    args = {"analyse", "EX.TXT", "--out", "boot", "--effects", "--bootstrap", "20", "--env", "Env", "--female", "Fem",
            "--male", "Male", "--block", "Blk"};
    ASSERT_EQ(minque(args, dir.path()).exitCode, 0);
    // Every table's key and estimate columns, as printed (the bootstrap's
    // effects give each level's records after its name).
    for (const std::string table : {"variances", "covariances", "correlations", "heritability", "effects"}) {
        const auto jack = csvRows(test::readFile(dir.file("out/" + table + ".csv")));
        const auto boot = csvRows(test::readFile(dir.file("boot/" + table + ".csv")));
        ASSERT_EQ(jack.size(), boot.size()) << table;
        ASSERT_FALSE(jack.empty()) << table;
        const std::map<std::string, std::size_t> estimateColumn = {
            {"variances", 3}, {"covariances", 4}, {"correlations", 3}, {"heritability", 2}, {"effects", 3}};
        const std::size_t estimate = estimateColumn.at(table);
        for (std::size_t k = 0; k < jack.size(); ++k)
            for (std::size_t c = 0; c <= estimate; ++c)
                EXPECT_EQ(jack[k][c], boot[k][c + (table == "effects" && c == estimate)]) << table << " row " << k;
    }
    const auto covRows = reportRows(test::readFile(dir.file("out/EX.COV")));
    const auto varRows = reportRows(test::readFile(dir.file("out/EX.VAR")));
    const auto covariances = csvRows(test::readFile(dir.file("out/covariances.csv")));
    const auto correlations = csvRows(test::readFile(dir.file("out/correlations.csv")));
    const auto variances = csvRows(test::readFile(dir.file("out/variances.csv")));
    ASSERT_EQ(covariances.size() + correlations.size(), covRows.size());
    ASSERT_EQ(variances.size(), varRows.size());
    // 6 pairs x (5 components, 2 totals) covariances and as many correlations; 4 traits x 7 variances.
    ASSERT_EQ(covRows.size(), 6u * 14u);
    ASSERT_EQ(varRows.size(), 4u * 7u);
    auto near = [](const std::string& a, const std::string& b, double tolerance) {
        return std::fabs(std::stod(a) - std::stod(b)) <= tolerance;
    };
    // The largest component of each trait pair: the engine's single
    // precision is good to 1e-5 of it.
    std::map<std::string, double> largest;
    for (const auto* rows : {&variances, &covariances})
        for (const auto& row : *rows) {
            std::string pair = row[0];
            if (rows == &covariances) pair += "," + row[1];
            double& at = largest[pair];
            at = std::max(at, std::fabs(std::stod(row[rows == &covariances ? 4 : 3])));
        }
    // A component row is the report's times the genetic coefficient over the
    // report's weight (A 2 over 2, D 1 over 0.375 in the one-environment
    // diallel), its estimate to the engine's single precision.
    std::size_t c = 0, r = 0;
    for (const auto& row : covRows) {
        const bool correlation = row[1] == "Cor";
        const auto& csv = correlation ? correlations[r++] : covariances[c++];
        EXPECT_EQ(csv[2], row[0]);
        if (row[0] == "G+GE" || row[0] == "Phenotypic") continue;  // the reports' totals weigh the components their own way
        const double scale = correlation ? 1.0 : std::stod(csv[3]) / std::stod(row[6]);
        const std::size_t first = correlation ? 3 : 4;  // estimate column
        const double size = correlation ? 1.0 : largest.at(csv[0] + "," + csv[1]);
        EXPECT_TRUE(near(csv[first], std::to_string(scale * std::stod(row[2])), 1e-5 * size)) << csv[first] << " " << row[2];
        EXPECT_TRUE(near(csv[first + 1], std::to_string(scale * std::stod(row[3])), 1e-3 * std::stod(csv[first + 1])))
            << csv[first + 1] << " " << row[3];
    }
    for (std::size_t k = 0; k < varRows.size(); ++k) {
        const auto& row = varRows[k];
        EXPECT_EQ(variances[k][1], row[0]);
        if (row[0] == "G+GE" || row[0] == "Phenotypic") continue;
        const double scale = std::stod(variances[k][2]) / std::stod(row[6]);
        EXPECT_TRUE(near(variances[k][3], std::to_string(scale * std::stod(row[2])), 1e-5 * largest.at(variances[k][0])))
            << variances[k][3] << " " << row[2];
        EXPECT_TRUE(near(variances[k][4], std::to_string(scale * std::stod(row[3])), 1e-3 * std::stod(variances[k][4])))
            << variances[k][4] << " " << row[3];
    }
    // The correlation cut at -1 in the example is flagged.
    bool cutFlagged = false;
    for (const auto& row : correlations) cutFlagged = cutFlagged || (row[3] == "-1.000000" && row[7].find("cut") == 0);
    EXPECT_TRUE(cutFlagged);

    // The picture: well-formed, one panel per reported correlation and the totals.
    const std::string svg = test::readFile(dir.file("out/correlations.svg"));
    std::string why;
    EXPECT_TRUE(wellFormedXml(svg, &why)) << why;
    std::set<std::string> components;
    for (const auto& row : correlations) components.insert(row[2]);
    EXPECT_EQ(count(svg, "<g class=\"panel\""), static_cast<int>(components.size()));
    EXPECT_EQ(components.size(), 7u);  // V(A), V(D), V(AE), V(DE), V(e), G+GE, Phenotypic

    // The heritabilities: four of each trait of the two-environment diallel,
    // one console line per trait, a table and a chart on the page.
    const std::string heritability = test::readFile(dir.file("out/heritability.csv"));
    EXPECT_EQ(heritability.substr(0, heritability.find("\r\n")), "trait,quantity,estimate,se,p,mark,flag");
    const auto h = csvRows(heritability);
    ASSERT_EQ(h.size(), 16u);
    EXPECT_EQ((std::vector<std::string>{h[0][1], h[1][1], h[2][1], h[3][1]}),
              (std::vector<std::string>{"h2_narrow", "h2_broad", "h2_narrow_GE", "h2_GE"}));
    for (const char* trait : {"Yield", "Height", "GrainWt", "Heading"})
        EXPECT_TRUE(std::regex_search(run.out, std::regex(std::string("\n") + trait +
                                                          " +h2_narrow [0-9.]+ \\([0-9.]+\\) (NS|S\\+|S\\*|S\\*\\*)!?  h2_broad ")))
            << run.out;
    const std::string page = test::readFile(dir.file("out/summary.html"));
    EXPECT_NE(page.find("<table id=\"heritabilities\">"), std::string::npos);
    const std::size_t chart = page.find("<title>Heritabilities with one standard error either side</title>");
    ASSERT_NE(chart, std::string::npos);
    const std::string chartSvg = page.substr(page.rfind("<svg", chart), page.find("</svg>", chart) + 6 - page.rfind("<svg", chart));
    EXPECT_TRUE(wellFormedXml(chartSvg, &why)) << why;
    EXPECT_EQ(count(chartSvg, "<rect class=\"bar\""), 16);
}

TEST(FrontDoor, TheConsoleMatrixLinesUpItsHeadingsWithItsCells) {
    // A long name and a name in Chinese (each character two columns wide).
    std::string table = exampleTable();
    table.replace(table.find("Height"), 6, "\xe6\xa0\xaa\xe9\xab\x98");  // 株高
    table.replace(table.find("GrainWt"), 7, "GrainWeightPerPlot");
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), table);
    std::vector<std::string> args = {"analyse", "EX.TXT"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    const auto run = minque(args, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    // The matrix: the heading line, then one line per trait but the first.
    std::istringstream out(run.out.substr(run.out.find("correlations (estimate and mark")));
    std::string line;
    std::getline(out, line);
    std::getline(out, line);
    std::vector<std::string> lines;
    while (std::getline(out, line) && !line.empty()) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u);
    // The column where each field ends, a three-byte character counting two columns.
    auto fieldEnds = [](const std::string& text) {
        std::vector<int> ends;
        int column = 0;
        bool inField = false;
        for (std::size_t k = 0; k < text.size();) {
            const unsigned char c = static_cast<unsigned char>(text[k]);
            const int bytes = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
            const bool blank = c == ' ' && (k + 1 >= text.size() || text[k + 1] == ' ');
            if (!blank && !inField) inField = true;
            if (blank && inField) {
                ends.push_back(column);
                inField = false;
            }
            column += bytes == 3 ? 2 : 1;
            k += static_cast<std::size_t>(bytes);
        }
        if (inField) ends.push_back(column);
        return ends;
    };
    const std::vector<int> headings = fieldEnds(lines[0]);
    ASSERT_EQ(headings.size(), 3u) << lines[0];
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<int> ends = fieldEnds(lines[i]);
        ASSERT_EQ(ends.size(), i + 1) << lines[i];  // the row's name, then i cells
        for (std::size_t j = 0; j < i; ++j) EXPECT_EQ(ends[j + 1], headings[j]) << lines[0] << "\n" << lines[i];
    }
}

TEST(FrontDoor, EffectsOnRequestInTheirTableAndOnThePage) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "out", "--effects"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    const auto run = minque(args, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string effects = test::readFile(dir.file("out/effects.csv"));
    EXPECT_EQ(effects.substr(0, effects.find("\r\n")), "trait,term,level,effect,se,p,mark,flag");
    // 4 traits x (6 parents, 21 entries, 12 parent-environments, 42 entry-environments, 4 blocks).
    EXPECT_EQ(csvRows(effects).size(), 4u * 85u);
    const std::string page = test::readFile(dir.file("out/summary.html"));
    const std::size_t table = page.find("<table id=\"additive-effects\">");
    ASSERT_NE(table, std::string::npos);
    EXPECT_EQ(count(page.substr(table, page.find("</table>", table) - table), "<tr"), 7);  // heading and 6 parents
    EXPECT_NE(page.find("<table id=\"crosses\">"), std::string::npos);
    // Not with covariance components between factors, before any work.
    args.push_back("--covariances");
    args[3] = "refused";
    const auto refused = minque(args, dir.path());
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("--effects cannot be combined with --covariances"), std::string::npos) << refused.err;
    EXPECT_FALSE(test::fileExists(dir.file("refused")));
}

TEST(FrontDoor, BootstrapTablesAreTheSameInEveryBuildAndOnAnyThreadCount) {
    // The seed fixes every draw: the tables are those the build that added
    // the bootstrap wrote, in the normal, host-only and sanitizer builds
    // alike, with one worker thread or two.
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    const std::string expected = std::string(MINQUE_SOURCE_DIR) + "/tests/data/bootstrap/example_";
    for (const char* threads : {"1", "2"}) {
        const std::vector<std::string> args = {"analyse", "EX.TXT", "--out", std::string("out") + threads, "--env", "Env",
                                               "--female", "Fem", "--male", "Male", "--block", "Blk", "--bootstrap", "100",
                                               "--seed", "7", "--threads", threads};
        const auto run = minque(args, dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        for (const char* table : {"correlations", "heritability"})
            EXPECT_EQ(test::readFile(dir.file(std::string("out") + threads + "/" + table + ".csv")),
                      test::readFile(expected + table + ".csv"))
                << table << " with " << threads << " threads";
        // The block's matrix over the traits was adjusted, though the tables
        // leave the block out: said, with its smallest eigenvalue.
        EXPECT_NE(run.err.find("V(B): its variance and covariance matrix over the traits has negative eigenvalues (the "
                               "smallest -0.162); the bootstrap drew its samples with them set to 0"),
                  std::string::npos)
            << run.err;
        // The reports and the variance records are the jackknife's.
        EXPECT_FALSE(test::fileExists(dir.file(std::string("out") + threads + "/EX.COV")));
        EXPECT_FALSE(test::fileExists(dir.file(std::string("out") + threads + "/MATWRN.var")));
    }
}

// Off a terminal the progress is a line each time a tenth of the samples is
// passed, whatever the blocks the samples go in (100 samples on one or two
// worker threads: 1,500 samples' tenths fall inside blocks).
TEST(FrontDoor, TheProgressSaysEachTenthOfTheSamples) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    for (const char* threads : {"1", "2"}) {
        const auto run = minque({"analyse", "EX.TXT", "--out", std::string("out") + threads, "--env", "Env", "--female", "Fem",
                                 "--male", "Male", "--block", "Blk", "--bootstrap", "1500", "--threads", threads},
                                dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        std::string said;
        for (std::size_t at = run.err.find("bootstrap: sample "); at != std::string::npos;
             at = run.err.find("bootstrap: sample ", at + 1))
            said += run.err.substr(at + 18, run.err.find(',', at) - at - 18) + ";";
        EXPECT_EQ(said, "200 / 1500;300 / 1500;500 / 1500;600 / 1500;800 / 1500;900 / 1500;1100 / 1500;1200 / 1500;"
                        "1400 / 1500;1500 / 1500;")
            << threads << " threads";
    }
}

// A general model with covariance components between factors (A with C, B
// with D), in Chinese; and `minque summary` on those reports and on English
// ones, which must give the same tables.
TEST(FrontDoor, CovarianceComponentsInChineseAndSummaryOfEitherLanguage) {
    test::TempDir dir;
    std::string table = "A,B,C,D,T1,T2,T3\n";
    unsigned state = 7;
    auto next = [&state] { return (state = state * 1103515245u + 12345u) >> 8; };
    for (int m = 0; m < 48; ++m) {
        table += std::to_string(1 + m % 4) + "," + std::to_string(1 + (m / 4) % 3) + "," + std::to_string(1 + (m / 3) % 4) +
                 "," + std::to_string(1 + (m / 2) % 3);
        for (int t = 0; t < 3; ++t) {
            table += ',';
            table += std::to_string(10.0 + (next() % 1000) / 100.0);
        }
        table += "\n";
    }
    test::writeFile(dir.file("G.csv"), table);
    const auto run = minque({"analyse", "G.csv", "--random", "A,B,C,D", "--covariances", "--lang", "zh", "--se", "jackknife", "--group", "4"},
                            dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string results = dir.file("G-results");
    EXPECT_NE(test::readFile(results + "/G.COV").find("协方差和相关分析结果"), std::string::npos);
    EXPECT_NE(test::readFile(results + "/covariances.csv").find("C(1,3)"), std::string::npos);
    test::TempDir chain;
    test::writeFile(chain.file("G.TXT"), test::readFile(results + "/G.TXT"));
    runChain(chain, "G", {"--lead", "4", "--random", "A,B,C,D", "--covariances"}, "C", 4, 1);
    expectSameAsChain(results, chain, "G");

    // summary of the Chinese reports, and of English reports of the same analysis.
    ASSERT_EQ(minque({"summary", results + "/G.COV", results + "/G.VAR", "--out", "zh"}, dir.path()).exitCode, 0);
    test::TempDir english;
    test::writeFile(english.file("G.TXT"), test::readFile(results + "/G.TXT"));
    runChain(english, "G", {"--lead", "4", "--random", "A,B,C,D", "--covariances"}, "E", 4, 1);
    ASSERT_EQ(minque({"summary", english.file("G.COV"), english.file("G.VAR"), "--out", "en"}, dir.path()).exitCode, 0);
    // The analysis gives the components on the genetic scale (V(A) weight 1);
    // the reports, and so their summary, keep their positional weights (2).
    EXPECT_NE(test::readFile(results + "/variances.csv").find("T1,V(A),1,-0.243704,0.806174,0.768,NS,negative;few_levels\r"),
              std::string::npos);
    EXPECT_NE(test::readFile(dir.file("zh/variances.csv")).find("T1,V(A),2,-0.487392,1.6123,0.768,NS,negative\r"),
              std::string::npos);
    // A correlation the data do not define is NA, its flag beside it, never 0 (the report keeps its 0).
    EXPECT_NE(test::readFile(results + "/correlations.csv").find("T1,T2,V(A),NA,NA,NA,,undefined"), std::string::npos);
    EXPECT_EQ(test::readFile(results + "/correlations.csv").find(",0.000000,0,1,NS,undefined"), std::string::npos);
    for (const char* file : {"variances.csv", "covariances.csv", "correlations.csv", "correlations.svg"})
        EXPECT_EQ(test::readFile(dir.file(std::string("zh/") + file)), test::readFile(dir.file(std::string("en/") + file))) << file;
}

TEST(FrontDoor, RefusalsNameTheFileOptionOrColumnAndLeaveNothingBehind) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::string missing = exampleTable();
    missing.replace(missing.find('\n', missing.find('\n') + 1) + 1, 0, "1 1 1 1 NA 100 40 80\n");  // line 3
    test::writeFile(dir.file("MISS.TXT"), missing);
    std::filesystem::create_directories(dir.file("busy"));
    test::writeFile(dir.file("busy/keep.txt"), "mine");
    ASSERT_EQ(mkfifo(dir.file("PIPE.TXT").c_str(), 0600), 0);  // no writer: opening it would wait for ever
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    auto with = [](std::vector<std::string> a) {
        a.insert(a.end(), std::begin(kExampleModel), std::end(kExampleModel));
        return a;
    };
    const Case cases[] = {
        {with({"analyse", "MISS.TXT"}), 1, "MISS.TXT: line 3, column Yield: the value is missing ('NA')"},
        {with({"analyse", "EX.TXT", "--out", "busy"}), 1, "--out: the folder busy is not empty; give --replace"},
        {with({"analyse", "NONE.TXT"}), 1, "NONE.TXT: cannot be opened"},
        {with({"analyse", "PIPE.TXT"}), 1, "PIPE.TXT: is a FIFO (named pipe), not a regular file"},
        {{"summary", "PIPE.TXT"}, 1, "PIPE.TXT: is a FIFO (named pipe), not a regular file"},
        {with({"analyse", "busy"}), 1, "busy: is a folder, not a regular file"},
        {{"analyse", "EX.TXT", "--female", "Fem", "--male", "Dad", "--se", "jackknife", "--group", "4"}, 1,
         "EX.TXT: there is no column 'Dad'"},
        {with({"analyse", "EX.TXT", "--traits", "Yield,Colour"}), 1, "there is no column 'Colour' (a trait)"},
        {{"analyse", "EX.TXT", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--se", "jackknife", "--group", "50"}, 1,
         "84 complete rows in groups of 50 give 1 jackknife replicates"},
        {{"analyse", "EX.TXT", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--se", "jackknife"}, 2,
         "--group is required with --se jackknife"},
        {with({"analyse", "EX.TXT", "--seed", "-1"}), 2, "the seed must be a whole number from 0 to 18446744073709551615, not '-1'"},
        {with({"analyse", "EX.TXT", "--seed", "18446744073709551616"}), 2, "not '18446744073709551616'"},
        // Said before the refusal of the group size.
        {{"analyse", "EX.TXT", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--se", "jackknife", "--group", "50", "--seed", "3"}, 1,
         "--seed is not used: it belongs to the bootstrap"},
        {with({"analyse", "EX.TXT", "--lang", "fr"}), 2, "--lang"},
        {{"summary", "EX.TXT"}, 1, "EX.TXT: no trait-pair block found"},
    };
    for (const Case& c : cases) {
        const auto run = minque(c.args, dir.path());
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args[1] << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(test::readFile(dir.file("busy/keep.txt")), "mine");
    EXPECT_FALSE(test::fileExists(dir.file("MISS-results")));
    EXPECT_FALSE(test::fileExists(dir.file("EX-results")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().find(".partial-"), std::string::npos) << entry.path();

    // A group size that leaves rows over is said: they are in every replicate.
    const auto leftOver = minque({"analyse", "EX.TXT", "--env", "Env", "--female", "Fem", "--male", "Male", "--block", "Blk", "--se", "jackknife",
                                  "--group", "5", "--out", "J5"},
                                 dir.path());
    EXPECT_EQ(leftOver.exitCode, 0) << leftOver.err;
    EXPECT_NE(leftOver.err.find("EX.TXT: 84 complete rows in groups of 5 give 16 jackknife replicates; the last 4 rows "
                                "are in every replicate"),
              std::string::npos)
        << leftOver.err;
    // ... and that a diallel's rows share parents across the groups, once.
    const std::string shared = "EX.TXT: rows share levels of the parents (Fem, Male) across the jackknife's groups: its "
                               "S.E.s of the genetic components and their correlations are known to be 5 to 25 times too small";
    EXPECT_NE(leftOver.err.find(shared), std::string::npos) << leftOver.err;
    EXPECT_EQ(leftOver.err.find(shared), leftOver.err.rfind(shared));

    // A column of a few repeated whole numbers the model does not name is
    // not taken for a trait unasked; listed, it is one.
    const auto designLike = minque({"analyse", "EX.TXT", "--female", "Fem", "--male", "Male", "--bootstrap", "20", "--out",
                                    "NOENV"},
                                   dir.path());
    EXPECT_EQ(designLike.exitCode, 1) << designLike.err;
    EXPECT_NE(designLike.err.find("EX.TXT: the column 'Env' is not named in the model, and it holds only the whole numbers "
                                  "1..2 (2 values), each on several rows, as a design column does: name it in the model "
                                  "to use it as a design column, or list the traits with --traits"),
              std::string::npos)
        << designLike.err;
    EXPECT_FALSE(test::fileExists(dir.file("NOENV")));
    const auto listed = minque({"analyse", "EX.TXT", "--female", "Fem", "--male", "Male", "--bootstrap", "20", "--out",
                                "LISTED", "--traits", "Yield,Blk"},
                               dir.path());
    EXPECT_EQ(listed.exitCode, 0) << listed.err;

    // Dropped on request, and said so.
    const auto dropped = minque(with({"analyse", "MISS.TXT", "--drop-incomplete"}), dir.path());
    EXPECT_EQ(dropped.exitCode, 0) << dropped.err;
    EXPECT_NE(dropped.err.find("dropped 1 of 85 rows with a missing value (lines 3)"), std::string::npos) << dropped.err;
    // A damaged report: the file and the line.
    std::string report = test::readFile(dir.file("MISS-results/MISS.COV"));
    report.resize(report.find("V(D) Cov") + 12);
    test::writeFile(dir.file("CUT.COV"), report);
    const auto damaged = minque({"summary", "CUT.COV"}, dir.path());
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_TRUE(std::regex_search(damaged.err, std::regex("CUT.COV: line [0-9]+: not a covariance row"))) << damaged.err;
    // Cut at a block's start, it reads as a whole report of fewer traits.
    report = test::readFile(dir.file("MISS-results/MISS.COV"));
    report.resize(report.find(" Covariances and Correlations Between, Yield &, Heading"));
    test::writeFile(dir.file("SHORT.COV"), report);
    const auto shorter = minque({"summary", "SHORT.COV"}, dir.path());
    EXPECT_EQ(shorter.exitCode, 1);
    EXPECT_NE(shorter.err.find("SHORT.COV: the header names 4 traits, but the blocks cover 3 traits in 2 blocks of the 6 "
                               "expected: the report ends early (the trait after GrainWt is missing)"),
              std::string::npos)
        << shorter.err;
    report = test::readFile(dir.file("MISS-results/MISS.COV"));
    report.replace(report.find("Traits =, 4"), 11, "Traits =, 1e12");
    test::writeFile(dir.file("MANY.COV"), report);
    const auto many = minque({"summary", "MANY.COV"}, dir.path());
    EXPECT_EQ(many.exitCode, 1);
    EXPECT_NE(many.err.find("MANY.COV: the header names '1e12' traits, not a count of traits"), std::string::npos) << many.err;
}

TEST(FrontDoor, HelpAndVersionAnswerWithExitZero) {
    test::TempDir dir;
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"analyse", "--help"}, {"summary", "--help"}}) {
        const auto run = minque(args, dir.path());
        EXPECT_EQ(run.exitCode, 0);
        EXPECT_NE(run.out.find("Example:"), std::string::npos);
        EXPECT_NE(run.out.find("docs/guide.md"), std::string::npos);
    }
    EXPECT_NE(minque({"analyse", "--help"}, dir.path()).out.find("--drop-incomplete"), std::string::npos);
    const auto version = minque({"--version"}, dir.path());
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("minque ", 0), 0u);
}

// The page in a real browser: it loads without console errors and its
// tables hold the rows of the CSV tables.
TEST(FrontDoor, SummaryPageLoadsInABrowserWithItsTables) {
    const std::string browser = headlessChromium();
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium installed (chromium-headless-shell); .ci/run installs it";
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::vector<std::string> args = {"analyse", "EX.TXT"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    ASSERT_EQ(minque(args, dir.path()).exitCode, 0);
    const std::string page = dir.file("EX-results/summary.html");
    const auto run = test::runProcess(browser,
                                      {"--no-sandbox", "--disable-gpu", "--enable-logging=stderr", "--v=0",
                                       "--user-data-dir=" + dir.file("profile"), "--dump-dom", "file://" + page},
                                      dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.err.find(":CONSOLE("), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("<table id=\"correlations\">"), std::string::npos);
    const auto dom = run.out;
    auto rowsOf = [&dom](const std::string& id) {
        const std::size_t start = dom.find("<table id=\"" + id + "\">");
        const std::size_t end = dom.find("</table>", start);
        return count(dom.substr(start, end - start), "<tr") - 1;  // less the header row
    };
    EXPECT_EQ(rowsOf("correlations"), static_cast<int>(csvRows(test::readFile(dir.file("EX-results/correlations.csv"))).size()));
    EXPECT_EQ(rowsOf("covariances"), static_cast<int>(csvRows(test::readFile(dir.file("EX-results/covariances.csv"))).size()));
    EXPECT_EQ(rowsOf("variances"), static_cast<int>(csvRows(test::readFile(dir.file("EX-results/variances.csv"))).size()));
    EXPECT_NE(dom.find("&lt; 1e-10"), std::string::npos);  // P values at the floor
    // The design heads the settings, and the six parents' flag is explained.
    EXPECT_NE(dom.find("<dt>Design</dt><dd>84 observations; 6 parents, 15 crosses, 6 selfs, no reciprocals; 2 "
                       "environments; 4 blocks</dd>"),
              std::string::npos);
    EXPECT_NE(dom.find("<dt>few_levels</dt><dd>a component whose term has fewer than 8 levels"), std::string::npos);
    EXPECT_NE(dom.find("few_levels</td>"), std::string::npos);
}

TEST(FrontDoor, TheHeatmapPanelsOfTenTraitsWrapToAWindow1280PixelsWide) {
    const std::string browser = headlessChromium();
    if (browser.empty()) GTEST_SKIP() << "no headless Chromium installed (chromium-headless-shell); .ci/run installs it";
    // The example with six more traits, each a blend of two of its four.
    std::istringstream in(exampleTable());
    std::string line, table;
    std::getline(in, line);
    table = line + " Extra1 Extra2 Extra3 Extra4 Extra5 Extra6\n";
    unsigned state = 11;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::vector<double> v(8);
        for (double& x : v) fields >> x;
        table += line;
        for (int k = 0; k < 6; ++k) {
            state = state * 1103515245u + 12345u;
            table += ' ';
            table += std::to_string(v[4 + k % 4] + 0.5 * v[4 + (k + 1) % 4] + (state >> 16) % 100 / 50.0);
        }
        table += "\n";
    }
    test::TempDir dir;
    test::writeFile(dir.file("TEN.TXT"), table);
    std::vector<std::string> args = {"analyse", "TEN.TXT"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    const auto analysed = minque(args, dir.path());
    ASSERT_EQ(analysed.exitCode, 0) << analysed.err;
    // The page with a script that writes into the title the document's
    // width, the window's, and how many blocks scroll sideways inside it.
    std::string page = test::readFile(dir.file("TEN-results/summary.html"));
    page.insert(page.find("</body>"),
                "<script>let inner = 0; for (const e of document.querySelectorAll('div, table')) "
                "if (e.scrollWidth > e.clientWidth + 1) ++inner; document.title = "
                "document.documentElement.scrollWidth + ' ' + window.innerWidth + ' ' + inner;</script>\n");
    test::writeFile(dir.file("measured.html"), page);
    const auto run = test::runProcess(browser,
                                      {"--no-sandbox", "--disable-gpu", "--window-size=1280,900",
                                       "--user-data-dir=" + dir.file("profile"), "--dump-dom",
                                       "file://" + dir.file("measured.html")},
                                      dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::size_t title = run.out.find("<title>");
    ASSERT_NE(title, std::string::npos);
    std::istringstream widths(run.out.substr(title + 7));
    int scrollWidth = 0, windowWidth = 0, scrollingBlocks = -1;
    widths >> scrollWidth >> windowWidth >> scrollingBlocks;
    EXPECT_EQ(windowWidth, 1280);
    EXPECT_LE(scrollWidth, windowWidth) << "the page scrolls sideways";
    EXPECT_EQ(scrollingBlocks, 0) << "a block of the page scrolls sideways";
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

// The (label, weight) of every component covariance row of a report's first block.
std::vector<std::pair<std::string, std::string>> reportedWeights(const std::string& report) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string first = report.substr(0, report.find("Between", report.find("Between") + 1));
    const std::regex row("\n(V\\([^)]*\\)) Cov, [^,]+, [^,]+, [^,]+, /([^,]+),");
    for (auto it = std::sregex_iterator(first.begin(), first.end(), row); it != std::sregex_iterator(); ++it)
        out.emplace_back((*it)[1], (*it)[2]);
    return out;
}

// The example's rows of environment 1 (a trial in one environment).
std::string oneEnvironment() {
    std::istringstream in(exampleTable());
    std::string line, out;
    std::getline(in, line);
    out = line + "\n";
    while (std::getline(in, line))
        if (line.rfind("1 ", 0) == 0) out += line + "\n";
    return out;
}

TEST(FrontDoor, EveryModelShapeRunsToTheEndWithTheWeightsTheGuideDocuments) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    test::writeFile(dir.file("ONE.TXT"), oneEnvironment());
    using Weights = std::vector<std::pair<std::string, std::string>>;
    struct Shape {
        const char* name;
        std::vector<std::string> args;
        Weights weights;
    };
    const Shape shapes[] = {
        {"two environments", {"analyse", "EX.TXT", "--out", "two", "--env", "Env", "--female", "Fem", "--male", "Male",
                              "--block", "Blk", "--se", "jackknife", "--group", "4", "--traits", "Yield,Height"},
         {{"V(A)", "2"}, {"V(D)", "1"}, {"V(AE)", "2"}, {"V(DE)", "1"}, {"V(e)", "1"}}},
        // Without --env: a trial in one environment.
        {"one environment", {"analyse", "ONE.TXT", "--out", "one", "--female", "Fem", "--male", "Male", "--se", "jackknife", "--group", "3",
                             "--traits", "Yield,Height"},
         {{"V(A)", "2"}, {"V(D)", "0.375"}, {"V(e)", "2"}}},
        {"one factor", {"analyse", "EX.TXT", "--out", "gen1", "--random", "Fem", "--se", "jackknife", "--group", "4", "--traits", "Yield,Height"},
         {{"V(Fem)", "2"}, {"V(e)", "0.375"}}},
        {"two factors", {"analyse", "EX.TXT", "--out", "gen2", "--random", "Fem,Male", "--fixed", "1", "--se", "jackknife", "--group", "4",
                         "--traits", "Yield,Height"},
         {{"V(Fem)", "2"}, {"V(Male)", "0.375"}, {"V(e)", "2"}}},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const auto run = minque(shape.args, dir.path());
        ASSERT_EQ(run.exitCode, 0) << run.err;
        const std::string out = dir.file(shape.args[3]);
        const std::string name = out + "/" + shape.args[1].substr(0, shape.args[1].find('.'));
        EXPECT_EQ(reportedWeights(test::readFile(name + ".COV")), shape.weights);
        EXPECT_EQ(reportedWeights(test::readFile(name + ".VAR")), shape.weights);
        // --traits: the tables hold these traits and no other.
        for (const auto& row : csvRows(test::readFile(out + "/covariances.csv")))
            EXPECT_TRUE(row[0] == "Yield" && row[1] == "Height") << row[0] << " & " << row[1];
    }

    // A trailing block: estimated, not reported; --fixed takes the environment.
    const auto trailing = minque({"analyse", "EX.TXT", "--out", "trail", "--random", "Fem,Male,Blk", "--trailing", "1",
                                  "--fixed", "1,Env", "--se", "jackknife", "--group", "4", "--traits", "Yield,Height"},
                                 dir.path());
    ASSERT_EQ(trailing.exitCode, 0) << trailing.err;
    const std::string report = test::readFile(dir.file("trail/EX.COV"));
    EXPECT_EQ(report.find("V(Blk)"), std::string::npos);
    EXPECT_EQ(count(report.substr(0, report.find(" Cov <")), " Cov, "), 3) << report;
    EXPECT_NE(test::readFile(dir.file("trail/EX.MAT")), test::readFile(dir.file("gen2/EX.MAT")));
}

TEST(FrontDoor, RunRecordAndConsoleMatrixHoldWhatTheRunDid) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::vector<std::string> args = {"analyse", "EX.TXT", "--out", "out", "--threads", "1", "--cpu"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    const auto run = minque(args, dir.path());
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string log = test::readFile(dir.file("out/run.txt"));
    std::string command = MINQUE_FRONT_DOOR_PATH;
    for (const std::string& a : args) command += " " + a;
    const std::string version = minque({"--version"}, dir.path()).out;
    EXPECT_TRUE(std::regex_match(log, std::regex("command: " + std::regex_replace(command, std::regex(R"([.+()\[\]\\])"), R"(\$&)") +
                                                 "\nversion: " + version.substr(version.find(' ') + 1, version.find('\n') - version.find(' ') - 1) +
                                                 "\ndate: 20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8}\n"
                                                 "vector path: (AVX-512|AVX2|plain x86-64)\nworker threads: 1\n"
                                                 "design: 84 observations; 6 parents, 15 crosses, 6 selfs, no "
                                                 "reciprocals; 2 environments; 4 blocks\n")))
        << log;

    // Every cell of the console's V(A) matrix is the table's estimate to two
    // decimals, its mark, and ! when flagged.
    std::map<std::pair<std::string, std::string>, std::string> cells;
    for (const auto& row : csvRows(test::readFile(dir.file("out/correlations.csv")))) {
        if (row[2] != "V(A)") continue;
        char cell[64];
        std::snprintf(cell, sizeof cell, "%.2f %s%s", std::stod(row[3]), row[6].c_str(), row[7].empty() ? "" : "!");
        cells[{row[1], row[0]}] = cell;
    }
    ASSERT_EQ(cells.size(), 6u);
    std::istringstream out(run.out.substr(run.out.find("V(A) correlations")));
    std::string line;
    std::getline(out, line);
    std::getline(out, line);
    std::getline(out, line);  // the heading
    std::vector<std::string> columns;
    std::istringstream heading(line);
    for (std::string name; heading >> name;) columns.push_back(name);
    int seen = 0;
    while (std::getline(out, line) && !line.empty()) {
        std::istringstream fields(line);
        std::string name, estimate, mark;
        fields >> name;
        for (std::size_t c = 0; fields >> estimate >> mark; ++c) {
            ASSERT_LT(c, columns.size()) << line;
            const std::pair<std::string, std::string> key(name, columns[c]);
            EXPECT_EQ(estimate + " " + mark, cells[key]) << name << " & " << columns[c];
            ++seen;
        }
    }
    EXPECT_EQ(seen, 6);

    // --replace: the run's files are replaced, other files kept.
    test::writeFile(dir.file("out/notes.txt"), "mine");
    args.push_back("--replace");
    args.push_back("--traits");
    args.push_back("Yield,Heading");
    const auto again = minque(args, dir.path());
    ASSERT_EQ(again.exitCode, 0) << again.err;
    EXPECT_EQ(test::readFile(dir.file("out/notes.txt")), "mine");
    EXPECT_NE(test::readFile(dir.file("out/run.txt")).find("--traits Yield,Heading"), std::string::npos);
    const auto rows = csvRows(test::readFile(dir.file("out/covariances.csv")));
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) EXPECT_TRUE(row[0] == "Yield" && row[1] == "Heading");
}

}  // namespace
}  // namespace minque

namespace minque {
namespace {

TEST(FrontDoor, ARunThatFailsPartWayPublishesNothingAndRemovesItsWorkingFolder) {
    test::TempDir dir;
    test::writeFile(dir.file("EX.TXT"), exampleTable());
    std::vector<std::string> args = {"analyse", "EX.TXT"};
    args.insert(args.end(), std::begin(kExampleModel), std::end(kExampleModel));
    // A disk that fills after 20 kB: the input files fit, the engine's
    // records of the first pass do not.
    const auto run = test::runProcess(MINQUE_FRONT_DOOR_PATH, args, dir.path(), "", 20000);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("could not be written"), std::string::npos) << run.err;
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{"EX.TXT"});
    EXPECT_EQ(test::readFile(dir.file("EX.TXT")), exampleTable());
}

}  // namespace
}  // namespace minque
