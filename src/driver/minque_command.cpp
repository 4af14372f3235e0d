#include "driver/minque_command.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "core/analysis_state.hpp"
#include "core/fatal_error.hpp"
#include "driver/run_driver.hpp"
#include "io/model_writer.hpp"
#include "linalg/vector_path.hpp"
#include "linalg/worker_pool.hpp"
#include "report/result_pages.hpp"
#include "report/result_tables.hpp"

#ifndef MINQUE_VERSION
#define MINQUE_VERSION "unknown"
#endif

namespace minque {

namespace fs = std::filesystem;

namespace {

// The breeder's guide, linked from the page: where the sources were built.
#ifdef MINQUE_GUIDE_PATH
constexpr const char* kGuide = "file://" MINQUE_GUIDE_PATH;
#else
constexpr const char* kGuide = "docs/guide.md";
#endif

// ---- Coding the trial table ------------------------------------------------

bool parseNumber(const std::string& text, double* value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0') return false;
    *value = v;
    return true;
}

// Levels of a set of codes: ascending, numeric order when every code is a
// number (then "2" < "10"), else byte order.
std::map<std::string, int> levelsOf(const std::set<std::string>& codes) {
    bool numeric = true;
    std::vector<std::pair<double, std::string>> byNumber;
    for (const auto& c : codes) {
        double v = 0.0;
        if (!parseNumber(c, &v) || !std::isfinite(v)) {
            numeric = false;
            break;
        }
        byNumber.emplace_back(v, c);
    }
    std::vector<std::string> order;
    if (numeric) {
        std::sort(byNumber.begin(), byNumber.end());
        for (const auto& [v, c] : byNumber) order.push_back(c);
    } else {
        order.assign(codes.begin(), codes.end());
    }
    std::map<std::string, int> levels;
    int next = 0;
    for (const auto& c : order) levels[c] = ++next;
    return levels;
}

}  // namespace

CodedTrial codeTrial(const TrialTable& table, const TrialDesign& request) {
    const std::string& file = table.fileName;
    std::vector<int> designColumns, traitColumns;
    auto columnOf = [&](const std::string& name, const char* role) {
        const int c = table.column(name);
        if (c < 0) {
            std::string known;
            for (const auto& n : table.names) known += (known.empty() ? "" : ", ") + n;
            stopRun("%s: there is no column '%s' (%s); the columns are: %s", file.c_str(), name.c_str(), role,
                    known.c_str());
        }
        return c;
    };
    auto checkName = [&](const std::string& name, std::size_t limit, const char* role) {
        if (name.size() > limit)
            stopRun("%s: the %s name '%s' has %zu characters; the engine's files hold at most %zu", file.c_str(), role,
                    name.c_str(), name.size(), limit);
        if (name.find_first_of(" \t,\"") != std::string::npos)
            stopRun("%s: the %s name '%s' holds a space, comma or quote, which the engine's files cannot; rename the "
                    "column (for example with '_' for the spaces)",
                    file.c_str(), role, name.c_str());
    };
    for (const auto& name : request.design) {
        designColumns.push_back(columnOf(name, "a design column"));
        checkName(name, kLeadWordLength, "design column");
    }
    for (const auto& name : request.traits) {
        const int c = columnOf(name, "a trait");
        if (std::find(designColumns.begin(), designColumns.end(), c) != designColumns.end())
            stopRun("%s: the column '%s' is named both as a design column and as a trait", file.c_str(), name.c_str());
        traitColumns.push_back(c);
        checkName(name, kTraitNameLength, "trait");
    }
    if (traitColumns.empty()) stopRun("%s: no trait columns: every column is a design column", file.c_str());
    if (traitColumns.size() > static_cast<std::size_t>(kMaxTraits))
        stopRun("%s: %zu traits; an analysis holds at most %d", file.c_str(), traitColumns.size(), kMaxTraits);

    CodedTrial coded;
    std::vector<std::size_t> kept;
    for (std::size_t r = 0; r < table.rows.size(); ++r) {
        const auto& row = table.rows[r];
        const int line = table.lineOfRow[r];
        bool missing = false;
        for (int c : designColumns)
            if (isMissingValue(row[static_cast<std::size_t>(c)])) {
                if (!request.dropIncomplete)
                    stopRun("%s: line %d, column %s: the design code is missing ('%s'); give --drop-incomplete to "
                            "drop the rows with a missing value",
                            file.c_str(), line, table.names[static_cast<std::size_t>(c)].c_str(),
                            row[static_cast<std::size_t>(c)].c_str());
                missing = true;
            }
        for (int c : traitColumns) {
            const std::string& field = row[static_cast<std::size_t>(c)];
            const char* name = table.names[static_cast<std::size_t>(c)].c_str();
            if (isMissingValue(field)) {
                if (!request.dropIncomplete)
                    stopRun("%s: line %d, column %s: the value is missing ('%s'); give --drop-incomplete to drop the "
                            "rows with a missing value",
                            file.c_str(), line, name, field.c_str());
                missing = true;
                continue;
            }
            double v = 0.0;
            if (!parseNumber(field, &v))
                stopRun("%s: line %d, column %s: '%s' is not a number", file.c_str(), line, name, field.c_str());
            if (!std::isfinite(v) || !std::isfinite(static_cast<float>(v)))
                stopRun("%s: line %d, column %s: '%s' is not a finite number in single precision", file.c_str(), line,
                        name, field.c_str());
        }
        if (missing)
            coded.droppedLines.push_back(line);
        else
            kept.push_back(r);
    }

    // Levels: each column its own coding, the shared groups one coding each.
    std::vector<std::map<std::string, int>> levels(designColumns.size());
    std::vector<bool> done(designColumns.size(), false);
    auto indexOf = [&](const std::string& name) {
        for (std::size_t k = 0; k < request.design.size(); ++k)
            if (request.design[k] == name) return k;
        return request.design.size();
    };
    auto code = [&](const std::vector<std::size_t>& members) {
        std::set<std::string> codes;
        for (std::size_t k : members)
            for (std::size_t r : kept) codes.insert(table.rows[r][static_cast<std::size_t>(designColumns[k])]);
        const auto map = levelsOf(codes);
        for (std::size_t k : members) {
            levels[k] = map;
            done[k] = true;
        }
    };
    for (const auto& group : request.shared) {
        std::vector<std::size_t> members;
        for (const auto& name : group)
            if (indexOf(name) < request.design.size()) members.push_back(indexOf(name));
        if (!members.empty()) code(members);
    }
    for (std::size_t k = 0; k < designColumns.size(); ++k)
        if (!done[k]) code({k});

    coded.data.leadNames = request.design;
    coded.data.traitNames = request.traits;
    for (std::size_t r : kept) {
        const auto& row = table.rows[r];
        std::vector<int> lead;
        for (std::size_t k = 0; k < designColumns.size(); ++k)
            lead.push_back(levels[k].at(row[static_cast<std::size_t>(designColumns[k])]));
        coded.data.lead.push_back(lead);
        std::vector<float> values;
        for (int c : traitColumns) values.push_back(std::strtof(row[static_cast<std::size_t>(c)].c_str(), nullptr));
        coded.values.push_back(values);
    }
    return coded;
}

namespace {

// ---- Files of a run ----------------------------------------------------------

std::string stemOf(const std::string& path) { return fs::path(path).stem().string(); }

void writeText(const fs::path& path, const std::string& text) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) stopRun("%s: cannot be created (%s)", path.c_str(), std::strerror(errno));
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) stopRun("%s: could not be written (%s)", path.c_str(), std::strerror(errno));
}

