#include "model/genetic_definitions.hpp"

#include <algorithm>
#include <utility>

namespace minque {

namespace {

// The columns a general model's term is made of ("Geno*Env": Geno, Env).
std::vector<std::string> termParts(const std::string& term) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = term.find('*', from)) != std::string::npos; from = at + 1) parts.push_back(term.substr(from, at - from));
    parts.push_back(term.substr(from));
    return parts;
}

// 1 / the harmonic mean of counts (those above 0), 0 when there are none.
double inverseHarmonicMean(const std::vector<double>& counts) {
    double sum = 0.0, n = 0.0;
    for (double c : counts)
        if (c > 0.0) {
            sum += 1.0 / c;
            n += 1.0;
        }
    return n > 0.0 ? sum / n : 0.0;
}

// The line-mean ratio of the entry factor.
RatioDefinition lineMeanRatio(const ModelDesign& design, const ComponentLayout& layout, int entry) {
    const int K = layout.components();
    const auto& entryLevels = design.factors[static_cast<std::size_t>(entry)].columns;
    const std::size_t g = entryLevels.size();
    std::vector<int> entryOf(static_cast<std::size_t>(design.obsCount) + 1, -1);  // observations are 1-based
    std::vector<double> records(g, 0.0);
    for (std::size_t i = 0; i < g; ++i)
        for (const auto& [obs, c] : entryLevels[i]) {
            entryOf[static_cast<std::size_t>(obs)] = static_cast<int>(i);
            records[i] += 1.0;
        }
    RatioDefinition def{kLineMean, std::vector<double>(static_cast<std::size_t>(K) + 1, 0.0),
                        std::vector<double>(static_cast<std::size_t>(K) + 1, 0.0)};
    def.numerator[static_cast<std::size_t>(entry) + 1] = 1.0;
    def.denominator[static_cast<std::size_t>(entry) + 1] = 1.0;
    const std::string name = design.factors[static_cast<std::size_t>(entry)].term;
    for (std::size_t u = 0; u < design.factors.size(); ++u) {
        const std::vector<std::string> parts = termParts(design.factors[u].term);
        if (static_cast<int>(u) == entry || static_cast<int>(u) + 1 == layout.unreportedFactor || parts.size() < 2 ||
            std::find(parts.begin(), parts.end(), name) == parts.end())
            continue;
        // Per entry, the levels of the interaction it has records in.
        std::vector<double> levels(g, 0.0);
        for (const auto& level : design.factors[u].columns) {
            std::vector<char> seen(g, 0);
            for (const auto& [obs, c] : level) {
                const int i = entryOf[static_cast<std::size_t>(obs)];
                if (i >= 0 && !seen[static_cast<std::size_t>(i)]) {
                    seen[static_cast<std::size_t>(i)] = 1;
                    levels[static_cast<std::size_t>(i)] += 1.0;
                }
            }
        }
        def.denominator[u + 1] = inverseHarmonicMean(levels);
    }
    def.denominator[static_cast<std::size_t>(K)] = inverseHarmonicMean(records);
    return def;
}

}  // namespace

std::vector<int> entryCandidates(const ModelDesign& design, const ComponentLayout& layout) {
    std::vector<int> candidates;
    for (std::size_t u = 0; u < design.factors.size(); ++u) {
        const ModelDesign::Factor& f = design.factors[u];
        if (f.role == GeneticRole::None && !f.related && f.columns.size() >= 2 && termParts(f.term).size() == 1 &&
            static_cast<int>(u) + 1 != layout.unreportedFactor && !f.term.empty())
            candidates.push_back(static_cast<int>(u));
    }
    return candidates;
}

HeritabilityModel heritabilityDefinitions(const ModelDesign& design, const ComponentLayout& layout, int entry) {
    const int K = layout.components();
    HeritabilityModel m;
    m.phenotypic.assign(static_cast<std::size_t>(K) + 1, 0.0);
    m.relationshipScale.assign(static_cast<std::size_t>(K) + 1, 1.0);
    auto ratio = [&](const std::string& quantity, const std::vector<std::pair<int, double>>& terms) {
        RatioDefinition def{quantity, std::vector<double>(static_cast<std::size_t>(K) + 1, 0.0), {}};
        for (const auto& [k, c] : terms) def.numerator[static_cast<std::size_t>(k)] = c;
        m.ratios.push_back(def);
    };
    // The component of the factor with a role (factor u is component u + 1); 0: none.
    auto position = [&](GeneticRole role) {
        for (std::size_t u = 0; u < design.factors.size(); ++u)
            if (design.factors[u].role == role) return static_cast<int>(u) + 1;
        return 0;
    };
    const int A = position(GeneticRole::Additive);
    if (A > 0) {
        const int D = position(GeneticRole::Dominance), AE = position(GeneticRole::AdditiveByEnvironment),
                  DE = position(GeneticRole::DominanceByEnvironment);
        for (const auto& [k, c] : {std::pair{A, 2.0}, {D, 1.0}, {AE, 2.0}, {DE, 1.0}, {K, 1.0}})
            if (k > 0) m.phenotypic[static_cast<std::size_t>(k)] = c;
        ratio("h2_narrow", {{A, 2.0}});
        ratio("h2_broad", {{A, 2.0}, {D, 1.0}});
        if (AE > 0 && DE > 0) {
            ratio("h2_narrow_GE", {{AE, 2.0}});
            ratio("h2_GE", {{AE, 2.0}, {DE, 1.0}});
        }
        return m;
    }
    const int r = layout.randomFactors;
    for (int k = 1; k <= K; ++k) {
        if (k == layout.unreportedFactor) continue;
        const bool related = k <= r && static_cast<std::size_t>(k) <= design.factors.size() && design.factors[static_cast<std::size_t>(k) - 1].related;
        if (related) m.relationshipScale[static_cast<std::size_t>(k)] = design.factors[static_cast<std::size_t>(k) - 1].related->meanDiagonal;
        const double c = (k > r && k < K ? 2.0 : 1.0) * m.relationshipScale[static_cast<std::size_t>(k)];
        m.phenotypic[static_cast<std::size_t>(k)] = c;
        std::string label = k == K ? "V(e)" : design.componentLabel(k);
        if (label.empty()) label = "component " + std::to_string(k);
        ratio("share:" + label, {{k, c}});
    }
    if (entry >= 0) {
        m.ratios.push_back(lineMeanRatio(design, layout, entry));
        m.entry = entry;
    }
    return m;
}

std::vector<EffectTerm> effectTerms(const ModelDesign& design) {
    std::vector<EffectTerm> terms;
    int column = 0;
    for (const ModelDesign::Factor& factor : design.factors) {
        EffectTerm term;
        term.name = factor.term;
        term.first = column;
        term.last = column + static_cast<int>(factor.columns.size()) - 1;
        term.levelNames = factor.levelNames;
        column = term.last + 1;
        terms.push_back(term);
    }
    return terms;
}

}  // namespace minque
