#include "support/kernel_differential.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "core/fatal_error.hpp"
#include "jackknife_engine/driver/jackknife_driver.hpp"
#include "jackknife_engine/io/model_constants.hpp"
#include "jackknife_engine/io/model_reader.hpp"
#include "jackknife_engine/linalg/sherman_cpu.hpp"
#include "jackknife_engine/linalg/svd_ginverse.hpp"
#include "jackknife_engine/linalg/vector_path.hpp"
#include "jackknife_engine/minque/minque_equations.hpp"
#include "jackknife_engine/minque/minque_pass.hpp"
#include "jackknife_engine/minque/pair_covariances.hpp"
#include "linalg/worker_pool.hpp"

namespace minque::test {

unsigned ByteDraws::below(unsigned bound) {
    if (bound <= 1) return 0;
    // Two bytes a draw: enough for every bound used here.
    unsigned value = 0;
    for (int b = 0; b < 2; ++b) value = value * 256 + (at_ < size_ ? data_[at_++] : 0u);
    return value % bound;
}

std::vector<std::uint8_t> seededBytes(unsigned seed, std::size_t count) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() & 0xff);
    return bytes;
}

namespace {

float drawCoefficient(ByteDraws& d) {
    static const float values[] = {1.0f, 1.0f, 1.0f, 0.5f, 2.0f, -1.0f, 0.0f, 1.37f, 0.25f, 3.0f, -0.75f};
    return values[d.below(sizeof values / sizeof values[0])];
}

float drawPrior(ByteDraws& d) {
    // Zero and 1e-8 skip a factor in the inverse; the nearest float above
    // 1e-8 does not.
    const float values[] = {1.0f, 1.0f, 1.0f, 0.0f, 1e-8f, std::nextafter(1e-8f, 1.0f), 2.5f, 0.5f};
    return values[d.below(sizeof values / sizeof values[0])];
}

std::vector<std::pair<int, float>> drawColumnEntries(ByteDraws& d, int n) {
    std::vector<std::pair<int, float>> col;
    for (int m = 1; m <= n; ++m)
        if (d.oneIn(3)) col.emplace_back(m, drawCoefficient(d));
    return col;
}

}  // namespace

