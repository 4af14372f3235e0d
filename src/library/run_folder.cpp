#include "library/run_folder.hpp"

#include <stdlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

RunFolder::RunFolder(const std::string& folder) : path_(folder) {
    if (!path_.empty()) {
        std::error_code error;
        if (!std::filesystem::is_directory(path_, error))
            stopRun("%s: the folder for the run's files does not exist", path_.c_str());
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/minque-run-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        stopRun("%s: a private folder for the run could not be created (%s)", pattern.c_str(), std::strerror(errno));
    path_ = pattern;
    owned_ = true;
}

RunFolder::~RunFolder() {
    if (!owned_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void writeText(RunFiles& files, const std::string& path, const std::string& text) {
    files.add(path);
    writeFileText(path, text);
}

}  // namespace minque
