// Eigen picks the blocking of its products from the processor's cache sizes;
// fixed sizes make the order of every sum the same on every machine.
#pragma once

#include <Eigen/Core>
#include <mutex>

namespace minque {

inline void fixProductBlocking() {
    static std::once_flag once;
    std::call_once(once, [] { Eigen::setCpuCacheSizes(32 * 1024, 256 * 1024, 2 * 1024 * 1024); });
}

}  // namespace minque
