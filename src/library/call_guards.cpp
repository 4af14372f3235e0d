#include "library/call_guards.hpp"

#include "linalg/worker_pool.hpp"

namespace minque {

// Sets the worker threads of a run: at most the hardware's, and says so when
// fewer run than were asked for.
void startWorkerThreads(int asked, const CallerWords& words, const AnalysisProgress& progress) {
    const int hardware = hardwareThreads();
    auto note = [&](const std::string& text) {
        if (progress.note) progress.note(text);
    };
    if (asked > hardware)
        note(words.threads + " " + std::to_string(asked) + " is more than this machine's " + std::to_string(hardware) +
             " hardware threads: the run uses " + std::to_string(hardware) + " (more would only wait for one another)");
    const int wanted = asked < 1 || asked > hardware ? hardware : asked;
    setWorkerThreads(wanted);
    if (workerThreads() < wanted)
        note("only " + std::to_string(workerThreads()) + " of " + std::to_string(wanted) +
             " worker threads could be started (the system refused more): the run uses them; the results do not "
             "depend on the number of threads");
}

AnalysisProgress guarded(const AnalysisProgress& progress) {
    AnalysisProgress safe;
    safe.note = guardedCallback("note", progress.note);
    safe.passDone = guardedCallback("passDone", progress.passDone);
    safe.keepGoing = guardedCallback("keepGoing", progress.keepGoing);
    return safe;
}

std::function<void()> checkpointOf(const AnalysisProgress& progress, const char* message) {
    return [&progress, message] {
        if (progress.keepGoing && !progress.keepGoing()) throw RunError(RunError::Kind::Cancelled, message);
    };
}

// Runs of the engine share the process's worker threads: one at a time.
std::mutex& engineMutex() {
    static std::mutex m;
    return m;
}

}  // namespace minque
