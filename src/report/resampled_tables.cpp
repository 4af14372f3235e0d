#include "report/resampled_tables.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>

#include "linalg/worker_pool.hpp"
#include "report/result_tables.hpp"
#include "resampling/student_t.hpp"

namespace minque {

namespace {

constexpr double kUndefinedVariance = 1e-10;  // of the trait's variance in the data: rounding, not a variance
const double kNaN = std::numeric_limits<double>::quiet_NaN();

// The q-quantile of values, by linear interpolation between order
// statistics (R's type 7). Reorders the values: only the two order
// statistics it needs are found, by a partial sort from the nearer end (a
// heap of the values beyond them: in a tail, a few dozen of a thousand).
double quantile(std::vector<double>& values, double q) {
    const std::size_t n = values.size();
    const double h = static_cast<double>(n - 1) * q;
    const std::size_t below = static_cast<std::size_t>(std::floor(h));
    double at = 0.0, next = 0.0;  // order statistics below and below + 1
    if (below < n / 2) {
        const std::size_t k = std::min(n, below + 2);
        std::partial_sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
        at = values[below];
        next = below + 1 < n ? values[below + 1] : at;
    } else {
        // The n - below largest, largest first: order statistic x is at n - 1 - x.
        std::partial_sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n - below), values.end(),
                          std::greater<>());
        at = values[n - 1 - below];
        next = below + 1 < n ? values[n - 2 - below] : at;
    }
    return at + (h - static_cast<double>(below)) * (next - at);
}

// A row's bootstrap statistics from its estimate and the quantity in every
// sample (NaN where it is not defined there); a correlation's samples are
// cut to [-1, 1], as its estimate is.
void bootstrapStatistics(ResultRow& row, std::vector<double> samples, RowKind kind, double) {
    if (kind == RowKind::Correlation)
        for (double& x : samples)
            if (!std::isnan(x)) x = std::clamp(x, -1.0, 1.0);
    const std::size_t all = samples.size();
    samples.erase(std::remove_if(samples.begin(), samples.end(), [](double x) { return std::isnan(x); }), samples.end());
    // Only a correlation may be undefined in a sample.
    row.undefinedDraws = kind == RowKind::Correlation ? static_cast<double>(all - samples.size()) : kNaN;
    if (samples.size() < 2) {
        row.se = kNaN;
        row.p = kNaN;
        row.mark = "NS";
        return;
    }
    double mean = 0.0;
    for (double x : samples) mean += x;
    mean /= static_cast<double>(samples.size());
    double squares = 0.0;
    for (double x : samples) squares += (x - mean) * (x - mean);
    row.se = std::sqrt(squares / static_cast<double>(samples.size() - 1));
    row.ciLow = quantile(samples, 0.025);
    row.ciHigh = quantile(samples, 0.975);
    row.p = row.se > 0.0 ? std::erfc(std::fabs(row.estimate) / row.se / std::sqrt(2.0)) : 1.0;
    const std::string mark = significanceMark(row.p);  // " NS\n"
    row.mark = mark.substr(1, mark.size() - 2);
}

}  // namespace

ResultTables bootstrapTables(const ResampledTableInput& in) { return resampledTables(in, "bootstrap", bootstrapStatistics); }

