#include "jackknife_engine/report/report_writer.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/fatal_error.hpp"

#include "jackknife_engine/report/jackknife_stats.hpp"
#include "resampling/student_t.hpp"

namespace minque {

namespace {

const ReportHeadings kEnglish = {
    "\n Covariances and Correlations Between, %s &, %s ,for, %s:\n",
    "\n Covariances, Estimates,   S.E.,  P-value of Two Tail t-Test\n",
    "\n Cov <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n",
    "\n Correlation, Estimates,   S.E.,  P-value of Two Tail t-Test \n",
    "\n Cor <1=G+GE><2=Phenotypic>, Estimates,   S.E.,  P-value of Two Tail t-Test \n",
};

const ReportHeadings kChinese = {
    "\n 协方差和相关分析结果 < %s 和 %s > %s \n",
    "\n 协方差分量,   估计值,  标准误(S.E.),   P-值 \n",
    "\n协方差<1基因型><2表现型>,  估计值,  标准误(S.E.),   P-值 \n",
    "\n 遗传相关分量,   估计值,  标准误(S.E.),   P-值 \n",
    "\n相关系数<1基因型><2表现型>,  估计值,  标准误(S.E.),   P-值 \n",
};

}  // namespace

const ReportHeadings& reportHeadings(bool chinese) { return chinese ? kChinese : kEnglish; }

namespace {

double dbl(float x) { return static_cast<double>(x); }

// The correlation row of position k from the whole-data estimates in
// jackTerms, with its statistics over the pseudo-correlations.
ReportedRow correlationRow(const AnalysisState& st, int k, int J, int d) {
    const double v1 = dbl(st.jackTerms[1][k]), c = dbl(st.jackTerms[2][k]), v3 = dbl(st.jackTerms[3][k]);
    const bool degenerate = v1 <= 1e-10 || v3 <= 1e-10;
    const double whole = degenerate ? 0.0 : (c / std::sqrt(v1)) / std::sqrt(v3);
    ReportedRow row;
    row.undefined = degenerate;
    row.estimate = std::fabs(whole) > 1.0 ? whole / std::fabs(whole) : whole;
    const RowStatistics s = rowStatistics(dbl(st.jackVectorB[k]), dbl(st.jackVectorC[k]), row.estimate, whole,
                                          RescaleRule::AtMostOne, degenerate, J, d);
    row.se = s.se;
    row.halfP = s.halfP;
    return row;
}

}  // namespace

void flushReport(const AnalysisState& st) {
    std::FILE* out = st.streams[kSlotReport];
    if (std::fflush(out) != 0 || std::ferror(out) != 0)
        stopRun("%s: the report could not be written (%s)", st.reportName.empty() ? "the report" : st.reportName.c_str(),
                std::strerror(errno));
}

void writeReportedRow(std::FILE* out, const ReportedRow& row) {
    const bool correlation = row.section == ReportedRow::Section::Correlations ||
                             row.section == ReportedRow::Section::TotalCorrelations;
    const std::string estimate = printedNumber(correlation ? kCorrelationFormat : kCovarianceFormat, row.estimate);
    const std::string seText = printedNumber(kCovarianceFormat, row.se);
    const std::string pText = printedNumber(kPFormat, printedP(row.halfP));
    const char* e = estimate.c_str();
    const char* se = seText.c_str();
    const char* p = pText.c_str();
    switch (row.section) {
        case ReportedRow::Section::Covariances:
            std::fprintf(out, "%s Cov, %s, %s, %s, /%s,  ", row.label.c_str(), e, se, p,
                         printedNumber(kCovarianceFormat, dbl(row.weight)).c_str());
            break;
        case ReportedRow::Section::TotalCovariances: std::fprintf(out, "Cov %d, %s, %s, %s, ", row.index, e, se, p); break;
        case ReportedRow::Section::Correlations: std::fprintf(out, "%s Cor, %s, %s, %s, ", row.label.c_str(), e, se, p); break;
        case ReportedRow::Section::TotalCorrelations: std::fprintf(out, "Cor %d, %s, %s, %s, ", row.index, e, se, p); break;
    }
    std::fputs(significanceMark(2.0 * row.halfP), out);
}

namespace {

ReportedRow rowOf(ReportedRow::Section section, const char* label, int index, double e, double se, double halfP) {
    ReportedRow row;
    row.section = section;
    row.label = label;
    row.index = index;
    row.estimate = e;
    row.se = se;
    row.halfP = halfP;
    return row;
}

}  // namespace

void writeComponentCovarianceRow(std::FILE* out, const char* name, double e, double se, double halfP, float weight) {
    ReportedRow row = rowOf(ReportedRow::Section::Covariances, name, 0, e, se, halfP);
    row.weight = weight;
    writeReportedRow(out, row);
}

void writeTotalCovarianceRow(std::FILE* out, int index, double e, double se, double halfP) {
    writeReportedRow(out, rowOf(ReportedRow::Section::TotalCovariances, "", index, e, se, halfP));
}

void writeComponentCorrelationRow(std::FILE* out, const char* name, double rho, double se, double halfP) {
    writeReportedRow(out, rowOf(ReportedRow::Section::Correlations, name, 0, rho, se, halfP));
}

void writeTotalCorrelationRow(std::FILE* out, int index, double rho, double se, double halfP) {
    writeReportedRow(out, rowOf(ReportedRow::Section::TotalCorrelations, "", index, rho, se, halfP));
}

ReportBlock writePairReport(AnalysisState& st, int J, int d) {
    std::FILE* out = st.streams[kSlotReport];
    const ReportHeadings& h = reportHeadings(st.reportInChinese == 1);
    const int K = st.componentCount;
    const float Jf = static_cast<float>(J);
    const auto& W = st.componentWeight;
    ReportBlock block;
    block.trait1 = st.firstTrait;
    block.trait2 = st.secondTrait;
    auto emit = [&](const ReportedRow& row) {
        writeReportedRow(out, row);
        flushReport(st);
        block.rows.push_back(row);
    };

    std::fprintf(out, h.pair, st.traitNames[static_cast<std::size_t>(st.firstTrait)].c_str(),
                 st.traitNames[static_cast<std::size_t>(st.secondTrait)].c_str(), kReportUserName);
    std::fputs(h.covariances, out);
    flushReport(st);

    // Covariance components: the whole-data value times the weight.
    double E1 = 0.0, E2 = 0.0, E3 = 0.0;
    for (int k = 1; k <= K; ++k) {
        if (W[k] == 0.0f) continue;
        const double e = dbl(st.wholeTerms[2][k] / Jf);
        double e1 = dbl(st.wholeTerms[1][k] / Jf);
        double e3 = dbl(st.wholeTerms[3][k] / Jf);
        if (isBetweenFactor(st, k)) {
            if (zeroTestRemoves(st, k, st.wholeTerms[1])) e1 = 0.0;
            if (zeroTestRemoves(st, k, st.wholeTerms[3])) e3 = 0.0;
            E1 += e1;
            E2 += e;
            E3 += e3;
        }
        const double pseudoSum = dbl(st.jackTerms[2][k]);
        st.jackTerms[2][k] = static_cast<float>(e);
        st.jackTerms[1][k] = static_cast<float>(e1);
        st.jackTerms[3][k] = static_cast<float>(e3);
        E1 += e1;
        E2 += e;
        E3 += e3;
        const RowStatistics s = rowStatistics(pseudoSum, dbl(st.jackVectorA[k]), e, e, RescaleRule::Always, false, J, d);
        ReportedRow row = rowOf(ReportedRow::Section::Covariances, st.componentNames[static_cast<std::size_t>(k)].c_str(),
                                0, e, s.se, s.halfP);
        row.weight = W[k];
        emit(row);
    }

    // Totals: Phenotypic (index 2, position K + 2), then G+GE (index 1, K + 1).
    std::fputs(h.totalCovariances, out);
    flushReport(st);
    for (int index = 2; index >= 1; --index) {
        const int pos = K + index;
        const double eRef = dbl(st.wholeTerms[2][pos] / Jf);
        const double pseudoSum = dbl(st.jackTerms[2][pos]);
        double e;
        if (index == 2) {
            e = E2;
            st.jackTerms[2][pos] = static_cast<float>(E2);
            st.jackTerms[1][pos] = static_cast<float>(E1);
            st.jackTerms[3][pos] = static_cast<float>(E3);
        } else {
            e = E2 - dbl(st.jackTerms[2][K]);
            st.jackTerms[2][pos] = static_cast<float>(e);
            st.jackTerms[1][pos] = static_cast<float>(E1 - dbl(st.wholeTerms[1][K] / Jf));
            st.jackTerms[3][pos] = static_cast<float>(E3 - dbl(st.wholeTerms[3][K] / Jf));
        }
        const RowStatistics s = rowStatistics(pseudoSum, dbl(st.jackVectorA[pos]), e, eRef, RescaleRule::AtMostOne, false, J, d);
        emit(rowOf(ReportedRow::Section::TotalCovariances, "", index, e, s.se, s.halfP));
    }
    if (st.firstTrait == st.secondTrait) return block;

    // Correlations of the random factors and the residual.
    std::fputs(h.correlations, out);
    flushReport(st);
    for (int k = 1; k <= K; ++k) {
        if (W[k] == 0.0f || isBetweenFactor(st, k)) continue;
        ReportedRow row = correlationRow(st, k, J, d);
        row.section = ReportedRow::Section::Correlations;
        row.label = st.componentNames[static_cast<std::size_t>(k)];
        emit(row);
    }
    std::fputs(h.totalCorrelations, out);
    flushReport(st);
    for (int index = 2; index >= 1; --index) {
        ReportedRow row = correlationRow(st, K + index, J, d);
        row.section = ReportedRow::Section::TotalCorrelations;
        row.index = index;
        emit(row);
    }
    return block;
}

}  // namespace minque
