#include "support/test_support.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "core/fatal_error.hpp"
#include "support/kernel_differential.hpp"

namespace minque::test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/minque-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool fileExists(const std::string& path) { return std::filesystem::exists(path); }

namespace {

ProcessResult runChild(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                       const std::string& input, long fileSizeLimit, const std::string& trigger, int signalNumber) {
    int inPipe[2], outPipe[2], errPipe[2];
    if (pipe(inPipe) != 0 || pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        for (int fd : {inPipe[0], inPipe[1], outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        if (fileSizeLimit > 0) {
            const rlimit limit{static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
            setrlimit(RLIMIT_FSIZE, &limit);
            signal(SIGXFSZ, SIG_IGN);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(inPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    // Feed the input, then read both outputs without blocking on either.
    std::size_t written = 0;
    fcntl(inPipe[1], F_SETFL, O_NONBLOCK);
    ProcessResult result;
    bool inOpen = true, outOpen = true, errOpen = true;
    if (input.empty()) { close(inPipe[1]); inOpen = false; }
    while (outOpen || errOpen) {
        pollfd fds[3];
        int count = 0;
        if (outOpen) fds[count++] = {outPipe[0], POLLIN, 0};
        if (errOpen) fds[count++] = {errPipe[0], POLLIN, 0};
        if (inOpen) fds[count++] = {inPipe[1], POLLOUT, 0};
        if (poll(fds, count, -1) < 0) continue;
        for (int i = 0; i < count; ++i) {
            if (fds[i].revents == 0) continue;
            if (inOpen && fds[i].fd == inPipe[1]) {
                const ssize_t w = write(inPipe[1], input.data() + written, input.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 || written == input.size()) { close(inPipe[1]); inOpen = false; }
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            const bool isOut = fds[i].fd == outPipe[0];
            if (got <= 0) {
                close(fds[i].fd);
                (isOut ? outOpen : errOpen) = false;
            } else {
                (isOut ? result.out : result.err).append(buffer, static_cast<std::size_t>(got));
                if (!isOut && signalNumber != 0 && result.err.find(trigger) != std::string::npos) {
                    kill(pid, signalNumber);
                    signalNumber = 0;
                }
            }
        }
    }
    if (inOpen) close(inPipe[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                         const std::string& input, long fileSizeLimit) {
    return runChild(program, args, cwd, input, fileSizeLimit, "", 0);
}

ProcessResult runProcessInterrupted(const std::string& program, const std::vector<std::string>& args,
                                    const std::string& cwd, const std::string& trigger, int signal) {
    return runChild(program, args, cwd, "", -1, trigger, signal);
}

std::vector<std::string> analysisArgs(const std::string& language, int groupSize, int covarianceSwitch,
                                      const std::string& dataFile) {
    return {language, "0", "0", "0", std::to_string(groupSize), "0", "0", std::to_string(covarianceSwitch), "0",
            dataFile};
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string withoutClock(const std::string& report) {
    static const std::regex clock("(Date and Time for Analysis: |Time Used \\(Hour\\) = |电脑运行时间为)[^\n]*");
    return std::regex_replace(report, clock, "$1");
}

std::string streamContents(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    std::string bytes(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) throw std::runtime_error("short read");
    return bytes;
}

std::FILE* streamOf(const std::string& text) {
    // fmemopen needs a buffer that outlives the stream; tests read at once.
    static thread_local std::vector<std::string> keep;
    keep.push_back(text);
    return fmemopen(keep.back().data(), keep.back().size(), "r");
}

namespace {
std::vector<std::string> defaultNames(int r) {
    std::vector<std::string> names;
    for (int u = 1; u <= r; ++u) names.push_back("V(F" + std::to_string(u) + ")");
    for (int k = r + 1; k <= r + 5; ++k) names.push_back("V(e)");
    return names;
}
}  // namespace

ModelDesign oneWayDesign(int levels, int perLevel, int traitCount) {
    ModelDesign d;
    d.traitCount = traitCount;
    d.obsCount = levels * perLevel;
    d.componentNames = defaultNames(1);
    std::vector<int> all;
    for (int m = 1; m <= d.obsCount; ++m) all.push_back(m);
    d.fixedColumns.push_back(all);
    ModelDesign::Factor f;
    for (int l = 0; l < levels; ++l) {
        std::vector<std::pair<int, float>> col;
        for (int k = 1; k <= perLevel; ++k) col.emplace_back(l * perLevel + k, 1.0f);
        f.columns.push_back(col);
    }
    d.factors.push_back(f);
    return d;
}

ModelDesign randomDesign(unsigned seed, int n, const std::vector<int>& levels, int p, int traitCount) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> coef(0.25f, 2.0f);
    ModelDesign d;
    d.traitCount = traitCount;
    d.obsCount = n;
    d.componentNames = defaultNames(static_cast<int>(levels.size()));
    for (int c = 0; c < p; ++c) {
        std::vector<int> rows;
        for (int m = 1; m <= n; ++m)
            if (c == 0 || rng() % 3 == 0) rows.push_back(m);
        d.fixedColumns.push_back(rows);
    }
    for (int L : levels) {
        ModelDesign::Factor f;
        f.columns.resize(static_cast<std::size_t>(L));
        for (int m = 1; m <= n; ++m) {
            const int level = static_cast<int>(rng() % static_cast<unsigned>(L));
            f.columns[static_cast<std::size_t>(level)].emplace_back(m, coef(rng));
            if (rng() % 17 == 0)  // an observation listed twice in one column
                f.columns[static_cast<std::size_t>(level)].emplace_back(m, coef(rng));
        }
        if (L > 2) f.columns[1].clear();  // an empty column
        d.factors.push_back(f);
    }
    return d;
}

std::vector<std::vector<float>> randomTraits(unsigned seed, int n, int t) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> value(10.0f, 3.0f);
    std::vector<std::vector<float>> traits(static_cast<std::size_t>(t), std::vector<float>(static_cast<std::size_t>(n)));
    for (auto& row : traits)
        for (auto& v : row) v = value(rng);
    return traits;
}


// r + 5 labels, whatever the test did to the factors.
ModelDesign withLabels(ModelDesign d) {
    d.componentNames.resize(d.factors.size() + 5, "V(e)");
    return d;
}

AnalysisState stateFromDesign(const ModelDesign& input, unsigned seed, int covarianceSwitch) {
    const ModelDesign design = withLabels(input);
    const auto traits = randomTraits(seed, design.obsCount, design.traitCount);
    return stateFromText(formatModelFile(design), dataFileText(traits, design.obsCount), covarianceSwitch);
}

void writeAnalysisInputs(const TempDir& dir, const std::string& base, const ModelDesign& design,
                         const std::vector<std::vector<float>>& traits, int componentCount, int replicateCount,
                         float varValue) {
    writeFile(dir.file(base + ".MAT"), formatModelFile(withLabels(design)));
    writeFile(dir.file(base + ".TXT"), dataFileText(traits, design.obsCount));
    writeFile(dir.file(base + ".DAT"), "");
    const std::size_t records = static_cast<std::size_t>(replicateCount + 1) * traits.size();
    std::vector<float> var;
    for (std::size_t rec = 0; rec < records; ++rec) {
        var.push_back(0.0f);
        for (int k = 1; k <= componentCount; ++k) var.push_back(varValue);
    }
    writeFile(dir.file("MATWRN.var"),
              std::string(reinterpret_cast<const char*>(var.data()), var.size() * sizeof(float)));
}

AnalysisRequest exampleDiallel(const TrialData& data) {
    AnalysisRequest r;
    r.data = data;
    r.model.env = "Env";
    r.model.female = "Fem";
    r.model.male = "Male";
    r.model.block = "Blk";
    // The jackknife: its tables are the reports', which the programs write too.
    r.options.standardErrors = StandardErrors::Jackknife;
    r.options.group = 4;
    return r;
}

void expectRunError(const std::function<void()>& body, int exitStatus, const std::string& pattern) {
    try {
        body();
    } catch (const RunError& e) {
        EXPECT_EQ(exitStatusOf(e), exitStatus);
        const std::string text = runErrorText(e);
        EXPECT_TRUE(std::regex_search(text, std::regex(pattern))) << "printed:\n" << text << "\nexpected: " << pattern;
        return;
    }
    ADD_FAILURE() << "no RunError; expected one matching " << pattern;
}

}  // namespace minque::test
