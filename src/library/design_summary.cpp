#include "library/design_summary.hpp"

#include <algorithm>
#include <set>

#include "library/table_adapters.hpp"

namespace minque {

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
std::vector<ComponentLevels> componentLevels(const ModelDesign& built, const ComponentLayout& layout,
                                             const CodedTrial& coded, const ModelSpec& m) {
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
        c.label = built.componentLabel(static_cast<int>(u) + 1);
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
    for (std::size_t p = 1; p <= layout.covariancePairs.size(); ++p) {
        const std::size_t a = static_cast<std::size_t>(layout.covariancePairs[p - 1].first - 1),
                          b = static_cast<std::size_t>(layout.covariancePairs[p - 1].second - 1);
        ComponentLevels c = out[a].levels <= out[b].levels ? out[a] : out[b];
        c.label = built.componentLabel(static_cast<int>(r + p));
        c.term.clear();
        c.k = static_cast<int>(r + p);
        out.push_back(c);
    }
    return out;
}

}  // namespace minque
