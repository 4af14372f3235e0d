// One analysis per folder at a time: the scratch files have fixed names, so
// two runs in one folder would overwrite each other's. A run holds an
// exclusive lock on "MATRIX.lock" in its folder from its start to its end; a
// second run finds the lock taken and stops at once, before it has touched
// any file. The lock is an object: it is released, and its file removed, on
// every way out of the run (its end, an error, a cancel).
#pragma once

#include <string>

namespace minque {

class DirectoryLock {
public:
    // Takes the lock of `folder` ("" or "." for the working directory), or
    // stops the run with a message.
    explicit DirectoryLock(const std::string& folder);
    ~DirectoryLock();
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace minque
