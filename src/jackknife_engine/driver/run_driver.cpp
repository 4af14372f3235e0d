#include "jackknife_engine/driver/run_driver.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <unistd.h>

#include "core/fatal_error.hpp"
#include "driver/interrupt.hpp"
#include "io/file_text.hpp"
#include "io/run_files.hpp"
#include "io/run_lock.hpp"
#include "jackknife_engine/core/analysis_state.hpp"
#include "jackknife_engine/driver/jackknife_driver.hpp"
#include "jackknife_engine/driver/rank_team.hpp"
#include "jackknife_engine/gpu/device_discovery.hpp"
#include "jackknife_engine/io/model_constants.hpp"
#include "jackknife_engine/io/model_reader.hpp"
#include "jackknife_engine/io/variance_signature.hpp"
#include "jackknife_engine/report/preamble.hpp"
#include "jackknife_engine/report/report_writer.hpp"
#include "jackknife_engine/resampling/jackknife.hpp"
#include "linalg/worker_pool.hpp"

namespace minque {

namespace {

constexpr long long kOffsetLimit = 1LL << 31;  // binary records are addressed by 32-bit offsets

// An input file that cannot be opened ends the run silently.
std::FILE* openOrStop(const std::string& name, const char* mode) {
    std::FILE* f = std::fopen(name.c_str(), mode);
    if (f == nullptr) stopSilently(1);
    return f;
}

// Refuses a model whose binary records could not be addressed with 32-bit
// byte offsets, before any work is done.
void checkRecordOffsets(const AnalysisState& st, int traitCount) {
    const long long n = st.obsCount, m = st.randomLevelCount, R = st.recordLength;
    const long long J = st.replicateCount, t = traitCount;
    const long long pairs = t * (t - 1) / 2;
    const long long productOffset = (m - 1) * (n + 1) * 4;
    if (m > 0 && productOffset >= kOffsetLimit)
        stopRun("The model is too large for the product files: %lld random columns of %lld observations need "
                "record offsets up to %lld bytes in MATRIX.UQ2, beyond the 2 GiB that 32-bit offsets address",
                m, n, productOffset);
    const long long covOffset = ((J + 1) * pairs - 1) * R * 4;
    if (pairs > 0 && covOffset >= kOffsetLimit)
        stopRun("The analysis is too large for MATRIX.cov: %lld trait pairs over %lld replicates need record "
                "offsets up to %lld bytes, beyond the 2 GiB that 32-bit offsets address",
                pairs, J, covOffset);
    const long long varOffset = ((J + 1) * t - 1) * R * 4;
    if (t > 0 && varOffset >= kOffsetLimit)
        stopRun("The analysis is too large for MATWRN.var: %lld traits over %lld replicates need record "
                "offsets up to %lld bytes, beyond the 2 GiB that 32-bit offsets address",
                t, J, varOffset);
}

// The variance file being written by minque-var: a temporary file in the
// working directory, or under MPI an unnamed one (the launcher may kill
// rank 0 at any moment, and nothing of an unnamed file is left whatever ends
// the process). It becomes "MATWRN.var" only when the run is complete; on
// every other way out the temporary file is removed.
class PendingVarianceFile {
public:
    explicit PendingVarianceFile(bool unnamed) {
        if (unnamed) {
            const int fd = open(".", O_TMPFILE | O_RDWR, 0644);
            stream_ = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
            if (stream_ != nullptr) {
                unnamedFd_ = dup(fd);
                return;
            }
            if (fd >= 0) close(fd);  // a file system without unnamed files: a named one
        }
        char name[] = "MATWRN.var.XXXXXX";
        const int fd = mkstemp(name);
        stream_ = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
        if (stream_ == nullptr) {
            if (fd >= 0) {
                close(fd);
                std::remove(name);
            }
            fatalError("Can't Open Var File. Quit Analysis! ");
        }
        name_ = name;
    }
    ~PendingVarianceFile() {
        if (!name_.empty()) std::remove(name_.c_str());
        if (unnamedFd_ >= 0) close(unnamedFd_);
    }
    PendingVarianceFile(const PendingVarianceFile&) = delete;
    PendingVarianceFile& operator=(const PendingVarianceFile&) = delete;

