#include "driver/minque_command.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "core/fatal_error.hpp"
#include "driver/interrupt.hpp"
#include "estimator/kernel_library.hpp"
#include "io/file_text.hpp"
#include "io/run_lock.hpp"
#include "jackknife_engine/report/report_tables.hpp"
#include "minquecov/analysis.hpp"
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

// ---- Files of a run ----------------------------------------------------------

std::string stemOf(const std::string& path) { return fs::path(path).stem().string(); }

void writeText(const fs::path& path, const std::string& text) { writeFileText(path.string(), text); }

constexpr const char* kManifest = ".minque-files";

// The files an earlier run published into `out`, by its manifest.
std::vector<std::string> publishedBefore(const fs::path& out) {
    std::vector<std::string> names;
    std::ifstream in(out / kManifest);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.find('/') == std::string::npos && line != "." && line != "..") names.push_back(line);
    return names;
}

// The folder a command fills: everything is written into a staging folder
// beside the output folder and moved into it only when complete. The staging
// folder belongs to this object: a command that ends early (an error, an
// interrupt) leaves nothing behind.
class StagingFolder {
public:
    explicit StagingFolder(const fs::path& out) {
        const fs::path parent = out.has_parent_path() ? out.parent_path() : fs::path(".");
        std::error_code error;
        fs::create_directories(parent, error);
        if (error) stopRun("%s: the folder could not be created (%s)", parent.c_str(), error.message().c_str());
        std::string pattern = (parent / ("." + out.filename().string() + ".partial-XXXXXX")).string();
        if (mkdtemp(pattern.data()) == nullptr)
            stopRun("%s: a working folder could not be created beside it (%s)", out.c_str(), std::strerror(errno));
        path_ = fs::absolute(fs::path(pattern));
    }
    ~StagingFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const fs::path& path() const { return path_; }

    // Moves the finished files into `out`. A run (`asRun`) also writes its
    // manifest and removes the files an earlier run published there (by its
    // manifest) that it does not write, and nothing else; summary's tables
    // only replace their own names.
    void publish(const fs::path& out, std::vector<std::string> files, bool asRun) const {
        std::error_code error;
        fs::create_directories(out, error);
        if (error) stopRun("%s: the folder could not be created (%s)", out.c_str(), error.message().c_str());
        std::vector<std::string> earlier;
        if (asRun) {
            std::string manifest;
            for (const auto& name : files) manifest += name + "\n";
            writeFileText((path_ / kManifest).string(), manifest);
            earlier = publishedBefore(out);
            files.push_back(kManifest);
        }
        for (const auto& name : files) {
            fs::rename(path_ / name, out / name, error);
            if (error) stopRun("%s: could not be put in place (%s)", (out / name).c_str(), error.message().c_str());
        }
        for (const auto& name : earlier)
            if (std::find(files.begin(), files.end(), name) == files.end()) fs::remove(out / name, error);
    }

private:
    fs::path path_;
};

// Every file name a run of analyse or summary may write into its output
// folder: the engine's files of NAME, the reports, the tables and pictures.
std::vector<std::string> outputNames(const std::string& name) {
    std::vector<std::string> names = {"run.txt", "correlations.svg", "summary.html"};
    if (!name.empty())
        for (const char* extension : {".TXT", ".MAT", ".DAT", ".VAR", ".COV"}) names.push_back(name + extension);
    names.push_back("MATWRN.var");
    names.push_back("MATWRN.sig");
    for (const ResultTable table : kResultTables) names.push_back(resultTableName(table) + std::string(".csv"));
    return names;
}

// Refuses a run whose output would replace one of its inputs: a file of the
// output folder under a name the run writes that is an input (or a link to
// one). The inputs are never changed.
void refuseOutputsOverInputs(const fs::path& out, const std::vector<std::string>& names,
                             const std::vector<std::string>& inputs, const char* option) {
    for (const std::string& name : names) {
        std::error_code error;
        const fs::path target = out / name;
        if (!fs::exists(target, error)) continue;
        for (const std::string& input : inputs)
            if (fs::equivalent(target, input, error))
                stopRun("%s: the run would write %s, which is its input %s; give another folder with %s (the "
                        "input is never changed)",
                        option, target.c_str(), input.c_str(), option);
    }
}