// The folder a run fills: everything is written into a staging folder beside
// the output folder and moved into it only when complete; a run that ends
// early (every failure ends the process) leaves nothing behind.
fs::path stagingFolder;

void removeStagingFolder() {
    if (stagingFolder.empty()) return;
    std::error_code ignored;
    fs::remove_all(stagingFolder, ignored);
    stagingFolder.clear();
}

fs::path makeStagingFolder(const fs::path& out) {
    const fs::path parent = out.has_parent_path() ? out.parent_path() : fs::path(".");
    std::error_code error;
    fs::create_directories(parent, error);
    if (error) stopRun("%s: the folder could not be created (%s)", parent.c_str(), error.message().c_str());
    std::string pattern = (parent / ("." + out.filename().string() + ".partial-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr)
        stopRun("%s: a working folder could not be created beside it (%s)", out.c_str(), std::strerror(errno));
    stagingFolder = fs::absolute(fs::path(buffer.data()));
    static const bool registered = [] { return std::atexit(removeStagingFolder) == 0; }();
    (void)registered;
    return stagingFolder;
}

// Refuses an output folder that exists and holds files, unless `replace`.
void checkOutputFolder(const fs::path& out, bool replace, const char* option) {
    std::error_code error;
    if (!fs::exists(out, error)) return;
    if (!fs::is_directory(out, error)) stopRun("%s: %s exists and is not a folder", option, out.c_str());
    if (!replace && !fs::is_empty(out, error))
        stopRun("%s: the folder %s is not empty; give --replace to overwrite the files of an earlier run, or another "
                "folder with --out",
                option, out.c_str());
}

// Moves the finished files from the staging folder into `out`.
void publish(const fs::path& out, const std::vector<std::string>& files) {
    std::error_code error;
    fs::create_directories(out, error);
    if (error) stopRun("%s: the folder could not be created (%s)", out.c_str(), error.message().c_str());
    for (const auto& name : files) {
        fs::rename(stagingFolder / name, out / name, error);
        if (error) stopRun("%s: could not be put in place (%s)", (out / name).c_str(), error.message().c_str());
    }
    removeStagingFolder();
}

struct Results {
    ResultTables tables;
    std::vector<std::string> files;
};

// Tables, heatmap and page from the reports in `folder`.
Results writeResults(const fs::path& folder, const std::string& covReport, const std::string& varReport,
                     const std::vector<std::pair<std::string, std::string>>& settings) {
    const ParsedReport cov = readReport(covReport);
    ParsedReport var;
    if (!varReport.empty()) var = readReport(varReport);
    Results r;
    r.tables = buildResultTables(cov, varReport.empty() ? nullptr : &var);
    writeText(folder / "variances.csv", variancesCsv(r.tables));
    writeText(folder / "covariances.csv", covariancesCsv(r.tables));
    writeText(folder / "correlations.csv", correlationsCsv(r.tables));
    writeText(folder / "correlations.svg", correlationHeatmapSvg(r.tables));
    writeText(folder / "summary.html", summaryPageHtml(r.tables, settings, kGuide));
    r.files = {"variances.csv", "covariances.csv", "correlations.csv", "correlations.svg", "summary.html"};
    return r;
}

// The first correlation component's matrix, lower triangle, on standard output.
void printCorrelationSummary(const ResultTables& t) {
    if (t.correlationComponents.empty()) return;
    const std::string& component = t.correlationComponents.front();
    std::printf("\n%s correlations (estimate and mark; flagged ones with !):\n\n", component.c_str());
    std::size_t width = 8;
    for (const auto& name : t.traits) width = std::max(width, name.size() + 1);
    std::printf("%-*s", static_cast<int>(width), "");
    for (std::size_t j = 0; j + 1 < t.traits.size(); ++j) std::printf(" %12.12s", t.traits[j].c_str());
    std::printf("\n");
    for (std::size_t i = 1; i < t.traits.size(); ++i) {
        std::printf("%-*s", static_cast<int>(width), t.traits[i].c_str());
        for (std::size_t j = 0; j < i; ++j) {
            std::string cell = "";
            for (const auto& r : t.correlations)
                if (r.component == component && ((r.trait1 == t.traits[i] && r.trait2 == t.traits[j]) ||
                                                  (r.trait1 == t.traits[j] && r.trait2 == t.traits[i]))) {
                    char buffer[64];
                    std::snprintf(buffer, sizeof buffer, "%.2f %s%s", std::strtod(r.estimate.c_str(), nullptr),
                                  r.mark.c_str(), r.flag.empty() ? "" : "!");
                    cell = buffer;
                }
            std::printf(" %12s", cell.c_str());
        }
        std::printf("\n");
    }
}

// ---- Progress ----------------------------------------------------------------

class Progress {
public:
    Progress() : start_(std::chrono::steady_clock::now()), terminal_(isatty(STDERR_FILENO) == 1) {}
    void replicateDone(int k, int J) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double left = elapsed / k * (J - k);
        if (terminal_) {
            std::fprintf(stderr, "\r  jackknife: replicate %d / %d, %.0f s elapsed, about %.0f s left   ", k, J, elapsed,
                         left);
            if (k == J) std::fputc('\n', stderr);
        } else if ((k * 10) / J != ((k - 1) * 10) / J || k == J) {
            std::fprintf(stderr, "  jackknife: replicate %d / %d, %.0f s elapsed, about %.0f s left\n", k, J, elapsed,
                         left);
        }
        std::fflush(stderr);
    }

private:
    std::chrono::steady_clock::time_point start_;
    bool terminal_;
};

// ---- analyse -----------------------------------------------------------------

struct AnalyseOptions {
    std::string data, female, male, env, block, random, fixed = "1", traits, out, lang = "en";
    int group = 0, threads = 0, trailing = 0;
    bool covariances = false, replace = false, dropIncomplete = false, cpu = false;
};

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    return items;
}