    // The stream the run writes; the run closes it (slot 4).
    std::FILE* stream() const { return stream_; }

    // Puts the complete file in place; without `replace` an existing
    // "MATWRN.var" is never overwritten.
    void commit(bool replace) {
        const char* target = "MATWRN.var";
        if (unnamedFd_ >= 0) {
            // The unnamed file gets a name: directly, or a temporary one that
            // then replaces the old file.
            const std::string self = "/proc/self/fd/" + std::to_string(unnamedFd_);
            const std::string linked = replace ? "MATWRN.var." + std::to_string(getpid()) : target;
            if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, linked.c_str(), AT_SYMLINK_FOLLOW) != 0) failed();
            close(unnamedFd_);
            unnamedFd_ = -1;
            if (!replace) return;
            name_ = linked;
        }
        const int status = replace ? std::rename(name_.c_str(), target) : link(name_.c_str(), target);
        if (status != 0) failed();
        if (!replace) std::remove(name_.c_str());
        name_.clear();
    }

private:
    [[noreturn]] static void failed() {
        const int error = errno;
        stopRun("MATWRN.var: the variance file could not be put in place (%s)%s", std::strerror(error),
                error == EEXIST ? "; another MATWRN.var appeared during the run" : "");
    }

    std::FILE* stream_ = nullptr;
    std::string name_;    // the temporary name, removed unless committed
    int unnamedFd_ = -1;  // the unnamed file, to link it
};

// The six stream slots of a run: whatever is still open when the run ends
// (by an error, a cancel) is closed, so its buffered bytes reach the file.
class OpenStreams {
public:
    explicit OpenStreams(AnalysisState& st) : st_(st) {}
    ~OpenStreams() {
        // A slot may share its stream with another (the variance file serves
        // slots 4 and 5 in minque-var): each stream is closed once.
        for (std::size_t slot = 0; slot < st_.streams.size(); ++slot) {
            std::FILE* f = st_.streams[slot];
            if (f == nullptr) continue;
            for (std::FILE*& other : st_.streams)
                if (other == f) other = nullptr;
            std::fclose(f);
        }
    }
    OpenStreams(const OpenStreams&) = delete;
    OpenStreams& operator=(const OpenStreams&) = delete;

private:
    AnalysisState& st_;
};

// Options after the ten positional arguments.
bool hasOption(int argc, char** argv, const char* option) {
    for (int i = 11; i < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return true;
    return false;
}

void printPhaseTimes(const AnalysisState& st) {
    std::fprintf(stderr,
                 "\n Phase times (s): inverse %.3f, projection and records %.3f, MINQUE matrix %.3f, pair forms "
                 "%.3f, statistics %.3f\n",
                 st.phaseSeconds[kPhaseInverse], st.phaseSeconds[kPhaseProjection], st.phaseSeconds[kPhaseEquations],
                 st.phaseSeconds[kPhasePairs], st.phaseSeconds[kPhaseStatistics]);
    std::fflush(stderr);
}

// ---- A run over several MPI ranks --------------------------------------------

// A file's bytes, for rank 0 to send to the other ranks; a file that cannot be
// opened ends the run silently, as it does for one process.
std::string fileBytes(const std::string& name) {
    std::string bytes;
    if (!readFileText(name, &bytes)) stopSilently(1);
    return bytes;
}

// Refuses a variance file whose signature (MATWRN.sig, written by minque
// analyse beside the variance file it writes) names other inputs than this
// run's. Without one the file is used as it is, as ever: the programs print
// and write what they always did.
void checkVarianceSignature(const std::string& data, const std::string& model, int groupSize, int covarianceSwitch) {
    std::string written;
    if (!readVarianceSignature(&written)) return;
    const std::string expected = varianceSignature(fileBytes(data), fileBytes(model), groupSize, covarianceSwitch);
    if (written != expected)
        stopRun("MATWRN.var was written for other inputs than %s, %s, group size %d and covariance switch %d (%s says: "
                "%s); run minque-var again with these",
                data.c_str(), model.c_str(), groupSize, covarianceSwitch != 0 ? 1 : 0, kVarianceSignatureFile,
                written.substr(0, written.find('\n')).c_str());
}

// A stream over text that outlives it (the readers close their streams).
std::FILE* textStream(std::string& text) {
    if (text.empty()) text.push_back('\n');
    std::FILE* f = fmemopen(text.data(), text.size(), "r");
    if (f == nullptr) stopRun("the model or data text could not be read from memory");
    return f;
}

// An unnamed scratch file in `dir`, private to this rank: nothing of it is
// left behind whatever ends the process.
std::FILE* privateScratch(const std::string& dir) {
    const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR, 0600);
    std::FILE* f = fd >= 0 ? fdopen(fd, "w+b") : nullptr;
    if (f == nullptr)
        stopRun("%s: a private scratch file cannot be created in this folder (%s)", dir.c_str(), std::strerror(errno));
    return f;
}

