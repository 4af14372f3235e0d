#include "io/file_text.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fatal_error.hpp"

namespace minque {

bool readFileText(const std::string& name, std::string* text) {
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (f == nullptr) return false;
    text->clear();
    char buffer[65536];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text->append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) stopRun("%s: the file could not be read", name.c_str());
    return true;
}

void refuseUnlessRegularFile(const std::string& name) {
    struct stat status {};
    if (::stat(name.c_str(), &status) != 0 || S_ISREG(status.st_mode)) return;
    const char* what = S_ISDIR(status.st_mode) ? "a folder" : S_ISFIFO(status.st_mode) ? "a FIFO (named pipe)" : "a device or socket";
    stopRun("%s: is %s, not a regular file; give the file itself", name.c_str(), what);
}

std::FILE* createFile(const std::string& name, const char* mode) {
    const bool update = std::strchr(mode, '+') != nullptr;
    const int fd = ::open(name.c_str(), (update ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    std::FILE* f = fdopen(fd, mode);
    if (f == nullptr) {
        const int error = errno;
        ::close(fd);
        errno = error;
    }
    return f;
}

std::string createFailure(int error) {
    if (error == ELOOP) return "a link is in its place; a run does not write through links: remove it";
    return std::strerror(error);
}

void writeFileText(const std::string& name, const std::string& text) {
    std::FILE* out = createFile(name, "wb");
    if (out == nullptr) stopRun("%s: cannot be created (%s)", name.c_str(), createFailure(errno).c_str());
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) stopRun("%s: could not be written (%s)", name.c_str(), std::strerror(errno));
}

MemoryTextStream::MemoryTextStream() {
    stream_ = open_memstream(&buffer_, &size_);
    if (stream_ == nullptr) stopRun("a report could not be opened in memory (%s)", std::strerror(errno));
}

MemoryTextStream::~MemoryTextStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::free(buffer_);
}

std::string MemoryTextStream::take() {
    const bool failed = std::ferror(stream_) != 0;
    const int closed = std::fclose(stream_);
    stream_ = nullptr;
    if (closed != 0 || failed) stopRun("a report could not be written in memory (%s)", std::strerror(errno));
    std::string text(buffer_ == nullptr ? "" : buffer_, size_);
    std::free(buffer_);
    buffer_ = nullptr;
    return text;
}

std::string pathInFolder(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string trimmed(const std::string& s) {
    const char* blank = " \t\r\n";
    const std::size_t first = s.find_first_not_of(blank);
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(blank) - first + 1);
}

}  // namespace minque
