// The bundled example trial: a half diallel of 6 parents in 2 environments
// with 2 blocks each and four traits, generated from a fixed seed so that
// EXAMPLE.TXT is the same on every platform.
#pragma once

#include <string>

namespace minque {

// Writes EXAMPLE.TXT into `directory`; returns 0, or 1 after a message on
// standard error when the file cannot be written.
int writeExampleTrial(const std::string& directory);

}  // namespace minque
