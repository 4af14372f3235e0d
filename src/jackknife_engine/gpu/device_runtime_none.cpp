// The CUDA runtime of a build without the CUDA toolkit: no device, ever.
#include "jackknife_engine/gpu/device_discovery.hpp"

namespace minque {

namespace {
int noDeviceCount(int* count) {
    *count = 0;
    return 0;
}
void noDeviceProperties(DeviceInfo* info, int) { *info = DeviceInfo{}; }
}  // namespace

void useDevice(int) {}

const DeviceRuntime& cudaDeviceRuntime() {
    static const DeviceRuntime runtime{noDeviceCount, noDeviceProperties};
    return runtime;
}

}  // namespace minque
