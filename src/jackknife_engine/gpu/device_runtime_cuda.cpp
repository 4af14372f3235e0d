// The CUDA runtime's device count and properties.
#include <cuda_runtime_api.h>

#include "jackknife_engine/gpu/device_discovery.hpp"

namespace minque {

namespace {
int runtimeDeviceCount(int* count) {
    *count = 0;
    return static_cast<int>(cudaGetDeviceCount(count));
}
void runtimeDeviceProperties(DeviceInfo* info, int device) {
    cudaDeviceProp prop{};
    (void)cudaGetDeviceProperties(&prop, device);  // status not examined, as for the count's user
    prop.name[sizeof prop.name - 1] = '\0';
    info->name = prop.name;
    info->totalGlobalMem = static_cast<std::uint64_t>(prop.totalGlobalMem);
    info->major = prop.major;
    info->minor = prop.minor;
}
}  // namespace

void useDevice(int device) { (void)cudaSetDevice(device); }

const DeviceRuntime& cudaDeviceRuntime() {
    static const DeviceRuntime runtime{runtimeDeviceCount, runtimeDeviceProperties};
    return runtime;
}

}  // namespace minque
