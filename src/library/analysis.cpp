// The library's entry: a trial table in memory to results, through the same
// coding, model builder and engine run as `minque analyse`.
#include "minquecov/analysis.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "core/analysis_state.hpp"
#include "core/arrays.hpp"
#include "core/fatal_error.hpp"
#include "driver/run_driver.hpp"
#include "library/trial_coding.hpp"
#include "io/file_text.hpp"
#include "io/model_writer.hpp"
#include "io/run_files.hpp"
#include "io/trial_table.hpp"
#include "linalg/vector_path.hpp"
#include "linalg/worker_pool.hpp"
#include "io/product_records.hpp"
#include "model/genetic_definitions.hpp"
#include "report/bootstrap_tables.hpp"
#include "report/genetic_effects.hpp"
#include "report/few_levels.hpp"
#include "report/heritability.hpp"
#include "report/result_tables.hpp"
#include "resampling/jackknife.hpp"
#include "io/variance_signature.hpp"
#include "resampling/parametric_bootstrap.hpp"

namespace minque {

namespace fs = std::filesystem;

// The engine's state of a prepared analysis, and what the run needs besides.
struct PreparedModel {
    AnalysisState state;
    std::string dataText, modelText;  // NAME.TXT and NAME.MAT as minque-var and minque-cov would read them
    int traitCount = 0;
    std::vector<EffectTerm> terms;         // the random terms and their levels' names
    HeritabilityModel heritability;        // the heritabilities the model defines
    MinqueDesign design;                   // the design as the bootstrap takes it
    std::shared_ptr<const MinqueProjection> projection;  // its estimation, set up once
    std::vector<ComponentLevels> levels;   // the levels each random component rests on
};

namespace {

// ---- The table ---------------------------------------------------------------

// A number as the shortest text that reads back as the same double.
std::string numberText(double v) {
    if (std::isnan(v)) return "NA";
    char text[40];
    for (int digits : {15, 16, 17}) {
        std::snprintf(text, sizeof text, "%.*g", digits, v);
        if (std::strtod(text, nullptr) == v) break;
    }
    return text;
}

TrialTable tableOf(const TrialData& data) {
    TrialTable table;
    table.fileName = data.name;
    table.separator = ',';
    std::size_t rows = 0;
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
        const TrialColumn& column = data.columns[c];
        const std::size_t length = column.numeric ? column.numbers.size() : column.text.size();
        // The first column may be unnamed (a data frame's row names).
        if (column.name.empty() && c > 0) stopRun("%s: column %zu has no name", data.name.c_str(), c + 1);
        if (table.column(column.name) >= 0)
            stopRunAt({data.name, 0, column.name, ""}, "%s: the column name '%s' appears twice", data.name.c_str(),
                      column.name.c_str());
        if (c == 0) rows = length;
        if (length != rows)
            stopRunAt({data.name, 0, column.name, ""}, "%s: the column '%s' has %zu values, but the column '%s' has %zu",
                      data.name.c_str(), column.name.c_str(), length, data.columns.front().name.c_str(), rows);
        table.names.push_back(column.name);
    }
    if (!data.rowLines.empty() && data.rowLines.size() != rows)
        stopRun("%s: %zu row lines for %zu rows", data.name.c_str(), data.rowLines.size(), rows);
    table.rows.assign(rows, std::vector<std::string>(data.columns.size()));
    for (std::size_t c = 0; c < data.columns.size(); ++c) {
        const TrialColumn& column = data.columns[c];
        for (std::size_t r = 0; r < rows; ++r)
            table.rows[r][c] = column.numeric ? numberText(column.numbers[r]) : column.text[r];
    }
    for (std::size_t r = 0; r < rows; ++r)
        table.lineOfRow.push_back(data.rowLines.empty() ? static_cast<int>(r) + 2 : data.rowLines[r]);
    return table;
}

TrialData dataOf(const TrialTable& table) {
    TrialData data;
    data.name = table.fileName;
    for (std::size_t c = 0; c < table.names.size(); ++c) {
        TrialColumn column;
        column.name = table.names[c];
        for (const auto& row : table.rows) column.text.push_back(row[c]);
        data.columns.push_back(std::move(column));
    }
    data.rowLines = table.lineOfRow;
    return data;
}

// The terms as one comma-separated list, as the model builder reads them.
std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (std::size_t k = 0; k < items.size(); ++k) text += (k ? "," : "") + items[k];
    return text;
}

// The design columns a general model's terms name (both columns of A*B).
std::vector<std::string> termColumns(const std::vector<std::string>& terms) {
    std::vector<std::string> columns;
    for (const auto& term : terms) {
        const std::size_t star = term.find('*');
        for (const auto& part : {term.substr(0, star), star == std::string::npos ? std::string() : term.substr(star + 1)})
            if (!part.empty() && part != "1" && std::find(columns.begin(), columns.end(), part) == columns.end())
                columns.push_back(part);
    }
    return columns;
}

// The design built, as the bootstrap's estimation takes it (observations
// from 0, coefficients in double).
MinqueDesign minqueDesign(const ModelDesign& built, const AnalysisState& st) {
    MinqueDesign d;
    for (int c = 1; c <= st.covarianceCount; ++c) d.covariancePairs.emplace_back(st.covariancePair[c][1] - 1, st.covariancePair[c][2] - 1);
    d.observations = built.obsCount;
    for (const ModelDesign::Factor& factor : built.factors) {
        d.factors.emplace_back();
        for (const auto& level : factor.columns) {
            d.factors.back().emplace_back();
            for (const auto& [obs, coefficient] : level) d.factors.back().back().emplace_back(obs - 1, coefficient);
        }
    }
    for (const auto& column : built.fixedColumns) {
        d.fixedColumns.emplace_back();
        for (int obs : column) d.fixedColumns.back().push_back(obs - 1);
    }
    return d;
}

// Why column c of the table looks like a row identifier rather than a trait:
// its name is a usual identifier's, or its values are the whole numbers
// k..k + n - 1, each once, in any order (a code for each row); empty when it
// does not.
std::string identifierReason(const TrialTable& table, std::size_t c) {
    std::string lower;
    for (char ch : table.names[c]) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    for (const char* usual : {"", "id", "rownames", "row.names", "row_names", "row", "rowid", "row_id", "plot",
                              "plotid", "plot_id", "plotno", "obs", "observation", "record", "index"})
        if (lower == usual) return lower.empty() ? "an unnamed first column" : "its name";
    const std::size_t n = table.rows.size();
    if (n < 2) return "";
    std::vector<long long> codes;
    for (const auto& row : table.rows) {
        const std::string& field = row[c];
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(field.c_str(), &end, 10);
        if (field.empty() || end != field.c_str() + field.size() || errno != 0) return "";
        codes.push_back(v);
    }
    std::sort(codes.begin(), codes.end());
    for (std::size_t r = 1; r < n; ++r)
        if (codes[r] != codes[r - 1] + 1) return "";
    bool inOrder = true;
    for (std::size_t r = 0; r < n && inOrder; ++r) inOrder = table.rows[r][c] == std::to_string(r + 1);
    if (inOrder) return "the row numbers 1.." + std::to_string(n);
    return "the whole numbers " + std::to_string(codes.front()) + ".." + std::to_string(codes.back()) +
           ", each once: a code for each row";
}

