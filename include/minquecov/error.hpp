// The one error type of minque-cov: every failure of an analysis (a bad
// file, option or column, a failed write, memory that cannot be had, a device
// step that fails, a run cancelled on request) is thrown as a RunError and
// travels up to its caller. It carries what is wrong (its kind and one-line
// message) and where (the file or table, row, column and option, as fields).
// The library never ends the process; how a program prints an error and the
// status it exits with are the programs' own business.
#pragma once

#include <exception>
#include <memory>
#include <string>
#include <utility>

namespace minque {

class RunError : public std::exception {
public:
    enum class Kind {
        // What the input or the request asks is wrong or cannot be done: one
        // line naming the file, option or column and what is wrong.
        Stopped,
        // The analysis cannot go on for lack of resources or a numerical
        // failure: memory that cannot be had, a report or record file that
        // cannot be opened, a decomposition that does not converge.
        Fatal,
        // Stopped on request, between two estimation passes: by the progress
        // callback of the library, or by an interrupt of a program.
        Cancelled,
    };

    RunError(Kind kind, std::string message) noexcept : kind_(kind), message_(std::move(message)) {}

    Kind kind() const noexcept { return kind_; }
    bool cancelled() const noexcept { return kind_ == Kind::Cancelled; }

    // The message: one line, without its line end.
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

    // Where the error is, as far as it is known: the file or table it
    // concerns, the line (a table's row, numbered as its caller numbers
    // rows), the column, the option or argument; empty or 0 where unknown.
    struct Location {
        std::string file;
        int line = 0;
        std::string column;
        std::string option;
    };
    const Location& location() const noexcept { return location_; }
    void setLocation(Location location) { location_ = std::move(location); }

    // What the programs keep with an error to print it and end (defined in
    // the engine, not for a library's caller).
    struct ProgramNotes;
    const std::shared_ptr<const ProgramNotes>& programNotes() const noexcept { return notes_; }
    void setProgramNotes(std::shared_ptr<const ProgramNotes> notes) noexcept { notes_ = std::move(notes); }

private:
    Kind kind_;
    std::string message_;
    Location location_;
    std::shared_ptr<const ProgramNotes> notes_;
};

}  // namespace minque
