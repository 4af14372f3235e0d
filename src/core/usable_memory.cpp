#include "core/usable_memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace minque {

double usableMemory() {
    double bytes = static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        bytes = std::min(bytes, static_cast<double>(limit.rlim_cur));
    return bytes;
}

}  // namespace minque
