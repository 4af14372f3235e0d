// A build without the CUDA toolkit has no device, so the pass never takes the
// GPU path; this stand-in only guards against a call that cannot happen.
#include "core/fatal_error.hpp"
#include "jackknife_engine/gpu/sherman_gpu.hpp"

namespace minque {

std::string gpuLibraryProblem() { return "this build has no CUDA support"; }

int inverseV_GPU(const float*, float*, int, int) {
    stopRun("internal error: the GPU variance inverse was requested in a build without CUDA");
}

void shermanGPU(AnalysisState&, int, int) {
    stopRun("internal error: the GPU variance inverse was requested in a build without CUDA");
}

}  // namespace minque
