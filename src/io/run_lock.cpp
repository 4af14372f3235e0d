#include "io/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

LockFile::LockFile(std::string path) : path_(std::move(path)) {
    const char* name = path_.c_str();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            error_ = errno;
            return;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            error_ = errno;
            close(fd);
            return;
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) == 0 && stat(name, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            fd_ = fd;
            error_ = 0;
            return;
        }
        close(fd);
    }
    error_ = EBUSY;
}

LockFile::~LockFile() {
    if (fd_ < 0) return;
    unlink(path_.c_str());
    close(fd_);
}

DirectoryLock::DirectoryLock(const std::string& folder) : lock_(pathInFolder(folder, "MATRIX.lock")) {
    const char* name = lock_.path().c_str();
    switch (lock_.error()) {
        case 0:
            return;
        case EWOULDBLOCK:
            stopRun("Another analysis is running in this directory (%s is locked); its scratch files would be "
                    "overwritten. Run analyses one after the other or in separate directories",
                    name);
        case EBUSY:
            stopRun("%s: the lock file keeps changing; another analysis is starting in this directory", name);
        default:
            break;
    }
    if (lock_.error() == ENOLCK || lock_.error() == EINVAL)
        stopRun("%s: the directory cannot be locked (%s)", name, std::strerror(lock_.error()));
    stopRun("%s: the lock file of this directory cannot be created (%s); the scratch files need a writable working "
            "directory",
            name, createFailure(lock_.error()).c_str());
}

}  // namespace minque
