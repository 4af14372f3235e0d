// minque-model: the model file (.MAT) of an analysis from a data file with
// design columns.
#include "jackknife_engine/driver/model_command.hpp"
#include "jackknife_engine/driver/rank_team.hpp"

extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) {
    minque::useMpiRanks();
    try {
        return minque::runModelCommand(argc, argv);
    } catch (...) {
        return minque::endProgram(minque::currentRunError());
    }
}
