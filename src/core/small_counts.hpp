// Loops over a count of traits (or a factor group's traits), usually 1 to 4:
// the count made a compile-time constant where it is that small, so that the
// compiler unrolls the loops; the same arithmetic in the same order either
// way.
#pragma once

#include <cstddef>
#include <type_traits>

namespace minque {

// f(n): n a std::integral_constant for a count of 1 to 4, else the count
// itself; either converts to std::size_t.
template <class F>
decltype(auto) withSmallCount(std::size_t count, F&& f) {
    switch (count) {
        case 1: return f(std::integral_constant<std::size_t, 1>{});
        case 2: return f(std::integral_constant<std::size_t, 2>{});
        case 3: return f(std::integral_constant<std::size_t, 3>{});
        case 4: return f(std::integral_constant<std::size_t, 4>{});
        default: return f(count);
    }
}

}  // namespace minque
