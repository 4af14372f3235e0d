#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "jackknife_engine/report/report_writer.hpp"
#include "resampling/student_t.hpp"

namespace minque {
namespace {

double pOf(int n, double t) { return studentTwoTailP(n, n / (t * t + n)); }

// P(|T| >= t) = 1 - 2 * integral_0^t of the t density, by Simpson's rule in
// double with 20000 panels (error far below 1e-12 for these t).
double integratedP(int n, double t) {
    const double logNorm = std::lgamma((n + 1) / 2.0) - std::lgamma(n / 2.0) - 0.5 * std::log(n * M_PI);
    auto density = [&](double x) { return std::exp(logNorm - (n + 1) / 2.0 * std::log1p(x * x / n)); };
    const int panels = 20000;
    const double h = t / panels;
    double sum = density(0.0) + density(t);
    for (int i = 1; i < panels; ++i) sum += (i % 2 == 1 ? 4.0 : 2.0) * density(i * h);
    return 1.0 - 2.0 * sum * h / 3.0;
}

TEST(StudentT, ClosedFormValuesOfTheSmallDegreesOfFreedom) {
    EXPECT_NEAR(pOf(1, 1.0), 0.49999999997, 1e-11);  // 2/pi to ten decimals
    EXPECT_NEAR(studentTwoTailP(2, 2.0 / (2.0 + 2.0)), 1.0 - std::sqrt(2.0) / 2.0, 1e-15);
    EXPECT_NEAR(pOf(10, 2.228), 0.050012, 5e-7);
    EXPECT_NEAR(pOf(10, 2.229), 0.049927, 5e-7);
    EXPECT_NEAR(pOf(3, 1.7), 1.0 - 2.0 / M_PI * (std::atan(1.7 / std::sqrt(3.0)) + std::sqrt(3.0) * 1.7 / (3.0 + 1.7 * 1.7)), 1e-9);
}

TEST(StudentT, AgreesWithTheIntegratedDensityForOneToThirtyDegreesOfFreedom) {
    for (int n = 1; n <= 30; ++n)
        for (double t : {0.3, 1.0, 2.0, 3.5, 6.0}) EXPECT_NEAR(pOf(n, t), integratedP(n, t), 1e-9) << "df " << n << " t " << t;
}

TEST(StudentT, MarksTakeEachBoundIntoTheMoreSignificantClass) {
    const struct {
        double p;
        const char* mark;
    } cases[] = {
        {0.5, " NS\n"},  {std::nextafter(0.1, 1.0), " NS\n"}, {0.1, " S+\n"},  {std::nextafter(0.05, 1.0), " S+\n"},
        {0.05, " S*\n"}, {std::nextafter(0.01, 1.0), " S*\n"}, {0.01, " S**\n"}, {0.0, " S**\n"},
        {-1e-15, " S**\n"}, {0.050012, " S+\n"},
    };
    for (const auto& c : cases) EXPECT_STREQ(significanceMark(c.p), c.mark) << c.p;
}

std::string printed(void (*write)(std::FILE*)) {
    char buffer[256] = {};
    std::FILE* out = fmemopen(buffer, sizeof buffer, "w");
    write(out);
    std::fclose(out);
    return buffer;
}

TEST(ReportRows, PrintTheNumbersAndMarksOfTheExamples) {
    EXPECT_EQ(printed([](std::FILE* f) { writeComponentCovarianceRow(f, "C1", 0.0123456789, 0.00345678, 0.00212345 / 2, 2.0f); }),
              "C1 Cov, 0.0123457, 0.00345678, 0.00212, /2,   S**\n");
    EXPECT_EQ(printed([](std::FILE* f) { writeTotalCovarianceRow(f, 2, 1.5, 0.25, 0.5); }), "Cov 2, 1.5, 0.25, 1,  NS\n");
    EXPECT_EQ(printed([](std::FILE* f) { writeComponentCorrelationRow(f, "C1", 1.0, 0.0, 0.5); }), "C1 Cor, 1.000000, 0, 1,  NS\n");
    EXPECT_EQ(printed([](std::FILE* f) { writeTotalCorrelationRow(f, 1, -0.4567891, 0.1234567, 0.0456789 / 2); }),
              "Cor 1, -0.456789, 0.123457, 0.0457,  S*\n");
    // The mark uses the unrounded P: 0.050012 prints as 0.05 but is S+.
    EXPECT_EQ(printed([](std::FILE* f) { writeTotalCovarianceRow(f, 1, 3.0, 1.0, 0.050012 / 2); }), "Cov 1, 3, 1, 0.05,  S+\n");
    EXPECT_EQ(printed([](std::FILE* f) { writeTotalCovarianceRow(f, 1, 3.0, 1.0, 0.000123456 / 2); }), "Cov 1, 3, 1, 0.000123,  S**\n");
    // A tiny negative P from rounding prints as its absolute value.
    EXPECT_EQ(printed([](std::FILE* f) { writeTotalCovarianceRow(f, 1, 3.0, 1.0, -1e-17); }), "Cov 1, 3, 1, 2e-17,  S**\n");
}

}  // namespace
}  // namespace minque
