// CUDA device discovery: whether a usable device exists, and the banner
// printed at the start of the run.
//
// A device whose compute capability is 9999.9999 is the runtime's emulation
// device and does not count. No device is ever selected: with several devices
// every GPU computation runs on the runtime's default device.
//
// The decision logic works on a DeviceRuntime (the two runtime calls it
// needs), so it can be exercised with made-up devices; a build without the
// CUDA toolkit links a stand-in runtime that reports no device.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace minque {

struct DeviceInfo {
    std::string name;
    std::uint64_t totalGlobalMem = 0;
    int major = 0;
    int minor = 0;
};

struct DeviceRuntime {
    // Writes the device count; returns the runtime status (0 = success).
    int (*getDeviceCount)(int* count);
    // Fills the properties of device `device`.
    void (*getDeviceProperties)(DeviceInfo* info, int device);
};

// The CUDA runtime of this build (the real one, or the no-device stand-in).
const DeviceRuntime& cudaDeviceRuntime();

// Usable devices: 0 on a failing count, no device, or the emulation device as
// device 0; else the runtime's count.
int usableDeviceCount(const DeviceRuntime& runtime);

// The banner. A failing device count stops the run (status 1) with no
// message.
void printDeviceBanner(const DeviceRuntime& runtime, std::FILE* out);

int getGPUCount();
void listGPU();

// Makes `device` the one this process's device work runs on (a rank of a run
// under MPI takes its own; a single process never chooses).
void useDevice(int device);

}  // namespace minque
