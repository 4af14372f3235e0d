#include "jackknife_engine/report/preamble.hpp"

namespace minque {

namespace {

// Classic sources for the methods of the report: MINQUE, the estimation of
// variance and covariance components, and the jackknife.
const char* const kReferences =
    " 1. Rao, C. R. (1971). Estimation of variance and covariance components - MINQUE theory.\n"
    "    Journal of Multivariate Analysis 1: 257-275.\n"
    " 2. Rao, C. R. (1971). Minimum variance quadratic unbiased estimation of variance components.\n"
    "    Journal of Multivariate Analysis 1: 445-456.\n"
    " 3. Henderson, C. R. (1953). Estimation of variance and covariance components.\n"
    "    Biometrics 9: 226-252.\n"
    " 4. Harville, D. A. (1977). Maximum likelihood approaches to variance component estimation\n"
    "    and to related problems. Journal of the American Statistical Association 72: 320-338.\n"
    " 5. Quenouille, M. H. (1956). Notes on bias in estimation. Biometrika 43: 353-360.\n"
    " 6. Miller, R. G. (1974). The jackknife - a review. Biometrika 61: 1-15.\n\n";

}  // namespace

void writeReportPreamble(std::FILE* report, bool chinese, int traitCount, int componentCount,
                         int replicateDf, const char* reportName, std::time_t now) {
    if (chinese) {
        std::fprintf(report, " \n 性状数, %d\n 协方差分量数, %d\n 自由度, %d\n 文件名是: %s \n ", traitCount,
                     componentCount, replicateDf, reportName);
        std::fprintf(report, "Date and Time for Analysis: %s\n", std::ctime(&now));
        std::fputs("\n 采用MINQUE(0/1)法估算方差分量 <运行RAVEZO0.EXE>.\n\n", report);
        std::fputs("\n 统计分析方法参见以下参考文献:\n", report);
        std::fputs(kReferences, report);
        std::fputs(" NS = 不显著; S+ = 显著达到0.10 水准. \n", report);
        std::fputs(" S* = 显著达到0.05 水准; S** = 显著达到0.01 水准. \n\n", report);
    } else {
        std::fprintf(report,
                     " \n Traits =, %d\n Variance components = , %d\n Degree of freedom = , %d\n File name is %s \n ",
                     traitCount, componentCount, replicateDf, reportName);
        std::fprintf(report, "Date and Time for Analysis: %s\n", std::ctime(&now));
        std::fputs("\n Variance Components Estimated by MINQUE(0/1) with TALMIX0C.EXE. \n", report);
        std::fputs("\n Jackknifing Over Cell Means Conducted for Estimating S.E. \n", report);
        std::fputs("\n For Statistical Methods, Seeing the Following References:\n", report);
        std::fputs(kReferences, report);
        std::fputs(" NS = Not significant; S+ = Significant at 0.10 level. \n", report);
        std::fputs(" S* = Significant at 0.05 level; S** = Significant at 0.01 level. \n\n", report);
    }
}

}  // namespace minque
