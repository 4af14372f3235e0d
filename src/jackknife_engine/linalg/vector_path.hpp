// Which vector instructions the host kernels use. Every path gives the same
// bits (each element keeps its own sequence of operations), so the choice is
// a matter of speed only: by default the widest this processor runs. The
// tests force each path in turn to compare them with one another.
#pragma once

namespace minque {

enum class VectorPath { Plain = 0, Avx2 = 1, Avx512 = 2 };

// The widest path this processor runs.
VectorPath widestVectorPath();

// The path the kernels take now.
VectorPath vectorPath();

// Forces a path for later kernel calls; a path wider than the processor runs
// is lowered to the widest it does. Returns the path now in force.
VectorPath setVectorPath(VectorPath path);

const char* vectorPathName(VectorPath path);

}  // namespace minque
