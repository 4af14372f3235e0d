#include "model/genetic_definitions.hpp"

#include <utility>

namespace minque {

HeritabilityModel heritabilityDefinitions(const ModelDesign& design, const ComponentLayout& layout) {
    const int K = layout.components();
    HeritabilityModel m;
    m.phenotypic.assign(static_cast<std::size_t>(K) + 1, 0.0);
    m.relationshipScale.assign(static_cast<std::size_t>(K) + 1, 1.0);
    auto ratio = [&](const std::string& quantity, const std::vector<std::pair<int, double>>& terms) {
        RatioDefinition def{quantity, std::vector<double>(static_cast<std::size_t>(K) + 1, 0.0)};
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
