// Numbers as the reports print them, which the tables print alike.
#pragma once

#include <string>

namespace minque {

// The report's formats: a covariance (and variance, effect, S.E., weight)
// "%g", a correlation (and heritability) "%f", a P value "%.3g".
inline constexpr const char* kCovarianceFormat = "%g";
inline constexpr const char* kCorrelationFormat = "%f";
inline constexpr const char* kPFormat = "%.3g";

// A number as the report prints it with one of these formats.
std::string printedNumber(const char* format, double value);
// The P value |2 H| of a row, and its mark, decided on 2 H: NS, S+, S* or S**.
double printedP(double halfP);
std::string markOf(double halfP);

}  // namespace minque
