// An interrupt (Ctrl-C, SIGINT), SIGTERM or SIGHUP during a run of a program: the
// first asks the run to stop after its current step (an estimation pass, a
// block of bootstrap samples, a round of the estimator's set-up), which then
// ends as cancelled and leaves nothing behind; a second ends the process at
// once (the signal's default action). A note on standard error says so.
#pragma once

namespace minque {

// Installs the handlers for the life of the object; the previous ones are
// restored after it.
class InterruptGuard {
public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;
};

// When a signal has asked the run to stop: a cancelled RunError with the
// exit status 128 + the signal's number, saying how far the run came.
void stopIfInterrupted(int replicate, int replicates, const char* unit = "jackknife replicates");
// The same between passes: `during` says what the run was doing ("setting up
// its estimator", "writing its results").
void stopIfInterruptedWhile(const char* during);

}  // namespace minque
