#include "io/run_files.hpp"

#include <cstdio>

namespace minque {

void RunFiles::removeAll() {
    for (const std::string& path : paths_) std::remove(path.c_str());
    paths_.clear();
}

RunFiles::~RunFiles() {
    if (!keep_) removeAll();
}

}  // namespace minque
