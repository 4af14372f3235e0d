// The run: command line, files, reading, report preamble, the jackknife
// estimation, timing and clean-up.
//
// Command line: ten positional arguments after the program name, of which four
// are used: 1 language (C or c: Chinese, anything else English), 5 jackknife
// group size g, 8 covariance-component switch, 10 data file name with a
// three-character extension (TRIAL.TXT -> TRIAL.MAT, TRIAL.DAT, TRIAL.COV).
#pragma once

#include <cstdio>
#include <string>

#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/driver/jackknife_driver.hpp"

namespace minque {

// The two analyses of the same model and jackknife groups: the covariances
// of every trait pair (minque-cov, report .COV, reads "MATWRN.var"), and the
// variances of every trait (minque-var, report .VAR, writes "MATWRN.var").
enum class AnalysisKind { Covariances, Variances };

// File names derived from the data file name.
struct RunFileNames {
    std::string data, model, dat, report;
};

// TRIAL.TXT gives TRIAL.MAT, TRIAL.DAT and the report TRIAL.COV (or
// TRIAL.VAR). Stops the run when the name has no point before a
// three-character extension, or when the report would overwrite the data file.
RunFileNames deriveFileNames(const std::string& dataFileName, AnalysisKind kind = AnalysisKind::Covariances);

// The variance file must hold exactly (J + 1) t records of K + 1 floats; any
// other size stops the run with both sizes in the message.
void checkVarianceFileSize(std::FILE* var, const AnalysisState& state, int traitCount);

// Decimal integer by the C library's atoi rules (leading white space and
// sign, then digits; 0 when there are none), saturated to the int range.
int parseArgumentInt(const char* text);

// The whole run of minque-cov or minque-var; returns the process exit code of
// a complete run (0). Every failure is a RunError for the program's main,
// which prints it and gives its exit status; what the run owns (the lock, the
// variance file being written, scratch files) is released on the way out.
// The scratch files and the report of a run that stops on an error are left
// as they are; an interrupt (the first SIGINT or SIGTERM) stops the run after
// its current pass and removes them.
//
// minque-var writes the variance file to a temporary file in the working
// directory and moves it to "MATWRN.var" only when the run is complete; it
// refuses to replace an existing "MATWRN.var" unless an argument after the
// ten reads "--replace". Further options after the ten: "--timings" prints
// the time of each phase on standard error at the end; "--threads N" sets the
// number of worker threads (default: one per hardware thread; the results are
// the same for any number); "--cpu" computes the inverse on the host even when
// a CUDA device is present.
int runAnalysis(AnalysisKind kind, int argc, char** argv);
int runMinqueCov(int argc, char** argv);

// A run that gives both reports from one jackknife: each pass (all data,
// then every replicate) computes V^-1 and Q once and from them the variance
// components of every trait and the covariance components of every pair.
// The state holds the model and the data as minque-var and minque-cov read
// them from NAME.MAT and NAME.TXT (model constants derived). Every record
// stays in memory and the reports are texts: the run returns NAME.VAR,
// NAME.COV and the variance records, equal (apart from the date and run-time
// lines) to what minque-var and minque-cov write from the same files and
// arguments. With a folder it also writes them there as NAME.VAR, NAME.COV
// and MATWRN.var once complete; on any other way out (an error, a cancel) it
// leaves nothing of its own there. Nothing is printed but what the control
// asks for.
struct CombinedRun {
    std::string folder;  // "": no file at all
    std::string name;    // NAME of the reports NAME.VAR and NAME.COV
    bool chinese = false;
    int groupSize = 1;
    bool forceHost = false;  // the inverse on the host even when a device is present
    // The variance file's signature, written beside it (MATWRN.sig) when the
    // run writes files; "" writes none.
    std::string varianceSignature;
    JackknifeControl control;
};
ReportedBlocks runVariancesAndCovariances(AnalysisState& state, int traitCount, const CombinedRun& run);

}  // namespace minque
