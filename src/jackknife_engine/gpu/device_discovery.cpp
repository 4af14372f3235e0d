#include "jackknife_engine/gpu/device_discovery.hpp"

#include "core/fatal_error.hpp"

namespace minque {

namespace {

constexpr int kEmulationCapability = 9999;

// The determination shared by the count and the banner; `status` receives the
// runtime's device-count status.
int determineCount(const DeviceRuntime& runtime, int* status) {
    int count = 0;
    *status = runtime.getDeviceCount(&count);
    if (*status != 0 || count < 1) return 0;
    int result = 0;
    for (int d = 0; d < count; ++d) {
        DeviceInfo info;
        runtime.getDeviceProperties(&info, d);
        if (d == 0 && !(info.major == kEmulationCapability && info.minor == kEmulationCapability))
            result = count;
    }
    return result;
}

void printDevice(const DeviceRuntime& runtime, std::FILE* out, int device) {
    DeviceInfo info;
    runtime.getDeviceProperties(&info, device);
    std::fprintf(out, "  Device%d:%s with %dMB total memory.\n", device, info.name.c_str(),
                 static_cast<int>(info.totalGlobalMem >> 20));
}

}  // namespace

int usableDeviceCount(const DeviceRuntime& runtime) {
    int status = 0;
    return determineCount(runtime, &status);
}

void printDeviceBanner(const DeviceRuntime& runtime, std::FILE* out) {
    int status = 0;
    const int count = determineCount(runtime, &status);
    if (status != 0) stopSilently(1);
    if (count >= 2) {
        std::fputs("  Using Multi-GPU!\n", out);
        for (int i = 0; i < count; ++i) printDevice(runtime, out, i);
    } else if (count == 1) {
        std::fputs("  Using GPU!\n", out);
        printDevice(runtime, out, 0);
    } else {
        std::fputs("  There are no device supporting CUDA, program is running on CPU!", out);
    }
}

int getGPUCount() { return usableDeviceCount(cudaDeviceRuntime()); }

void listGPU() { printDeviceBanner(cudaDeviceRuntime(), stdout); }

}  // namespace minque
