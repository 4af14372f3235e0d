#include "driver/interrupt.hpp"

#include <memory>

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "core/fatal_error.hpp"

namespace minque {

namespace {

// Signals are process-wide by nature: the handler can only leave a number.
volatile std::sig_atomic_t pendingSignal = 0;
struct sigaction previousInterrupt {}, previousTerminate {}, previousHangUp {}, previousFileSize {};

void requestStop(int signal) {
    pendingSignal = signal;
    // A second signal takes the default action: the process ends at once.
    std::signal(signal, SIG_DFL);
    static const char note[] =
        "\nInterrupt: the run stops after its current step (interrupt again to end it at once)\n";
    (void)!write(STDERR_FILENO, note, sizeof note - 1);
}

}  // namespace

InterruptGuard::InterruptGuard() {
    pendingSignal = 0;
    struct sigaction action {};
    action.sa_handler = requestStop;
    action.sa_flags = SA_RESTART;  // reads and writes under way go on
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInterrupt);
    sigaction(SIGTERM, &action, &previousTerminate);
    sigaction(SIGHUP, &action, &previousHangUp);  // the terminal closed: stop as on Ctrl-C
    // A write past the file size limit (ulimit -f) then fails with EFBIG, and
    // the run ends as on a full disk, cleaning up, instead of being killed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &previousFileSize);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
    sigaction(SIGHUP, &previousHangUp, nullptr);
    sigaction(SIGXFSZ, &previousFileSize, nullptr);
}

namespace {

[[noreturn]] void stopInterrupted(int signal, const char* message) {
    RunError error(RunError::Kind::Cancelled, message);
    RunError::ProgramNotes notes;
    notes.exitStatus = 128 + signal;  // the shell's status of a process ended by the signal
    error.setProgramNotes(std::make_shared<const RunError::ProgramNotes>(notes));
    throw error;
}

}  // namespace

void stopIfInterrupted(int replicate, int replicates, const char* unit) {
    const int signal = pendingSignal;
    if (signal == 0) return;
    char message[200];
    std::snprintf(message, sizeof message,
                  "Interrupted: the run stopped after %d of %d %s; its unfinished files were removed", replicate,
                  replicates, unit);
    stopInterrupted(signal, message);
}

void stopIfInterruptedWhile(const char* during) {
    const int signal = pendingSignal;
    if (signal == 0) return;
    char message[200];
    std::snprintf(message, sizeof message, "Interrupted: the run stopped while %s; its unfinished files were removed",
                  during);
    stopInterrupted(signal, message);
}

}  // namespace minque
