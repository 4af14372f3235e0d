#include "core/component_layout.hpp"

#include "core/fatal_error.hpp"

namespace minque {

ComponentLayout componentLayout(int fixedColumns, int randomFactors, int trailingFactors, int factorShift,
                                bool covariances) {
    const int r = randomFactors;
    ComponentLayout layout;
    layout.randomFactors = r;
    int setSize = 0;
    if (fixedColumns == 1) {
        setSize = 2;
        if (r - trailingFactors >= 6) setSize = 6, layout.fullCovarianceSet = true;
    } else {
        setSize = 4;
        if (r - trailingFactors >= 12) setSize = 12, layout.fullCovarianceSet = true;
    }
    if (covariances)
        layout.covariancePairs = covariancePairsOf(layout.fullCovarianceSet, setSize, r, factorShift == 2 ? 0 : factorShift,
                                                   fixedColumns > 1);
    if (trailingFactors == 1) layout.unreportedFactor = r;
    return layout;
}

std::vector<std::pair<int, int>> covariancePairsOf(bool fullCovarianceSet, int count, int r, int s, bool severalFixed) {
    std::vector<std::pair<int, int>> pairs;
    if (!fullCovarianceSet) {
        for (int k = 1; k <= count; ++k)
            pairs.emplace_back(k <= 2 ? std::pair{k, k + s + 2} : std::pair{r / 2 + k - 2, r / 2 + k + s});
        return pairs;
    }
    pairs = {{1, 3}, {2, 4}, {1, s + 5}, {2, s + 6}, {3, s + 5}, {4, s + 6}};
    if (severalFixed)
        pairs.insert(pairs.end(), {{s + 7, s + 9}, {s + 8, s + 10}, {s + 7, 2 * s + 11}, {s + 8, 2 * s + 12},
                                   {s + 9, 2 * s + 11}, {s + 10, 2 * s + 12}});
    pairs.resize(static_cast<std::size_t>(count), {0, 0});
    return pairs;
}

void checkCovariancePairs(const std::vector<std::pair<int, int>>& pairs, const std::vector<int>& levels,
                          const std::string& modelFileName, const std::vector<std::string>& factorNames,
                          const std::string& option) {
    const int r = static_cast<int>(levels.size()) - 1;
    const bool named = static_cast<int>(factorNames.size()) >= r;
    auto nameOf = [&](int u) { return factorNames[static_cast<std::size_t>(u - 1)].c_str(); };
    auto levelsOf = [&](int u) { return levels[static_cast<std::size_t>(u)]; };
    for (std::size_t c = 0; c < pairs.size(); ++c) {
        const int k = static_cast<int>(c) + 1, a = pairs[c].first, b = pairs[c].second;
        if (named && (a < 1 || a > r || b < 1 || b > r)) {
            std::string given;
            for (int u = 1; u <= r; ++u) given += std::string(u == 1 ? "" : ", ") + nameOf(u);
            stopRun("%s: a covariance model needs its random terms in pairs that share their levels (such as an "
                    "additive and a maternal effect of the same parents), given in the order that pairs them: with "
                    "one fixed column the first with the third and the second with the fourth, so four terms; the "
                    "%d given (%s) leave term %d without its partner, term %d",
                    option.c_str(), r, given.c_str(), a, b);
        }
        if (named && levelsOf(a) != levelsOf(b))
            stopRun("%s: a covariance component would join the random terms %s (%d levels) and %s (%d levels); "
                    "it pairs level h of one with level h of the other, so both need the same levels (such as an "
                    "additive and a maternal effect of the same parents). The additive-dominance model has no such "
                    "terms; use %s with a general model (--random) whose paired terms share their levels",
                    option.c_str(), nameOf(a), levelsOf(a), nameOf(b), levelsOf(b), option.c_str());
        if (a < 1 || a > r || b < 1 || b > r)
            stopRun("%s: covariance component %d joins random factors %d and %d, but the model has %d random "
                    "factors (the covariance switch, argument 8, may be on by mistake)",
                    modelFileName.c_str(), k, a, b, r);
        if (levelsOf(a) != levelsOf(b))
            stopRun("%s: covariance component %d joins random factors %d (%d levels) and %d (%d levels); "
                    "both must have the same number of levels",
                    modelFileName.c_str(), k, a, levelsOf(a), b, levelsOf(b));
    }
}

}  // namespace minque
