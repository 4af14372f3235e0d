// The library's entry: a trial table in memory to results. The table is
// coded and the model built as `minque analyse` does; the estimates, the
// bootstrap and the effects come from the estimator in the space of the
// random levels, and `--se jackknife` from the programs' engine through its
// one adapter (library/engine_jackknife).
#include "minquecov/analysis.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>

#include "core/fatal_error.hpp"
#include "io/run_files.hpp"
#include "io/trial_table.hpp"
#include "library/bootstrap_run.hpp"
#include "library/call_guards.hpp"
#include "library/design_checks.hpp"
#include "library/design_summary.hpp"
#include "library/engine_jackknife.hpp"
#include "library/prepared_model.hpp"
#include "library/related_terms.hpp"
#include "library/run_folder.hpp"
#include "library/table_adapters.hpp"
#include "library/trial_coding.hpp"
#include "linalg/worker_pool.hpp"
#include "model/genetic_definitions.hpp"
#include "report/few_levels.hpp"
#include "report/genetic_effects.hpp"
#include "report/result_tables.hpp"

namespace minque {

namespace {

PreparedAnalysis prepare(const AnalysisRequest& request, const AnalysisProgress& progress);
AnalysisResult run(PreparedAnalysis& prepared, const AnalysisProgress& progress);

}  // namespace

TrialData trialDataFromText(const std::string& text, const std::string& name) {
    return dataOf(parseTrialTable(text, name));
}

TrialData trialDataFromFile(const std::string& path) { return dataOf(readTrialTable(path)); }

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

// The entry factor of the line-mean heritability: the term named, or the one
// random main effect that can be it; -1 for none. Says which it took, or
// which could be it.
int entryTerm(const ModelDesign& built, const ComponentLayout& layout, const ModelSpec& m, bool additiveDominance,
              const CallerWords& words, const AnalysisProgress& progress) {
    const char* what = "the line-mean heritability's entry term (the genotypes)";
    if (!m.entry.empty() && additiveDominance)
        stopRunAt({"", 0, "", words.entry},
                  "%s: %s is a general model's random term; the additive-dominance model's entries are crosses of its "
                  "parents", words.entry.c_str(), what);
    if (!m.entry.empty() && m.covariances)
        stopRunAt({"", 0, "", words.entry}, "%s: %s cannot be combined with %s", words.entry.c_str(), what,
                  words.covariances.c_str());
    if (additiveDominance || m.covariances) return -1;
    const std::vector<int> candidates = entryCandidates(built, layout);
    std::string names;
    for (int u : candidates) names += (names.empty() ? "" : ", ") + built.factors[static_cast<std::size_t>(u)].term;
    if (!m.entry.empty()) {
        for (int u : candidates)
            if (built.factors[static_cast<std::size_t>(u)].term == m.entry) return u;
        stopRunAt({"", 0, "", words.entry},
                  "%s: '%s' cannot be %s: it must be a random main effect of the model with two levels or more, "
                  "without a relationship matrix, reported in the tables (%s)",
                  words.entry.c_str(), m.entry.c_str(), what,
                  candidates.empty() ? "the model has none" : ("the model's: " + names).c_str());
    }
    // A main effect with a relationship matrix cannot be the entries, but it
    // keeps the others from being taken for them.
    std::size_t related = 0;
    for (std::size_t u = 0; u < built.factors.size(); ++u)
        related += built.factors[u].related && built.factors[u].term.find('*') == std::string::npos ? 1 : 0;
    if (candidates.size() == 1 && related == 0) {
        if (progress.note)
            progress.note(names + ": taken as the entry term (the genotypes) of the line-mean heritability; name another "
                                  "with " + words.entry);
        return candidates.front();
    }
    if (candidates.size() > 1 && progress.note)
        progress.note("the line-mean heritability needs its entry term (the genotypes): " + names +
                      " could each be it; name one with " + words.entry);
    return -1;
}

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
    std::pair<std::string, std::string> designLikeColumn;  // a design-like column taken as a trait, and why
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
                // A column coded as the design is (Rep, Block, Year 1, 2, 3) is
                // not taken for a trait unasked: analysed as one, its
                // "components" would read as a genetic result. Refused once
                // the model's own columns are known to be there.
                const std::string designLike = designColumnReason(table, c);
                if (!designLike.empty() && designLikeColumn.first.empty()) designLikeColumn = {name, designLike};
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
    const int replicates = jackknife ? jackknifeReplicates(n, o.group) : 0;
    if (jackknife && replicates < fewestJackknifeReplicates())
        stopRunAt({request.data.name, 0, "", words.group},
                  "%s: %d complete rows in groups of %d give %d jackknife replicates; at least %d are needed%s",
                  request.data.name.c_str(), n, o.group, replicates, fewestJackknifeReplicates(), emptiedBy.c_str());
    if (jackknife && n % o.group != 0 && progress.note)
        progress.note(request.data.name + ": " + std::to_string(n) + " complete rows in groups of " +
                      std::to_string(o.group) + " give " + std::to_string(replicates) + " jackknife replicates; the last " +
                      std::to_string(n % o.group) + (n % o.group == 1 ? " row is" : " rows are") +
                      " in every replicate (none leaves " + (n % o.group == 1 ? "it" : "them") +
                      " out): a group size that divides " + std::to_string(n) + " treats every row alike");
    if (!jackknife && n < 2)
        stopRunAt({request.data.name, 0, "", ""}, "%s: %d complete rows; the analysis needs at least 2%s",
                  request.data.name.c_str(), n, emptiedBy.c_str());
    checkTraitScales(coded, request.data.name, jackknife ? replicates : 0, words);

