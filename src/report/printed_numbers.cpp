#include "report/printed_numbers.hpp"

#include <cmath>
#include <cstdio>

#include "resampling/student_t.hpp"

namespace minque {

std::string printedNumber(const char* format, double value) {
    char text[400];  // %f of the largest double has 316 characters
    std::snprintf(text, sizeof text, format, value);
    return text;
}

double printedP(double halfP) { return std::fabs(2.0 * halfP); }

std::string markOf(double halfP) {
    const std::string mark = significanceMark(2.0 * halfP);  // " NS\n"
    return mark.substr(1, mark.size() - 2);
}

}  // namespace minque