RandomModel drawModel(ByteDraws& d) {
    RandomModel model;
    ModelDesign& design = model.design;
    const int n = d.between(1, 80);
    design.obsCount = n;
    design.traitCount = d.between(0, 4);
    design.workOrder = d.between(0, 4);
    design.factorShift = d.between(0, 2);
    // Covariance components pair factors by the model's shape: with one fixed
    // column, factors 1 and 2 with the next two (three with a factor shift of
    // 1); otherwise also the two of each half, which takes eight factors.
    model.covarianceSwitch = d.oneIn(3) ? 1 : 0;
    const int shift = design.factorShift == 1 ? 1 : 0;
    int p = d.between(0, 3);
    int r = d.between(0, 6);
    if (model.covarianceSwitch != 0) {
        if (d.oneIn(4)) {
            p = p == 1 ? 2 : p;
            r = 8;
            design.factorShift = 0;
        } else {
            p = 1;
            r = d.between(4 + shift, 5);
        }
    }
    for (int c = 0; c < p; ++c) {
        std::vector<int> rows;
        switch (d.below(4)) {
            case 0:  // every observation: the intercept
                for (int m = 1; m <= n; ++m) rows.push_back(m);
                break;
            case 1:  // empty
                break;
            default:  // a subset, overlapping the other columns, sometimes with a repeat
                for (int m = 1; m <= n; ++m)
                    if (d.oneIn(2)) rows.push_back(m);
                if (!rows.empty() && d.oneIn(3)) rows.push_back(rows[d.below(static_cast<unsigned>(rows.size()))]);
                break;
        }
        design.fixedColumns.push_back(rows);
    }

    design.trailingFactorCount = r > 0 ? d.between(0, 1) : 0;
    // With covariance components every factor has the same number of levels,
    // so any two factors the model pairs match.
    const int commonLevels = d.between(0, 6);
    for (int u = 0; u < r; ++u) {
        ModelDesign::Factor f;
        const int levels = model.covarianceSwitch != 0 ? commonLevels : d.between(0, 8);
        f.prior = drawPrior(d);
        f.columns.resize(static_cast<std::size_t>(levels));
        if (levels > 0) {
            for (int m = 1; m <= n; ++m) {
                if (d.oneIn(8)) continue;  // an observation outside the factor
                auto& col = f.columns[d.below(static_cast<unsigned>(levels))];
                col.emplace_back(m, drawCoefficient(d));
                if (d.oneIn(6)) col.emplace_back(m, drawCoefficient(d));  // listed twice
            }
            if (d.oneIn(3)) f.columns[d.below(static_cast<unsigned>(levels))].clear();
            if (d.oneIn(4)) {
                // A column with more entries than observations: the first
                // few observations, each four times.
                auto& col = f.columns[d.below(static_cast<unsigned>(levels))];
                for (int repeat = 0; repeat < 4; ++repeat)
                    for (int m = 1; m <= std::min(n, 3); ++m) col.emplace_back(m, drawCoefficient(d));
            }
            if (d.oneIn(5)) f.columns[d.below(static_cast<unsigned>(levels))] = drawColumnEntries(d, n);
        }
        design.factors.push_back(f);
    }
    design.residualPrior = d.between(1, 3);
    for (int u = 1; u <= r; ++u) design.componentNames.push_back(std::string("V(F").append(std::to_string(u)).append(")"));
    for (int k = 0; k < 5; ++k) design.componentNames.push_back("V(e)");

    model.traits.assign(static_cast<std::size_t>(design.traitCount), std::vector<float>(static_cast<std::size_t>(n)));
    for (auto& trait : model.traits)
        for (int m = 0; m < n; ++m) {
            float v = static_cast<float>(d.between(-3000, 3000)) / 37.0f;
            if (m > 0 && d.oneIn(6)) v = trait[static_cast<std::size_t>(m - 1)];
            if (d.oneIn(10)) v = 0.0f;
            trait[static_cast<std::size_t>(m)] = v;
        }
    model.groupSize = d.between(1, std::max(1, n / 2));
    model.threads = d.between(1, 4);
    model.nearlySymmetricInverse = d.oneIn(4);
    return model;
}

std::string dataFileText(const std::vector<std::vector<float>>& traits, int n) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < traits.size(); ++i) names.push_back(std::string("T").append(std::to_string(i + 1)));
    std::vector<std::vector<float>> rows(static_cast<std::size_t>(n), std::vector<float>(traits.size()));
    for (std::size_t i = 0; i < traits.size(); ++i)
        for (int m = 0; m < n; ++m) rows[static_cast<std::size_t>(m)][i] = traits[i][static_cast<std::size_t>(m)];
    return formatDataFile({}, names, {}, rows);
}

namespace {

std::FILE* memoryFile(std::string& text) {
    if (text.empty()) text.push_back('\n');
    return fmemopen(text.data(), text.size(), "r");
}

}  // namespace

AnalysisState stateFromText(const std::string& modelText, const std::string& dataText, int covarianceSwitch) {
    AnalysisState st;
    std::string model = modelText, data = dataText;  // outlive the streams, which the readers close
    const ModelHeader header = readModelFile(st, memoryFile(model), "TEST.MAT", covarianceSwitch, nullptr);
    readDataFile(st, memoryFile(data), "TEST.TXT", header.leadColumnCount, header.traitCount, nullptr);
    deriveModelConstants(st, header.trailingFactorCount, "TEST.MAT");
    return st;
}

