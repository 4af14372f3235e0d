#include "library/bootstrap_run.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <functional>
#include <string>

#include "core/fatal_error.hpp"
#include "estimator/chunked_work.hpp"
#include "library/call_guards.hpp"
#include "linalg/worker_pool.hpp"
#include "report/resampled_tables.hpp"
#include "resampling/parametric_bootstrap.hpp"

namespace minque {

namespace {

// Trait i's variance components of the r random factors and then the
// residual, from components laid out as MinqueProjection::estimate gives them.
std::vector<double> factorComponents(const double* theta, int i, int t, int r, int K) {
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    std::vector<double> components(static_cast<std::size_t>(r) + 1);
    for (int k = 0; k <= r; ++k)
        components[static_cast<std::size_t>(k)] =
            theta[static_cast<std::size_t>(k == r ? K - 1 : k) * pairs + static_cast<std::size_t>(pairIndex(i, i, t))];
    return components;
}

}  // namespace

std::vector<double> wholeDataComponents(const PreparedModel& model) {
    const int t = model.traitCount, n = static_cast<int>(model.values.size());
    const MinqueProjection& projection = *model.projection;
    if (projection.components() != model.layout.components() || projection.observations() != n)
        stopRun("internal error: the estimator's design has %d components, the model %d", projection.components(),
                model.layout.components());
    std::vector<double> Y(static_cast<std::size_t>(n) * static_cast<std::size_t>(t));
    for (std::size_t obs = 0; obs < model.values.size(); ++obs)
        for (std::size_t i = 0; i < static_cast<std::size_t>(t); ++i) Y[obs * static_cast<std::size_t>(t) + i] = model.values[obs][i];
    return projection.estimate(Y, t);
}

PredictedEffects wholeDataEffects(const PreparedModel& model, const std::vector<double>& whole,
                                  const AnalysisProgress& progress) {
    const int t = model.traitCount, K = model.layout.components(), r = model.layout.randomFactors;
    const MinqueProjection& projection = *model.projection;
    const MinqueDesign& design = projection.design();
    const int q = projection.columns();
    PredictedEffects effects;
    effects.traits = t;
    effects.replicates = 0;
    effects.columns = q;
    // Per level its records (rows, each once) and K_ii.
    for (const auto& factor : design.factors)
        for (const auto& level : factor) {
            std::vector<int> rows;
            for (const auto& entry : level) rows.push_back(entry.first);
            std::sort(rows.begin(), rows.end());
            effects.records.push_back(static_cast<int>(std::unique(rows.begin(), rows.end()) - rows.begin()));
        }
    effects.relationshipDiagonal.assign(static_cast<std::size_t>(q), 1.0);
    {
        std::vector<int> first(design.factors.size() + 1, 0);
        for (std::size_t u = 0; u < design.factors.size(); ++u) first[u + 1] = first[u] + static_cast<int>(design.factors[u].size());
        for (const RelatedFactor& related : design.related)
            for (const auto& block : related.blocks)
                for (std::size_t g = 0; g < block.size(); ++g)
                    effects.relationshipDiagonal[static_cast<std::size_t>(first[static_cast<std::size_t>(related.factor)] + block[g])] =
                        related.related->diagonal[g];
    }
    for (int i = 0; i < t; ++i) {
        const std::vector<double> y = model.trait(i);
        const std::vector<double> components = factorComponents(whole.data(), i, t, r, K);
        const LevelEffects level = predictLevelEffects(
            design, y.data(), components, checkpointOf(progress, "The analysis was cancelled while it predicted the effects"));
        effects.values.insert(effects.values.end(), level.values.begin(), level.values.end());
        effects.predictionErrorVariances.insert(effects.predictionErrorVariances.end(),
                                                level.predictionErrorVariances.begin(),
                                                level.predictionErrorVariances.end());
        effects.predicted.push_back(level.predicted ? 1 : 0);
        for (auto [from, to] : {std::pair{&level.fixedPart, &effects.fixedPart}, {&level.fitted, &effects.fitted}}) {
            if (from->size() == y.size()) to->insert(to->end(), from->begin(), from->end());
            else to->insert(to->end(), y.size(), std::nan(""));
        }
        for (int k = 0; k < r; ++k) {
            effects.termPositive.push_back(components[static_cast<std::size_t>(k)] > 0.0);
            effects.termVariance.push_back(components[static_cast<std::size_t>(k)]);
        }
    }
    return effects;
}

std::vector<double> traitVariances(const PreparedModel& model) {
    std::vector<double> variances;
    const double n = static_cast<double>(model.values.size());
    for (int i = 0; i < model.traitCount; ++i) {
        const std::vector<double> y = model.trait(i);
        double mean = 0.0, squares = 0.0;
        for (double v : y) mean += v / n;
        for (double v : y) squares += (v - mean) * (v - mean);
        variances.push_back(n > 1.0 ? squares / (n - 1.0) : 0.0);
    }
    return variances;
}

bool generalizedLineMeanResampled(const PreparedModel& model, int samples) {
    const double s = model.projection->denseLevels();
    return static_cast<double>(samples) * model.traitCount * s * s * s <= kGeneralizedLineMeanWork;
}

ResampledTableInput::ComputedRatio generalizedLineMean(const PreparedModel& model, const std::vector<double>& whole,
                                                      const BootstrapDraws* draws, const AnalysisProgress& progress) {
    const int t = model.traitCount, K = model.layout.components(), r = model.layout.randomFactors;
    const int entry = model.heritability.entry;
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    const MinqueDesign& design = model.projection->design();
    const std::vector<double> zeros(static_cast<std::size_t>(design.observations), 0.0);
    const std::vector<double> scale = traitVariances(model);
    const auto checkpoint = checkpointOf(progress, "The analysis was cancelled while it computed the line-mean heritability");
    // 1 - v / (2 V_G) at trait i's components theta (as estimate() lays them out).
    auto ratio = [&](const double* theta, int i, const std::function<void()>& checkpointHere) {
        const std::vector<double> components = factorComponents(theta, i, t, r, K);
        const double genetic = components[static_cast<std::size_t>(entry)];
        if (!(genetic > 1e-10 * scale[static_cast<std::size_t>(i)])) return std::nan("");
        const double v = predictLevelEffects(design, zeros.data(), components, checkpointHere, entry).entryDifferenceVariance;
        return 1.0 - v / (2.0 * genetic);
    };
    ResampledTableInput::ComputedRatio out;
    out.quantity = kLineMeanGeneralized;
    for (int i = 0; i < t; ++i) out.whole.push_back(ratio(whole.data(), i, checkpoint));
    if (draws != nullptr && generalizedLineMeanResampled(model, draws->samples)) {
        const std::size_t sampleSize = static_cast<std::size_t>(K) * pairs;
        const int B = draws->samples, workers = workerThreads();
        out.resamples.resize(static_cast<std::size_t>(B) * static_cast<std::size_t>(t));
        // The samples over the workers, each sample's equations on one
        // (its chunks run there): the same values on any thread count. The
        // checkpoint is asked between blocks, on this thread.
        std::vector<std::exception_ptr> failures(static_cast<std::size_t>(workers));
        for (int begin = 0; begin < B; begin += 16 * workers) {
            const int end = std::min(B, begin + 16 * workers);
            runOnWorkers([&](int worker) {
                const ChunksHere here;
                try {
                    for (int b = begin + worker; b < end; b += workers)
                        for (int i = 0; i < t; ++i)
                            out.resamples[static_cast<std::size_t>(b) * static_cast<std::size_t>(t) + static_cast<std::size_t>(i)] =
                                ratio(draws->theta.data() + static_cast<std::size_t>(b) * sampleSize, i, {});
                } catch (...) {
                    failures[static_cast<std::size_t>(worker)] = std::current_exception();
                }
            });
            for (const std::exception_ptr& failure : failures)
                if (failure) std::rethrow_exception(failure);
            checkpoint();
        }
    }
    return out;
}

// The tables of a run with bootstrap standard errors: the whole-data
// components from the estimator in the space of the random levels, and the
// spread of the bootstrap's samples.
AnalysisResult bootstrapResult(PreparedModel& model, const std::vector<double>& whole, const AnalysisSettings& settings,
                               const AnalysisOptions& o, const AnalysisProgress& progress) {
    const int t = model.traitCount, K = model.layout.components(), R = K + 1, r = model.layout.randomFactors;
    const MinqueProjection& projection = *model.projection;
    const int B = o.bootstrapSamples;
    auto cancelUnlessGoingOn = [&](int done) {
        if (progress.passDone && !progress.passDone(done, B))
            throw RunError(RunError::Kind::Cancelled, "The analysis was cancelled after " + std::to_string(done) + " of " +
                                                          std::to_string(B) + " bootstrap samples");
    };
    ResampledTableInput input;
    input.traits = settings.traits;
    input.heritability = model.heritability;
    input.randomFactors = r;
    input.whole = whole;
    input.traitVariances = traitVariances(model);
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    // The variance file's records of all data (float 0 without meaning).
    std::vector<float> records(static_cast<std::size_t>(t) * static_cast<std::size_t>(R), 0.0f);
    for (int i = 0; i < t; ++i)
        for (int k = 0; k < K; ++k)
            records[static_cast<std::size_t>(i) * static_cast<std::size_t>(R) + static_cast<std::size_t>(k) + 1] =
                static_cast<float>(input.whole[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(i, i, t))]);
    cancelUnlessGoingOn(0);
    input.labels = componentLabels(model);
    input.draws = parametricBootstrap(projection, input.whole, t, B, o.seed, cancelUnlessGoingOn);
    // Every component drawn from an adjusted matrix is said, reported or not
    // (a trailing block's draws enter every sample too).
    for (int k = 0; k < K; ++k)
        if (input.draws.adjusted[static_cast<std::size_t>(k)] != 0 && progress.note) {
            char smallest[32];
            std::snprintf(smallest, sizeof smallest, "%.3g", input.draws.smallestEigenvalue[static_cast<std::size_t>(k)]);
            progress.note(input.labels[static_cast<std::size_t>(k)] +
                          ": its variance and covariance matrix over the traits has negative eigenvalues (the "
                          "smallest " + smallest + "); the bootstrap drew its samples with them set to 0, and its rows "
                          "and the totals that hold it are flagged psd_adjusted");
        }

    if (model.heritability.entry >= 0) {
        input.computed.push_back(generalizedLineMean(model, whole, &input.draws, progress));
        if (input.computed.back().resamples.empty() && progress.note)
            progress.note(std::string(kLineMeanGeneralized) + ": its S.E. would factor the equations of " +
                          std::to_string(projection.denseLevels()) + " levels once per sample and trait (" +
                          std::to_string(B * t) + " times); it is given without one (" + kLineMean +
                          ", the standard form, has its S.E.)");
    }
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

std::vector<std::string> componentLabels(const PreparedModel& model) {
    std::vector<std::string> labels;
    const int K = model.layout.components();
    for (int k = 1; k <= K; ++k) labels.push_back(k == K ? "V(e)" : model.design.componentLabel(k));
    return labels;
}

}  // namespace minque