ResultTables resampledTables(const ResampledTableInput& in, const std::string& method,
                             const ResampleStatistics& statistics) {
    const int t = static_cast<int>(in.traits.size());
    const int K = in.draws.components, B = in.draws.samples;
    const std::size_t pairs = static_cast<std::size_t>(t) * static_cast<std::size_t>(t + 1) / 2;
    const std::size_t sampleSize = static_cast<std::size_t>(K) * pairs;
    auto coefficient = [&](int k) { return in.heritability.phenotypic[static_cast<std::size_t>(k) + 1]; };
    auto betweenFactors = [&](int k) { return k >= in.randomFactors && k < K - 1; };
    // A component's row gives it on the genetic scale; a covariance component
    // between factors itself.
    auto rowWeight = [&](int k) {
        const auto& scale = in.heritability.relationshipScale;
        const double related = static_cast<std::size_t>(k) + 1 < scale.size() ? scale[static_cast<std::size_t>(k) + 1] : 1.0;
        return betweenFactors(k) ? 1.0 : coefficient(k) / related;
    };
    // A component of a data set (whole: nullptr; else a sample's components).
    using Components = const double*;
    auto theta = [&](Components c, int k, int i, int j) {
        return c[static_cast<std::size_t>(k) * pairs + static_cast<std::size_t>(pairIndex(std::min(i, j), std::max(i, j), t))];
    };
    // The totals on the genetic scale, sum c_k theta_k over the components
    // with c_k != 0 in order: G+GE leaves the residual out.
    std::vector<std::pair<std::size_t, double>> phenotypicTerms, geneticTerms;
    for (int k = 0; k < K; ++k)
        if (coefficient(k) != 0.0) {
            phenotypicTerms.emplace_back(static_cast<std::size_t>(k) * pairs, coefficient(k));
            if (k < K - 1) geneticTerms.emplace_back(static_cast<std::size_t>(k) * pairs, coefficient(k));
        }
    auto total = [&](Components c, bool phenotypic, int i, int j) {
        const std::size_t pair = static_cast<std::size_t>(pairIndex(std::min(i, j), std::max(i, j), t));
        double sum = 0.0;
        for (const auto& [offset, ck] : phenotypic ? phenotypicTerms : geneticTerms) sum += ck * c[offset + pair];
        return sum;
    };
    // Trait i's limit of a variance: 1e-10 of its data's.
    auto limit = [&](int i) {
        return kUndefinedVariance * (static_cast<std::size_t>(i) < in.traitVariances.size() ? in.traitVariances[static_cast<std::size_t>(i)] : 1.0);
    };
    auto correlation = [&](double c, double v1, double v2, int i, int j) {
        if (v1 <= limit(i) || v2 <= limit(j)) return kNaN;
        return c / std::sqrt(v1) / std::sqrt(v2);
    };
    // Every sample's value of a quantity.
    auto samples = [&](const auto& quantity) {
        std::vector<double> values(static_cast<std::size_t>(B));
        for (int b = 0; b < B; ++b) values[static_cast<std::size_t>(b)] = quantity(in.draws.theta.data() + static_cast<std::size_t>(b) * sampleSize);
        return values;
    };
    const Components whole = in.whole.data();

    ResultTables tables;
    tables.method = method;
    tables.traits = in.traits;
    // The reported components, then the totals, in the reports' order.
    struct Quantity {
        std::string label;
        int k;             // a component; -1 Phenotypic, -2 G+GE
    };
    std::vector<Quantity> quantities;
    for (int k = 0; k < K; ++k)
        if (coefficient(k) != 0.0) quantities.push_back({in.labels[static_cast<std::size_t>(k)], k});
    quantities.push_back({"Phenotypic", -1});
    quantities.push_back({"G+GE", -2});
    auto value = [&](const Quantity& q, Components c, int i, int j) {
        return q.k >= 0 ? rowWeight(q.k) * theta(c, q.k, i, j) : total(c, q.k == -1, i, j);
    };
    // A total is flagged when a component it is made of was drawn from an
    // adjusted matrix (G+GE leaves the residual out); a component the tables
    // leave out (a trailing block) flags nothing it does not enter.
    auto adjusted = [&](const Quantity& q) {
        if (q.k >= 0) return in.draws.adjusted[static_cast<std::size_t>(q.k)] != 0;
        for (int k = 0; k < K; ++k)
            if (coefficient(k) != 0.0 && (q.k == -1 || k < K - 1) && in.draws.adjusted[static_cast<std::size_t>(k)] != 0)
                return true;
        return false;
    };

    // Every row's statistics read all resamples: they are computed after the
    // rows are laid out, each row by one worker thread (the same numbers on
    // any thread count), together with the flags that read them.
    struct Pending {
        std::vector<ResultRow>* table;
        std::size_t index;
        std::function<void(ResultRow&)> finish;
    };
    std::vector<Pending> pending;
    auto later = [&](std::vector<ResultRow>& table, ResultRow row, std::function<void(ResultRow&)> finish) {
        table.push_back(std::move(row));
        pending.push_back({&table, table.size() - 1, std::move(finish)});
    };

    for (int i = 0; i < t; ++i)
        for (int j = i; j < t; ++j) {
            const bool variance = i == j;
            for (const Quantity& q : quantities) {
                ResultRow row;
                row.trait1 = in.traits[static_cast<std::size_t>(i)];
                row.trait2 = in.traits[static_cast<std::size_t>(j)];
                row.component = q.label;
                if (q.k >= 0) row.weight = rowWeight(q.k);
                const bool between = q.k >= 0 && betweenFactors(q.k);
                row.estimate = value(q, whole, i, j);
                const double v1 = value(q, whole, i, i), v2 = value(q, whole, j, j);
                // A covariance between factors may be negative, and has no
                // variances of its own.
                if (variance && !between && row.estimate < 0.0) addFlag(row.flag, "negative");
                if (!variance && !between && (v1 <= 0.0 || v2 <= 0.0)) addFlag(row.flag, "variance_not_positive");
                else if (!variance && !between && (v1 <= limit(i) || v2 <= limit(j)))
                    addFlag(row.flag, "below_threshold");
                if (adjusted(q)) addFlag(row.flag, "psd_adjusted");
                later(variance ? tables.variances : tables.covariances, row, [&, q, i, j](ResultRow& done) {
                    statistics(done, samples([&](Components c) { return value(q, c, i, j); }),
                               q.k >= 0 ? RowKind::Component : RowKind::Total, done.estimate);
                    addFiniteAndFloorFlags(done);
                });
                if (variance || between) continue;

                ResultRow r;
                r.trait1 = row.trait1;
                r.trait2 = row.trait2;
                r.component = q.label;
                const double raw = correlation(value(q, whole, i, j), v1, v2, i, j);
                r.estimate = std::isnan(raw) ? 0.0 : std::clamp(raw, -1.0, 1.0);
                const bool adjustedDraws = adjusted(q);
                later(tables.correlations, r, [&, q, i, j, raw, v1, v2, adjustedDraws](ResultRow& done) {
                    statistics(done, samples([&](Components c) {
                        return correlation(value(q, c, i, j), value(q, c, i, i), value(q, c, j, j), i, j);
                    }), RowKind::Correlation, raw);
                    if (std::isnan(raw)) {
                        // Not defined on all data: printed 0, as the reports print it.
                        done.estimate = 0.0;
                        done.se = 0.0;
                        done.ciLow = done.ciHigh = kNaN;
                        done.p = 1.0;
                        done.mark = "NS";
                        addFlag(done.flag, v1 <= 0.0 || v2 <= 0.0 ? "undefined" : "below_threshold");
                    } else {
                        if (std::fabs(done.estimate) == 1.0) addFlag(done.flag, "cut");
                        else if (std::fabs(done.estimate) >= 0.95) addFlag(done.flag, "near_bound");
                        if (adjustedDraws) addFlag(done.flag, "psd_adjusted");
                        addFiniteAndFloorFlags(done);
                    }
                });
            }
        }
    // The variance rows trait by trait, as the variance report lists them.
    for (const Quantity& q : quantities)
        if (q.k >= 0 && !betweenFactors(q.k)) tables.correlationComponents.push_back(q.label);
    if (!tables.correlations.empty()) {
        tables.correlationComponents.push_back("G+GE");
        tables.correlationComponents.push_back("Phenotypic");
    }

    // Heritabilities: the ratios the model defines, then those computed apart.
    // resampled: the ratio in every resample; none where the method does not
    // resample it.
    using Resampled = std::function<std::vector<double>()>;
    auto addRatio = [&](int i, const std::string& quantity, double e, Resampled resampled, bool negative) {
        ResultRow row;
        row.trait1 = row.trait2 = in.traits[static_cast<std::size_t>(i)];
        row.component = quantity;
        row.estimate = std::isnan(e) ? 0.0 : e;
        if (negative) addFlag(row.flag, "negative");
        later(tables.heritabilities, row, [&, e, resampled](ResultRow& done) {
            if (resampled) {
                statistics(done, resampled(), RowKind::Ratio, done.estimate);
            } else {
                // The method does not resample it: no S.E.
                done.se = done.p = done.ciLow = done.ciHigh = done.undefinedDraws = kNaN;
            }
            if (std::isnan(e)) {
                addFlag(done.flag, "undefined");
                done.se = 0.0;
                done.p = 1.0;
                done.mark = "NS";
            } else if (!std::isfinite(done.estimate) || (resampled && (!std::isfinite(done.se) || !std::isfinite(done.p)))) {
                addFlag(done.flag, "not_finite");
            } else {
                if (done.estimate < 0.0 || done.estimate > 1.0) addFlag(done.flag, "out_of_range");
                if (done.p < 1e-10) addFlag(done.flag, "p_floor");
            }
        });
    };
    for (int i = 0; i < t; ++i) {
        for (const RatioDefinition& ratio : in.heritability.ratios) {
            // The ratio's own denominator (an entry mean's variance), else V_P.
            auto below = [&ratio, &coefficient](int k) {
                return ratio.denominator.empty() ? coefficient(k) : ratio.denominator[static_cast<std::size_t>(k) + 1];
            };
            auto h = [&ratio, &theta, &limit, below, K, i](Components c) {
                double numerator = 0.0, phenotypic = 0.0;
                for (int k = 0; k < K; ++k) {
                    numerator += ratio.numerator[static_cast<std::size_t>(k) + 1] * theta(c, k, i, i);
                    phenotypic += below(k) * theta(c, k, i, i);
                }
                return phenotypic > limit(i) ? numerator / phenotypic : kNaN;
            };
            bool negative = false;
            for (int k = 0; k < K; ++k)
                negative = negative || ((ratio.numerator[static_cast<std::size_t>(k) + 1] != 0.0 || below(k) != 0.0) &&
                                        theta(whole, k, i, i) < 0.0);
            addRatio(i, ratio.quantity, h(whole), [&samples, h] { return samples(h); }, negative);
        }
        for (const ResampledTableInput::ComputedRatio& ratio : in.computed) {
            Resampled resampled;
            if (!ratio.resamples.empty())
                resampled = [&ratio, B, t, i] {
                    std::vector<double> values;
                    for (int b = 0; b < B; ++b)
                        values.push_back(ratio.resamples[static_cast<std::size_t>(b) * static_cast<std::size_t>(t) + static_cast<std::size_t>(i)]);
                    return values;
                };
            addRatio(i, ratio.quantity, ratio.whole[static_cast<std::size_t>(i)], resampled, false);
        }
    }
    // The rows taken in turn as workers finish (a correlation's row costs
    // more than a variance's).
    std::atomic<std::size_t> next{0};
    runOnWorkers([&](int) {
        for (std::size_t x = next++; x < pending.size(); x = next++) pending[x].finish((*pending[x].table)[pending[x].index]);
    });
    return tables;
}

}  // namespace minque