// The run-time line that ends a report.
void writeRunTime(std::FILE* report, bool chinese, float hours) {
    if (chinese)
        std::fprintf(report, "\n 电脑运行时间为%f小时\n", hours);
    else
        std::fprintf(report, "\n Time Used (Hour) = %f \n", hours);
}

// The jackknife accumulators of the statistics (positions 0..K+2).
void allocateAccumulators(AnalysisState& st) {
    const int K = st.componentCount;
    st.wholeTerms = dmatrix(1, 3, 0, K + 2);
    st.jackTerms = dmatrix(1, 3, 0, K + 2);
    st.jackVectorA = dvector(0, K + 2);
    st.jackVectorB = dvector(0, K + 2);
    st.jackVectorC = dvector(0, K + 2);
}

int promptTraitCount() {
    std::printf("\n\n Number of Iterations for Simulation =");
    std::fflush(stdout);
    int answer = 0;
    if (std::scanf("%d", &answer) != 1 || answer < 0 || answer > kMaxTraits)
        stopRun("The number entered at the prompt must be a whole number between 0 and %d", kMaxTraits);
    return answer;
}

}  // namespace

// The variance file must hold exactly (J + 1) t records of K + 1 floats: any
// other size means it was written for another model, trait set or group size.
void checkVarianceFileSize(std::FILE* var, const AnalysisState& st, int traitCount) {
    const long long records = (static_cast<long long>(st.replicateCount) + 1) * traitCount;
    const long long expected = records * st.recordLength * 4;
    long long actual = -1;
    if (std::fseek(var, 0, SEEK_END) == 0) actual = std::ftell(var);
    if (actual < 0) stopRun("MATWRN.var: the size of the variance file could not be determined");
    if (actual != expected)
        stopRun("MATWRN.var: the variance file holds %lld bytes, but this analysis needs exactly %lld bytes: "
                "(J + 1) x t = %d x %d records of K + 1 = %d floats (J = %d replicates, K = %d components). "
                "It must be written for the same model, traits and jackknife group size",
                actual, expected, st.replicateCount + 1, traitCount, st.recordLength, st.replicateCount,
                st.componentCount);
}