// Whether factor u of a design has one level per row: every row in exactly
// one level, every level one row.
bool oneLevelPerRow(const MinqueDesign& d, std::size_t u) {
    std::vector<int> seen(static_cast<std::size_t>(d.observations), 0);
    for (const auto& level : d.factors[u]) {
        if (level.size() != 1) return false;
        ++seen[static_cast<std::size_t>(level.front().first)];
    }
    return std::all_of(seen.begin(), seen.end(), [](int count) { return count == 1; });
}

// Whether factors u and v have the same levels on the same rows (in any order).
bool sameIncidence(const MinqueDesign& d, std::size_t u, std::size_t v) {
    auto rowsOf = [&](std::size_t f) {
        std::vector<std::vector<std::pair<int, double>>> levels = d.factors[f];
        for (auto& level : levels) std::sort(level.begin(), level.end());
        std::sort(levels.begin(), levels.end());
        return levels;
    };
    return rowsOf(u) == rowsOf(v);
}

// Refuses a model whose components the design cannot separate (a singular
// MINQUE matrix: its estimates would split one sum among them arbitrarily),
// naming them in the model's labels, with why where a common cause is seen,
// before any estimation.
void refuseConfounded(const MinqueProjection& projection, const AnalysisState& st, const CallerWords& words,
                      const std::string& fixedTerms) {
    const MinqueDesign& d = projection.design();
    const int K = projection.components();
    // The fixed terms leave n - rank(X) independent contrasts for the
    // components: no more than there are components (a trait or a row code
    // named as a fixed term), or too few to tell them apart, is their doing.
    const int left = d.observations - projection.fixedRank();
    auto refuseFixed = [&] {
        stopRunAt({"", 0, "", ""},
                  "%s: the model cannot be estimated: the fixed terms (%s) take %d independent columns of the %d "
                  "observations, leaving %d for %d variance components; look for a trait or a row number named as a "
                  "fixed term",
                  words.call.c_str(), fixedTerms.c_str(), projection.fixedRank(), d.observations, left, K);
    };
    if (left <= K) refuseFixed();
    const std::vector<std::vector<int>> sets = projection.confoundedComponents();
    if (sets.empty()) return;
    if (static_cast<double>(left) * (left + 1) / 2.0 < K) refuseFixed();
    const std::size_t r = d.factors.size();
    auto label = [&](int k) { return k == K - 1 ? std::string("V(e)") : st.componentNames[static_cast<std::size_t>(k) + 1]; };
    const std::vector<int>& set = sets.front();
    std::string names;
    for (std::size_t x = 0; x < set.size(); ++x)
        names += (x == 0 ? "" : x + 1 == set.size() ? " and " : ", ") + label(set[x]);
    std::string why;
    for (int k : set)
        if (static_cast<std::size_t>(k) < r && oneLevelPerRow(d, static_cast<std::size_t>(k)))
            why = label(k) + " has one level per row (" + std::to_string(d.factors[static_cast<std::size_t>(k)].size()) +
                  " levels, " + std::to_string(d.observations) + " rows), as the residual has";
    for (std::size_t x = 0; why.empty() && x < set.size(); ++x)
        for (std::size_t y = x + 1; why.empty() && y < set.size(); ++y)
            if (static_cast<std::size_t>(set[y]) < r &&
                sameIncidence(d, static_cast<std::size_t>(set[x]), static_cast<std::size_t>(set[y])))
                why = label(set[x]) + " and " + label(set[y]) + " have the same levels on the same rows";
    if (why.empty() && set.size() == 1) why = "the fixed terms already hold its levels";
    if (why.empty()) why = "too few rows for each of them to be seen apart";
    if (set.size() == 1)
        stopRunAt({"", 0, "", ""},
                  "%s: %s cannot be estimated by this design (%s); leave the term out of the model, or make it a "
                  "fixed term",
                  words.call.c_str(), names.c_str(), why.c_str());
    stopRunAt({"", 0, "", ""},
              "%s: %s cannot be separated by this design (%s): their estimates would split one sum among them "
              "arbitrarily. Add rows that repeat entries (replicates), or fit a model without one of them",
              words.call.c_str(), names.c_str(), why.c_str());
}

// The memory this process may use: the address-space limit where one is
// set, else the machine's physical memory.
double usableMemory() {
    double bytes = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        bytes = std::min(bytes, static_cast<double>(limit.rlim_cur));
    return bytes;
}

// A design whose dense factor would not fit is refused before any work,
// naming the levels, the memory and the term that makes it large.
void refuseTooLargeForMemory(const MinqueDesign& design, const AnalysisState& st, const CallerWords& words) {
    const LevelSpaceSize size = levelSpaceSize(design);
    const double usable = usableMemory();
    if (size.bytes <= 0.8 * usable || size.largestDenseFactor < 0) return;
    const int u = size.largestDenseFactor;
    stopRunAt({"", 0, "", ""},
              "%s: the design is too large for this machine's memory: %lld of its random levels stay in the dense "
              "factor, which needs about %.1f GB (%.1f GB can be used); the largest term among them is %s with %zu "
              "levels: analyse cell means, or fit that term as fixed",
              words.call.c_str(), static_cast<long long>(size.denseLevels), size.bytes / 1e9, usable / 1e9,
              st.componentNames[static_cast<std::size_t>(u) + 1].c_str(), design.factors[static_cast<std::size_t>(u)].size());
}

// The design in one line, for every place a result is shown: observations,
// and the levels of every random term; for the additive-dominance model the
// parents, crosses, selfs and reciprocals, environments and blocks.
std::string designSummary(const ModelDesign& built, const CodedTrial& coded, bool additiveDominance, bool environments,
                          bool blocks) {
    std::string text = std::to_string(coded.data.obsCount()) + " observations; ";
    auto count = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    if (additiveDominance) {
        // Design columns: environment, female, male[, block].
        std::set<std::pair<int, int>> crosses, ordered;
        std::set<int> selfs;
        for (const auto& row : coded.data.lead) {
            const int f = row[1], m = row[2];
            if (f == m) {
                selfs.insert(f);
                continue;
            }
            crosses.insert({std::min(f, m), std::max(f, m)});
            ordered.insert({f, m});
        }
        bool reciprocals = false;
        for (const auto& [f, m] : ordered) reciprocals = reciprocals || ordered.count({m, f}) > 0;
        text += count(coded.data.leadCodes[1].size(), "parent", "parents") + ", " +
                count(crosses.size(), "cross", "crosses") + ", " +
                (selfs.empty() ? std::string("no selfs") : count(selfs.size(), "self", "selfs")) + ", " +
                (reciprocals ? "reciprocals" : "no reciprocals") + "; " +
                (environments ? count(coded.data.leadCodes[0].size(), "environment", "environments")
                              : std::string("one environment"));
        // Blocks as the model has them (nested in environments).
        for (const ModelDesign::Factor& factor : built.factors)
            if (blocks && factor.role == GeneticRole::Block) text += "; " + count(factor.columns.size(), "block", "blocks");
        return text;
    }
    text += "levels of";
    for (std::size_t u = 0; u < built.factors.size(); ++u)
        text += (u == 0 ? " " : ", ") + built.factors[u].term + " " + std::to_string(built.factors[u].columns.size());
    return text;
}

