#include "io/run_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

const char* const kLockFile = "MATRIX.lock";
int lockFd = -1;  // the process's one lock, held until it ends

}  // namespace

void lockWorkingDirectory() {
    // The lock file is removed by the run that ends; a run that opened the
    // old file just before that finds, after locking, that the name now
    // points elsewhere, and tries again with the new file.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int fd = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            stopRun("%s: the lock file of this directory cannot be created (%s); the scratch files need a "
                    "writable working directory",
                    kLockFile, std::strerror(errno));
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK)
                stopRun("Another analysis is running in this directory (%s is locked); its scratch files would be "
                        "overwritten. Run analyses one after the other or in separate directories",
                        kLockFile);
            stopRun("%s: the directory cannot be locked (%s)", kLockFile, std::strerror(error));
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) == 0 && stat(kLockFile, &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            lockFd = fd;
            std::atexit(unlockWorkingDirectory);  // also when the run stops early
            return;
        }
        close(fd);
    }
    stopRun("%s: the lock file keeps changing; another analysis is starting in this directory", kLockFile);
}

void unlockWorkingDirectory() {
    if (lockFd < 0) return;
    unlink(kLockFile);
    close(lockFd);
    lockFd = -1;
}

}  // namespace minque
