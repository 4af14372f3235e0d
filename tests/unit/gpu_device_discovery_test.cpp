#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "jackknife_engine/gpu/device_discovery.hpp"
#include "support/test_support.hpp"

namespace minque {
namespace {

// A made-up runtime: its devices and the status of the device count.
struct FakeRuntime {
    static inline std::vector<DeviceInfo> devices;
    static inline int status = 0;
    static int count(int* n) {
        *n = status == 0 ? static_cast<int>(devices.size()) : 0;
        return status;
    }
    static void properties(DeviceInfo* info, int d) { *info = devices[static_cast<std::size_t>(d)]; }
    static DeviceRuntime runtime() { return {count, properties}; }
};

std::string banner() {
    char buffer[1024] = {};
    std::FILE* out = fmemopen(buffer, sizeof buffer, "w");
    printDeviceBanner(FakeRuntime::runtime(), out);
    std::fclose(out);
    return buffer;
}

TEST(DeviceDiscovery, CountsListsAndTruncatesMemoryToWholeMegabytes) {
    FakeRuntime::status = 0;
    FakeRuntime::devices = {};
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 0);
    EXPECT_EQ(banner(), "  There are no device supporting CUDA, program is running on CPU!");

    FakeRuntime::devices = {{"Card A", 4294967295ULL, 9, 0}};
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 1);
    EXPECT_EQ(banner(), "  Using GPU!\n  Device0:Card A with 4095MB total memory.\n");

    FakeRuntime::devices = {{"Card A", 80ULL << 30, 9, 0}, {"Card B", 1ULL << 20, 8, 0}};
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 2);
    EXPECT_EQ(banner(),
              "  Using Multi-GPU!\n  Device0:Card A with 81920MB total memory.\n"
              "  Device1:Card B with 1MB total memory.\n");
}

TEST(DeviceDiscovery, EmulationDeviceAndFailingRuntimeCountAsNoDevice) {
    FakeRuntime::status = 0;
    FakeRuntime::devices = {{"Emulator", 1ULL << 30, 9999, 9999}};
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 0);
    FakeRuntime::devices = {{"Card A", 1ULL << 30, 9999, 0}};
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 1);
    FakeRuntime::status = 35;
    EXPECT_EQ(usableDeviceCount(FakeRuntime::runtime()), 0);
    FakeRuntime::status = 0;
}

TEST(DeviceDiscovery, BannerStopsTheRunSilentlyWhenTheCountFails) {
    FakeRuntime::status = 100;
    EXPECT_RUN_ERROR(banner(), 1, "^$");
    FakeRuntime::status = 0;
}

}  // namespace
}  // namespace minque