// The levels each random component's estimate rests on: a term's levels
// with observations; for an interaction whose main terms are all in the
// model (AE and DE with the environments; COL1*COL2 where COL1 and COL2 are
// random or fixed terms too) the interaction's contrasts plus one, the
// product of (levels - 1) over its columns + 1, since the main terms take
// the rest; for a covariance between two factors the fewer of theirs.
std::vector<ComponentLevels> componentLevels(const ModelDesign& built, const AnalysisState& st, const CodedTrial& coded,
                                             const ModelSpec& m) {
    const bool environments = !m.env.empty();
    auto withObservations = [](const ModelDesign::Factor& f) {
        int n = 0;
        for (const auto& level : f.columns) n += level.empty() ? 0 : 1;
        return n;
    };
    auto levelsOf = [&](GeneticRole role) {
        for (const ModelDesign::Factor& f : built.factors)
            if (f.role == role) return withObservations(f);
        return 0;
    };
    std::vector<ComponentLevels> out;
    for (std::size_t u = 0; u < built.factors.size(); ++u) {
        const ModelDesign::Factor& f = built.factors[u];
        ComponentLevels c;
        c.label = st.componentNames[u + 1];
        c.term = f.term;
        c.k = static_cast<int>(u) + 1;
        c.levels = withObservations(f);
        const std::string n = std::to_string(c.levels);
        switch (f.role) {
        case GeneticRole::Additive: c.what = n + " parents"; break;
        case GeneticRole::Dominance: c.what = n + " crosses and selfs"; break;
        case GeneticRole::Block: c.what = n + " blocks"; break;
        case GeneticRole::AdditiveByEnvironment:
        case GeneticRole::DominanceByEnvironment: {
            // Design columns of the additive-dominance model: environment first.
            const int envs = environments ? static_cast<int>(coded.data.leadCodes[0].size()) : 1;
            const bool additive = f.role == GeneticRole::AdditiveByEnvironment;
            const int main = levelsOf(additive ? GeneticRole::Additive : GeneticRole::Dominance);
            c.levels = (main - 1) * (envs - 1) + 1;
            c.what = std::to_string(c.levels - 1) + " interaction contrasts of " + std::to_string(main) +
                     (additive ? " parents" : " crosses and selfs") + " in " + std::to_string(envs) +
                     " environments (as " + std::to_string(c.levels) + " levels)";
            break;
        }
        case GeneticRole::None: {
            c.what = n + " levels of " + f.term;
            const std::vector<std::string> columns = termColumns({f.term});
            if (columns.size() < 2) break;
            long long contrasts = 1;
            std::string of;
            for (const std::string& column : columns) {
                const bool main = std::find(m.random.begin(), m.random.end(), column) != m.random.end() ||
                                  std::find(m.fixed.begin(), m.fixed.end(), column) != m.fixed.end();
                const auto at = std::find(coded.data.leadNames.begin(), coded.data.leadNames.end(), column);
                if (!main || at == coded.data.leadNames.end()) {
                    contrasts = 0;
                    break;
                }
                const int levels = static_cast<int>(coded.data.leadCodes[static_cast<std::size_t>(at - coded.data.leadNames.begin())].size());
                contrasts *= levels - 1;
                of += (of.empty() ? "" : " x ") + column + " (" + std::to_string(levels) + ")";
            }
            if (contrasts <= 0) break;
            c.levels = static_cast<int>(std::min<long long>(c.levels, contrasts + 1));
            c.what = std::to_string(contrasts) + " interaction contrasts of " + of + " (as " +
                     std::to_string(c.levels) + " levels)";
            break;
        }
        }
        out.push_back(c);
    }
    const std::size_t r = built.factors.size();
    for (int p = 1; p <= st.covarianceCount; ++p) {
        const std::size_t a = static_cast<std::size_t>(st.covariancePair[p][1] - 1), b = static_cast<std::size_t>(st.covariancePair[p][2] - 1);
        ComponentLevels c = out[a].levels <= out[b].levels ? out[a] : out[b];
        c.label = st.componentNames[r + static_cast<std::size_t>(p)];
        c.term.clear();
        c.k = static_cast<int>(r) + p;
        out.push_back(c);
    }
    return out;
}

// Refuses a trait the method cannot analyse on its scale, naming it and the
// power of ten that brings its standard deviation near 1.
//  - No variation: every value equal, or within a few units of single
//    precision's last place: there is nothing to estimate.
//  - Too small: the method has absolute limits, a whole-data variance at or
//    below 1e-10 makes a correlation 0 and a pseudo-variance at or below
//    1e-8 a pseudo-correlation 0. A component is a share of the trait's
//    variance s2, often a hundredth or less of it; with s2 below 1e-8 such
//    components reach those limits.
//  - Too large: the squares of pseudo-values are summed into single
//    precision (at most 3.4e38); a pseudo-value can reach J times a
//    component, so J (J s2)^2 above 1e36 leaves too little room.
void checkTraitScales(const CodedTrial& coded, const std::string& table, int J, const CallerWords& words) {
    for (std::size_t i = 0; i < coded.data.traitNames.size(); ++i) {
        const std::string& name = coded.data.traitNames[i];
        float lo = std::numeric_limits<float>::max(), hi = -lo;
        double mean = 0.0;
        const double n = static_cast<double>(coded.values.size());
        for (const auto& row : coded.values) {
            lo = std::min(lo, row[i]);
            hi = std::max(hi, row[i]);
            mean += static_cast<double>(row[i]) / n;
        }
        const double largest = std::max(std::fabs(static_cast<double>(lo)), std::fabs(static_cast<double>(hi)));
        if (static_cast<double>(hi) - lo <= 4.0 * std::numeric_limits<float>::epsilon() * largest)
            stopRunAt({table, 0, name, ""},
                      "%s: the trait '%s' does not vary (every value is %g, within single precision): there is nothing "
                      "to estimate; leave it out, or list the traits with %s",
                      table.c_str(), name.c_str(), static_cast<double>(lo), words.traits.c_str());
        double s2 = 0.0;
        for (const auto& row : coded.values) s2 += (row[i] - mean) * (row[i] - mean) / (n - 1.0);
        const double pseudo = J * s2;
        const bool small = s2 < 1e-8, large = J * pseudo * pseudo > 1e36;
        if (!small && !large) continue;
        const double sd = std::sqrt(s2);
        stopRunAt({table, 0, name, ""},
                  "%s: the trait '%s' varies on a scale the method cannot hold (standard deviation %.3g): its variance "
                  "components would %s. Multiply it by %g (for example in a new column) and analyse that; the guide "
                  "explains the limits",
                  table.c_str(), name.c_str(), sd,
                  small ? "fall near the method's fixed limits of 1e-10 and 1e-8, where correlations become 0"
                        : "overflow single precision in the jackknife's sums of squares",
                  std::pow(10.0, -std::round(std::log10(sd))));
    }
}

