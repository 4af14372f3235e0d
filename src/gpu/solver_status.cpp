#include "gpu/solver_status.hpp"

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

}  // namespace minque
