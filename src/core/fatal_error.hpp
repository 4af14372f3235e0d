// Errors of a run, thrown as values (RunError) up to the program's main or
// the library's caller; nothing here ends the process.
//
// fatalError is the analysis' own fatal routine: its error carries the three
// explanatory lines, printed in the run's language (the run that the error
// leaves sets it). It serves allocation failures, report and binary files
// that cannot be opened, and a singular-value decomposition that does not
// converge.
//
// stopRun serves everything this program checks beyond that: malformed or
// inconsistent input files, impossible command-line choices, failed reads and
// writes. Its error is one line that names the file and what is wrong,
// without the explanatory lines (they speak of data size, which would mislead
// a user whose file is merely malformed).
//
// Both exit with status 1 in the programs.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "minquecov/error.hpp"

namespace minque {

// How a program prints an error and the status it exits with: the programs'
// business, kept with the error (RunError::programNotes) and read only by
// the programs' mains. An error without notes is printed as its message line
// (with the fatal routine's explanatory lines in English for a Fatal one)
// on standard error, and ends with status 1.
struct RunError::ProgramNotes {
    // A program's own text, printed as it is instead of the message line
    // (possibly nothing): the device checks' lines, a usage text, a silent
    // stop; on standard output when onStandardOutput.
    bool printedAsIs = false;
    bool onStandardOutput = false;
    int exitStatus = 1;
    // The language of the fatal routine's explanatory lines (the run's).
    bool chinese = false;
    // A Fatal error whose message says in the user's terms what went wrong
    // (the library's): printed without the fatal routine's lines.
    bool explained = false;
};

// An error whose text a program prints as it is, on standard output or
// standard error, ending with exitStatus.
RunError programText(std::string text, bool onStandardOutput, int exitStatus);
// The notes of an error (defaults where it has none), and the status a
// program ends with.
RunError::ProgramNotes programNotesOf(const RunError& error);
int exitStatusOf(const RunError& error);

[[noreturn]] void fatalError(const char* message);

[[noreturn]] void stopRun(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same, with where the error is as fields of the error.
[[noreturn]] void stopRunAt(RunError::Location where, const char* format, ...) __attribute__((format(printf, 2, 3)));

// A stop with nothing to print (an input file that cannot be opened).
[[noreturn]] void stopSilently(int exitStatus = 1);

// The exception being handled (inside a catch block) as a RunError: itself
// when it is one; an allocation failure (std::bad_alloc from a container) as
// the fatal routine's error; anything else as an internal error.
RunError currentRunError();

// What a program prints for the error, on the stream it goes to: the message
// line (after `prefix`, the rank of a run under MPI) and, for the fatal
// routine, the three explanatory lines in the error's language.
std::string runErrorText(const RunError& error, const char* prefix = "");
void printRunError(const RunError& error, const char* prefix = "");

// Runs `body`; whatever leaves it leaves as a RunError (currentRunError),
// a fatal error with the language of the run.
template <class Body>
auto inRunLanguage(bool chinese, Body body) -> decltype(body()) {
    try {
        return body();
    } catch (...) {
        RunError e = currentRunError();
        if (e.kind() == RunError::Kind::Fatal) {
            RunError::ProgramNotes notes = programNotesOf(e);
            notes.chinese = chinese;
            e.setProgramNotes(std::make_shared<const RunError::ProgramNotes>(notes));
        }
        throw e;
    }
}

}  // namespace minque