std::string fileStem(const std::string& name) {
    const std::string stem = fs::path(name).stem().string();
    return stem.empty() ? "data" : stem;
}

// ---- The run's folder -----------------------------------------------------------

// Where a run writes: the folder asked for, or a private temporary folder
// that belongs to this object (removed when it goes, unless kept).
class RunFolder {
public:
    explicit RunFolder(const std::string& folder) : path_(folder) {
        if (!path_.empty()) {
            std::error_code error;
            if (!fs::is_directory(path_, error)) stopRun("%s: the folder for the run's files does not exist", path_.c_str());
            return;
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/minque-run-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            stopRun("%s: a private folder for the run could not be created (%s)", pattern.c_str(), std::strerror(errno));
        path_ = pattern;
        owned_ = true;
    }
    ~RunFolder() {
        if (!owned_) return;
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    const std::string& path() const { return path_; }
    bool owned() const { return owned_; }
    void keep() { owned_ = false; }

private:
    std::string path_;
    bool owned_ = false;
};

void writeText(RunFiles& files, const std::string& path, const std::string& text) {
    files.add(path);
    writeFileText(path, text);
}

PreparedAnalysis prepare(const AnalysisRequest& request, const AnalysisProgress& progress);
AnalysisResult run(PreparedAnalysis& prepared, const AnalysisProgress& progress);

// The predicted effects of every pass, as the passes are computed: each
// trait at its own components of that pass (the variance records just
// appended), on the pass's data set.
class EffectCollector {
public:
    EffectCollector(int traits, int replicates, int columns, int observations, int groupSize)
        : n_(observations), groups_{observations, groupSize} {
        effects_.traits = traits;
        effects_.replicates = replicates;
        effects_.columns = columns;
        const std::size_t sets = (static_cast<std::size_t>(replicates) + 1) * static_cast<std::size_t>(traits);
        try {
            effects_.values.assign(sets * static_cast<std::size_t>(columns), 0.0);
            effects_.predicted.assign(sets, 0);
        } catch (const std::bad_alloc&) {
            workAllocationFailure();
        }
    }

    // records: the variance records of every pass so far (those of pass k last).
    void pass(const AnalysisState& st, int k, const std::vector<float>& records) {
        const int t = effects_.traits, r = st.randomFactorCount;
        // The pass's data set: the state's current lists (0-based rows).
        MinqueDesign design;
        design.observations = st.obsCount;
        for (int f = 1; f <= r; ++f) {
            design.factors.emplace_back();
            for (int j = st.factorLevelEnd[f - 1] + 1; j <= st.factorLevelEnd[f]; ++j) {
                design.factors.back().emplace_back();
                for (int e = 1; e <= st.randomColCount[j]; ++e)
                    design.factors.back().back().emplace_back(st.randomColRows[j][e] - 1, static_cast<double>(st.randomColValues[j][e]));
            }
        }
        for (int c = 1; c <= st.fixedCount; ++c) {
            design.fixedColumns.emplace_back();
            for (int e = 1; e <= st.fixedColCount[c]; ++e) design.fixedColumns.back().push_back(st.fixedColRows[c][e] - 1);
        }
        std::vector<double> y(static_cast<std::size_t>(st.obsCount)), components(static_cast<std::size_t>(r) + 1);
        for (int i = 1; i <= t; ++i) {
            const std::size_t at = (static_cast<std::size_t>(k) * static_cast<std::size_t>(t) + static_cast<std::size_t>(i - 1)) *
                                   static_cast<std::size_t>(st.recordLength);
            if (at + static_cast<std::size_t>(st.recordLength) > records.size())
                stopRun("internal error: the variance records of pass %d are missing", k);
            for (int f = 0; f <= r; ++f)
                components[static_cast<std::size_t>(f)] = records[at + static_cast<std::size_t>(f == r ? st.componentCount : f + 1)];
            int kept = 0;
            for (int m = 1; m <= n_; ++m)
                if (groups_.keeps(k, m)) {
                    if (kept == st.obsCount) stopRun("internal error: pass %d keeps more rows than its data set holds", k);
                    y[static_cast<std::size_t>(kept++)] = st.traitData[i][m];
                }
            const LevelEffects level = predictLevelEffects(design, y.data(), components);
            const std::size_t set = static_cast<std::size_t>(k) * static_cast<std::size_t>(t) + static_cast<std::size_t>(i - 1);
            effects_.predicted[set] = level.predicted ? 1 : 0;
            std::copy(level.values.begin(), level.values.end(),
                      effects_.values.begin() + static_cast<std::ptrdiff_t>(set * level.values.size()));
            if (k == 0)
                for (int f = 0; f < r; ++f) effects_.termPositive.push_back(components[static_cast<std::size_t>(f)] > 0.0);
        }
    }

    const PredictedEffects& effects() const { return effects_; }

private:
    int n_;
    JackknifeGroups groups_;
    PredictedEffects effects_;
};

// Sets the worker threads of a run: at most the hardware's, and says so when
// fewer run than were asked for.
void startWorkerThreads(int asked, const CallerWords& words, const AnalysisProgress& progress) {
    const int hardware = hardwareThreads();
    auto note = [&](const std::string& text) {
        if (progress.note) progress.note(text);
    };
    if (asked > hardware)
        note(words.threads + " " + std::to_string(asked) + " is more than this machine's " + std::to_string(hardware) +
             " hardware threads: the run uses " + std::to_string(hardware) + " (more would only wait for one another)");
    const int wanted = asked < 1 || asked > hardware ? hardware : asked;
    setWorkerThreads(wanted);
    if (workerThreads() < wanted)
        note("only " + std::to_string(workerThreads()) + " of " + std::to_string(wanted) +
             " worker threads could be started (the system refused more): the run uses them; the results do not "
             "depend on the number of threads");
}

// A call of the library made from inside one of its own callbacks (passDone,
// note) would wait for the run it is part of: it is refused instead. The mark
// is per thread, since the callbacks run on the caller's thread.
thread_local bool callInProgress = false;

class OneCallAtATime {
public:
    explicit OneCallAtATime(const CallerWords& words) {
        if (callInProgress)
            stopRun("%s: called from inside a running analysis (from its progress or note callback); an analysis "
                    "cannot start another: start it after this one returns",
                    words.call.c_str());
        callInProgress = true;
    }
    ~OneCallAtATime() { callInProgress = false; }
    OneCallAtATime(const OneCallAtATime&) = delete;
    OneCallAtATime& operator=(const OneCallAtATime&) = delete;
};

// A caller's callback whose exceptions that are not RunErrors become a cancel
// that says which callback failed and why.
template <class Callback>
Callback guardedCallback(const char* which, Callback callback) {
    if (!callback) return callback;
    return [which, callback](auto... args) {
        auto failed = [which](const char* what) {
            return RunError(RunError::Kind::Cancelled, std::string("the ") + which + " callback failed: " + what);
        };
        try {
            return callback(args...);
        } catch (const RunError&) {
            throw;
        } catch (const std::exception& e) {
            throw failed(e.what());
        } catch (...) {
            throw failed("an exception that is not a std::exception");
        }
    };
}

AnalysisProgress guarded(const AnalysisProgress& progress) {
    AnalysisProgress safe;
    safe.note = guardedCallback("note", progress.note);
    safe.passDone = guardedCallback("passDone", progress.passDone);
    return safe;
}

// The engine's failures said in the user's terms: memory with the size that
// was asked for, a generalized inverse that did not converge with where to
// look. n is the number of observations (or of the table's rows).
template <class Body>
auto inUsersTerms(const CallerWords& words, double n, Body body) {
    try {
        return body();
    } catch (const RunError& e) {
        if (e.kind() != RunError::Kind::Fatal) throw;
        const std::string engine = e.message();
        char text[1024];
        if (engine.rfind("allocation failure", 0) == 0)
            std::snprintf(text, sizeof text,
                          "%s: not enough memory for %.0f observations: the n x n variance matrix alone needs %.1f GB "
                          "(4 n^2 bytes); analyse fewer rows (cell means instead of plots), or on a larger machine",
                          words.call.c_str(), n, 4.0 * n * n / 1e9);
        else if (engine.find("SVDCMP") != std::string::npos)
            std::snprintf(text, sizeof text,
                          "%s: the model cannot be estimated: a generalized inverse did not converge (%s); look for a "
                          "fixed term with about as many levels as rows (a trait or a row number named as a design "
                          "column), or terms that repeat one another",
                          words.call.c_str(), engine.c_str());
        else
            std::snprintf(text, sizeof text, "%s: the analysis failed: %s", words.call.c_str(), engine.c_str());
        RunError error(RunError::Kind::Fatal, text);
        RunError::ProgramNotes notes = programNotesOf(e);
        notes.explained = true;
        error.setProgramNotes(std::make_shared<const RunError::ProgramNotes>(notes));
        throw error;
    }
}

// Runs of the engine share the process's worker threads: one at a time.
std::mutex& engineMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

TrialData trialDataFromText(const std::string& text, const std::string& name) {
    return dataOf(parseTrialTable(text, name));
}

TrialData trialDataFromFile(const std::string& path) { return dataOf(readTrialTable(path)); }

void checkModelSpec(const ModelSpec& m, const AnalysisOptions& o, const CallerWords& w) {
    const char* call = w.call.c_str();
    const bool additiveDominance = !m.female.empty() || !m.male.empty();
    if (additiveDominance == !m.random.empty())
        stopRunAt({"", 0, "", w.random}, "%s: give either the additive-dominance model (%s and %s) or a general model (%s)",
                  call, w.female.c_str(), w.male.c_str(), w.random.c_str());
    if (additiveDominance && (m.female.empty() || m.male.empty()))
        stopRunAt({"", 0, "", m.female.empty() ? w.female : w.male},
                  "%s: the additive-dominance model needs both %s and %s", call, w.female.c_str(), w.male.c_str());
    if (additiveDominance) {
        // Each role of the design its own column.
        const std::pair<const std::string*, const std::string*> roles[] = {
            {&m.female, &w.female}, {&m.male, &w.male}, {&m.env, &w.env}, {&m.block, &w.block}};
        for (std::size_t a = 0; a < 4; ++a)
            for (std::size_t b = a + 1; b < 4; ++b)
                if (!roles[a].first->empty() && *roles[a].first == *roles[b].first)
                    stopRunAt({"", 0, *roles[a].first, *roles[b].second},
                              "%s: %s and %s name the same column '%s'; each needs a column of its own", call,
                              roles[a].second->c_str(), roles[b].second->c_str(), roles[a].first->c_str());
    }
    for (const std::string& term : m.random) {
        const std::size_t star = term.find('*');
        const bool twoColumns = star != std::string::npos;
        if (term.empty() || star == 0 || (twoColumns && (star + 1 == term.size() || term.find('*', star + 1) != std::string::npos)))
            stopRunAt({"", 0, "", w.random},
                      "%s: the term '%s' of %s is not a column name COL or an interaction COL1*COL2 of two columns",
                      call, term.c_str(), w.random.c_str());
        if (twoColumns && term.substr(0, star) == term.substr(star + 1))
            stopRunAt({"", 0, "", w.random}, "%s: the term '%s' of %s crosses a column with itself; give the column alone",
                      call, term.c_str(), w.random.c_str());
    }
    for (const std::string& term : m.fixed)
        if (term.empty() || term.find('*') != std::string::npos)
            stopRunAt({"", 0, "", w.fixed},
                      "%s: the fixed term '%s' of %s is not 1 (the intercept) or a column name", call, term.c_str(),
                      w.fixed.c_str());
    if (o.standardErrors == StandardErrors::Jackknife && o.group < 1)
        stopRunAt({"", 0, "", w.group}, "%s: the jackknife needs %s, a group size of at least 1", call, w.group.c_str());
    if (o.group < 0) stopRunAt({"", 0, "", w.group}, "%s: %s must be at least 1", call, w.group.c_str());
    if (o.standardErrors == StandardErrors::Bootstrap && o.bootstrapSamples < 20)
        stopRunAt({"", 0, "", w.bootstrap}, "%s: %s needs at least 20 samples", call, w.bootstrap.c_str());
    if (o.effects && m.covariances)
        stopRunAt({"", 0, "", w.effects},
                  "%s: %s cannot be combined with %s: the predictions would need the covariance components between "
                  "factors in the equations, which is not supported",
                  call, w.effects.c_str(), w.covariances.c_str());
}

PreparedAnalysis prepareAnalysis(const AnalysisRequest& request, const AnalysisProgress& progress) {
    const OneCallAtATime inside(request.words);
    std::size_t rows = 0;
    for (const TrialColumn& column : request.data.columns) rows = std::max(rows, column.numeric ? column.numbers.size() : column.text.size());
    // Before the engine runs, the fatal routine speaks English (as the
    // command line does until its run starts).
    return inUsersTerms(request.words, static_cast<double>(rows),
                        [&] { return inRunLanguage(false, [&] { return prepare(request, guarded(progress)); }); });
}

AnalysisResult runAnalysis(PreparedAnalysis&& prepared, const AnalysisProgress& progress) {
    const OneCallAtATime inside(prepared.words);
    return inUsersTerms(prepared.words, prepared.settings.observations, [&] {
        return inRunLanguage(prepared.options.chinese, [&] { return run(prepared, guarded(progress)); });
    });
}

namespace {

PreparedAnalysis prepare(const AnalysisRequest& request, const AnalysisProgress& progress) {
    const ModelSpec& m = request.model;
    const AnalysisOptions& o = request.options;
    const CallerWords& words = request.words;
    checkModelSpec(m, o, words);
    const TrialTable table = tableOf(request.data);
    const bool additiveDominance = !m.female.empty();

    TrialDesign design;
    design.dropIncomplete = o.dropIncomplete;
    design.rowWord = words.row;
    design.dropOption = words.dropIncomplete;
    design.traitsOption = words.traits;
    design.traitsListed = !o.traits.empty();
    ModelRequest model;
    model.covariances = m.covariances;
    model.covarianceOption = words.covariances;
    std::string modelText;
    std::string environment = m.env;
    if (additiveDominance) {
        if (environment.empty()) {
            // One environment: a constant column, which the model turns into
            // the intercept.
            environment = "Env";
            while (table.column(environment) >= 0) environment += "_";
        }
        design.design = {environment, m.female, m.male};
        if (!m.block.empty()) design.design.push_back(m.block);
        design.shared = {{m.female, m.male}};
        model.additiveDominance = environment + "," + m.female + "," + m.male + (m.block.empty() ? "" : "," + m.block);
        // The model as fitted, in the user's column names.
        modelText = "additive-dominance (" + (m.env.empty() ? std::string() : "environment " + m.env + ", ") +
                    "female " + m.female + ", male " + m.male + (m.block.empty() ? "" : ", block " + m.block) +
                    (m.env.empty() ? "; one environment)" : ")");
    } else {
        std::vector<std::string> terms = m.random;
        terms.insert(terms.end(), m.fixed.begin(), m.fixed.end());
        design.design = termColumns(terms);
        model.random = joined(m.random);
        model.fixed = joined(m.fixed);
        model.trailing = m.trailing;
        modelText = "general: random " + model.random + "; fixed " + model.fixed;
    }
    if (!o.traits.empty()) {
        design.traits = o.traits;
    } else {
        // Every column the model does not name, but row identifiers.
        std::string identifiers;
        for (std::size_t c = 0; c < table.names.size(); ++c) {
            const std::string& name = table.names[c];
            if (std::find(design.design.begin(), design.design.end(), name) != design.design.end()) continue;
            const std::string why = identifierReason(table, c);
            if (why.empty()) {
                design.traits.push_back(name);
                continue;
            }
            identifiers += (identifiers.empty() ? "" : ", ") + ("'" + name + "' (" + why + ")");
        }
        if (!identifiers.empty() && progress.note)
            progress.note(request.data.name + ": left out of the traits as row identifiers: " + identifiers +
                          "; list the traits with " + words.traits + " to analyse such a column");
    }
    // The stand-in environment column is not in the table: code without it.
    const bool standInEnvironment = additiveDominance && m.env.empty();
    TrialDesign tableDesign = design;
    if (standInEnvironment) tableDesign.design.erase(tableDesign.design.begin());
    CodedTrial coded = codeTrial(table, tableDesign);
    if (standInEnvironment) {
        coded.data.leadNames.insert(coded.data.leadNames.begin(), environment);
        coded.data.leadCodes.insert(coded.data.leadCodes.begin(), std::vector<std::string>{"1"});
        for (auto& row : coded.data.lead) row.insert(row.begin(), 1);
    }
    const int n = coded.data.obsCount();
    if (!coded.droppedLines.empty() && progress.note) {
        std::string lines;
        for (std::size_t k = 0; k < coded.droppedLines.size() && k < 10; ++k)
            lines += (k ? ", " : "") + std::to_string(coded.droppedLines[k]);
        if (coded.droppedLines.size() > 10) lines += ", ...";
        char note[512];
        std::snprintf(note, sizeof note, "%s: dropped %zu of %zu rows with a missing value (%ss %s)",
                      request.data.name.c_str(), coded.droppedLines.size(), table.rows.size(), words.row.c_str(),
                      lines.c_str());
        progress.note(note);
    }
    // With rows dropped, a refusal for too few rows names the columns whose
    // missing values emptied the table.
    std::string emptiedBy;
    if (!coded.droppedLines.empty()) {
        emptiedBy = " (the rows with a missing value were dropped: ";
        const auto& columns = coded.missingByColumn;
        for (std::size_t k = 0; k < columns.size(); ++k)
            emptiedBy += (k == 0 ? "" : ", ") + columns[k].first + " is missing in " +
                         (columns[k].second == static_cast<int>(table.rows.size()) ? "all " : "") +
                         std::to_string(columns[k].second) + (columns[k].second == 1 ? " row" : " rows");
        emptiedBy += "; list the traits without a column that is mostly empty with " + words.traits + ")";
    }
    // The jackknife's replicates; the bootstrap has none (its estimation
    // pass is the whole data's, and its sums are in double).
    const bool jackknife = o.standardErrors == StandardErrors::Jackknife;
    const int replicates = jackknife ? JackknifeGroups{n, o.group}.replicates() : 0;
    if (jackknife && replicates < kMinReplicates)
        stopRunAt({request.data.name, 0, "", words.group},
                  "%s: %d complete rows in groups of %d give %d jackknife replicates; at least %d are needed%s",
                  request.data.name.c_str(), n, o.group, replicates, kMinReplicates, emptiedBy.c_str());
    if (!jackknife && n < 2)
        stopRunAt({request.data.name, 0, "", ""}, "%s: %d complete rows; the analysis needs at least 2%s",
                  request.data.name.c_str(), n, emptiedBy.c_str());
    checkTraitScales(coded, request.data.name, jackknife ? replicates : 1, words);

    // The model file as minque-model writes it, read back into the engine's
    // state with the readers of minque-var and minque-cov; the trait values
    // go in as the data file holds them (its %.9g text reads back to the
    // same floats).
    if (o.fileName.find('/') != std::string::npos || o.fileName == "." || o.fileName == "..")
        stopRunAt({"", 0, "", "fileName"},
                  "%s: the file name '%s' names a folder; give a name without '/' (the files go into the run's folder)",
                  words.call.c_str(), o.fileName.c_str());
    const std::string name = o.fileName.empty() ? fileStem(request.data.name) : o.fileName;
    coded.data.fileName = name + ".TXT";
    auto prepared = std::make_shared<PreparedModel>();
    AnalysisState& st = prepared->state;
    ModelDesign built;
    prepared->modelText = buildModelFile(coded.data, model, name + ".MAT", &st, &built);
    prepared->dataText = formatDataFile(coded.data.leadNames, coded.data.traitNames, coded.data.lead, coded.values);
    prepared->traitCount = static_cast<int>(coded.data.traitNames.size());
    prepared->terms = effectTerms(built);
    prepared->design = minqueDesign(built, st);
    refuseTooLargeForMemory(prepared->design, st, words);
    {
        // The set-up runs on the process's worker threads: one at a time.
        std::lock_guard<std::mutex> oneRun(engineMutex());
        prepared->projection = std::make_shared<const MinqueProjection>(prepared->design);
    }
    refuseConfounded(*prepared->projection, st, words,
                     additiveDominance ? (m.env.empty() ? std::string("the intercept") : "the environments " + m.env)
                                       : joined(m.fixed));
    prepared->heritability = heritabilityDefinitions(built, st);
    prepared->levels = componentLevels(built, st, coded, m);
    for (const ComponentLevels& c : prepared->levels)
        if (c.levels < kFewLevels && progress.note)
            progress.note(c.label + " rests on " + c.what + ", fewer than " + std::to_string(kFewLevels) +
                          " levels: its rows in the tables are flagged few_levels (a rough estimate; the guide says "
                          "what such a design can tell)");
    st.traitNames.assign(static_cast<std::size_t>(prepared->traitCount) + 1, std::string());
    for (int i = 1; i <= prepared->traitCount; ++i) {
        st.traitNames[static_cast<std::size_t>(i)] = coded.data.traitNames[static_cast<std::size_t>(i - 1)];
        for (int obs = 1; obs <= n; ++obs)
            st.traitData[i][obs] = coded.values[static_cast<std::size_t>(obs - 1)][static_cast<std::size_t>(i - 1)];
    }

    if (!jackknife) {
        // The bootstrap keeps every sample's components for the tables' spreads
        // and intervals: B K t (t + 1) / 2 doubles.
        const double bytes = 8.0 * o.bootstrapSamples * st.componentCount * prepared->traitCount *
                             (prepared->traitCount + 1) / 2.0;
        if (bytes > 4e9)
            stopRunAt({"", 0, "", words.bootstrap},
                      "%s: %d bootstrap samples of %d components and %d traits would need %.1f GB to hold; give fewer "
                      "samples with %s (1000 is the default) or fewer traits",
                      words.call.c_str(), o.bootstrapSamples, st.componentCount, prepared->traitCount, bytes / 1e9,
                      words.bootstrap.c_str());
    }

    PreparedAnalysis result;
    result.options = o;
    result.words = words;
    result.model = prepared;
    AnalysisSettings& s = result.settings;
    s.observations = n;
    s.tableRows = static_cast<int>(table.rows.size());
    s.droppedLines = coded.droppedLines;
    s.traits = coded.data.traitNames;
    s.randomFactors = st.randomFactorCount;
    s.components = st.componentCount;
    s.groupSize = jackknife ? o.group : 0;
    s.replicates = replicates;
    s.bootstrapSamples = jackknife ? 0 : o.bootstrapSamples;
    s.seed = jackknife ? 0 : o.seed;
    s.model = modelText + (m.covariances ? ", with covariance components between factors" : "");
    s.design = designSummary(built, coded, additiveDominance, !m.env.empty(), !m.block.empty());
    s.fileName = name;
    return result;
}

// Tells the user of every trait whose residual component leaves it without
// predictions.
void noteTraitsWithoutEffects(const PredictedEffects& predicted, const std::vector<std::string>& traits,
                              const AnalysisProgress& progress) {
    for (int i = 0; i < predicted.traits; ++i)
        if (!predicted.predicted[static_cast<std::size_t>(i)] && progress.note)
            progress.note(traits[static_cast<std::size_t>(i)] +
                          ": the residual variance component is at or below zero; no effects are predicted for this "
                          "trait");
}

// The tables of a run with bootstrap standard errors: the whole-data
// components from the estimator in the space of the random levels, the
// effects at them, and the spread of the bootstrap's samples.
AnalysisResult bootstrapResult(PreparedModel& model, const AnalysisSettings& settings, const AnalysisOptions& o,
                               const AnalysisProgress& progress, PredictedEffects* effects) {
    const AnalysisState& st = model.state;
    const int t = model.traitCount, K = st.componentCount, R = st.recordLength, n = st.obsCount;
    const MinqueProjection& projection = *model.projection;
    if (projection.components() != K || projection.observations() != n)
        stopRun("internal error: the bootstrap's design has %d components, the model %d", projection.components(), K);
    const int B = o.bootstrapSamples;
    auto cancelUnlessGoingOn = [&](int done) {
        if (progress.passDone && !progress.passDone(done, B))
            throw RunError(RunError::Kind::Cancelled, "The analysis was cancelled after " + std::to_string(done) + " of " +
                                                          std::to_string(B) + " bootstrap samples");
    };
    BootstrapTableInput input;
    input.traits = settings.traits;
    input.heritability = model.heritability;
    input.randomFactors = st.randomFactorCount;
    {
        std::vector<double> Y(static_cast<std::size_t>(n) * static_cast<std::size_t>(t));
        for (int obs = 1; obs <= n; ++obs)
            for (int i = 1; i <= t; ++i)
                Y[static_cast<std::size_t>(obs - 1) * static_cast<std::size_t>(t) + static_cast<std::size_t>(i - 1)] = st.traitData[i][obs];
        input.whole = projection.estimate(Y, t);
    }
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    // The variance file's records of all data (float 0 without meaning):
    // what the library returns, and the components the effects are predicted at.
    std::vector<float> records(static_cast<std::size_t>(t) * static_cast<std::size_t>(R), 0.0f);
    for (int i = 0; i < t; ++i)
        for (int k = 0; k < K; ++k)
            records[static_cast<std::size_t>(i) * static_cast<std::size_t>(R) + static_cast<std::size_t>(k) + 1] =
                static_cast<float>(input.whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(i, i, t))]);
    if (effects != nullptr) {
        // Each trait's effects at its own whole-data components, with their
        // prediction error variances.
        const MinqueDesign& design = projection.design();
        const int r = st.randomFactorCount, q = projection.columns();
        effects->traits = t;
        effects->replicates = 0;
        effects->columns = q;
        std::vector<double> y(static_cast<std::size_t>(n)), components(static_cast<std::size_t>(r) + 1);
        for (int i = 0; i < t; ++i) {
            for (int obs = 1; obs <= n; ++obs) y[static_cast<std::size_t>(obs - 1)] = st.traitData[i + 1][obs];
            for (int k = 0; k <= r; ++k)
                components[static_cast<std::size_t>(k)] =
                    input.whole[static_cast<std::size_t>(k == r ? K - 1 : k) * pairs + static_cast<std::size_t>(pairIndex(i, i, t))];
            const LevelEffects level = predictLevelEffects(design, y.data(), components);
            effects->values.insert(effects->values.end(), level.values.begin(), level.values.end());
            effects->predictionErrorVariances.insert(effects->predictionErrorVariances.end(),
                                                     level.predictionErrorVariances.begin(),
                                                     level.predictionErrorVariances.end());
            effects->predicted.push_back(level.predicted ? 1 : 0);
            for (int k = 0; k < r; ++k) effects->termPositive.push_back(components[static_cast<std::size_t>(k)] > 0.0);
        }
    }
    cancelUnlessGoingOn(0);
    for (int k = 1; k <= K; ++k)
        input.labels.push_back(k == K ? "V(e)" : st.componentNames[static_cast<std::size_t>(k)]);
    input.draws = parametricBootstrap(projection, input.whole, t, B, o.seed, cancelUnlessGoingOn);

    AnalysisResult result;
    result.settings = settings;
    result.tables = bootstrapTables(input);
    VarianceRecords& v = result.varianceRecords;
    v.traits = t;
    v.replicates = 0;
    v.components = K;
    v.values = std::move(records);
    if (o.covarianceRecords) {
        // The pairs (1, 2), (1, 3), ..., (t - 1, t) of all data, as the variances.
        CovarianceRecords& c = result.covarianceRecords;
        c.pairs = t * (t - 1) / 2;
        c.replicates = 0;
        c.components = K;
        c.values.assign(static_cast<std::size_t>(c.pairs) * static_cast<std::size_t>(R), 0.0f);
        std::size_t at = 0;
        for (int i = 0; i < t; ++i)
            for (int j = i + 1; j < t; ++j, at += static_cast<std::size_t>(R))
                for (int k = 0; k < K; ++k)
                    c.values[at + static_cast<std::size_t>(k) + 1] =
                        static_cast<float>(input.whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(i, j, t))]);
    }
    return result;
}

