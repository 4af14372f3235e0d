// Two-tailed P value of Student's t for an integer number of degrees of
// freedom, in closed form, and the significance mark of a report row.
#pragma once

namespace minque {

// P(|T| >= t) with n degrees of freedom (n >= 1), given x = n / (n + t^2).
// A start term by the parity of n, then a finite recurrence adding two
// degrees of freedom per step; exact up to rounding and the ten-decimal
// constants 2/pi and 1/pi.
double studentTwoTailP(int n, double x);

// " NS\n" (P > 0.1), " S+\n" (0.05 < P <= 0.1), " S*\n" (0.01 < P <= 0.05),
// " S**\n" (P <= 0.01), from the unrounded P.
const char* significanceMark(double p);

}  // namespace minque
