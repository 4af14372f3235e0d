// The x86 vector intrinsics, for the kernels that choose AVX-512 or AVX2 at
// run time (functions marked with a target attribute).
#pragma once

// GCC 12 warns about an internal temporary of the AVX-512 conversion
// intrinsics at -O3; the warning concerns the header, not its users.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
