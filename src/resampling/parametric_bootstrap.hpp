// The parametric bootstrap of MINQUE(0/1) components: data sets drawn from
// the fitted model, estimated again with the same projection (the estimator
// in the space of the random levels, estimator/level_space.hpp).
//
// Arithmetic: double precision, outside the three programs' single-precision
// contract.
//
// Simulation: for every random factor u the t x t matrix G_u of its whole-data
// variance and covariance components over the traits, and R of the residual,
// are made positive semi-definite by setting their negative eigenvalues to 0
// (the factor is then reported as adjusted). Every level's effects are drawn
// from N(0, G_u), every observation's residuals from N(0, R), and y* = U e +
// r (the fixed effects are left out: Q removes them). Factors joined by
// covariance components are drawn jointly: level h of every factor of such
// a group from one normal over (factors x traits), whose matrix holds G_u
// on its diagonal blocks and the covariance component C_ab between paired
// factors (0 between factors not paired); it is made positive
// semi-definite as a whole, and then every component of the group is
// reported as adjusted. A factor with a relationship matrix K = L L' has
// its levels' deviates drawn as for independent levels and then multiplied
// by L over each block of K's order: effects N(0, G_u x K). Normal deviates come
// from the SplitMix64 generator by the Box-Muller transformation (log, cos
// and sin from glibc's vector math where the build has it, within 4 ulp of
// the scalar functions, which it uses elsewhere); sample b has its own
// generator, seeded from the seed and b, so the draws do not depend on the
// thread count.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "estimator/level_space.hpp"

namespace minque {

struct BootstrapDraws {
    int samples = 0, traits = 0, components = 0;
    // theta of sample b: theta[(b * components + k) * pairs + pairIndex(i, j)].
    std::vector<double> theta;
    // Per component, whether its t x t matrix (with the factors it is drawn
    // jointly with) had negative eigenvalues set to 0, and that matrix's
    // smallest eigenvalue.
    std::vector<char> adjusted;
    std::vector<double> smallestEigenvalue;
};

// B samples drawn at the whole-data components `whole` (as estimate() gives
// them), re-estimated with the same projection. The samples go in blocks
// over the worker threads; after each block `blockDone` (when given) is told
// on the calling thread how many are done, and may throw to stop the run.
BootstrapDraws parametricBootstrap(const MinqueProjection& projection, const std::vector<double>& whole, int traits,
                                   int samples, std::uint64_t seed,
                                   const std::function<void(int done)>& blockDone = {});

}  // namespace minque
