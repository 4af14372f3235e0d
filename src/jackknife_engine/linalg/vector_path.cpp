#include "jackknife_engine/linalg/vector_path.hpp"

#include <atomic>

namespace minque {

namespace {

VectorPath detectWidest() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return VectorPath::Avx512;
    if (__builtin_cpu_supports("avx2")) return VectorPath::Avx2;
    return VectorPath::Plain;
}

std::atomic<VectorPath>& current() {
    static std::atomic<VectorPath> path{widestVectorPath()};
    return path;
}

}  // namespace

VectorPath widestVectorPath() {
    static const VectorPath widest = detectWidest();
    return widest;
}

VectorPath vectorPath() { return current().load(std::memory_order_relaxed); }

VectorPath setVectorPath(VectorPath path) {
    const VectorPath widest = widestVectorPath();
    if (static_cast<int>(path) > static_cast<int>(widest)) path = widest;
    current().store(path, std::memory_order_relaxed);
    return path;
}

const char* vectorPathName(VectorPath path) {
    switch (path) {
        case VectorPath::Avx512: return "AVX-512";
        case VectorPath::Avx2: return "AVX2";
        case VectorPath::Plain: break;
    }
    return "plain x86-64";
}

}  // namespace minque
