// The fast host kernels against the reference kernels on a random valid
// model drawn from the input bytes: any difference in a stored value, in any
// pass, on any vector path, aborts with the place where the two part.
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.hpp"
#include "support/kernel_differential.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    test::ByteDraws draws(data, size);
    const test::RandomModel model = test::drawModel(draws);
    const test::DifferentialResult result = test::compareKernels(model);
    if (!result.modelAccepted) {
        std::fprintf(stderr, "the readers refused a generated model\n");
        std::abort();
    }
    if (!result.difference.empty()) {
        std::fprintf(stderr, "fast and reference kernels differ: %s\n", result.difference.c_str());
        std::abort();
    }
    return 0;
}