// The output folder held for one run: a lock beside it (".OUT.lock", held
// with flock for the run and removed after it) refuses a second run into the
// same folder while the first runs. Holding it, any staging folder of the
// same output folder (".OUT.partial-*") is left over from a run that ended
// without cleaning up (killed, or the machine stopped): only the lock's
// holder makes one, so it is removed. The manifest (".OUT/.minque-files")
// lists the files a run published, so that --replace removes exactly the
// files of the run it replaces.
class OutputFolderLock {
public:
    OutputFolderLock(const fs::path& out, const char* option) : lock_(lockPath(out)) {
        switch (lock_.error()) {
            case 0:
                break;
            case EWOULDBLOCK:
            case EBUSY:
                stopRun("%s: another run is writing into %s; wait for it to end, or give another folder", option,
                        out.c_str());
            default:
                stopRun("%s: %s could not be created (%s)", option, lock_.path().c_str(),
                        createFailure(lock_.error()).c_str());
        }
        const fs::path lock(lock_.path());
        const std::string staging = lock.stem().string() + ".partial-";
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(lock.parent_path(), error))
            if (entry.path().filename().string().rfind(staging, 0) == 0) fs::remove_all(entry.path(), error);
    }

private:
    // ".OUT.lock" beside the folder OUT.
    static std::string lockPath(const fs::path& out) {
        fs::path folder = fs::absolute(out).lexically_normal();
        if (folder.filename().empty()) folder = folder.parent_path();
        std::error_code error;
        fs::create_directories(folder.parent_path(), error);
        return (folder.parent_path() / ("." + folder.filename().string() + ".lock")).string();
    }

    LockFile lock_;
};

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

// Tables, heatmap and page into `folder` (and the heritabilities, when the
// tables have them); returns their file names.
std::vector<std::string> writeResults(const fs::path& folder, const ResultTables& tables,
                                      const std::vector<std::pair<std::string, std::string>>& settings) {
    std::vector<std::string> files;
    for (const ResultTable table : kResultTables) {
        // The component tables always; the heritabilities and effects when there are any.
        const bool always = table == ResultTable::Variances || table == ResultTable::Covariances ||
                            table == ResultTable::Correlations;
        if (!always && resultRows(tables, table).empty()) continue;
        const std::string file = resultTableName(table) + std::string(".csv");
        writeText(folder / file, resultCsv(tables, table));
        files.push_back(file);
    }
    writeText(folder / "correlations.svg", correlationHeatmapSvg(tables));
    writeText(folder / "summary.html", summaryPageHtml(tables, settings, kGuide));
    files.insert(files.end(), {"correlations.svg", "summary.html"});
    return files;
}

// One line per trait: its heritabilities (or shares) with S.E. and mark.
void printHeritabilities(const ResultTables& t) {
    if (t.heritabilities.empty()) return;
    std::printf("\nHeritabilities (estimate, S.E. and mark; flagged ones with !):\n\n");
    std::size_t width = 8;
    for (const auto& name : t.traits) width = std::max(width, name.size() + 1);
    for (const std::string& trait : t.traits) {
        std::printf("%-*s", static_cast<int>(width), trait.c_str());
        for (const ResultRow& r : t.heritabilities)
            if (r.trait1 == trait && std::isnan(r.estimate))
                std::printf("  %s n/d!", r.component.c_str());
            else if (r.trait1 == trait && std::isnan(r.se))  // the method gives it no S.E.
                std::printf("  %s %.2f (no S.E.)%s", r.component.c_str(), r.estimate, r.flag.empty() ? "" : "!");
            else if (r.trait1 == trait)
                std::printf("  %s %.2f (%.2f) %s%s", r.component.c_str(), r.estimate, r.se, r.mark.c_str(),
                            r.flag.empty() ? "" : "!");
        std::printf("\n");
    }
}

// The first correlation component's matrix, lower triangle, on standard output.
// The columns a terminal gives a UTF-8 text: one per character, two for the
// wide characters of East Asian scripts.
std::size_t displayWidth(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t k = 0; k < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[k]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        unsigned point = length == 1 ? c : c & (0xFF >> (length + 1));
        for (int b = 1; b < length && k + static_cast<std::size_t>(b) < text.size(); ++b)
            point = (point << 6) | (static_cast<unsigned char>(text[k + static_cast<std::size_t>(b)]) & 0x3F);
        const bool wide = (point >= 0x1100 && point <= 0x115F) || (point >= 0x2E80 && point <= 0xA4CF) ||
                          (point >= 0xAC00 && point <= 0xD7A3) || (point >= 0xF900 && point <= 0xFAFF) ||
                          (point >= 0xFE30 && point <= 0xFE4F) || (point >= 0xFF00 && point <= 0xFF60) ||
                          (point >= 0xFFE0 && point <= 0xFFE6);
        width += wide ? 2 : 1;
        k += static_cast<std::size_t>(length);
    }
    return width;
}

