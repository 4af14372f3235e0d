// Which library's kernels the estimator's dense algebra runs on in this build.
#pragma once

namespace minque {

// "OpenBLAS" or "Eigen".
const char* denseKernels();

}  // namespace minque
