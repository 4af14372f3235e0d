// The components of a model in the order every estimate lists them: the
// random factors (1..r), the covariance components between two factors
// (r + 1..K - 1), then the residual (K). A covariance model pairs its factors
// by position: with one fixed column factor 1 with factor 3 and 2 with 4
// (a full set of six components from six factors on), with more the same in
// each half of the factors; the factor shift moves the partners by one.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace minque {

struct ComponentLayout {
    int randomFactors = 0;                            // r
    bool fullCovarianceSet = false;                   // the six (or twelve) components of a full set
    std::vector<std::pair<int, int>> covariancePairs;  // per covariance component, its two factors (1-based)
    int unreportedFactor = 0;                         // a trailing factor the reports leave out; 0: none
    int components() const { return randomFactors + static_cast<int>(covariancePairs.size()) + 1; }
};

// The layout of a model with `fixedColumns` fixed columns, r random factors of
// which `trailingFactors` trail, the model file's factor shift (2 reads as 0)
// and covariance components when `covariances` is set.
ComponentLayout componentLayout(int fixedColumns, int randomFactors, int trailingFactors, int factorShift,
                                bool covariances);

// The factors joined by each of `count` covariance components (1-based).
std::vector<std::pair<int, int>> covariancePairsOf(bool fullCovarianceSet, int count, int randomFactors,
                                                   int factorShift, bool severalFixedColumns);

// Stops the run when a covariance component joins a factor the model does not
// have, or two factors whose numbers of levels (levels[u], u = 1..r) differ:
// level h of one is paired with level h of the other. With `factorNames` (the
// random terms as the user named them, one per factor) the message speaks of
// the terms and of `option`, the switch that asked for the components; else
// of the model file and its factors by number.
void checkCovariancePairs(const std::vector<std::pair<int, int>>& pairs, const std::vector<int>& levels,
                          const std::string& modelFileName, const std::vector<std::string>& factorNames,
                          const std::string& option);

}  // namespace minque