// `text` padded with spaces to `width` columns, on the left or the right.
std::string padded(const std::string& text, std::size_t width, bool right) {
    const std::size_t w = displayWidth(text);
    const std::string fill(w < width ? width - w : 0, ' ');
    return right ? fill + text : text + fill;
}

// The first correlation component's matrix, lower triangle, on standard
// output: the row names left-aligned, each column as wide as its heading or
// widest cell, headings and cells right-aligned on the same edge.
void printCorrelationSummary(const ResultTables& t) {
    if (t.correlationComponents.empty()) return;
    const std::string& component = t.correlationComponents.front();
    std::printf("\n%s correlations (estimate and mark; flagged ones with !):\n\n", component.c_str());
    const std::size_t n = t.traits.size();
    std::vector<std::vector<std::string>> cells(n, std::vector<std::string>(n));
    for (const auto& r : t.correlations) {
        if (r.component != component) continue;
        const auto a = std::find(t.traits.begin(), t.traits.end(), r.trait1) - t.traits.begin();
        const auto b = std::find(t.traits.begin(), t.traits.end(), r.trait2) - t.traits.begin();
        const std::string cell = correlationCellText(r, correlationDefined(r) ? " " + r.mark : "") +
                                 (r.flag.empty() || !correlationDefined(r) ? "" : "!");
        cells[static_cast<std::size_t>(std::max(a, b))][static_cast<std::size_t>(std::min(a, b))] = cell;
    }
    std::size_t rowWidth = 8;
    for (const auto& name : t.traits) rowWidth = std::max(rowWidth, displayWidth(name) + 1);
    std::vector<std::size_t> widths(n, 8);
    for (std::size_t j = 0; j + 1 < n; ++j) {
        widths[j] = std::max(widths[j], displayWidth(t.traits[j]));
        for (std::size_t i = j + 1; i < n; ++i) widths[j] = std::max(widths[j], displayWidth(cells[i][j]));
    }
    std::string line = padded("", rowWidth, false);
    for (std::size_t j = 0; j + 1 < n; ++j) line += "  " + padded(t.traits[j], widths[j], true);
    std::printf("%s\n", line.c_str());
    for (std::size_t i = 1; i < n; ++i) {
        line = padded(t.traits[i], rowWidth, false);
        for (std::size_t j = 0; j < i; ++j) line += "  " + padded(cells[i][j], widths[j], true);
        std::printf("%s\n", line.c_str());
    }
}

// ---- Progress ----------------------------------------------------------------

class Progress {
public:
    Progress() : start_(std::chrono::steady_clock::now()), terminal_(isatty(STDERR_FILENO) == 1) {}
    // k of J steps done: "jackknife: replicate", "bootstrap: sample".
    void replicateDone(int k, int J, const char* step) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        const double left = elapsed / k * (J - k);
        if (k < told_) told_ = 0;  // a second run of steps
        if (terminal_) {
            std::fprintf(stderr, "\r  %s %d / %d, %.0f s elapsed, about %.0f s left   ", step, k, J, elapsed, left);
            if (k == J) std::fputc('\n', stderr);
        } else if ((k * 10) / J != (told_ * 10) / J || k == J) {
            std::fprintf(stderr, "  %s %d / %d, %.0f s elapsed, about %.0f s left\n", step, k, J, elapsed, left);
        }
        told_ = k;
        std::fflush(stderr);
    }

private:
    std::chrono::steady_clock::time_point start_;
    bool terminal_;
    int told_ = 0;  // the last count heard of: a line each time a tenth is passed
};

// ---- analyse -----------------------------------------------------------------

struct AnalyseOptions {
    std::string data, female, male, env, block, random, fixed = "1", traits, out, lang = "en", se = "bootstrap";
    int group = 0, threads = 0, trailing = 0, bootstrap = 1000;
    unsigned long long seed = 1;
    bool covariances = false, replace = false, dropIncomplete = false, cpu = false, effects = false;
    std::vector<std::string> relationships;  // TERM=FILE, TERM=pedigree, TERM=markers
    std::string pedigree, markers, entry;
};

// The items of a comma-separated option; `keepEmpty` keeps empty items
// (which the model builder then refuses by name).
std::vector<std::string> splitList(const std::string& text, bool keepEmpty = false) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            if (keepEmpty || !item.empty()) items.push_back(item);
            item.clear();
        } else {
            item.push_back(c);
        }
    }
    return items;
}

