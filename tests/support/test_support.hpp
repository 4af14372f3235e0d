// Shared helpers of the tests: temporary directories, files, running the
// executables, and small designs with their input files.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/io/model_writer.hpp"
#include "minquecov/analysis.hpp"

namespace minque::test {

// A fresh directory under the system's temporary directory, removed with its
// contents when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void writeFile(const std::string& path, const std::string& contents);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);

struct ProcessResult {
    int exitCode = -1;  // -1 when killed by a signal
    std::string out, err;
};

// Runs `program` with `args` in directory `cwd`, feeding `input` on standard
// input.
// A positive fileSizeLimit runs it under that limit on the size of the files
// it writes (RLIMIT_FSIZE), with SIGXFSZ ignored, as on a nearly full disk.
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::string& input = "", long fileSizeLimit = -1);

// The same, sending `signal` to the program once `trigger` has appeared on
// its standard error (an interrupt while it runs).
ProcessResult runProcessInterrupted(const std::string& program, const std::vector<std::string>& args,
                                    const std::string& cwd, const std::string& trigger, int signal);

// The ten positional arguments of an analysis: language, group size, switch
// and data file name, the placeholders filled with "0".
std::vector<std::string> analysisArgs(const std::string& language, int groupSize, int covarianceSwitch,
                                      const std::string& dataFile);

// How often `what` occurs in `text` (overlapping occurrences too).
int count(const std::string& text, const std::string& what);

// A report without its date and run-time lines (English or Chinese), which
// differ from run to run.
std::string withoutClock(const std::string& report);

// Everything written to a stream so far (it is flushed and rewound).
std::string streamContents(std::FILE* f);

// A stream over a string (for the readers).
std::FILE* streamOf(const std::string& text);

// A balanced one-way layout: `levels` levels with `perLevel` observations each
// (observation order level by level), the intercept as the only fixed column.
ModelDesign oneWayDesign(int levels, int perLevel, int traitCount);

// Random design of the given shape: r factors with the given level counts and
// real coefficients (some observations repeated within a column, some columns
// empty), p fixed columns.
ModelDesign randomDesign(unsigned seed, int n, const std::vector<int>& levels, int p, int traitCount);

// Reads a design into a state as the run does (model file, data file and the
// model constants); trait values are generated from `seed`.
AnalysisState stateFromDesign(const ModelDesign& design, unsigned seed, int covarianceSwitch = 0);

// Trait values for a design: t rows of n values.
std::vector<std::vector<float>> randomTraits(unsigned seed, int n, int t);

// The input files of an analysis in `dir`: base.TXT, base.MAT, base.DAT, and
// a MATWRN.var of (J + 1) t records of K + 1 floats holding `varValue` (float 0 zero).
void writeAnalysisInputs(const TempDir& dir, const std::string& base, const ModelDesign& design,
                         const std::vector<std::vector<float>>& traits, int componentCount, int replicateCount,
                         float varValue = 1.0f);

// The bundled example's additive-dominance model (Env, Fem, Male, Blk) in
// groups of 4, on `data`.
AnalysisRequest exampleDiallel(const TrialData& data);

// Checks that `body` stops the run with a RunError of this exit status, and
// that what a program prints for it (runErrorText) matches `pattern`
// somewhere; a failed expectation when it throws none.
void expectRunError(const std::function<void()>& body, int exitStatus, const std::string& pattern);

}  // namespace minque::test

#define EXPECT_RUN_ERROR(statement, status, pattern)                                      \
    do {                                                                                  \
        SCOPED_TRACE(#statement);                                                         \
        ::minque::test::expectRunError([&] { statement; }, (status), (pattern));          \
    } while (0)