int parseArgumentInt(const char* text) {
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

RunFileNames deriveFileNames(const std::string& dataFileName, AnalysisKind kind) {
    const std::size_t L = dataFileName.size();
    if (L < 5 || dataFileName[L - 4] != '.')
        stopRun("The data file name (argument 10) '%s' must end in a point and a three-character extension, "
                "as in TRIAL.TXT",
                dataFileName.c_str());
    const std::string base = dataFileName.substr(0, L - 4);
    RunFileNames names{dataFileName, base + ".MAT", base + ".DAT",
                       base + (kind == AnalysisKind::Variances ? ".VAR" : ".COV")};
    if (names.report == names.data)
        stopRun("The data file '%s' would be overwritten by the report %s; give the data file another "
                "extension, such as .TXT",
                names.data.c_str(), names.report.c_str());
    return names;
}

int runMinqueCov(int argc, char** argv) { return runAnalysis(AnalysisKind::Covariances, argc, argv); }

namespace {

// What a program's run owns, released on every way out of it: the lock of
// the working directory (released last, after the files it guards are
// gone), the named scratch files and the unfinished report (left as they
// are after an error, removed after an interrupt or at the end), and the
// variance file being written. Under MPI the launcher may kill rank 0 at any
// moment, so its files are unnamed until complete; the lock file may then
// stay, but it does not block the next run, which locks the file, not its name.
struct ProgramRun {
    std::optional<DirectoryLock> lock;
    RunFiles scratch, unfinished;
    std::optional<PendingVarianceFile> pendingVariances;
};

int runOnTeam(AnalysisKind kind, int argc, char** argv, const RankTeam& team, AnalysisState& st, ProgramRun& owned) {
    const bool variances = kind == AnalysisKind::Variances;
    const bool lead = team.rank == 0;
    const int groupSize = parseArgumentInt(argv[5]);
    const int covarianceSwitch = parseArgumentInt(argv[8]);
    if (groupSize < 1)
        stopRun("The jackknife group size (argument 5) must be at least 1; it is '%s'", argv[5]);
    const RunFileNames names = deriveFileNames(argv[10], kind);
    const bool replace = hasOption(argc, argv, "--replace");
    st.timePhases = hasOption(argc, argv, "--timings");
    st.forceHost = hasOption(argc, argv, "--cpu");
    st.referenceKernels = hasOption(argc, argv, "--reference-kernels");
    int threads = 0;  // one per hardware thread
    std::string scratchFolder;
    for (int i = 11; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--threads") == 0) {
            threads = parseArgumentInt(argv[i + 1]);
            if (threads < 1 || threads > 1024) stopRun("--threads needs a number of worker threads from 1 to 1024");
            if (threads > hardwareThreads()) {
                // More threads than the hardware's would only wait for one another.
                std::fprintf(stderr, "--threads %d is more than this machine's %d hardware threads: %d are used\n",
                             threads, hardwareThreads(), hardwareThreads());
                threads = hardwareThreads();
            }
        }
        if (std::strcmp(argv[i], "--scratch") == 0) scratchFolder = argv[i + 1];
    }
    // The node's hardware threads shared by its ranks, and one device per
    // rank where there are devices.
    if (team.active() && threads == 0)
        threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency()) / team.localSize);
    setWorkerThreads(threads);
    if (team.active() && !st.forceHost && getGPUCount() > 0) useDevice(team.localRank % getGPUCount());
    if (scratchFolder.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        scratchFolder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    if (lead && variances && !replace && access("MATWRN.var", F_OK) == 0)
        stopRun("MATWRN.var already exists in this directory; minque-var does not overwrite it unless the "
                "argument --replace follows the ten arguments");

    if (lead) owned.lock.emplace("");
    // One process stops between passes when interrupted.
    std::optional<InterruptGuard> interrupts;
    if (!team.active()) interrupts.emplace();
    OpenStreams streams(st);
    // 4.-5. Input files, model and data; a missing input file ends the run
    // silently. Under MPI rank 0 reads them and sends their text to every rank.
    ModelHeader header;
    if (!team.active()) {
        st.streams[kSlotWholeData] = openOrStop(names.data, "rt");
        st.streams[kSlotReport] = openOrStop(names.model, "rt");
        st.streams[kSlotDat] = openOrStop(names.dat, "r+b");
        std::FILE* model = std::exchange(st.streams[kSlotReport], nullptr);
        header = readModelFile(st, model, names.model, covarianceSwitch);
        std::FILE* data = std::exchange(st.streams[kSlotWholeData], nullptr);
        readDataFile(st, data, names.data, header.leadColumnCount, header.traitCount);
    } else {
        std::string dataText, modelText;
        if (lead) {
            dataText = fileBytes(names.data);
            modelText = fileBytes(names.model);
            st.streams[kSlotDat] = openOrStop(names.dat, "r+b");
        }
        broadcastText(modelText);
        broadcastText(dataText);
        header = readModelFile(st, textStream(modelText), names.model, covarianceSwitch, lead ? stdout : nullptr);
        readDataFile(st, textStream(dataText), names.data, header.leadColumnCount, header.traitCount, lead ? stdout : nullptr);
    }
    const int n = st.obsCount;
    const int traitsRead = header.traitCount;

    // Replicate count, checked before any file is created.
    st.replicateCount = JackknifeGroups{n, groupSize}.replicates();
    st.replicateDf = st.replicateCount - 1;
    if (st.replicateCount < kMinReplicates)
        stopRun("The jackknife needs at least 2 replicates, but %d observations in groups of %d "
                "(argument 5) give %d; choose a smaller group size",
                n, groupSize, st.replicateCount);
    checkRecordOffsets(st, traitsRead);

    // 7. Model constants, derived before the scratch files are created so
    // that a model they refuse leaves no files behind (the derivation reads
    // nothing but the state).
    deriveModelConstants(st, header.trailingFactorCount, names.model);

    // 6. Scratch files: rank 0's in the working directory, the other ranks'
    // private and unnamed, with private record files for their passes.
    if (!lead) {
        st.streams[kSlotWholeData] = privateScratch(scratchFolder);
        st.streams[kSlotReplicate] = privateScratch(scratchFolder);
        st.streams[kSlotCovariance] = privateScratch(scratchFolder);
        int traitCount = header.traitCount;
        broadcastInt(&traitCount);
        runJackknife(st, variances ? variancePairs(traitsRead) : covariancePairs(traitsRead), traitsRead, groupSize);
        return 0;
    }
    if (team.active()) {
        st.streams[kSlotWholeData] = privateScratch(".");
        st.streams[kSlotReplicate] = privateScratch(".");
    } else {
        owned.scratch.add("MATRIX.UQ2");
        owned.scratch.add("MATRIX.UQ3");
        st.streams[kSlotWholeData] = createFile("MATRIX.UQ2", "w+b");
        st.streams[kSlotReplicate] = createFile("MATRIX.UQ3", "w+b");
    }
    if (st.streams[kSlotWholeData] == nullptr || st.streams[kSlotReplicate] == nullptr)
        throw programText("Can't Open Matrix File. Quit Analysis! ", true, 1);

    // 9. With no traits in the model file the user gives their number; no
    // trait rows were read for them, so no pair is analysed.
    int traitCount = header.traitCount;
    if (traitCount == 0) traitCount = promptTraitCount();
    broadcastInt(&traitCount);
    // 10.-11. Report and preamble.
    st.reportName = names.report;
    owned.unfinished.add(names.report);
    st.streams[kSlotReport] = createFile(names.report, "wt");
    if (st.streams[kSlotReport] == nullptr) fatalError("Can't Open Cor File. Quit Analysis! ");
    const std::time_t now = std::time(nullptr);
    writeReportPreamble(st.streams[kSlotReport], st.reportInChinese == 1, traitCount, st.componentCount,
                        st.replicateDf, names.report.c_str(), now);
    flushReport(st);

    // 12.-13. Variance and covariance files. minque-var writes its records
    // to the new variance file, which then also serves as the record file.
    if (variances) {
        owned.pendingVariances.emplace(team.active());
        st.streams[kSlotVariance] = owned.pendingVariances->stream();
        std::fputs("\n Var File has been oppened ! \n", stderr);
        std::fflush(stderr);
    } else {
        st.streams[kSlotVariance] = std::fopen("MATWRN.var", "r+b");
        if (st.streams[kSlotVariance] == nullptr) fatalError("Can't Open Var File. Quit Analysis! ");
        std::fputs("\n Var File has been oppened ! \n", stderr);
        std::fflush(stderr);
        checkVarianceFileSize(st.streams[kSlotVariance], st, traitCount);
        if (lead) checkVarianceSignature(names.data, names.model, groupSize, covarianceSwitch);
        if (team.active()) {
            st.streams[kSlotCovariance] = privateScratch(".");
        } else {
            owned.scratch.add("MATRIX.cov");
            st.streams[kSlotCovariance] = createFile("MATRIX.cov", "w+b");
        }
        if (st.streams[kSlotCovariance] == nullptr) fatalError("Can't Open Cov File. Quit Analysis! ");
        std::fputs("\n Cov File has been oppened ! \n", stderr);
        std::fflush(stderr);
    }

    // 14.-16. Accumulators and the estimation; between passes a program
    // stops when interrupted.
    JackknifeControl control;
    if (interrupts) control.passDone = [](int k, int J) {
        stopIfInterrupted(k, J);
        return true;
    };
    const std::time_t start = std::time(nullptr);
    allocateAccumulators(st);
    if (variances) {
        st.streams[kSlotCovariance] = st.streams[kSlotVariance];
        runJackknife(st, variancePairs(traitsRead), traitsRead, groupSize, control);
        st.streams[kSlotCovariance] = nullptr;
    } else {
        runJackknife(st, covariancePairs(traitsRead), traitsRead, groupSize, control);
    }

    // 17.-19. Run time and completion.
    const std::time_t end = std::time(nullptr);
    const float hours = static_cast<float>(static_cast<std::int32_t>(end - start) / 3600.0);
    writeRunTime(st.streams[kSlotReport], st.reportInChinese == 1, hours);
    flushReport(st);
    std::fprintf(stderr, "\n Time Used (Hour) = %f \n", hours);
    if (st.timePhases) printPhaseTimes(st);
    if (st.reportInChinese == 1) {
        std::fprintf(stderr, "\n 电脑运算已完毕. \n 分析结果储存在文件%s中.\n", names.report.c_str());
        std::fputs("\n 请同时输入Alt键和F4键，关掉该运行的窗口。\n", stderr);
    } else {
        std::fprintf(stderr, "\n Analysis Is Completed.\n Results Are Stored In File %s.\n", names.report.c_str());
        std::fputs("\n Please Press Alt+F4 to Close This Screen.\n", stderr);
    }
    std::fflush(stderr);

    // 20. Close everything and remove the scratch files.
    const char* unwritten = nullptr;
    for (int slot = 0; slot <= 5; ++slot) {
        if (st.streams[slot] == nullptr) continue;
        const bool failed = std::ferror(st.streams[slot]) != 0;
        if (std::fclose(st.streams[slot]) != 0 || failed) {
            if (slot == kSlotReport) unwritten = names.report.c_str();
            if (slot == kSlotVariance && variances) unwritten = "MATWRN.var";
        }
        st.streams[slot] = nullptr;
    }
    owned.scratch.removeAll();
    owned.unfinished.keepAll();
    if (unwritten != nullptr) stopRun("%s: the file could not be written completely (%s)", unwritten, std::strerror(errno));
    if (variances) owned.pendingVariances->commit(replace);
    return 0;
}

