// minque-cov as a library: the bundled example analysed by a program of its
// own, with a progress line per replicate, an error caught as a value, and
// the additive genetic correlations printed from the result's table.
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
    minque::AnalysisProgress progress;
    progress.passDone = [](int replicate, int replicates) {
        std::fprintf(stderr, "\rreplicate %d / %d", replicate, replicates);
        return true;  // false would cancel the run here
    };
    try {
        request.data = minque::trialDataFromFile(argv[1]);
        request.model.env = "Env";
        request.model.female = "Fem";
        request.model.male = "Male";
        request.model.block = "Blk";
        request.options.group = 4;
        const minque::AnalysisResult result = minque::analyse(request, progress);
        std::fprintf(stderr, "\n");
        std::printf("%d observations, %d replicates\n", result.settings.observations, result.settings.replicates);
        for (const minque::ResultRow& row : result.tables.correlations)
            if (row.component == "V(A)")
                std::printf("%-8s %-8s %9.3f  S.E. %.3f  %s\n", row.trait1.c_str(), row.trait2.c_str(),
                            row.estimate, row.se, row.mark.c_str());
    } catch (const minque::RunError& e) {
        std::fprintf(stderr, "\nno analysis: %s\n", e.what());
        return 1;
    }
    return 0;
}
