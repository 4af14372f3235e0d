// Where a run writes: the folder asked for, or a private temporary folder
// that belongs to the run (removed when it goes, unless kept).
#pragma once

#include <string>

#include "io/run_files.hpp"

namespace minque {

class RunFolder {
public:
    // folder empty: a private folder under TMPDIR (or /tmp), owned until kept.
    explicit RunFolder(const std::string& folder);
    ~RunFolder();
    RunFolder(const RunFolder&) = delete;
    RunFolder& operator=(const RunFolder&) = delete;
    const std::string& path() const { return path_; }
    bool owned() const { return owned_; }
    void keep() { owned_ = false; }

private:
    std::string path_;
    bool owned_ = false;
};

// Writes a file of the run, added to `files` first (removed on a way out
// unless kept).
void writeText(RunFiles& files, const std::string& path, const std::string& text);

}  // namespace minque
