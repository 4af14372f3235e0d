// Relationship matrices for random terms whose levels are individuals,
// lines or parents: a matrix the caller has (read from a file, or an R
// matrix), a pedigree's additive relationship A, or the genomic relationship
// G of marker calls. ModelSpec::relationships takes them, by term.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace minque {

// K over `ids`, row-major q x q. `source` names it in messages and the
// model line ("K.csv", "pedigree PED.csv", "markers SNP.csv").
struct RelationshipMatrix {
    std::string source;
    std::vector<std::string> ids;
    std::vector<double> values;
};

// The relationship matrices, pedigrees and markers below are refused, naming
// their source and the memory they need, where a dense matrix of their
// individuals would not fit in the memory this process may use.
//
// A relationship file in either form: square, with the ids as header (after
// one leading field) and as first column, as R's write.csv(K) writes it; or
// long, three columns id1, id2, value, one triangle or both (pairs not
// given are 0; a pair given twice must agree). A malformed file is a
// RunError naming it and the line.
RelationshipMatrix relationshipFromFile(const std::string& path);

// A pedigree: per individual its sire and dam ("" where unknown; a file's
// 0, NA, "." and empty fields are unknown too).
struct Pedigree {
    std::string source;
    std::vector<std::string> ids, sires, dams;
    std::vector<int> lines;  // each record's line in its file, for messages (may be empty)
};
// A pedigree file: the first three columns are id, sire and dam, whatever
// their names.
Pedigree pedigreeFromFile(const std::string& path);

// The additive relationship matrix A by the tabular method: A_ii = 1 +
// A_sd / 2, A_ij = (A_is + A_id) / 2 with ancestors first. The records may
// come in any order (they are sorted so that ancestors come first); parents
// without a record of their own are founders. An id given twice, or an
// individual that is its own ancestor, is refused naming the ids. Its ids:
// the records' in their order, then the founders added.
RelationshipMatrix additiveRelationship(const Pedigree& pedigree);

// Marker calls: individuals x markers, row-major, coded 0, 1, 2 (copies of
// one allele), kMissingCall where missing; one byte each, as a chip of
// 50,000 markers on 20,000 individuals is a billion calls.
inline constexpr signed char kMissingCall = -1;
struct MarkerCalls {
    std::string source;
    std::vector<std::string> ids, markers;
    std::vector<signed char> calls;
};
// A marker file: a header of a first field and the marker names, then one
// row per individual: its id, then its calls (missing: NA, ".", empty).
MarkerCalls markersFromFile(const std::string& path);

struct GenomicRelationship {
    RelationshipMatrix matrix;
    std::int64_t missingCalls = 0;  // set to their marker's mean
    int monomorphic = 0;            // markers dropped: one allele only
    int markersUsed = 0;
    double blend = 0.0;             // the weight w of I in (1 - w) G + w I
};
// The default weight of the identity blended into a genomic relationship.
inline constexpr double kGenomicBlend = 0.01;
// The genomic relationship by VanRaden's first method: Z = M - 2p (missing
// calls at 2p, their marker's mean), G = Z Z' / (2 sum p(1 - p)),
// monomorphic markers dropped; then (1 - blend) G + blend I, which makes it
// positive definite (G itself is singular: its rows sum to 0). A call other
// than 0, 1, 2 or missing is refused naming the individual and the marker.
// Z Z' is one product a panel of markers at a time, over the worker
// threads in fixed chunks: the same bits on any thread count. Without
// missing calls it comes from M M', exact in single precision.
GenomicRelationship genomicRelationship(const MarkerCalls& markers, double blend = kGenomicBlend);

// K as the square CSV text that relationshipFromFile and R's read.csv read
// back (every value in the shortest text that reads back as it).
std::string relationshipCsv(const RelationshipMatrix& k);
// The same text a line at a time (the header, then one line per individual),
// for a matrix too large to hold as text.
void relationshipCsvLines(const RelationshipMatrix& k, const std::function<void(const std::string&)>& line);

}  // namespace minque