// The design columns a general model's terms name (both columns of A*B).
std::vector<std::string> termColumns(const std::string& terms) {
    std::vector<std::string> columns;
    for (const auto& term : splitList(terms)) {
        const std::size_t star = term.find('*');
        for (const auto& part : {term.substr(0, star), star == std::string::npos ? std::string() : term.substr(star + 1)})
            if (!part.empty() && part != "1" && std::find(columns.begin(), columns.end(), part) == columns.end())
                columns.push_back(part);
    }
    return columns;
}

std::string commandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
    return line;
}

int analyse(const AnalyseOptions& o, const std::string& command) {
    const bool additiveDominance = !o.female.empty() || !o.male.empty();
    if (additiveDominance == !o.random.empty())
        stopRun("analyse: give either the additive-dominance model (--female and --male) or a general model (--random)");
    if (additiveDominance && (o.female.empty() || o.male.empty()))
        stopRun("analyse: the additive-dominance model needs both --female and --male");
    if (o.group < 1) stopRun("analyse: --group must be at least 1");
    const fs::path out = o.out.empty() ? fs::path(stemOf(o.data) + "-results") : fs::path(o.out);
    checkOutputFolder(out, o.replace, "--out");

    const TrialTable table = readTrialTable(o.data);
    TrialDesign design;
    design.dropIncomplete = o.dropIncomplete;
    std::string environment = o.env;
    std::string modelText;
    ModelRequest request;
    request.covariances = o.covariances;
    if (additiveDominance) {
        if (environment.empty()) {
            // One environment: a constant column, which the model turns into
            // the intercept.
            environment = "Env";
            while (table.column(environment) >= 0) environment += "_";
        }
        design.design = {environment, o.female, o.male};
        if (!o.block.empty()) design.design.push_back(o.block);
        design.shared = {{o.female, o.male}};
        request.additiveDominance = environment + "," + o.female + "," + o.male + (o.block.empty() ? "" : "," + o.block);
        modelText = "additive-dominance (" + request.additiveDominance + ")";
    } else {
        design.design = termColumns(o.random + "," + o.fixed);
        request.random = o.random;
        request.fixed = o.fixed;
        request.trailing = o.trailing;
        modelText = "general: random " + o.random + "; fixed " + o.fixed;
    }
    if (!o.traits.empty()) {
        design.traits = splitList(o.traits);
    } else {
        for (const auto& name : table.names)
            if (std::find(design.design.begin(), design.design.end(), name) == design.design.end())
                design.traits.push_back(name);
    }
    // The synthetic environment column is not in the table: code without it.
    const bool syntheticEnvironment = additiveDominance && o.env.empty();
    TrialDesign tableDesign = design;
    if (syntheticEnvironment) tableDesign.design.erase(tableDesign.design.begin());
    CodedTrial coded = codeTrial(table, tableDesign);
    if (syntheticEnvironment) {
        coded.data.leadNames.insert(coded.data.leadNames.begin(), environment);
        for (auto& row : coded.data.lead) row.insert(row.begin(), 1);
    }
    const int n = coded.data.obsCount();
    if (!coded.droppedLines.empty()) {
        std::string lines;
        for (std::size_t k = 0; k < coded.droppedLines.size() && k < 10; ++k)
            lines += (k ? ", " : "") + std::to_string(coded.droppedLines[k]);
        if (coded.droppedLines.size() > 10) lines += ", ...";
        std::fprintf(stderr, "%s: dropped %zu of %zu rows with a missing value (lines %s)\n", o.data.c_str(),
                     coded.droppedLines.size(), table.rows.size(), lines.c_str());
    }
    if (n / o.group < 2)
        stopRun("%s: %d complete rows in groups of %d give %d jackknife replicates; at least 2 are needed", o.data.c_str(),
                n, o.group, n / o.group);

    const std::string name = stemOf(o.data);
    const fs::path stage = makeStagingFolder(out);
    coded.data.fileName = name + ".TXT";
    writeText(stage / (name + ".TXT"), formatDataFile(coded.data.leadNames, coded.data.traitNames, coded.data.lead, coded.values));
    AnalysisState readBack;
    writeText(stage / (name + ".MAT"), buildModelFile(coded.data, request, name + ".MAT", &readBack));
    writeText(stage / (name + ".DAT"), "");

    std::fprintf(stderr, "minque analyse: %d observations, %zu traits, %d random factors, K = %d components, J = %d "
                         "replicates of groups of %d\n",
                 n, coded.data.traitNames.size(), readBack.randomFactorCount, readBack.componentCount, n / o.group,
                 o.group);
    std::fflush(stderr);
    if (o.threads > 0) setWorkerThreads(o.threads);
    const fs::path here = fs::current_path();
    if (chdir(stage.c_str()) != 0) stopRun("%s: cannot work in the folder (%s)", stage.c_str(), std::strerror(errno));
    Progress progress;
    CombinedRun run;
    run.dataFile = name + ".TXT";
    run.chinese = o.lang == "zh";
    run.groupSize = o.group;
    run.covarianceSwitch = o.covariances ? 1 : 0;
    run.forceHost = o.cpu;
    run.console.programLines = false;
    run.console.replicateDone = [&progress](int k, int J) { progress.replicateDone(k, J); };
    runVariancesAndCovariances(run);
    if (chdir(here.c_str()) != 0) stopRun("%s: cannot return to the folder (%s)", here.c_str(), std::strerror(errno));

    std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    const std::vector<std::pair<std::string, std::string>> settings = {
        {"Data", o.data},
        {"Model", modelText + (o.covariances ? ", with covariance components between factors" : "")},
        {"Observations (n)", std::to_string(n)},
        {"Traits", std::to_string(coded.data.traitNames.size())},
        {"Jackknife group size (g)", std::to_string(o.group)},
        {"Replicates (J)", std::to_string(n / o.group)},
        {"Date", date},
        {"Version", MINQUE_VERSION},
        {"Command", command},
    };
    Results results = writeResults(stage, (stage / (name + ".COV")).string(), (stage / (name + ".VAR")).string(), settings);
    std::string runLog = "command: " + command + "\nversion: " + MINQUE_VERSION + "\ndate: " + date +
                         "\nvector path: " + vectorPathName(vectorPath()) + "\nworker threads: " +
                         std::to_string(workerThreads()) + "\n";
    if (!coded.droppedLines.empty()) runLog += "rows dropped with a missing value: " + std::to_string(coded.droppedLines.size()) + "\n";
    writeText(stage / "run.txt", runLog);
    std::vector<std::string> files = {name + ".TXT", name + ".MAT", name + ".DAT", "MATWRN.var", name + ".VAR",
                                      name + ".COV", "run.txt"};
    files.insert(files.end(), results.files.begin(), results.files.end());
    publish(out, files);

    printCorrelationSummary(results.tables);
    std::printf("\nResults in %s/: %s.VAR and %s.COV (the reports), variances.csv, covariances.csv, correlations.csv,\n"
                "correlations.svg and summary.html (open it in a browser). Read docs/guide.md before publishing.\n",
                out.c_str(), name.c_str(), name.c_str());
    return 0;
}