int runAnalysisOnTeam(AnalysisKind kind, int argc, char** argv, const RankTeam& team) {
    const bool lead = team.rank == 0;
    // 1. Device banner, before anything else.
    if (lead) {
        if (getGPUCount() < 1)
            std::printf("  There are no device supporting CUDA, program is running on CPU!");
        else
            listGPU();
    }

    // 2.-3. Command line.
    if (argc < 11) {
        if (lead) {
            std::fputs("Input argument error.\n", stderr);
            std::fflush(stderr);
        }
        return 1;
    }
    AnalysisState st;
    st.reportInChinese = (argv[1][0] == 'C' || argv[1][0] == 'c') ? 1 : 0;
    ProgramRun owned;
    try {
        return inRunLanguage(st.reportInChinese == 1, [&] { return runOnTeam(kind, argc, argv, team, st, owned); });
    } catch (const RunError& e) {
        // After an error the scratch files and the report stay as they are;
        // after an interrupt nothing of the run is kept.
        if (!e.cancelled()) {
            owned.scratch.keepAll();
            owned.unfinished.keepAll();
        }
        throw;
    }
}

}  // namespace

int runAnalysis(AnalysisKind kind, int argc, char** argv) {
    const RankTeam& team = joinRankTeam();
    return leaveRankTeam(runAnalysisOnTeam(kind, argc, argv, team));
}

