// minque-cov: the covariance components and correlations of every trait pair.
#include "jackknife_engine/driver/rank_team.hpp"
#include "jackknife_engine/driver/run_driver.hpp"

// Let AddressSanitizer builds report allocation failure as a null result, so a
// model too large for memory ends with the allocators' message, as in a normal
// build.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) {
    minque::useMpiRanks();
    try {
        return minque::runMinqueCov(argc, argv);
    } catch (...) {
        return minque::endProgram(minque::currentRunError());
    }
}
