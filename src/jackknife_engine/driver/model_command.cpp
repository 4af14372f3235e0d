#include "jackknife_engine/driver/model_command.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/fatal_error.hpp"
#include "io/file_text.hpp"
#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/driver/run_driver.hpp"
#include "jackknife_engine/model/model_text.hpp"
#include "model/model_builder.hpp"

namespace {

using namespace minque;

const char* const kUsage =
    "usage: minque-model DATA --lead H --ad ENV,FEMALE,MALE[,BLOCK] [--covariances] [--replace]\n"
    "       minque-model DATA --lead H --random TERM[,TERM...] [--fixed 1|TERM[,TERM...]] [--trailing N]\n"
    "                    [--covariances] [--replace]\n";

[[noreturn]] void usage(const char* problem) {
    throw programText(std::string("minque-model: ") + problem + "\n" + kUsage, false, 1);
}

struct Options {
    std::string data;
    int lead = -1;
    std::string ad, random, fixed = "1";
    int trailing = 0;
    bool covariances = false, replace = false;
    bool help = false;  // --help: the usage was printed, nothing else to do
};

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::printf("%s\nWrites DATA's model file (.MAT) from its H leading design columns; the traits follow them.\n"
                        "Example:\n  minque-model EXAMPLE.TXT --lead 4 --ad Env,Fem,Male,Blk\n\n"
                        "From a trial table straight to results: minque analyse --help.\n"
                        "A breeder's guide to the results: docs/guide.md\n",
                        kUsage);
            o.help = true;
            return o;
        }
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage(("missing value after " + a).c_str());
            return argv[++i];
        };
        if (a == "--lead") {
            const std::string v = value();
            char* end = nullptr;
            const long h = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || h < 1 || h > 1000) usage("--lead needs the number of lead columns (1 or more)");
            o.lead = static_cast<int>(h);
        } else if (a == "--ad") {
            o.ad = value();
        } else if (a == "--random") {
            o.random = value();
        } else if (a == "--fixed") {
            o.fixed = value();
        } else if (a == "--trailing") {
            const std::string v = value();
            if (v != "0" && v != "1" && v != "2") usage("--trailing takes 0, 1 or 2");
            o.trailing = std::atoi(v.c_str());
        } else if (a == "--covariances") {
            o.covariances = true;
        } else if (a == "--replace") {
            o.replace = true;
        } else if (!a.empty() && a[0] == '-') {
            usage(("unknown option " + a).c_str());
        } else if (o.data.empty()) {
            o.data = a;
        } else {
            usage(("unexpected argument " + a).c_str());
        }
    }
    if (o.data.empty()) usage("no data file given");
    if (o.lead < 0) usage("--lead is required");
    if (o.ad.empty() == o.random.empty()) usage("give exactly one of --ad and --random");
    return o;
}

void writeAtomically(const std::string& path, const std::string& text, bool replace) {
    const std::string temp = path + ".partial";
    std::FILE* out = createFile(temp, "wb");
    if (out == nullptr) stopRun("%s: cannot be created (%s)", temp.c_str(), createFailure(errno).c_str());
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) {
        std::remove(temp.c_str());
        stopRun("%s: could not be written (%s)", path.c_str(), std::strerror(errno));
    }
    const int failed = replace ? std::rename(temp.c_str(), path.c_str()) : link(temp.c_str(), path.c_str());
    const int error = errno;
    std::remove(temp.c_str());
    if (failed != 0) stopRun("%s: could not be put in place (%s)", path.c_str(), std::strerror(error));
}

}  // namespace

namespace minque {

int runModelCommand(int argc, char** argv) {
    const Options o = parse(argc, argv);
    if (o.help) return 0;
    const RunFileNames names = deriveFileNames(o.data);
    if (!o.replace && access(names.model.c_str(), F_OK) == 0)
        stopRun("%s already exists; give --replace to overwrite it", names.model.c_str());
    std::FILE* in = std::fopen(names.data.c_str(), "rb");
    if (in == nullptr) stopRun("%s: cannot be opened (%s)", names.data.c_str(), std::strerror(errno));
    const DesignData data = readDesignData(in, names.data, o.lead);
    std::fclose(in);

    ModelRequest request;
    request.additiveDominance = o.ad;
    request.random = o.random;
    request.fixed = o.fixed;
    request.trailing = o.trailing;
    request.covariances = o.covariances;
    AnalysisState st;
    const std::string text = buildModelFile(data, request, names.model, &st);
    writeAtomically(names.model, text, o.replace);
    if (access(names.dat.c_str(), F_OK) != 0) {
        std::FILE* dat = createFile(names.dat, "wb");
        if (dat != nullptr) std::fclose(dat);
    }

    std::printf("Wrote %s: %d observations, %d traits, %d fixed columns, %d random factors (%d levels), %d components%s.\n",
                names.model.c_str(), st.obsCount, static_cast<int>(data.traitNames.size()), st.fixedCount,
                st.randomFactorCount, st.randomLevelCount, st.componentCount,
                o.covariances ? " with the covariance switch on" : "");
    std::printf("  component        levels   weight\n");
    for (int k = 1; k <= st.componentCount; ++k) {
        const std::string& label = st.componentNames[static_cast<std::size_t>(k)];
        if (k <= st.randomFactorCount)
            std::printf("  %2d %-14s %6d   %g\n", k, label.c_str(), st.factorLevels[k], static_cast<double>(st.componentWeight[k]));
        else
            std::printf("  %2d %-14s %6s   %g\n", k, label.c_str(), "", static_cast<double>(st.componentWeight[k]));
    }
    return 0;
}

}  // namespace minque