// ---- summary -----------------------------------------------------------------

int summary(const std::string& covReport, const std::string& varReport, const std::string& outOption, bool replace,
            const std::string& command) {
    const fs::path out = outOption.empty() ? fs::path(covReport).parent_path() : fs::path(outOption);
    const fs::path target = out.empty() ? fs::path(".") : out;
    if (!outOption.empty()) checkOutputFolder(target, replace, "--out");
    const ParsedReport cov = readReport(covReport);  // refused here, before anything is written
    if (cov.variances())
        stopRun("%s: a report of variances (minque-var); give the covariance report first, the variance report second",
                covReport.c_str());
    std::vector<std::pair<std::string, std::string>> settings = {{"Covariance report", covReport}};
    if (!varReport.empty()) settings.emplace_back("Variance report", varReport);
    for (const auto& s : cov.settings) settings.push_back(s);
    settings.emplace_back("Version", MINQUE_VERSION);
    settings.emplace_back("Command", command);
    std::error_code error;
    fs::create_directories(target, error);
    if (error) stopRun("%s: the folder could not be created (%s)", target.c_str(), error.message().c_str());
    const fs::path stage = makeStagingFolder(target / "summary");
    Results results = writeResults(stage, covReport, varReport, settings);
    publish(target, results.files);
    printCorrelationSummary(results.tables);
    std::printf("\nTables and pictures in %s/: variances.csv, covariances.csv, correlations.csv, correlations.svg, "
                "summary.html\n",
                target.c_str());
    return 0;
}

}  // namespace