std::string commandLine(int argc, char** argv) {
    std::string line;
    for (int i = 0; i < argc; ++i) line += (i ? " " : "") + std::string(argv[i]);
    return line;
}

// The relationship matrices of --relationship TERM=SOURCE: a file of K, the
// pedigree of --pedigree, or the markers of --markers (their genomic
// relationship, blended with the identity). What was done is told as notes
// and returned for run.txt.
std::string relationshipsOf(const AnalyseOptions& o, ModelSpec& model) {
    std::string log;
    for (const std::string& given : o.relationships) {
        const std::size_t equals = given.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == given.size())
            stopRunAt({"", 0, "", "--relationship"},
                      "--relationship: '%s' is not TERM=SOURCE; give the random term and a file of K, or pedigree "
                      "(with --pedigree) or markers (with --markers), as in Geno=K.csv",
                      given.c_str());
        const std::string term = given.substr(0, equals), source = given.substr(equals + 1);
        RelationshipMatrix k;
        if (source == "pedigree") {
            if (o.pedigree.empty())
                stopRunAt({"", 0, "", "--pedigree"}, "--relationship %s: give the pedigree file with --pedigree", given.c_str());
            k = additiveRelationship(pedigreeFromFile(o.pedigree));
            k.source = "pedigree " + o.pedigree;
            log += "relationship: " + term + " = the additive relationship of " + o.pedigree + " (" + std::to_string(k.ids.size()) +
                   " individuals)\n";
        } else if (source == "markers") {
            if (o.markers.empty())
                stopRunAt({"", 0, "", "--markers"}, "--relationship %s: give the marker file with --markers", given.c_str());
            GenomicRelationship g = genomicRelationship(markersFromFile(o.markers));
            k = std::move(g.matrix);
            k.source = "markers " + o.markers;
            char line[400];
            std::snprintf(line, sizeof line,
                          "%s: %zu individuals, %d markers used (%d monomorphic dropped), %lld missing calls set to "
                          "their marker's mean; the genomic relationship (VanRaden) blended as %g G + %g I",
                          o.markers.c_str(), k.ids.size(), g.markersUsed, g.monomorphic, static_cast<long long>(g.missingCalls),
                          1.0 - g.blend, g.blend);
            std::fprintf(stderr, "%s\n", line);
            log += "relationship: " + term + " = " + line + "\n";
        } else {
            k = relationshipFromFile(source);
            log += "relationship: " + term + " = " + source + " (" + std::to_string(k.ids.size()) + " individuals)\n";
        }
        model.relationships.emplace_back(term, std::move(k));
    }
    return log;
}

