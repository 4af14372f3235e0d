// minque-var: the variance components of every trait, and the variance file
// MATWRN.var that minque-cov reads.
#include "jackknife_engine/driver/rank_team.hpp"
#include "jackknife_engine/driver/run_driver.hpp"

extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) {
    minque::useMpiRanks();
    try {
        return minque::runAnalysis(minque::AnalysisKind::Variances, argc, argv);
    } catch (...) {
        return minque::endProgram(minque::currentRunError());
    }
}
