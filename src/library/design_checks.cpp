#include "library/design_checks.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "core/fatal_error.hpp"
#include "core/usable_memory.hpp"

namespace minque {

namespace {

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

}  // namespace

// The design built, as the bootstrap's estimation takes it (observations
// from 0, coefficients in double).
MinqueDesign minqueDesign(const ModelDesign& built, const ComponentLayout& layout) {
    MinqueDesign d;
    for (const auto& [a, b] : layout.covariancePairs) d.covariancePairs.emplace_back(a - 1, b - 1);
    d.observations = built.obsCount;
    for (const ModelDesign::Factor& factor : built.factors) {
        if (factor.related) d.related.push_back({static_cast<int>(d.factors.size()), factor.related, factor.relatedBlocks});
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

// Refuses a model whose components the design cannot separate (a singular
// MINQUE matrix: its estimates would split one sum among them arbitrarily),
// naming them in the model's labels, with why where a common cause is seen,
// before any estimation.
void refuseConfounded(const MinqueProjection& projection, const ModelDesign& built, const CallerWords& words,
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
    auto label = [&](int k) { return k == K - 1 ? std::string("V(e)") : built.componentLabel(k + 1); };
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
    if (why.empty() && set.size() == 1 && static_cast<std::size_t>(set.front()) < r && d.factors[static_cast<std::size_t>(set.front())].size() == 1)
        why = "its column has one level, on every row: there is nothing to vary";
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

// A design whose dense factor would not fit is refused before any work,
// naming the levels, the memory and the term that makes it large.
void refuseTooLargeForMemory(const MinqueDesign& design, const ModelDesign& built, const CallerWords& words) {
    const LevelSpaceSize size = levelSpaceSize(design);
    const double usable = usableMemory();
    if (size.bytes <= 0.8 * usable || size.largestDenseFactor < 0) return;
    const int u = size.largestDenseFactor;
    stopRunAt({"", 0, "", ""},
              "%s: the design is too large for this machine's memory: %lld of its random levels stay in the dense "
              "factor, which needs about %.1f GB (%.1f GB can be used); the largest term among them is %s with %zu "
              "levels: analyse cell means, or fit that term as fixed",
              words.call.c_str(), static_cast<long long>(size.denseLevels), size.bytes / 1e9, usable / 1e9,
              built.componentLabel(u + 1).c_str(), design.factors[static_cast<std::size_t>(u)].size());
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
        // The jackknife sums squares of pseudo-values (up to J times a
        // component) in single precision, and its reports' limits (1e-10,
        // 1e-8) are absolute. The estimator works in double with limits
        // relative to each trait's variance: it only keeps the components
        // as single-precision records, up to 3.4e38.
        const double pseudo = J * s2;
        const bool small = J > 0 && s2 < 1e-8, large = J > 0 ? J * pseudo * pseudo > 1e36 : s2 > 1e37;
        if (!small && !large) continue;
        const double sd = std::sqrt(s2);
        stopRunAt({table, 0, name, ""},
                  "%s: the trait '%s' varies on a scale the method cannot hold (standard deviation %.3g): its variance "
                  "components would %s. Multiply it by %g (for example in a new column) and analyse that; the guide "
                  "explains the limits",
                  table.c_str(), name.c_str(), sd,
                  small ? "fall near the jackknife's fixed limits of 1e-10 and 1e-8, where correlations become 0 (the "
                          "bootstrap's limits follow each trait's scale)"
                  : J > 0 ? "overflow single precision in the jackknife's sums of squares"
                          : "overflow the single-precision records of the components",
                  std::pow(10.0, -std::round(std::log10(sd))));
    }
}

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

}  // namespace minque
