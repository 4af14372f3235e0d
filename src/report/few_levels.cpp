#include "report/few_levels.hpp"

#include "report/result_tables.hpp"

namespace minque {

std::vector<ComponentLevels> flagFewLevels(ResultTables& tables, const std::vector<ComponentLevels>& components,
                                           const HeritabilityModel& heritability) {
    std::vector<ComponentLevels> few;
    for (const ComponentLevels& c : components)
        if (c.levels < kFewLevels) few.push_back(c);
    if (few.empty()) return few;
    auto coefficient = [](const std::vector<double>& a, int k) {
        return static_cast<std::size_t>(k) < a.size() ? a[static_cast<std::size_t>(k)] : 0.0;
    };
    bool genetic = false;  // a flagged component enters G+GE
    for (const ComponentLevels& c : few) genetic = genetic || coefficient(heritability.phenotypic, c.k) != 0.0;
    auto restsOnFew = [&](const std::string& component) {
        if (component == "G+GE") return genetic;
        for (const ComponentLevels& c : few)
            if (c.label == component) return true;
        return false;
    };
    for (auto* rows : {&tables.variances, &tables.covariances, &tables.correlations})
        for (ResultRow& row : *rows)
            if (restsOnFew(row.component)) addFlag(row.flag, "few_levels");
    for (ResultRow& row : tables.heritabilities)
        for (const RatioDefinition& ratio : heritability.ratios) {
            if (ratio.quantity != row.component) continue;
            bool flagged = false;
            for (const ComponentLevels& c : few) flagged = flagged || coefficient(ratio.numerator, c.k) != 0.0;
            if (flagged) addFlag(row.flag, "few_levels");
        }
    for (ResultRow& row : tables.effects)
        for (const ComponentLevels& c : few)
            if (!c.term.empty() && c.term == row.component) addFlag(row.flag, "few_levels");
    return few;
}

}  // namespace minque
