#include "library/engine_jackknife.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <unistd.h>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"
#include "jackknife_engine/core/arrays.hpp"
#include "jackknife_engine/driver/run_driver.hpp"
#include "jackknife_engine/io/model_writer.hpp"
#include "jackknife_engine/io/product_records.hpp"
#include "jackknife_engine/io/variance_signature.hpp"
#include "jackknife_engine/linalg/vector_path.hpp"
#include "jackknife_engine/model/model_text.hpp"
#include "jackknife_engine/report/jackknife_effects.hpp"
#include "jackknife_engine/report/report_tables.hpp"
#include "jackknife_engine/resampling/jackknife.hpp"
#include "estimator/level_space.hpp"
#include "library/bootstrap_run.hpp"
#include "library/run_folder.hpp"
#include "report/printed_numbers.hpp"

namespace minque {

namespace {

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

// The tables of a run with the jackknife's standard errors: the whole-data
// components `whole` as every run gives them, with the spread of the
// engine's passes (the variance and covariance records of every pass).
AnalysisResult jackknifeResult(const PreparedModel& model, const std::vector<double>& whole, const AnalysisState& st,
                               const AnalysisSettings& settings, ReportedBlocks& blocks, const AnalysisOptions& o) {
    AnalysisResult result;
    result.settings = settings;
    ResampledTableInput input;
    input.traits = settings.traits;
    input.labels = componentLabels(model);
    input.randomFactors = model.layout.randomFactors;
    input.heritability = model.heritability;
    input.whole = whole;
    input.traitVariances = traitVariances(model);
    // The generalized line-mean heritability has no pseudo-values: the
    // estimate alone.
    if (model.heritability.entry >= 0) input.computed.push_back(generalizedLineMean(model, whole, nullptr, {}));
    result.tables = jackknifeTables(std::move(input), blocks.varianceRecords, blocks.covarianceRecords, st.replicateCount);
    result.varianceReport = std::move(blocks.varianceReport);
    result.covarianceReport = std::move(blocks.covarianceReport);
    VarianceRecords& v = result.varianceRecords;
    v.traits = model.traitCount;
    v.replicates = st.replicateCount;
    v.components = st.componentCount;
    v.values = std::move(blocks.varianceRecords);
    if (o.covarianceRecords) {
        CovarianceRecords& c = result.covarianceRecords;
        c.pairs = model.traitCount * (model.traitCount - 1) / 2;
        c.replicates = st.replicateCount;
        c.components = st.componentCount;
        c.values = std::move(blocks.covarianceRecords);
    }
    return result;
}

// The programs' data file of the model.
std::string dataFileText(const PreparedModel& model) {
    return formatDataFile(model.data.leadNames, model.data.traitNames, model.data.lead, model.values);
}

}  // namespace

ResultTables jackknifeTables(ResampledTableInput input, const std::vector<float>& varianceRecords,
                             const std::vector<float>& covarianceRecords, int J) {
    const int t = static_cast<int>(input.traits.size());
    const std::size_t K = input.labels.size(), R = K + 1;
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    const std::size_t crossPairs = pairs - static_cast<std::size_t>(t);
    const std::size_t sets = static_cast<std::size_t>(J) + 1;
    if (J < kMinReplicates || input.whole.size() != K * pairs || varianceRecords.size() != sets * static_cast<std::size_t>(t) * R ||
        covarianceRecords.size() != sets * crossPairs * R)
        stopRun("internal error: jackknife records of %zu and %zu floats for %d traits, %d replicates and %zu components",
                varianceRecords.size(), covarianceRecords.size(), t, J, K);
    // Component k of traits (i, j) in replicate rep (0: all data).
    auto component = [&](std::size_t rep, int i, int j, std::size_t k) {
        if (i == j) return static_cast<double>(varianceRecords[(rep * static_cast<std::size_t>(t) + static_cast<std::size_t>(i)) * R + k + 1]);
        const std::size_t p = static_cast<std::size_t>(pairIndex(i, j, t) - (i + 1));  // the pairs (i, j > i) before it
        return static_cast<double>(covarianceRecords[(rep * crossPairs + p) * R + k + 1]);
    };
    BootstrapDraws& d = input.draws;
    d.samples = J;
    d.traits = t;
    d.components = static_cast<int>(K);
    d.theta.assign(static_cast<std::size_t>(J) * K * pairs, 0.0);
    d.adjusted.assign(K, 0);
    d.smallestEigenvalue.assign(K, std::numeric_limits<double>::quiet_NaN());
    for (std::size_t rep = 1; rep <= static_cast<std::size_t>(J); ++rep)
        for (int i = 0; i < t; ++i)
            for (int j = i; j < t; ++j)
                for (std::size_t k = 0; k < K; ++k)
                    d.theta[((rep - 1) * K + k) * pairs + static_cast<std::size_t>(pairIndex(i, j, t))] =
                        pseudoValue(J, component(0, i, j, k), component(rep, i, j, k));
    auto statistics = [J](ResultRow& row, std::vector<double> pseudo, RowKind kind, double reference) {
        PseudoValueSums sums;
        for (double p : pseudo)
            sums.add(std::isnan(p) ? 0.0 : kind == RowKind::Correlation ? std::clamp(p, -1.0, 1.0) : p);
        const RowStatistics s = rowStatistics(
            sums, row.estimate, reference, kind == RowKind::Component ? RescaleRule::Always : RescaleRule::AtMostOne,
            false, J);
        row.se = s.se;
        row.p = printedP(s.halfP);
        row.mark = markOf(s.halfP);
        row.ciLow = row.ciHigh = row.undefinedDraws = std::numeric_limits<double>::quiet_NaN();
    };
    return resampledTables(input, "jackknife", statistics);
}

int jackknifeReplicates(int n, int group) { return JackknifeGroups{n, group}.replicates(); }

int fewestJackknifeReplicates() { return kMinReplicates; }

void refuseFolderWithProgramFiles(const std::string& dir, const std::string& name) {
    for (const std::string& file : {name + ".TXT", name + ".MAT", name + ".DAT", name + ".VAR", name + ".COV",
                                    std::string("MATWRN.var"), std::string(kVarianceSignatureFile)})
        if (access(pathInFolder(dir, file).c_str(), F_OK) == 0)
            stopRun("%s: the folder already holds %s; give an empty folder or another file name", dir.c_str(),
                    file.c_str());
}

void writeProgramInputs(const PreparedModel& model, const std::string& dir, const std::string& name, RunFiles& written) {
    writeText(written, pathInFolder(dir, name + ".TXT"), dataFileText(model));
    writeText(written, pathInFolder(dir, name + ".MAT"), formatModelFile(model.design));
    writeText(written, pathInFolder(dir, name + ".DAT"), "");
}

std::vector<ResultRow> jackknifeEffectRows(const std::vector<EffectTerm>& terms, const PredictedEffects& passes,
                                           const PredictedEffects& reported, const std::vector<std::string>& traits) {
    return effectRows(terms, passes, reported, traits);
}

std::string engineVectorPath() { return vectorPathName(vectorPath()); }

AnalysisResult engineJackknifeResult(const PreparedModel& model, const PreparedAnalysis& prepared,
                                     const std::vector<double>& whole, const std::string& dir, RunFiles& written,
                                     const AnalysisProgress& progress, PredictedEffects* effects) {
    const AnalysisOptions& o = prepared.options;
    const std::string& name = prepared.settings.fileName;
    // The engine's state, read from the model file text as minque-var and
    // minque-cov read it, with its n x n V^-1, which the estimator never
    // needs; the trait values go in as the data file holds them.
    const std::string modelText = formatModelFile(model.design);
    AnalysisState st = readBackModel(model.design, modelText, name + ".MAT", model.covariances, true);
    st.traitNames.assign(static_cast<std::size_t>(model.traitCount) + 1, std::string());
    for (int i = 1; i <= model.traitCount; ++i) {
        st.traitNames[static_cast<std::size_t>(i)] = model.data.traitNames[static_cast<std::size_t>(i - 1)];
        for (int obs = 1; obs <= st.obsCount; ++obs)
            st.traitData[i][obs] = model.values[static_cast<std::size_t>(obs - 1)][static_cast<std::size_t>(i - 1)];
    }
    CombinedRun run;
    run.folder = dir;
    run.name = name;
    run.chinese = o.chinese;
    run.groupSize = o.group;
    run.forceHost = o.hostOnly;
    run.control.programLines = false;
    if (!dir.empty())
        run.varianceSignature = varianceSignature(dataFileText(model), modelText, o.group, st.covarianceCount > 0 ? 1 : 0);
    run.control.passDone = progress.passDone;
    run.control.covarianceRecords = true;  // the tables' standard errors of covariances
    std::optional<EffectCollector> collector;
    if (effects != nullptr) {
        collector.emplace(model.traitCount, prepared.settings.replicates, st.randomLevelCount, st.obsCount, o.group);
        run.control.passComputed = [&collector](AnalysisState& state, int k) {
            collector->pass(state, k, allRecords(state, kSlotVariance));
        };
    }
    ReportedBlocks blocks = runVariancesAndCovariances(st, model.traitCount, run);
    if (!dir.empty())
        for (const std::string& output : {name + ".VAR", name + ".COV", std::string("MATWRN.var"),
                                          std::string(kVarianceSignatureFile)})
            written.add(pathInFolder(dir, output));
    if (effects != nullptr) *effects = collector->effects();
    return jackknifeResult(model, whole, st, prepared.settings, blocks, o);
}

}  // namespace minque
