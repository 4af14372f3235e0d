// The messages of the dense LU solve's failures. The solve is done by
// cuSOLVER (getrf + getrs), whose outcomes are mapped onto the statuses of the
// LU library the messages were written for:
//   an argument of getrf/getrs found invalid before the call (the checks
//   below), or info < 0 (argument -info is invalid)    -> 7  "Invalid value for parameter %d"
//   getrf info > 0 (U(info, info) is zero: V singular)  -> 8  "Data error (%d)"
//   a cuBLAS failure                                     -> 9  "Blas error (%d)"
//   CUSOLVER_STATUS_EXECUTION_FAILED, _INTERNAL_ERROR    -> 10 "Runtime error (%d)"
//   any other cuSOLVER status (not initialised, allocation failed, architecture
//   mismatch, an invalid value the checks did not foresee) -> the status' own text
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

// The number of the first invalid argument (counted from 1 as the LU
// routines count them), or 0 when all are valid: the factorisation
// getrf(m, n, A, lda, ...) and the solve getrs(trans, n, nrhs, A, lda, ipiv,
// B, ldb). cuSOLVER reports an invalid argument by a status without its
// number, so the call checks them first.
int luFactorArgumentError(int m, int n, int lda);
int luSolveArgumentError(int n, int nrhs, int lda, int ldb);

}  // namespace minque
