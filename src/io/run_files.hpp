// Files a run creates under their names in its folder (scratch files,
// unfinished outputs): they belong to this object and are removed when it
// goes, on every way out of the run, unless the run asks to keep them.
#pragma once

#include <string>
#include <vector>

namespace minque {

class RunFiles {
public:
    RunFiles() = default;
    ~RunFiles();
    RunFiles(const RunFiles&) = delete;
    RunFiles& operator=(const RunFiles&) = delete;

    // A file the run is about to create (or has created) under this path.
    void add(const std::string& path) { paths_.push_back(path); }
    // Leaves every file added as it is when the object goes.
    void keepAll() { keep_ = true; }
    // Removes every file added, now.
    void removeAll();

private:
    std::vector<std::string> paths_;
    bool keep_ = false;
};

}  // namespace minque
