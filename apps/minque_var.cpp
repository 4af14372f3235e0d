#include "driver/run_driver.hpp"

extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }

int main(int argc, char** argv) { return minque::runAnalysis(minque::AnalysisKind::Variances, argc, argv); }
