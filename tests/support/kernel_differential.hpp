// Differential testing of the fast host kernels against the reference
// kernels, over whole estimation passes of small random models that the
// readers accept and the method allows.
//
// A model is drawn from a stream of bytes (a fuzzer's input, or bytes of a
// seeded generator), so the deterministic sweep of the test suite and the
// fuzzing harness explore the same space: n from 1 to 80, 0 to 3 fixed
// columns (overlapping, possibly empty or repeating an observation), 0 to 8
// random factors (factors with no levels, empty columns, zero and negative
// coefficients, observations listed several times in a column, columns with
// more entries than observations), prior values that skip a factor,
// covariance components, and the trait values.
//
// For the pass on all data and for every replicate pass of the drawn group
// size, both kernel sets run on their own copy of the state and every stored
// value is compared bit for bit: V^-1 (with the model's prior values, and with
// every prior value 1), W = V^-1 X, Q, the product records, S, its
// g-inverse, and the cross forms and estimates of every trait pair. The fast
// kernels run with the drawn number of worker threads, on each vector path
// the processor runs in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/io/model_writer.hpp"

namespace minque::test {

// Choices drawn from bytes; past the end every draw is 0.
class ByteDraws {
public:
    ByteDraws(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    // A number in [0, bound) (0 when bound is 0 or 1).
    unsigned below(unsigned bound);
    // A number in [lo, hi].
    int between(int lo, int hi) { return lo + static_cast<int>(below(static_cast<unsigned>(hi - lo + 1))); }
    bool oneIn(unsigned k) { return below(k) == 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// `count` bytes of a seeded generator, for the deterministic sweep.
std::vector<std::uint8_t> seededBytes(unsigned seed, std::size_t count);

struct RandomModel {
    ModelDesign design;
    std::vector<std::vector<float>> traits;  // traitCount rows of n values
    int covarianceSwitch = 0;
    int groupSize = 1;
    int threads = 1;
    bool nearlySymmetricInverse = false;  // also project an inverse symmetric only up to rounding
};

RandomModel drawModel(ByteDraws& draws);

// A state read from a model file and a data file held in memory, with the
// model constants derived, as a run reads them.
AnalysisState stateFromText(const std::string& modelText, const std::string& dataText, int covarianceSwitch);
std::string dataFileText(const std::vector<std::vector<float>>& traits, int n);

struct DifferentialResult {
    bool modelAccepted = true;   // false: the readers refused the model (a generator fault)
    std::string difference;      // empty when every value agreed bit for bit
    int passes = 0;              // estimation passes compared (per vector path)
    int covarianceComponents = 0;  // covariance components between factors in the model compared
    std::vector<std::string> paths;  // the vector paths compared
};

DifferentialResult compareKernels(const RandomModel& model);

}  // namespace minque::test
