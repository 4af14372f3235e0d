#include "io/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"

namespace minque {

DirectoryLock::DirectoryLock(const std::string& folder) : path_(pathInFolder(folder, "MATRIX.lock")) {
    // The lock file is removed by the run that ends; a run that opened the
    // old file just before that finds, after locking, that the name now
    // points elsewhere, and tries again with the new file.
    const char* name = path_.c_str();
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            stopRun("%s: the lock file of this directory cannot be created (%s); the scratch files need a "
                    "writable working directory",
                    name, createFailure(errno).c_str());
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK)
                stopRun("Another analysis is running in this directory (%s is locked); its scratch files would be "
                        "overwritten. Run analyses one after the other or in separate directories",
                        name);
            stopRun("%s: the directory cannot be locked (%s)", name, std::strerror(error));
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) == 0 && stat(name, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            fd_ = fd;
            return;
        }
        close(fd);
    }
    stopRun("%s: the lock file keeps changing; another analysis is starting in this directory", name);
}

DirectoryLock::~DirectoryLock() {
    if (fd_ < 0) return;
    unlink(path_.c_str());
    close(fd_);
}

}  // namespace minque
