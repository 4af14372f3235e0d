// minque: the front door, from a trial table to reports, tables and a
// correlation heatmap in one command (analyse), or tables and pictures from
// existing reports (summary).
#include "driver/minque_command.hpp"
#include "jackknife_engine/driver/rank_team.hpp"

extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) {
    try {
        return minque::runMinqueCommand(argc, argv);
    } catch (...) {
        return minque::endProgram(minque::currentRunError());
    }
}
