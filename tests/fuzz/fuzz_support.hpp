// Shared by the fuzzing harnesses: a rejected input (the run stops with a
// RunError) ends that input only, and no single array may exceed 64 MiB, so a
// file asking for more takes the allocators' failure path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/fatal_error.hpp"
#include "jackknife_engine/core/arrays.hpp"

namespace minque::fuzz {

using InputRejected = RunError;

inline void prepare() {
    static const bool done = [] {
        setAllocationLimit(std::size_t{64} << 20);
        return true;
    }();
    (void)done;
}

// A read-only stream over bytes kept in `keep` (which must outlive it).
inline std::FILE* memoryStream(std::string& keep) {
    if (keep.empty()) keep.push_back('\n');  // fmemopen refuses an empty buffer
    return fmemopen(keep.data(), keep.size(), "r");
}

inline std::string textOf(const std::uint8_t* data, std::size_t size, std::size_t skip) {
    return skip < size ? std::string(reinterpret_cast<const char*>(data) + skip, size - skip) : std::string();
}

}  // namespace minque::fuzz
