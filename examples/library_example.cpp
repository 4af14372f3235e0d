// minque-cov as a library: the bundled example analysed by a program of its
// own, with an error caught as a value, and the additive genetic
// correlations printed from the result's table with their bootstrap S.E. and
// 95% interval.
//
//   build/minque-library-example examples/EXAMPLE.TXT
#include <cstdio>

#include "minquecov/analysis.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: minque-library-example TRIAL.TXT\n");
        return 2;
    }
    minque::AnalysisRequest request;
    try {
        request.data = minque::trialDataFromFile(argv[1]);
        request.model.env = "Env";
        request.model.female = "Fem";
        request.model.male = "Male";
        request.model.block = "Blk";
        const minque::AnalysisResult result = minque::analyse(request);
        std::printf("%d observations, %d bootstrap samples\n", result.settings.observations,
                    result.settings.bootstrapSamples);
        for (const minque::ResultRow& row : result.tables.correlations)
            if (row.component == "V(A)")
                std::printf("%-8s %-8s %9.3f  S.E. %.3f  95%% [%.3f, %.3f]  %s\n", row.trait1.c_str(),
                            row.trait2.c_str(), row.estimate, row.se, row.ciLow, row.ciHigh, row.mark.c_str());
    } catch (const minque::RunError& e) {
        std::fprintf(stderr, "\nno analysis: %s\n", e.what());
        return 1;
    }
    return 0;
}