ReportedBlocks runVariancesAndCovariances(AnalysisState& st, int traitCount, const CombinedRun& run) {
    return inRunLanguage(run.chinese, [&] {
        st.reportInChinese = run.chinese ? 1 : 0;
        st.forceHost = run.forceHost;
        const std::string reportNames[2] = {run.name + ".VAR", run.name + ".COV"};
        const int n = st.obsCount;
        st.replicateCount = JackknifeGroups{n, run.groupSize}.replicates();
        st.replicateDf = std::max(st.replicateCount - 1, 0);
        if (st.replicateCount < kMinReplicates)
            stopRun("The jackknife needs at least 2 replicates, but %d observations in groups of %d give %d; choose a "
                    "smaller group size",
                    n, run.groupSize, st.replicateCount);
        // The records a file of minque-cov could not address are refused here
        // too: the variance records may become MATWRN.var.
        checkRecordOffsets(st, traitCount);

        std::optional<DirectoryLock> lock;
        if (!run.folder.empty()) lock.emplace(run.folder);
        // Every record slot in memory, released on every way out.
        struct RecordsInMemory {
            AnalysisState& st;
            explicit RecordsInMemory(AnalysisState& state) : st(state) {
                for (int slot : {kSlotWholeData, kSlotReplicate, kSlotVariance, kSlotCovariance})
                    st.recordStores[static_cast<std::size_t>(slot)] = {true, {}, 0};
            }
            ~RecordsInMemory() {
                for (auto& store : st.recordStores) store = {};
            }
        } inMemory(st);
        MemoryTextStream reports[2];
        const std::time_t now = std::time(nullptr);
        for (int k = 0; k < 2; ++k) {
            writeReportPreamble(reports[k].stream(), run.chinese, traitCount, st.componentCount, st.replicateDf,
                                reportNames[k].c_str(), now);
            st.streams[kSlotReport] = reports[k].stream();
            st.reportName = reportNames[k];
            flushReport(st);
        }
        st.streams[kSlotReport] = nullptr;

        const std::time_t start = std::time(nullptr);
        allocateAccumulators(st);
        ReportedBlocks blocks =
            runJackknifeBoth(st, traitCount, run.groupSize, reports[0].stream(), reports[1].stream(), run.control);
        blocks.varianceRecords = std::move(st.recordStores[kSlotVariance].values);
        const std::time_t end = std::time(nullptr);
        const float hours = static_cast<float>(static_cast<std::int32_t>(end - start) / 3600.0);
        for (MemoryTextStream& report : reports) writeRunTime(report.stream(), run.chinese, hours);
        blocks.varianceReport = reports[0].take();
        blocks.covarianceReport = reports[1].take();

        if (!run.folder.empty()) {
            RunFiles outputs;
            const std::pair<std::string, std::string> files[] = {
                {reportNames[0], blocks.varianceReport},
                {reportNames[1], blocks.covarianceReport},
                {"MATWRN.var", std::string(reinterpret_cast<const char*>(blocks.varianceRecords.data()),
                                           blocks.varianceRecords.size() * sizeof(float))},
                {kVarianceSignatureFile, run.varianceSignature}};
            for (const auto& [name, text] : files) {
                if (name == kVarianceSignatureFile && text.empty()) continue;
                const std::string path = pathInFolder(run.folder, name);
                outputs.add(path);
                writeFileText(path, text);
            }
            outputs.keepAll();
        }
        return blocks;
    });
}

}  // namespace minque
