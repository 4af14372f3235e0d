// Exclusive locks of a run. A lock is a file held with flock for the life of
// an object and removed after it, on every way out of the run (its end, an
// error, a cancel). The file is created if need be, never through a link; a
// run that opened the file of a run ending at that moment finds, after
// locking, that the name points elsewhere, and tries again with the new file.
#pragma once

#include <string>

namespace minque {

class LockFile {
public:
    // Tries to take the lock of the file `path`; error() says how it went.
    explicit LockFile(std::string path);
    ~LockFile();
    LockFile(const LockFile&) = delete;
    LockFile& operator=(const LockFile&) = delete;

    // 0: held; EWOULDBLOCK: another process holds it; EBUSY: the file kept
    // changing; else the errno of the failure to create or lock it.
    int error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int fd_ = -1;
    int error_ = 0;
};

// One analysis per folder at a time: the scratch files have fixed names, so
// two runs in one folder would overwrite each other's. A run holds the lock
// "MATRIX.lock" in its folder from its start to its end; a second run finds
// it taken and stops at once, before it has touched any file.
class DirectoryLock {
public:
    // Takes the lock of `folder` ("" or "." for the working directory), or
    // stops the run with a message.
    explicit DirectoryLock(const std::string& folder);

private:
    LockFile lock_;
};

}  // namespace minque
