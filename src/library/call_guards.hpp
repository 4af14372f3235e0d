// The library's calls as the caller sees them: one at a time per thread, the
// caller's callbacks guarded, the worker threads set, failures in the
// user's terms.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/fatal_error.hpp"
#include "minquecov/analysis.hpp"

namespace minque {

void startWorkerThreads(int asked, const CallerWords& words, const AnalysisProgress& progress);

// A call of the library made from inside one of its own callbacks (passDone,
// note) would wait for the run it is part of: it is refused instead. The mark
// is per thread, since the callbacks run on the caller's thread.
inline thread_local bool callInProgress = false;

class OneCallAtATime {
public:
    explicit OneCallAtATime(const CallerWords& words) {
        if (callInProgress)
            stopRun("%s: called from inside a running analysis (from its progress or note callback); an analysis "
                    "cannot start another: start it after this one returns",
                    words.call.c_str());
        callInProgress = true;
    }
    ~OneCallAtATime() { callInProgress = false; }
    OneCallAtATime(const OneCallAtATime&) = delete;
    OneCallAtATime& operator=(const OneCallAtATime&) = delete;
};

// A caller's callback whose exceptions that are not RunErrors become a cancel
// that says which callback failed and why.
template <class Callback>
Callback guardedCallback(const char* which, Callback callback) {
    if (!callback) return callback;
    return [which, callback](auto... args) {
        auto failed = [which](const char* what) {
            return RunError(RunError::Kind::Cancelled, std::string("the ") + which + " callback failed: " + what);
        };
        try {
            return callback(args...);
        } catch (const RunError&) {
            throw;
        } catch (const std::exception& e) {
            throw failed(e.what());
        } catch (...) {
            throw failed("an exception that is not a std::exception");
        }
    };
}

AnalysisProgress guarded(const AnalysisProgress& progress);

// The checkpoint of long work between passes: asks the caller's keepGoing and
// stops the run, as cancelled with `message`, when it says no.
std::function<void()> checkpointOf(const AnalysisProgress& progress, const char* message);

// The engine's failures said in the user's terms: memory with the size that
// was asked for, a generalized inverse that did not converge with where to
// look. n is the number of observations (or of the table's rows).
template <class Body>
auto inUsersTerms(const CallerWords& words, double n, Body body) {
    try {
        return body();
    } catch (const RunError& e) {
        if (e.kind() != RunError::Kind::Fatal) throw;
        const std::string engine = e.message();
        char text[1024];
        if (engine.rfind("allocation failure", 0) == 0)
            std::snprintf(text, sizeof text,
                          "%s: not enough memory for %.0f observations: the n x n variance matrix alone needs %.1f GB "
                          "(4 n^2 bytes); analyse fewer rows (cell means instead of plots), or on a larger machine",
                          words.call.c_str(), n, 4.0 * n * n / 1e9);
        else if (engine.find("SVDCMP") != std::string::npos)
            std::snprintf(text, sizeof text,
                          "%s: the model cannot be estimated: a generalized inverse did not converge (%s); look for a "
                          "fixed term with about as many levels as rows (a trait or a row number named as a design "
                          "column), or terms that repeat one another",
                          words.call.c_str(), engine.c_str());
        else
            std::snprintf(text, sizeof text, "%s: the analysis failed: %s", words.call.c_str(), engine.c_str());
        RunError error(RunError::Kind::Fatal, text);
        RunError::ProgramNotes notes = programNotesOf(e);
        notes.explained = true;
        error.setProgramNotes(std::make_shared<const RunError::ProgramNotes>(notes));
        throw error;
    }
}

// Runs of the estimator and the engine share the process's worker threads: one at a time.
std::mutex& engineMutex();

}  // namespace minque