namespace {


// Everything one pass stores, in the order the pass stores it.
struct PassValues {
    std::vector<float> inverseWithPriors, inverse, fixedProducts, projection, equations, equationsInverse;
    std::string records;
    std::vector<std::vector<float>> forms, estimates;  // per pair (i <= j)
};

std::vector<float> squareBlock(const FloatMatrix& a, int rows, int cols) {
    std::vector<float> out;
    for (int i = 1; i <= rows; ++i)
        for (int j = 1; j <= cols; ++j) out.push_back(a[i][j]);
    return out;
}

std::string fileBytes(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    std::string bytes(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::fseek(f, 0, SEEK_SET);
    if (std::fread(bytes.data(), 1, bytes.size(), f) != bytes.size()) bytes = "(short read)";
    return bytes;
}

// One state with its two product files, for one kernel set.
class KernelRun {
public:
    KernelRun(const RandomModel& model, int covarianceSwitch, bool fast)
        : model_(model),
          fast_(fast),
          st_(stateFromText(formatModelFile(model.design), dataFileText(model.traits, model.design.obsCount),
                            covarianceSwitch)) {
        st_.streams[kSlotWholeData] = std::tmpfile();
        st_.streams[kSlotReplicate] = std::tmpfile();
        st_.referenceKernels = !fast;
        for (int k = 0; k <= st_.componentCount; ++k) modelPriors_.push_back(st_.priorValues[1][k]);
        fullCount_ = st_.obsCount;
    }
    ~KernelRun() {
        for (int slot : {kSlotWholeData, kSlotReplicate})
            if (st_.streams[slot] != nullptr) std::fclose(st_.streams[slot]);
    }
    KernelRun(const KernelRun&) = delete;
    KernelRun& operator=(const KernelRun&) = delete;

    int fullCount() const { return fullCount_; }
    int covarianceCount() const { return st_.covarianceCount; }

    // Pass k: 0 all data, else replicate k of group size g.
    PassValues pass(int k, int g) {
        AnalysisState& st = st_;
        const int slot = k == 0 ? kSlotWholeData : kSlotReplicate;
        if (k > 0) compactReplicate(st, k, g, fullCount_);
        const int n = st.obsCount, p = st.fixedCount, K = st.componentCount;
        PassValues v;
        for (int c = 0; c <= K; ++c) st.priorValues[1][c] = modelPriors_[static_cast<std::size_t>(c)];
        inverse(n);
        v.inverseWithPriors = squareBlock(st.vInverse, n, n);

        st.obsRecordLength = n + 1;
        for (int c = 1; c <= K; ++c) st.priorValues[1][c] = 1.0f;
        inverse(n);
        st.inverseSymmetric = true;
        if (model_.nearlySymmetricInverse) {
            // An inverse symmetric only up to rounding, as the device's.
            for (int i = 1; i <= n; ++i)
                for (int j = i + 1; j <= n; j += 3) st.vInverse[i][j] = std::nextafter(st.vInverse[i][j], 1.0f);
            st.inverseSymmetric = false;
        }
        v.inverse = squareBlock(st.vInverse, n, n);
        if (fast_)
            projectOutFixedFast(st);
        else
            projectOutFixedReference(st);
        v.fixedProducts = squareBlock(st.designWork, n, p);
        v.projection = squareBlock(st.vInverse, n, n);
        if (fast_)
            writeProductRecordsFast(st, slot);
        else
            writeProductRecordsReference(st, slot);
        v.records = fileBytes(st.streams[slot]);
        assembleMinqueMatrix(st, slot);
        v.equations = squareBlock(st.equationMatrix, K, K);
        svdGinverse(st, st.designWork, K);
        v.equationsInverse = squareBlock(st.equationMatrix, K, K);

        // The kept observations of every trait.
        const int t = static_cast<int>(model_.traits.size());
        std::vector<std::vector<float>> kept(static_cast<std::size_t>(t));
        for (int i = 0; i < t; ++i)
            for (int m = 1; m <= fullCount_; ++m)
                if (k == 0 || m <= (k - 1) * g || m > k * g)
                    kept[static_cast<std::size_t>(i)].push_back(model_.traits[static_cast<std::size_t>(i)][static_cast<std::size_t>(m - 1)]);
        if (fast_ && t > 0) {
            for (int i = 1; i <= t; ++i)
                for (int m = 1; m <= n; ++m) traitWorkspace(st, t).setTraits[i][m] = kept[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(m - 1)];
            computeTraitProducts(st, slot, t);
        }
        for (int i = 1; i <= t; ++i)
            for (int j = i; j <= t; ++j) {
                st.resultRow = 2;
                if (fast_) {
                    estimatePairFromTraitProducts(st, i, j, t);
                } else {
                    for (int m = 1; m <= n; ++m) {
                        st.pairData[1][m] = kept[static_cast<std::size_t>(i - 1)][static_cast<std::size_t>(m - 1)];
                        st.pairData[2][m] = kept[static_cast<std::size_t>(j - 1)][static_cast<std::size_t>(m - 1)];
                    }
                    estimatePairCovariances(st, slot);
                }
                std::vector<float> q, theta;
                for (int c = 1; c <= K; ++c) {
                    q.push_back(st.workVector[c]);
                    theta.push_back(st.priorValues[2][c]);
                }
                v.forms.push_back(q);
                v.estimates.push_back(theta);
            }
        return v;
    }

private:
    void inverse(int n) {
        if (fast_)
            shermanCPUBlocked(st_, n);
        else
            shermanCPUReference(st_, n);
    }

    const RandomModel& model_;
    const bool fast_;
    AnalysisState st_;
    std::vector<float> modelPriors_;
    int fullCount_ = 0;
};

std::string firstDifference(const char* what, const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return std::string(what) + ": sizes differ";
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            char line[160];
            std::snprintf(line, sizeof line, "%s element %zu: reference %.9g, fast %.9g", what, i, a[i], b[i]);
            return line;
        }
    return "";
}

std::string compareValues(const PassValues& ref, const PassValues& fast) {
    const std::pair<const char*, std::pair<const std::vector<float>*, const std::vector<float>*>> fields[] = {
        {"V^-1 with the model's prior values", {&ref.inverseWithPriors, &fast.inverseWithPriors}},
        {"V^-1", {&ref.inverse, &fast.inverse}},
        {"W = V^-1 X", {&ref.fixedProducts, &fast.fixedProducts}},
        {"Q", {&ref.projection, &fast.projection}},
        {"S", {&ref.equations, &fast.equations}},
        {"S^-", {&ref.equationsInverse, &fast.equationsInverse}},
    };
    for (const auto& [what, pair] : fields) {
        std::string d = firstDifference(what, *pair.first, *pair.second);
        if (what == std::string("Q") && d.empty() && ref.records != fast.records) d = "product records";
        if (!d.empty()) return d;
    }
    for (std::size_t pr = 0; pr < ref.forms.size(); ++pr) {
        std::string d = firstDifference("cross forms q", ref.forms[pr], fast.forms[pr]);
        if (d.empty()) d = firstDifference("estimates theta", ref.estimates[pr], fast.estimates[pr]);
        if (!d.empty()) return "pair " + std::to_string(pr + 1) + ", " + d;
    }
    return "";
}

}  // namespace

