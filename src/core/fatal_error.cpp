#include "core/fatal_error.hpp"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>

namespace minque {

void fatalError(const char* message) { throw RunError(RunError::Kind::Fatal, message); }

namespace {

std::string formattedLine(const char* format, std::va_list args) {
    char line[4096];
    std::vsnprintf(line, sizeof line, format, args);
    return line;
}

}  // namespace

void stopRun(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const std::string line = formattedLine(format, args);
    va_end(args);
    throw RunError(RunError::Kind::Stopped, line);
}

void stopRunAt(RunError::Location where, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    RunError error(RunError::Kind::Stopped, formattedLine(format, args));
    va_end(args);
    error.setLocation(std::move(where));
    throw error;
}

RunError programText(std::string text, bool onStandardOutput, int exitStatus) {
    RunError error(RunError::Kind::Stopped, std::move(text));
    RunError::ProgramNotes notes;
    notes.printedAsIs = true;
    notes.onStandardOutput = onStandardOutput;
    notes.exitStatus = exitStatus;
    error.setProgramNotes(std::make_shared<const RunError::ProgramNotes>(notes));
    return error;
}

RunError::ProgramNotes programNotesOf(const RunError& error) {
    return error.programNotes() ? *error.programNotes() : RunError::ProgramNotes{};
}

int exitStatusOf(const RunError& error) { return programNotesOf(error).exitStatus; }

void stopSilently(int exitStatus) { throw programText("", false, exitStatus); }

RunError currentRunError() {
    try {
        throw;
    } catch (const RunError& e) {
        return e;
    } catch (const std::bad_alloc&) {
        return RunError(RunError::Kind::Fatal, "allocation failure: not enough memory for the analysis");
    } catch (const std::exception& e) {
        return RunError(RunError::Kind::Stopped, std::string("internal error: ") + e.what());
    } catch (...) {
        return RunError(RunError::Kind::Stopped, "internal error: an unknown exception");
    }
}

std::string runErrorText(const RunError& e, const char* prefix) {
    const RunError::ProgramNotes notes = programNotesOf(e);
    if (notes.printedAsIs) return e.message();
    std::string text = std::string(prefix) + e.message() + "\n";
    if (e.kind() != RunError::Kind::Fatal || notes.explained) return text;
    if (notes.chinese)
        return text + "\n您的数据太大了, 无法在DOS系统中分析!\n" + "\n您需要在UNIX系统中运行统计分析软件!\n" +
               "...无法执行软件. 退回DOS系统...\n";
    return text + "\n You Data Is Too Big for Runing in DOS System.\n" + "\n You Should Analyze the Data in UNIX System.\n" +
           "...Now Exiting to System...\n";
}

void printRunError(const RunError& e, const char* prefix) {
    std::FILE* out = programNotesOf(e).onStandardOutput ? stdout : stderr;
    std::fflush(stdout);
    // The whole text in one write, so that the messages of several processes
    // (the ranks of a run under MPI) do not interleave.
    const std::string text = runErrorText(e, prefix);
    std::fwrite(text.data(), 1, text.size(), out);
    std::fflush(out);
}

}  // namespace minque