int runMinqueCommand(int argc, char** argv) {
    // One process: the front door does not deal its passes to MPI ranks.
    for (const char* size : {std::getenv("OMPI_COMM_WORLD_SIZE"), std::getenv("PMI_SIZE")})
        if (size != nullptr && std::atoi(size) > 1) {
            const char* rank = std::getenv("OMPI_COMM_WORLD_RANK");
            if (rank == nullptr || std::atoi(rank) == 0)
                std::fprintf(stderr, "minque runs as one process; under mpirun, run minque-var and minque-cov on the "
                                     "files that minque analyse writes\n");
            return 1;
        }
    CLI::App app{"minque " MINQUE_VERSION ": genetic and environmental variances, covariances and correlations of "
                 "traits by MINQUE(0/1), with jackknife standard errors"};
    app.set_version_flag("--version", std::string("minque ") + MINQUE_VERSION);
    app.require_subcommand(1);
    app.footer("Example:\n  minque analyse examples/EXAMPLE.TXT --env Env --female Fem --male Male --block Blk --group 4\n\n"
               "A breeder's guide to the results: docs/guide.md");

    AnalyseOptions a;
    CLI::App* analyseCommand = app.add_subcommand("analyse", "From a trial table to reports, tables and a correlation heatmap");
    analyseCommand->alias("analyze");
    analyseCommand->add_option("DATA", a.data,
                               "Trial table: a header line of column names, then one row per plot or cell mean; fields "
                               "separated by commas, tabs or spaces. Rows stay in the file's order: consecutive rows form "
                               "the jackknife groups")
        ->required();
    auto* model = analyseCommand->add_option_group("Model (additive-dominance, or general)");
    model->add_option("--female", a.female, "Female parent column (additive-dominance model)");
    model->add_option("--male", a.male, "Male parent column; females and males share one coding of the parents");
    model->add_option("--env", a.env, "Environment column (fixed; without it: a trial in one environment)");
    model->add_option("--block", a.block, "Block column (a random factor estimated but not reported)");
    model->add_option("--random", a.random, "General model: random terms, COL or COL1*COL2, comma-separated");
    model->add_option("--fixed", a.fixed, "General model: fixed terms, 1 (the intercept) and/or columns")->default_val("1");
    model->add_option("--trailing", a.trailing, "General model: 1 if the last random term is a block effect not reported")
        ->check(CLI::Range(0, 1));
    model->add_flag("--covariances", a.covariances, "Also estimate covariance components between factors");
    analyseCommand->add_option("--group", a.group, "Jackknife group size: consecutive rows deleted together (required)")
        ->required()
        ->check(CLI::PositiveNumber);
    analyseCommand->add_option("--traits", a.traits, "Traits to analyse, comma-separated (default: every non-design column)");
    analyseCommand->add_flag("--drop-incomplete", a.dropIncomplete,
                             "Drop every row with a missing value (empty, NA, ., nan) instead of refusing the table");
    analyseCommand->add_option("--out", a.out, "Output folder (default: DATA's name without extension, plus -results)");
    analyseCommand->add_flag("--replace", a.replace, "Write into a non-empty output folder, replacing the files of a run");
    analyseCommand->add_option("--threads", a.threads, "Worker threads (default: one per hardware thread)")
        ->check(CLI::Range(1, 1024));
    analyseCommand->add_option("--lang", a.lang, "Language of the reports: en or zh (the tables are always English)")
        ->check(CLI::IsMember({"en", "zh"}));
    analyseCommand->add_flag("--cpu", a.cpu, "Compute the inverse on the host even when a CUDA device is present");
    analyseCommand->footer(
        "Example:\n  minque analyse examples/EXAMPLE.TXT --env Env --female Fem --male Male --block Blk --group 4\n"
        "Writes NAME.TXT, NAME.MAT, NAME.DAT, MATWRN.var, NAME.VAR, NAME.COV, variances.csv, covariances.csv,\n"
        "correlations.csv, correlations.svg, summary.html and run.txt into the output folder.\n"
        "What the numbers mean and what not to trust: docs/guide.md");

    std::string covReport, varReport, summaryOut;
    bool summaryReplace = false;
    CLI::App* summaryCommand = app.add_subcommand("summary", "Tables and pictures from reports of minque-cov and minque-var");
    summaryCommand->add_option("REPORT.COV", covReport, "Covariance report written by minque-cov (either language)")
        ->required()
        ->check(CLI::ExistingFile);
    summaryCommand->add_option("REPORT.VAR", varReport, "Variance report of the same analysis, written by minque-var")
        ->check(CLI::ExistingFile);
    summaryCommand->add_option("--out", summaryOut, "Output folder (default: the folder of REPORT.COV)");
    summaryCommand->add_flag("--replace", summaryReplace, "Write into a non-empty output folder");
    summaryCommand->footer("Example:\n  minque summary EXAMPLE.COV EXAMPLE.VAR --out tables\n"
                           "What the numbers mean and what not to trust: docs/guide.md");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }
    const std::string command = commandLine(argc, argv);
    if (analyseCommand->parsed()) return analyse(a, command);
    return summary(covReport, varReport, summaryOut, summaryReplace, command);
}

}  // namespace minque
