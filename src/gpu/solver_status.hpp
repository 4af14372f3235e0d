// The messages of the dense LU solve's failures. The solve is done by
// cuSOLVER (getrf + getrs), whose outcomes are mapped onto the statuses of the
// LU library the messages were written for:
//   getrf/getrs info < 0 (argument -info is invalid)   -> 7  "Invalid value for parameter %d"
//   getrf info > 0 (U(info, info) is zero: V singular)  -> 8  "Data error (%d)"
//   a cuBLAS failure                                     -> 9  "Blas error (%d)"
//   CUSOLVER_STATUS_EXECUTION_FAILED, _INTERNAL_ERROR    -> 10 "Runtime error (%d)"
//   any other cuSOLVER status (not initialised, allocation failed, architecture
//   mismatch, ...)                                        -> the status' own text
// with the detail (the argument number, the pivot index or the library's
// status code) in place of %d.
#pragma once

#include <string>

namespace minque {

enum SolverStatus { kSolverOk = 0, kSolverInvalidValue = 7, kSolverDataError = 8, kSolverBlasError = 9,
                    kSolverRuntimeError = 10, kSolverOther = 11 };

// The line printed for a failing status (with its line end); `text` is used
// for kSolverOther.
std::string solverStatusMessage(int status, int detail, const std::string& text);

}  // namespace minque