DifferentialResult compareKernels(const RandomModel& model) {
    DifferentialResult result;
    // The drawn covariance switch, or without covariance components where
    // the model's shape gives none it can pair.
    int covarianceSwitch = model.covarianceSwitch;
    std::unique_ptr<KernelRun> reference;
    try {
        reference = std::make_unique<KernelRun>(model, covarianceSwitch, false);
    } catch (const RunError&) {
        if (covarianceSwitch == 0) {
            result.modelAccepted = false;
            return result;
        }
        covarianceSwitch = 0;
        try {
            reference = std::make_unique<KernelRun>(model, covarianceSwitch, false);
        } catch (const RunError&) {
            result.modelAccepted = false;
            return result;
        }
    }
    const int n = reference->fullCount();
    const int g = model.groupSize;
    const int J = n / g;
    std::vector<PassValues> expected;
    for (int k = 0; k <= J; ++k) expected.push_back(reference->pass(k, g));
    result.passes = J + 1;
    result.covarianceComponents = reference->covarianceCount();

    setWorkerThreads(model.threads);
    const VectorPath widest = widestVectorPath();
    for (int path = static_cast<int>(widest); path >= 0 && result.difference.empty(); --path) {
        const VectorPath used = setVectorPath(static_cast<VectorPath>(path));
        result.paths.push_back(vectorPathName(used));
        KernelRun fast(model, covarianceSwitch, true);
        for (int k = 0; k <= J && result.difference.empty(); ++k) {
            const std::string d = compareValues(expected[static_cast<std::size_t>(k)], fast.pass(k, g));
            if (!d.empty())
                result.difference = std::string(vectorPathName(used)) + ", " + std::to_string(model.threads) +
                                    " threads, " + (k == 0 ? std::string("all data") : "replicate " + std::to_string(k)) +
                                    ": " + d;
        }
    }
    setVectorPath(widest);
    setWorkerThreads(0);
    return result;
}

}  // namespace minque::test
