// Ending the run on an unrecoverable condition.
//
// fatalError is the analysis' own fatal routine: it prints the message and
// three explanatory lines in the run's language on standard error and ends the
// process with exit code 1. It serves allocation failures, report and binary
// files that cannot be opened, and a singular-value decomposition that does not
// converge.
//
// stopRun serves everything this program checks beyond that: malformed or
// inconsistent input files, impossible command-line choices, failed reads and
// writes. It prints one line that names the file and what is wrong and ends the
// process with exit code 1, without the explanatory lines (they speak of data
// size, which would mislead a user whose file is merely malformed).
#pragma once

namespace minque {

// Language of fatalError's explanatory lines: true for Chinese. Set once by the
// run driver from the first command-line argument.
void setFatalErrorLanguage(bool chinese);

[[noreturn]] void fatalError(const char* message);

// What ends the run after the message: by default the process exits with the
// code. The fuzzing harnesses install a handler that throws instead, so that
// one rejected input ends only that input; the handler must not return.
using StopHandler = void (*)(int exitCode);
void setStopHandler(StopHandler handler);
StopHandler currentStopHandler();

[[noreturn]] void stopRun(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Text printed before every fatal message (the rank of a run under MPI);
// the string must outlive the run.
void setMessagePrefix(const char* prefix);

// Work to do when a run is ended by a stop handler instead of exit, which
// would run it through atexit (removing scratch files): registered once,
// run once, in reverse order.
void addStopCleanup(void (*cleanup)());
void runStopCleanups();

}  // namespace minque