// The tables of a run with the jackknife's standard errors, from the
// reports' blocks and the variance records of every pass.
AnalysisResult jackknifeResult(PreparedModel& model, const AnalysisSettings& settings, ReportedBlocks& blocks,
                               const AnalysisOptions& o) {
    const AnalysisState& st = model.state;
    AnalysisResult result;
    result.settings = settings;
    const ReportEstimates variances = reportOfBlocks(blocks.variances, st.traitNames, o.chinese);
    result.tables = buildResultTables(reportOfBlocks(blocks.covariances, st.traitNames, o.chinese), &variances);
    result.varianceReport = std::move(blocks.varianceReport);
    result.covarianceReport = std::move(blocks.covarianceReport);
    VarianceRecords& v = result.varianceRecords;
    v.traits = model.traitCount;
    v.replicates = st.replicateCount;
    v.components = st.componentCount;
    v.values = std::move(blocks.varianceRecords);
    CovarianceRecords& c = result.covarianceRecords;
    c.pairs = model.traitCount * (model.traitCount - 1) / 2;
    c.replicates = st.replicateCount;
    c.components = st.componentCount;
    c.values = std::move(blocks.covarianceRecords);
    result.tables.heritabilities =
        heritabilityRows(model.heritability, v.values, settings.traits, v.components, v.replicates);
    return result;
}

