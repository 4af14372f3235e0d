// Whole files as text, and the small text helpers the readers share.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace minque {

// The bytes of the file `name` into *text; false when it cannot be opened
// (errno tells why). A failure while reading stops the run naming the file.
bool readFileText(const std::string& name, std::string* text);

// An input the user names (a trial table, a report) must be a regular file:
// a FIFO or a device would block or never end, a folder has no text. Stops
// the run naming it otherwise; a name that does not exist is left to the
// reader's "cannot be opened".
void refuseUnlessRegularFile(const std::string& name);

// Creates (or empties) the file `name` for writing, and for reading too when
// `mode` has a '+', as fopen with "w" would, except that a link in its place
// is refused, never followed (errno ELOOP): a planted link cannot make a run
// write over another file. nullptr when it cannot (errno tells why).
std::FILE* createFile(const std::string& name, const char* mode);

// Why a file could not be created, in words (a link in its place named as such).
std::string createFailure(int error);

// Writes `text` as the whole file `name`; a file that cannot be created or
// written stops the run naming it.
void writeFileText(const std::string& name, const std::string& text);

// A stream whose bytes stay in memory (a report that is a value before it is
// a file, if ever): written with the C library's formatted output like any
// file, and taken as text at the end.
class MemoryTextStream {
public:
    MemoryTextStream();  // stops the run when memory for it cannot be had
    ~MemoryTextStream();
    MemoryTextStream(const MemoryTextStream&) = delete;
    MemoryTextStream& operator=(const MemoryTextStream&) = delete;

    std::FILE* stream() const { return stream_; }
    // Closes the stream and returns every byte written.
    std::string take();

private:
    std::FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
};

// `name` inside `folder`: the name itself when the folder is "" (the working
// directory), else folder/name.
std::string pathInFolder(const std::string& folder, const std::string& name);

// The text without its leading and trailing spaces, tabs and line ends.
std::string trimmed(const std::string& text);

}  // namespace minque
