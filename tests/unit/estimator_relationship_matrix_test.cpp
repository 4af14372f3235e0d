// Relationship matrices as built and checked: the pedigree's A against the
// textbook's, the genomic G against its definition, and the refusals of a K
// the estimator cannot take.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "estimator/relationship_matrix.hpp"
#include "minquecov/error.hpp"

namespace minque {
namespace {

double entry(const RelationshipMatrix& k, const std::string& a, const std::string& b) {
    const std::size_t q = k.ids.size();
    std::size_t i = q, j = q;
    for (std::size_t x = 0; x < q; ++x) {
        if (k.ids[x] == a) i = x;
        if (k.ids[x] == b) j = x;
    }
    EXPECT_LT(i, q) << a;
    EXPECT_LT(j, q) << b;
    return i < q && j < q ? k.values[i * q + j] : std::nan("");
}

std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const RunError& e) {
        return e.message();
    }
    return "(accepted)";
}

// The textbook pedigree of six (1 and 2 founders; 3 = 1 x 2, 4 = 1 x ?,
// 5 = 4 x 3, 6 = 5 x 2), listed offspring first, with full sibs 3 and 7 and
// founder 8 given only as a parent.
TEST(RelationshipMatrix, ThePedigreesAIsTheTextbooksInAnyOrder) {
    Pedigree p;
    p.source = "PED.csv";
    p.ids = {"6", "5", "4", "3", "2", "1", "7", "9"};
    p.sires = {"5", "4", "1", "1", "", "", "1", "8"};
    p.dams = {"2", "3", "", "2", "", "", "2", ""};
    const RelationshipMatrix A = additiveRelationship(p);
    EXPECT_EQ(A.ids.size(), 9u);  // 8 founder added
    const double expected[6][6] = {{1, 0, .5, .5, .5, .25},          {0, 1, .5, 0, .25, .625},
                                   {.5, .5, 1, .25, .625, .5625},    {.5, 0, .25, 1, .625, .3125},
                                   {.5, .25, .625, .625, 1.125, .6875}, {.25, .625, .5625, .3125, .6875, 1.125}};
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            EXPECT_DOUBLE_EQ(entry(A, std::to_string(i + 1), std::to_string(j + 1)), expected[i][j]) << i + 1 << "," << j + 1;
    EXPECT_DOUBLE_EQ(entry(A, "3", "7"), 0.5);   // full sibs
    EXPECT_DOUBLE_EQ(entry(A, "4", "7"), 0.25);  // half sibs
    EXPECT_DOUBLE_EQ(entry(A, "9", "8"), 0.5);   // parent and offspring
    EXPECT_DOUBLE_EQ(entry(A, "9", "1"), 0.0);
}

TEST(RelationshipMatrix, PedigreesWithLoopsOrRepeatedIdsAreRefusedByName) {
    Pedigree loop{"PED.csv", {"a", "b", "c"}, {"c", "a", "b"}, {"", "", ""}, {}};
    EXPECT_NE(refusal([&] { additiveRelationship(loop); }).find("is its own ancestor"), std::string::npos);
    Pedigree self{"PED.csv", {"a"}, {"a"}, {""}, {}};
    EXPECT_NE(refusal([&] { additiveRelationship(self); }).find("'a' is its own ancestor"), std::string::npos);
    Pedigree twice{"PED.csv", {"a", "b", "a"}, {"", "", ""}, {"", "", ""}, {2, 3, 4}};
    EXPECT_EQ(refusal([&] { additiveRelationship(twice); }), "PED.csv: the id 'a' is given twice (line 4); every individual has one record");
}

// G = Z Z' / (2 sum p (1 - p)) with a missing call at its marker's mean and
// a monomorphic marker dropped.
TEST(RelationshipMatrix, TheGenomicRelationshipIsVanRadensFirstMethod) {
    MarkerCalls m{"SNP.csv", {"i1", "i2", "i3"}, {"m1", "m2", "m3"}, {0, 2, 1, 2, 2, kMissingCall, 1, 2, 0}};
    const GenomicRelationship g = genomicRelationship(m, 0.0);
    EXPECT_EQ(g.monomorphic, 1);
    EXPECT_EQ(g.missingCalls, 1);
    EXPECT_EQ(g.markersUsed, 2);
    // m1: 0, 2, 1 (2p = 1); m3: 1, missing, 0 (2p = 0.5).
    const double z[3][2] = {{-1, 0.5}, {1, 0}, {0, -0.5}};
    const double scale = 2 * 0.5 * 0.5 + 2 * 0.25 * 0.75;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_NEAR(g.matrix.values[static_cast<std::size_t>(i * 3 + j)], (z[i][0] * z[j][0] + z[i][1] * z[j][1]) / scale, 1e-15);
    const GenomicRelationship blended = genomicRelationship(m, 0.01);
    EXPECT_NEAR(blended.matrix.values[0], 0.99 * g.matrix.values[0] + 0.01, 1e-15);
    EXPECT_NEAR(blended.matrix.values[1], 0.99 * g.matrix.values[1], 1e-15);
    // Without missing calls G comes from M M' in single precision, exactly.
    MarkerCalls complete{"SNP.csv", {"i1", "i2", "i3"}, {"m1", "m2"}, {0, 1, 2, 2, 1, 0}};
    const GenomicRelationship exact = genomicRelationship(complete, 0.0);
    const double zc[3][2] = {{-1, 0}, {1, 1}, {0, -1}};  // 2p = 1 and 1
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            EXPECT_DOUBLE_EQ(exact.matrix.values[static_cast<std::size_t>(i * 3 + j)], (zc[i][0] * zc[j][0] + zc[i][1] * zc[j][1]) / 1.0);
    MarkerCalls bad{"SNP.csv", {"i1"}, {"m1"}, {3}};
    EXPECT_EQ(refusal([&] { genomicRelationship(bad); }), "SNP.csv: individual 'i1', marker 'm1': the call 3 is not 0, 1 or 2 (or missing)");
}

TEST(RelationshipMatrix, AKTheEstimatorCannotTakeIsRefusedSayingWhy) {
    const struct {
        std::vector<double> values;
        const char* says;
    } cases[] = {
        {{1, 0.5, 0.4, 1}, "not symmetric: 'b' with 'a' is 0.4, 'a' with 'b' is 0.5"},
        {{1, std::nan(""), std::nan(""), 1}, "the relationship between 'a' and 'b' is missing"},
        {{1, INFINITY, INFINITY, 1}, "is not finite"},
        {{1, 1, 1, 1}, "not positive definite: its smallest eigenvalue is 0"},
        {{1, 2, 2, 1}, "its smallest eigenvalue is -1"},
    };
    for (const auto& c : cases) {
        const RelationshipMatrix k{"K.csv", {"a", "b"}, c.values};
        const std::string said = refusal([&] { relatedLevelsOf(k); });
        EXPECT_NE(said.find(c.says), std::string::npos) << said;
        EXPECT_EQ(said.rfind("K.csv: ", 0), 0u) << said;
    }
    const auto related = relatedLevelsOf({"K.csv", {"a", "b"}, {2, 1, 1, 2}});
    EXPECT_DOUBLE_EQ(related->meanDiagonal, 2.0);
    EXPECT_DOUBLE_EQ(related->root[0], std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(related->root[1], 1.0 / std::sqrt(2.0));
}

}  // namespace
}  // namespace minque