int analyse(const AnalyseOptions& o, const std::string& command) {
    AnalysisRequest request;
    ModelSpec& model = request.model;
    model.female = o.female;
    model.male = o.male;
    model.env = o.env;
    model.block = o.block;
    if (!o.random.empty()) model.random = splitList(o.random, true);
    model.fixed = splitList(o.fixed, true);
    model.trailing = o.trailing;
    model.covariances = o.covariances;
    model.entry = o.entry;
    AnalysisOptions& options = request.options;
    options.group = o.group;
    options.traits = splitList(o.traits);
    options.dropIncomplete = o.dropIncomplete;
    options.threads = o.threads;
    options.chinese = o.lang == "zh";
    options.hostOnly = o.cpu;
    options.effects = o.effects;
    options.standardErrors = o.se == "bootstrap" ? StandardErrors::Bootstrap : StandardErrors::Jackknife;
    options.bootstrapSamples = o.bootstrap;
    options.seed = o.seed;
    options.fileName = stemOf(o.data);
    checkModelSpec(model, options);
    const fs::path out = o.out.empty() ? fs::path(stemOf(o.data) + "-results") : fs::path(o.out);
    checkOutputFolder(out, o.replace, "--out");
    std::vector<std::string> inputs = {o.data};
    for (const std::string& file : {o.pedigree, o.markers})
        if (!file.empty()) inputs.push_back(file);
    for (const std::string& given : o.relationships)
        if (given.find('=') != std::string::npos) inputs.push_back(given.substr(given.find('=') + 1));
    refuseOutputsOverInputs(out, outputNames(stemOf(o.data)), inputs, "--out");
    request.data = trialDataFromFile(o.data);
    request.data.name = o.data;
    const std::string relationshipLog = relationshipsOf(o, model);

    // Every refusal comes before the output folder is touched.
    InterruptGuard interrupts;
    Progress progress;
    AnalysisProgress told;
    told.note = [](const std::string& note) { std::fprintf(stderr, "%s\n", note.c_str()); };
    const bool bootstrap = options.standardErrors == StandardErrors::Bootstrap;
    told.passDone = [&progress, bootstrap](int k, int J) {
        stopIfInterrupted(k, J, bootstrap ? "bootstrap samples" : "jackknife replicates");
        if (k > 0) progress.replicateDone(k, J, bootstrap ? "bootstrap: sample" : "jackknife: replicate");
        return true;
    };
    told.keepGoing = [] {
        stopIfInterruptedWhile("setting up its estimator");
        return true;
    };
    PreparedAnalysis prepared = prepareAnalysis(request, told);
    const AnalysisSettings& s = prepared.settings;
    const std::string& name = s.fileName;
    const OutputFolderLock lock(out, "--out");
    const StagingFolder stage(out);
    prepared.options.folder = stage.path().string();
    if (options.standardErrors == StandardErrors::Bootstrap)
        std::fprintf(stderr, "minque analyse: %d observations, %zu traits, %d random factors, K = %d components, B = %d "
                             "bootstrap samples\n",
                     s.observations, s.traits.size(), s.randomFactors, s.components, options.bootstrapSamples);
    else
        std::fprintf(stderr, "minque analyse: %d observations, %zu traits, %d random factors, K = %d components, J = %d "
                             "replicates of groups of %d\n",
                     s.observations, s.traits.size(), s.randomFactors, s.components, s.replicates, s.groupSize);
    std::fflush(stderr);
    const AnalysisResult result = runAnalysis(std::move(prepared), told);

    std::time_t now = std::time(nullptr);
    char date[64];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::vector<std::pair<std::string, std::string>> settings = {
        {"Data", o.data},
        {"Model", s.model},
        {"Design", s.design},
        {"Observations (n)", std::to_string(s.observations)},
        {"Traits", std::to_string(s.traits.size())},
    };
    if (bootstrap) {
        settings.emplace_back("Standard errors", "parametric bootstrap, B = " + std::to_string(options.bootstrapSamples) +
                                                     " samples, seed " + std::to_string(options.seed));
    } else {
        settings.emplace_back("Jackknife group size (g)", std::to_string(s.groupSize));
        settings.emplace_back("Replicates (J)", std::to_string(s.replicates));
    }
    settings.insert(settings.end(), {{"Date", date}, {"Version", MINQUE_VERSION}, {"Command", command}});
    std::vector<std::string> files = writeResults(stage.path(), result.tables, settings);
    std::string runLog = "command: " + command + "\nversion: " + MINQUE_VERSION + "\ndate: " + date +
                         "\nvector path: " + result.vectorPath + "\nworker threads: " + std::to_string(result.threads) +
                         "\ndesign: " + s.design + "\n";
    if (bootstrap)
        runLog += "standard errors: parametric bootstrap, B = " + std::to_string(options.bootstrapSamples) +
                  " samples, seed " + std::to_string(options.seed) + "\ndense kernels: " + denseKernels() + "\n";
    runLog += relationshipLog;
    if (!s.droppedLines.empty())
        runLog += "rows dropped with a missing value: " + std::to_string(s.droppedLines.size()) + "\n";
    writeText(stage.path() / "run.txt", runLog);
    std::vector<std::string> published = {name + ".TXT", name + ".MAT", name + ".DAT", "run.txt"};
    // The reports and the variance records are the jackknife's.
    if (!bootstrap) published.insert(published.end(), {"MATWRN.var", "MATWRN.sig", name + ".VAR", name + ".COV"});
    published.insert(published.end(), files.begin(), files.end());
    stopIfInterruptedWhile("writing its results");
    stage.publish(out, published, true);

    printCorrelationSummary(result.tables);
    printHeritabilities(result.tables);
    if (bootstrap)
        std::printf("\nResults in %s/ (standard errors by the parametric bootstrap, B = %d): variances.csv, "
                    "covariances.csv,\ncorrelations.csv, heritability.csv, correlations.svg and summary.html (open it "
                    "in a browser). Read docs/guide.md before publishing.\n",
                    out.c_str(), options.bootstrapSamples);
    else
        std::printf("\nResults in %s/: %s.VAR and %s.COV (the reports), variances.csv, covariances.csv, "
                    "correlations.csv,\nheritability.csv, correlations.svg and summary.html (open it in a browser). "
                    "Read docs/guide.md before publishing.\n",
                    out.c_str(), name.c_str(), name.c_str());
    return 0;
}

// ---- grm ---------------------------------------------------------------------

