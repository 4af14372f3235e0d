// One analysis per working directory at a time: the scratch files have fixed
// names, so two runs in one directory would overwrite each other's. A run
// holds an exclusive lock on "MATRIX.lock" from its start to its end; a second
// run finds the lock taken and stops at once, before it has touched any file.
#pragma once

namespace minque {

// Takes the lock or stops the run with a message (exit code 1).
void lockWorkingDirectory();

// Removes the lock file and releases the lock; also runs when the process
// exits, so a run that stops early leaves no lock file either.
void unlockWorkingDirectory();

}  // namespace minque