    if (o.fileName.find('/') != std::string::npos || o.fileName == "." || o.fileName == "..")
        stopRunAt({"", 0, "", "fileName"},
                  "%s: the file name '%s' names a folder; give a name without '/' (the files go into the run's folder)",
                  words.call.c_str(), o.fileName.c_str());
    const std::string name = o.fileName.empty() ? fileStem(request.data.name) : o.fileName;
    coded.data.fileName = name + ".TXT";
    // The design, built once; the estimator is set up on it.
    auto prepared = std::make_shared<PreparedModel>();
    prepared->design = buildDesign(coded.data, model, name + ".MAT");
    if (jackknife && !m.relationships.empty())
        stopRunAt({"", 0, "", words.relationship},
                  "%s: the jackknife's engine treats the levels of every term as independent; a relationship matrix needs "
                  "the bootstrap's standard errors (leave out %s)",
                  words.relationship.c_str(), words.jackknife.c_str());
    if (!designLikeColumn.first.empty())
        stopRunAt({request.data.name, 0, designLikeColumn.first, words.traits},
                  "%s: the column '%s' is not named in the model, and it holds %s: name it in the model to use it as a "
                  "design column, or list the traits with %s (listed, it is analysed as a trait)",
                  request.data.name.c_str(), designLikeColumn.first.c_str(), designLikeColumn.second.c_str(),
                  words.traits.c_str());
    modelText += applyRelationships(prepared->design, coded.data, m, words);
    const ModelDesign& built = prepared->design;
    prepared->covariances = m.covariances;
    prepared->layout = layoutOf(built, m.covariances);
    prepared->traitCount = static_cast<int>(coded.data.traitNames.size());
    prepared->terms = effectTerms(built);
    const ComponentLayout& layout = prepared->layout;
    const int K = layout.components();
    if (!jackknife) {
        // The bootstrap keeps every sample's components for the tables' spreads
        // and intervals: B K t (t + 1) / 2 doubles.
        const double bytes = 8.0 * o.bootstrapSamples * K * prepared->traitCount *
                             (prepared->traitCount + 1) / 2.0;
        if (bytes > 4e9)
            stopRunAt({"", 0, "", words.bootstrap},
                      "%s: %d bootstrap samples of %d components and %d traits would need %.1f GB to hold; give fewer "
                      "samples with %s (1000 is the default) or fewer traits",
                      words.call.c_str(), o.bootstrapSamples, K, prepared->traitCount, bytes / 1e9,
                      words.bootstrap.c_str());
    }
    {
        const MinqueDesign levels = minqueDesign(built, layout);
        refuseTooLargeForMemory(levels, built, words);
        // The set-up runs on the process's worker threads: one at a time.
        std::lock_guard<std::mutex> oneRun(engineMutex());
        prepared->projection = std::make_shared<const MinqueProjection>(
            levels, true, checkpointOf(progress, "The analysis was cancelled while its estimator was set up"));
    }
    refuseConfounded(*prepared->projection, built, words,
                     additiveDominance ? (m.env.empty() ? std::string("the intercept") : "the environments " + m.env)
                                       : joined(m.fixed));
    // Rows that share levels across groups (a diallel's parents, crossed
    // random terms) are not independent units: said once, with where the
    // guide measures it.
    const int sharedTerms = additiveDominance ? 2 : static_cast<int>(m.random.size()) - m.trailing;
    std::string sharing = "the random terms (" + joined(m.random) + ")";
    if (additiveDominance) sharing = "the parents (" + m.female + ", " + m.male + ")";
    if (jackknife && sharedTerms >= 2 && progress.note)
        progress.note(request.data.name + ": rows share levels of " + sharing +
                      " across the jackknife's groups: its S.E.s of the genetic components and their correlations are "
                      "known to be 5 to 25 times too small in such designs (docs/guide.md, section 2, \"Where the "
                      "standard errors come from\"); the default bootstrap's are calibrated");
    prepared->heritability = heritabilityDefinitions(built, layout, entryTerm(built, layout, m, additiveDominance, words, progress));
    prepared->levels = componentLevels(built, layout, coded, m);
    for (const ComponentLevels& c : prepared->levels)
        if (c.levels < kFewLevels && progress.note)
            progress.note(c.label + " rests on " + c.what + ", fewer than " + std::to_string(kFewLevels) +
                          " levels: its rows in the tables are flagged few_levels (a rough estimate; the guide says "
                          "what such a design can tell)");
    PreparedAnalysis result;
    result.options = o;
    result.words = words;
    PreparedModelAccess::of(result) = prepared;
    AnalysisSettings& s = result.settings;
    s.observations = n;
    s.tableRows = static_cast<int>(table.rows.size());
    s.droppedLines = coded.droppedLines;
    s.traits = coded.data.traitNames;
    s.randomFactors = layout.randomFactors;
    s.components = K;
    s.groupSize = jackknife ? o.group : 0;
    s.replicates = replicates;
    s.bootstrapSamples = jackknife ? 0 : o.bootstrapSamples;
    s.seed = jackknife ? 0 : o.seed;
    s.model = modelText + (m.covariances ? ", with covariance components between factors" : "");
    s.design = designSummary(built, coded, additiveDominance, !m.env.empty(), !m.block.empty());
    s.fileName = name;
    prepared->data = std::move(coded.data);
    prepared->values = std::move(coded.values);
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

AnalysisResult run(PreparedAnalysis& prepared, const AnalysisProgress& progress) {
    const std::shared_ptr<PreparedModel> model = std::exchange(PreparedModelAccess::of(prepared), nullptr);
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
        // The programs' input files: the run can be repeated with them.
        refuseFolderWithProgramFiles(dir, name);
        writeProgramInputs(*model, dir, name, written);
    }

    startWorkerThreads(o.threads, prepared.words, progress);
    // The point estimates are the same whichever method gives the standard
    // errors: the whole-data components and effects of the estimator.
    const std::vector<double> whole = wholeDataComponents(*model);
    PredictedEffects effects, passes;
    if (o.effects) effects = wholeDataEffects(*model, whole, progress);
    const bool bootstrap = o.standardErrors == StandardErrors::Bootstrap;
    AnalysisResult result = bootstrap ? bootstrapResult(*model, whole, prepared.settings, o, progress)
                                      : engineJackknifeResult(*model, prepared, whole, dir, written, progress,
                                                              o.effects ? &passes : nullptr);
    if (o.effects) {
        noteTraitsWithoutEffects(effects, prepared.settings.traits, progress);
        result.fixedFitted = effects.fixedPart;
        result.fitted = effects.fitted;
        result.tables.effects = bootstrap ? effectRowsFromPredictionErrors(model->terms, effects, prepared.settings.traits)
                                          : jackknifeEffectRows(model->terms, passes, effects, prepared.settings.traits);
    }
    flagFewLevels(result.tables, model->levels, model->heritability);
    markUndefinedEstimates(result.tables);
    result.threads = workerThreads();
    result.vectorPath = engineVectorPath();
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