int genomicMatrixCommand(const std::string& markersFile, const std::string& outOption, double blend, bool replace) {
    const fs::path out = outOption.empty() ? fs::path(stemOf(markersFile) + "-grm.csv") : fs::path(outOption);
    std::error_code error;
    if (fs::exists(out, error)) {
        if (fs::equivalent(out, markersFile, error))
            stopRun("--out: %s is the marker file; give another file (the input is never changed)", out.c_str());
        if (!replace) stopRun("--out: %s exists; give --replace to overwrite it, or another file", out.c_str());
    }
    const InterruptGuard interrupts;
    const GenomicRelationship g = genomicRelationship(markersFromFile(markersFile), blend);
    // Written beside its place and moved there when complete.
    std::string partial = out.string() + ".partial-XXXXXX";
    const int fd = mkstemp(partial.data());
    if (fd < 0) stopRun("--out: %s could not be created (%s)", partial.c_str(), std::strerror(errno));
    ::close(fd);
    try {
        // A line at a time: the text of 20,000 individuals is several GB.
        std::FILE* file = createFile(partial, "w");
        if (file == nullptr) stopRun("--out: %s could not be created (%s)", partial.c_str(), createFailure(errno).c_str());
        bool written = true;
        relationshipCsvLines(g.matrix, [&](const std::string& line) {
            written = written && std::fwrite(line.data(), 1, line.size(), file) == line.size();
        });
        written = std::fclose(file) == 0 && written;
        if (!written) stopRun("--out: %s could not be written (%s)", partial.c_str(), std::strerror(errno));
        stopIfInterruptedWhile("writing the matrix");
    } catch (...) {
        fs::remove(partial, error);
        throw;
    }
    fs::rename(partial, out, error);
    if (error) {
        fs::remove(partial, error);
        stopRun("--out: %s could not be put in place", out.c_str());
    }
    std::printf("%s: %zu individuals, %d markers used (%d monomorphic dropped), %lld missing calls set to their marker's "
                "mean\nThe genomic relationship (VanRaden's first method), blended as %g G + %g I, in %s\n",
                markersFile.c_str(), g.matrix.ids.size(), g.markersUsed, g.monomorphic,
                static_cast<long long>(g.missingCalls), 1.0 - blend, blend, out.c_str());
    return 0;
}

// ---- summary -----------------------------------------------------------------

// The component labels of a report's rows (the totals left out), in order.
std::vector<std::string> componentLabels(const ReportEstimates& report) {
    std::vector<std::string> labels;
    for (const ReportEstimate& row : report.rows)
        if (!row.correlation && row.component != "G+GE" && row.component != "Phenotypic" &&
            std::find(labels.begin(), labels.end(), row.component) == labels.end())
            labels.push_back(row.component);
    return labels;
}

// Refuses a variance report that is not of the covariance report's analysis:
// not a report of variances, or other traits, components or replicates.
void refuseReportsApart(const ReportEstimates& cov, const ReportEstimates& var) {
    const char* c = cov.fileName.c_str();
    const char* v = var.fileName.c_str();
    if (!var.variances())
        stopRun("%s: not a report of variances (minque-var); give the variance report of the analysis of %s second", v, c);
    auto joined = [](const std::vector<std::string>& items) {
        std::string text;
        for (const auto& item : items) text += (text.empty() ? "" : ", ") + item;
        return text;
    };
    auto apart = [&](const char* what, const std::string& a, const std::string& b) {
        stopRun("%s and %s are not reports of one analysis: their %s differ (%s against %s); give the variance report "
                "of the same analysis",
                c, v, what, a.c_str(), b.c_str());
    };
    if (cov.traits != var.traits) apart("traits", joined(cov.traits), joined(var.traits));
    if (componentLabels(cov) != componentLabels(var))
        apart("components", joined(componentLabels(cov)), joined(componentLabels(var)));
    auto setting = [](const ReportEstimates& report, const std::string& prefix) {
        for (const auto& [name, value] : report.settings)
            if (name.rfind(prefix, 0) == 0) return value;
        return std::string();
    };
    for (const char* prefix : {"Degree of freedom", "自由度"}) {
        const std::string a = setting(cov, prefix), b = setting(var, prefix);
        if (!a.empty() && !b.empty() && a != b) apart("jackknife degrees of freedom", a, b);
    }
}

