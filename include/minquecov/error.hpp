// The one error type of minque-cov: every failure of an analysis (a bad
// file, option or column, a failed write, memory that cannot be had, a device
// step that fails, a run cancelled on request) is thrown as a RunError and
// travels up to its caller. The library never ends the process; each program
// catches the error in its main, prints what it carries and returns its exit
// status.
#pragma once

#include <exception>
#include <string>
#include <utility>

namespace minque {

class RunError : public std::exception {
public:
    enum class Kind {
        // One line naming the file, option or column and what is wrong.
        Stopped,
        // The analysis' fatal routine: the message, then three explanatory
        // lines in the run's language (allocation failures, report and record
        // files that cannot be opened, a decomposition that does not converge).
        Fatal,
        // Stopped on request, between two estimation passes: by the progress
        // callback of the library, or by an interrupt of a program.
        Cancelled,
        // A program's own text, printed as it is (possibly nothing), on
        // standard output or standard error: the device checks' lines, a
        // usage text, a silent stop.
        Printed,
    };

    RunError(Kind kind, std::string message, int exitStatus = 1) noexcept
        : kind_(kind), message_(std::move(message)), exitStatus_(exitStatus) {}

    // A program's text: `text` as it is printed (with its line ends), on
    // standard output when `onStandardOutput`, else on standard error.
    static RunError printed(std::string text, bool onStandardOutput, int exitStatus) {
        RunError e(Kind::Printed, std::move(text), exitStatus);
        e.onStandardOutput_ = onStandardOutput;
        return e;
    }

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

    Kind kind() const noexcept { return kind_; }
    bool cancelled() const noexcept { return kind_ == Kind::Cancelled; }

    // The message: one line, without its line end (for a Printed error, the
    // text as it is printed).
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

    // The exit status the programs give for this error.
    int exitStatus() const noexcept { return exitStatus_; }

    // Whether the fatal routine's three explanatory lines follow the message,
    // and their language (set by the run the error left).
    bool explanatoryLines() const noexcept { return kind_ == Kind::Fatal; }
    bool chinese() const noexcept { return chinese_; }
    void setChinese(bool chinese) noexcept { chinese_ = chinese; }

    bool onStandardOutput() const noexcept { return onStandardOutput_; }

private:
    Kind kind_;
    std::string message_;
    int exitStatus_;
    bool chinese_ = false;
    bool onStandardOutput_ = false;
    Location location_;
};

}  // namespace minque
