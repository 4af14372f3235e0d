// Relationship matrices between the levels of a random term: checked and
// factored for the estimator, or built from a pedigree (the additive
// relationship A) or from marker calls (the genomic relationship G).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/model_design.hpp"
#include "minquecov/relationship.hpp"

namespace minque {

// K checked (finite, symmetric to 1e-8 of its largest entry, positive
// definite) and factored, K = L L' (made exactly symmetric first); a K that
// is not is refused naming its source (`source` where given, else k.source)
// and the first pair, or its smallest eigenvalue.
std::shared_ptr<RelatedLevels> relatedLevelsOf(const RelationshipMatrix& k, const std::string& source = "");

// Refuses, naming `source`, a dense matrix of q individuals that would not
// fit in the memory this process may use (`copies` of it at once).
void refuseRelationshipTooLarge(std::size_t q, int copies, const std::string& source);

}  // namespace minque