int summary(const std::string& covReport, const std::string& varReport, const std::string& outOption, bool replace,
            const std::string& command) {
    const fs::path out = outOption.empty() ? fs::path(covReport).parent_path() : fs::path(outOption);
    const fs::path target = out.empty() ? fs::path(".") : out;
    if (!outOption.empty()) {
        checkOutputFolder(target, replace, "--out");
    } else if (!replace) {
        // The report's own folder: never over the files of another run.
        std::error_code error;
        for (const std::string& name : outputNames(""))
            if (fs::exists(target / name, error))
                stopRun("%s: the folder of the report already holds %s; give --out for another folder, or --replace "
                        "to overwrite it",
                        target.c_str(), name.c_str());
    }
    std::vector<std::string> inputs = {covReport};
    if (!varReport.empty()) inputs.push_back(varReport);
    refuseOutputsOverInputs(target, outputNames(""), inputs, outOption.empty() ? "--out (default: the report's folder)" : "--out");
    const ReportEstimates cov = readReport(covReport);  // refused here, before anything is written
    if (cov.variances())
        stopRun("%s: a report of variances (minque-var); give the covariance report first, the variance report second",
                covReport.c_str());
    ReportEstimates var;
    if (!varReport.empty()) {
        var = readReport(varReport);
        refuseReportsApart(cov, var);
    }
    std::vector<std::pair<std::string, std::string>> settings = {{"Covariance report", covReport}};
    if (!varReport.empty()) settings.emplace_back("Variance report", varReport);
    for (const auto& s : cov.settings) settings.push_back(s);
    settings.emplace_back("Version", MINQUE_VERSION);
    settings.emplace_back("Command", command);
    std::error_code error;
    fs::create_directories(target, error);
    if (error) stopRun("%s: the folder could not be created (%s)", target.c_str(), error.message().c_str());
    const InterruptGuard interrupts;
    const OutputFolderLock lock(target, outOption.empty() ? "--out (default: the report's folder)" : "--out");
    const StagingFolder stage(target / "summary");
    ResultTables tables = buildResultTables(cov, varReport.empty() ? nullptr : &var);
    markUndefinedEstimates(tables);
    stage.publish(target, writeResults(stage.path(), tables, settings), false);
    printCorrelationSummary(tables);
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
                 "traits by MINQUE(0/1), with bootstrap or jackknife standard errors"};
    app.set_version_flag("--version", std::string("minque ") + MINQUE_VERSION);
    app.require_subcommand(1);
    app.footer("Example:\n  minque analyse examples/EXAMPLE.TXT --env Env --female Fem --male Male --block Blk\n\n"
               "A breeder's guide to the results: docs/guide.md");

    AnalyseOptions a;
    CLI::App* analyseCommand = app.add_subcommand("analyse", "From a trial table to reports, tables and a correlation heatmap");
    analyseCommand->alias("analyze");
    analyseCommand->add_option("DATA", a.data,
                               "Trial table: a header line of column names, then one row per plot or cell mean; fields "
                               "separated by commas, tabs or spaces. Rows stay in the file's order: with --se jackknife, "
                               "consecutive rows form the jackknife groups")
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
    model->add_option("--entry", a.entry,
                      "General model: the random term of the entries (genotypes) for the line-mean heritability; "
                      "without it, the one random main effect that can be it");
    CLI::Option* groupOption =
        analyseCommand->add_option("--group", a.group, "Jackknife group size: consecutive rows deleted together (required with --se jackknife)")
            ->check(CLI::Validator(
                [](std::string& text) {
                    char* end = nullptr;
                    errno = 0;
                    const long g = std::strtol(text.c_str(), &end, 10);
                    if (text.empty() || *end != '\0' || errno != 0 || g < 1 || g > INT_MAX)
                        return std::string("the group size must be a whole number of rows, at least 1, not '") + text + "'";
                    return std::string();
                },
                "ROWS"));
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
    analyseCommand->add_option("--se", a.se,
                               "Standard errors: bootstrap (default: parametric, at the whole-data components; holds "
                               "in diallels and crossed designs, see the guide) or jackknife (the reports NAME.VAR and "
                               "NAME.COV of the three programs, with --group)")
        ->check(CLI::IsMember({"jackknife", "bootstrap"}));
    CLI::Option* bootstrapOption =
        analyseCommand->add_option("--bootstrap", a.bootstrap, "Bootstrap samples (default 1000)")->check(CLI::Range(20, 1000000));
    // A seed is a whole number 0 .. 2^64 - 1, written as one: a sign, or a
    // number past the range, is refused rather than wrapped or clamped.
    CLI::Option* seedOption =
        analyseCommand->add_option("--seed", a.seed, "Seed of the bootstrap's draws (default 1)")
            ->check(CLI::Validator(
                [](std::string& text) {
                    char* end = nullptr;
                    errno = 0;
                    const bool digits = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
                    if (digits) (void)std::strtoull(text.c_str(), &end, 10);
                    if (!digits || errno != 0)
                        return std::string("the seed must be a whole number from 0 to 18446744073709551615, not '") + text + "'";
                    return std::string();
                },
                "SEED"));
    analyseCommand->add_flag("--effects", a.effects,
                             "Also predict the genetic effects of every parent, cross and level (BLUP at each trait's "
                             "components), into effects.csv, with the prediction errors' standard errors (jackknife "
                             "ones with --se jackknife); not with --covariances");
    analyseCommand
        ->add_option("--relationship", a.relationships,
                     "TERM=SOURCE: a relationship matrix for a random term of a general model: a file of K (square, as "
                     "R's write.csv writes it, or long: id1,id2,value), pedigree (the additive relationship of "
                     "--pedigree) or markers (the genomic relationship of --markers); its interactions take K x I. "
                     "Repeatable: one TERM=SOURCE each time")
        ->allow_extra_args(false);
    analyseCommand->add_option("--pedigree", a.pedigree, "Pedigree file: id, sire, dam (unknown parents 0, NA or empty)");
    analyseCommand->add_option("--markers", a.markers,
                               "Marker file: an id column, then one column per marker coded 0/1/2 (missing NA, . or empty)");
    analyseCommand->footer(
        "Example:\n  minque analyse examples/EXAMPLE.TXT --env Env --female Fem --male Male --block Blk\n"
        "Writes NAME.TXT, NAME.MAT, NAME.DAT, variances.csv, covariances.csv, correlations.csv,\n"
        "heritability.csv, correlations.svg, summary.html and run.txt into the output folder; with\n"
        "--se jackknife --group G also the reports NAME.VAR, NAME.COV and MATWRN.var.\n"
        "What the numbers mean and what not to trust: docs/guide.md");

    std::string grmMarkers, grmOut;
    double grmBlend = kGenomicBlend;
    bool grmReplace = false;
    CLI::App* grmCommand = app.add_subcommand("grm", "The genomic relationship matrix of marker calls, for reuse with --relationship");
    grmCommand->add_option("MARKERS", grmMarkers, "Marker file: an id column, then one column per marker coded 0/1/2")->required();
    grmCommand->add_option("--out", grmOut, "The matrix's file (default: MARKERS's name without extension, plus -grm.csv)");
    grmCommand->add_option("--blend", grmBlend, "Weight w of the identity in (1 - w) G + w I, which makes G positive definite (default 0.01)")
        ->check(CLI::Range(0.0, 0.999));
    grmCommand->add_flag("--replace", grmReplace, "Overwrite the file --out names");
    grmCommand->footer("Example:\n  minque grm SNP.csv --out G.csv\n  minque analyse TRIAL.csv --random Geno,Geno*Env --fixed 1,Env --relationship Geno=G.csv");

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
    if (analyseCommand->parsed()) {
        if (a.se == "jackknife" && groupOption->count() == 0) {
            std::fprintf(stderr, "--group is required with --se jackknife: the size of the jackknife's groups of "
                                 "consecutive rows\nRun with --help for more information.\n");
            return 2;
        }
        if (a.se == "jackknife")
            for (const CLI::Option* unused : {bootstrapOption, seedOption})
                if (unused->count() > 0)
                    std::fprintf(stderr, "minque analyse: %s is not used: it belongs to the bootstrap, and the standard "
                                         "errors are the jackknife's (--se bootstrap for the bootstrap's)\n",
                                 unused->get_name().c_str());
        if (a.se == "bootstrap" && groupOption->count() > 0) {
            std::fprintf(stderr, "minque analyse: --group is not used: it sizes the jackknife's groups, and the standard "
                                 "errors are the bootstrap's (--se jackknife for the jackknife's)\n");
            a.group = 0;
        }
        if (a.relationships.empty())
            for (const auto& [file, option] : {std::pair{a.pedigree, "--pedigree"}, std::pair{a.markers, "--markers"}})
                if (!file.empty())
                    std::fprintf(stderr, "minque analyse: %s is not used: no --relationship TERM=%s names it\n", option,
                                 option + 2);
        return analyse(a, command);
    }
    if (grmCommand->parsed()) return genomicMatrixCommand(grmMarkers, grmOut, grmBlend, grmReplace);
    return summary(covReport, varReport, summaryOut, summaryReplace, command);
}

}  // namespace minque
