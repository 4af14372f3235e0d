#include "jackknife_engine/gpu/solver_status.hpp"

#include <algorithm>
#include <cstdio>

namespace minque {

std::string solverStatusMessage(int status, int detail, const std::string& text) {
    char line[256];
    switch (status) {
        case kSolverInvalidValue: std::snprintf(line, sizeof line, "Invalid value for parameter %d\n", detail); break;
        case kSolverDataError: std::snprintf(line, sizeof line, "Data error (%d)\n", detail); break;
        case kSolverBlasError: std::snprintf(line, sizeof line, "Blas error (%d)\n", detail); break;
        case kSolverRuntimeError: std::snprintf(line, sizeof line, "Runtime error (%d)\n", detail); break;
        default: std::snprintf(line, sizeof line, "%s\n", text.c_str()); break;
    }
    return line;
}

int luFactorArgumentError(int m, int n, int lda) {
    if (m < 0) return 1;
    if (n < 0) return 2;
    if (lda < std::max(1, m)) return 4;
    return 0;
}

int luSolveArgumentError(int n, int nrhs, int lda, int ldb) {
    if (n < 0) return 2;
    if (nrhs < 0) return 3;
    if (lda < std::max(1, n)) return 5;
    if (ldb < std::max(1, n)) return 8;
    return 0;
}

}  // namespace minque
