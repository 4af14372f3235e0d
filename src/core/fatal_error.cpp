#include "core/fatal_error.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace minque {

namespace {
// Process-wide by nature: fatalError takes only the message and may be called
// from the allocators, long before or far below any procedure that holds the
// analysis state.
bool fatalLanguageChinese = false;
StopHandler stopHandler = nullptr;
const char* messagePrefix = "";
void (*stopCleanups[8])() = {};
int stopCleanupCount = 0;

[[noreturn]] void endRun(int code) {
    if (stopHandler != nullptr) stopHandler(code);
    std::exit(code);
}
}  // namespace

void setStopHandler(StopHandler handler) { stopHandler = handler; }
void setMessagePrefix(const char* prefix) { messagePrefix = prefix == nullptr ? "" : prefix; }

void addStopCleanup(void (*cleanup)()) {
    if (stopCleanupCount < 8) stopCleanups[stopCleanupCount++] = cleanup;
}

void runStopCleanups() {
    while (stopCleanupCount > 0) stopCleanups[--stopCleanupCount]();
}
StopHandler currentStopHandler() { return stopHandler; }

void setFatalErrorLanguage(bool chinese) { fatalLanguageChinese = chinese; }

void fatalError(const char* message) {
    std::fprintf(stderr, "%s%s\n", messagePrefix, message);
    if (fatalLanguageChinese) {
        std::fputs("\n您的数据太大了, 无法在DOS系统中分析!\n", stderr);
        std::fputs("\n您需要在UNIX系统中运行统计分析软件!\n", stderr);
        std::fputs("...无法执行软件. 退回DOS系统...\n", stderr);
    } else {
        std::fputs("\n You Data Is Too Big for Runing in DOS System.\n", stderr);
        std::fputs("\n You Should Analyze the Data in UNIX System.\n", stderr);
        std::fputs("...Now Exiting to System...\n", stderr);
    }
    endRun(1);
}

void stopRun(const char* format, ...) {
    std::fflush(stdout);
    // The whole line in one write, so that the messages of several
    // processes (the ranks of a run under MPI) do not interleave.
    char line[4096];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    std::fprintf(stderr, "%s%s\n", messagePrefix, line);
    std::fflush(stderr);
    endRun(1);
}

}  // namespace minque
