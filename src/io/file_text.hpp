// Whole files as text, and the small text helpers the readers share.
#pragma once

#include <string>

namespace minque {

// The bytes of the file `name` into *text; false when it cannot be opened
// (errno tells why). A failure while reading stops the run naming the file.
bool readFileText(const std::string& name, std::string* text);

// Writes `text` as the whole file `name`; a file that cannot be created or
// written stops the run naming it.
void writeFileText(const std::string& name, const std::string& text);

// `name` inside `folder`: the name itself when the folder is "" (the working
// directory), else folder/name.
std::string pathInFolder(const std::string& folder, const std::string& name);

// The text without its leading and trailing spaces, tabs and line ends.
std::string trimmed(const std::string& text);

}  // namespace minque