AnalysisResult run(PreparedAnalysis& prepared, const AnalysisProgress& progress) {
    const std::shared_ptr<PreparedModel> model = std::exchange(prepared.model, nullptr);
    if (model == nullptr) stopRun("internal error: a prepared analysis runs once");
    const AnalysisOptions& o = prepared.options;
    const std::string& name = prepared.settings.fileName;
    std::lock_guard<std::mutex> oneRun(engineMutex());

    // Files only when asked for: a folder given, or the run's files kept.
    std::optional<RunFolder> folder;
    if (!o.folder.empty() || o.keepFiles) folder.emplace(o.folder);
    const std::string dir = folder ? folder->path() : std::string();
    RunFiles written;
    if (folder) {
        for (const std::string& file : {name + ".TXT", name + ".MAT", name + ".DAT", name + ".VAR", name + ".COV",
                                        std::string("MATWRN.var"), std::string(kVarianceSignatureFile)})
            if (access(pathInFolder(dir, file).c_str(), F_OK) == 0)
                stopRun("%s: the folder already holds %s; give an empty folder or another file name", dir.c_str(),
                        file.c_str());
        // The engine's input files, as minque-var and minque-cov would read
        // them: the run can be repeated with the three programs.
        writeText(written, pathInFolder(dir, name + ".TXT"), model->dataText);
        writeText(written, pathInFolder(dir, name + ".MAT"), model->modelText);
        writeText(written, pathInFolder(dir, name + ".DAT"), "");
    }

    startWorkerThreads(o.threads, prepared.words, progress);
    AnalysisState& st = model->state;
    const bool bootstrap = o.standardErrors == StandardErrors::Bootstrap;
    std::optional<EffectCollector> effects;  // the jackknife's, of every pass
    PredictedEffects predicted;               // the bootstrap's, of all data
    AnalysisResult result;
    if (bootstrap) {
        result = bootstrapResult(*model, prepared.settings, o, progress, o.effects ? &predicted : nullptr);
    } else {
        // The jackknife: the programs' engine, whose reports these are, and its n x n V^-1.
        st.vInverse = dmatrix(1, st.obsCount, 1, st.obsCount);
        CombinedRun run;
        run.folder = dir;
        run.name = name;
        run.chinese = o.chinese;
        run.groupSize = o.group;
        run.forceHost = o.hostOnly;
        run.control.programLines = false;
        if (folder)
            run.varianceSignature =
                varianceSignature(model->dataText, model->modelText, o.group, model->state.covarianceCount > 0 ? 1 : 0);
        run.control.passDone = progress.passDone;
        run.control.covarianceRecords = o.covarianceRecords;
        if (o.effects) {
            effects.emplace(model->traitCount, prepared.settings.replicates, st.randomLevelCount, st.obsCount, o.group);
            run.control.passComputed = [&effects](AnalysisState& state, int k) {
                effects->pass(state, k, allRecords(state, kSlotVariance));
            };
        }
        ReportedBlocks blocks = runVariancesAndCovariances(st, model->traitCount, run);
        if (folder)
            for (const std::string& output : {name + ".VAR", name + ".COV", std::string("MATWRN.var"),
                                              std::string(kVarianceSignatureFile)})
                written.add(pathInFolder(dir, output));
        result = jackknifeResult(*model, prepared.settings, blocks, o);
    }
    if (o.effects) {
        const PredictedEffects& e = bootstrap ? predicted : effects->effects();
        noteTraitsWithoutEffects(e, prepared.settings.traits, progress);
        result.tables.effects = bootstrap ? effectRowsFromPredictionErrors(model->terms, e, prepared.settings.traits)
                                          : effectRows(model->terms, e, prepared.settings.traits);
    }
    flagFewLevels(result.tables, model->levels, model->heritability);
    result.threads = workerThreads();
    result.vectorPath = vectorPathName(vectorPath());
    written.keepAll();
    if (folder) {
        folder->keep();
        result.folder = dir;
    }
    return result;
}

}  // namespace

AnalysisResult analyse(const AnalysisRequest& request, const AnalysisProgress& progress) {
    return runAnalysis(prepareAnalysis(request, progress), progress);
}

}  // namespace minque
