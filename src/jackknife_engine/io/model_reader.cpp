#include "jackknife_engine/io/model_reader.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>

#include "core/component_layout.hpp"
#include "io/text_scanner.hpp"

namespace minque {

namespace {

void setCovarianceDimensions(AnalysisState& st, int trailingFactorCount, int covarianceSwitch) {
    if (st.factorShift == 2) st.factorShift = 0;
    const ComponentLayout layout = componentLayout(st.fixedCount, st.randomFactorCount, trailingFactorCount,
                                                   st.factorShift, covarianceSwitch != 0);
    st.fullCovarianceSet = layout.fullCovarianceSet ? 1 : 0;
    st.covarianceCount = static_cast<int>(layout.covariancePairs.size());
    st.componentCount = layout.components();
    st.recordLength = st.componentCount + 1;
}

// The stream's text; the stream is closed on every way out.
TextScanner wholeText(std::FILE* file, const std::string& fileName) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> owned(file, std::fclose);
    return TextScanner::fromStream(owned.get(), fileName);
}

void checkRange(const TextScanner& in, int value, int lo, int hi, const char* what) {
    if (value < lo || value > hi) in.fail("%s is %d; it must be between %d and %d", what, value, lo, hi);
}

}  // namespace

ModelHeader readModelFile(AnalysisState& st, std::FILE* file, const std::string& fileName,
                          int covarianceSwitch, std::FILE* console, bool withInverse) {
    TextScanner in = wholeText(file, fileName);
    ModelHeader header;

    // Item 1.
    header.leadColumnCount = in.intItem("item 1, lead column count");
    header.traitCount = in.intItem("item 1, trait count");
    checkRange(in, header.leadColumnCount, 0, 1 << 20, "item 1: the lead column count");
    checkRange(in, header.traitCount, 0, kMaxTraits, "item 1: the trait count");

    // Item 2.
    st.obsCount = in.intItem("item 2, observation count n");
    st.fixedCount = in.intItem("item 2, fixed column count p");
    st.randomFactorCount = in.intItem("item 2, random factor count r");
    st.randomLevelCount = in.intItem("item 2, random column count q");
    st.workOrder = in.intItem("item 2, work order");
    (void)in.intItem("item 2, sixth number");
    st.factorShift = in.intItem("item 2, factor shift");
    header.trailingFactorCount = in.intItem("item 2, trailing factor count");
    checkRange(in, st.obsCount, 0, INT32_MAX - 1, "item 2: the observation count n");
    checkRange(in, st.fixedCount, 0, INT32_MAX - 1, "item 2: the fixed column count p");
    checkRange(in, st.randomFactorCount, 0, kMaxRandomFactors, "item 2: the random factor count r");
    checkRange(in, st.randomLevelCount, 0, INT32_MAX - 1, "item 2: the random column count q");
    checkRange(in, st.workOrder, 0, INT32_MAX - 1, "item 2: the work order");
    checkRange(in, st.factorShift, 0, 2, "item 2: the factor shift");
    checkRange(in, header.trailingFactorCount, 0, st.randomFactorCount,
               "item 2: the trailing factor count");
    const int n = st.obsCount, p = st.fixedCount, r = st.randomFactorCount, q = st.randomLevelCount;
    setCovarianceDimensions(st, header.trailingFactorCount, covarianceSwitch);
    const int K = st.componentCount;
    if (console != nullptr) {
        std::fprintf(console, "\n\n Total size = %d, Fixed effect = %d, Random factor = %d\n", n, p, r);
        std::fflush(console);
    }

    // Item 3.
    // r + 5 labels are read; with the full covariance set K can exceed r + 5,
    // and those components are reported without a label.
    st.componentNames.assign(static_cast<std::size_t>(std::max(r + 5, K)) + 1, std::string());
    for (int k = 1; k <= r + 5; ++k)
        st.componentNames[k] = std::string(in.word(kComponentNameLength, "item 3, component label %d", k));

    st.fixedColCountFull = ivector(1, p);
    st.fixedColCount = ivector(1, p);
    st.randomColCountFull = ivector(1, q);
    st.randomColCount = ivector(1, q);
    st.factorLevels = ivector(0, r);
    st.factorLevelEnd = ivector(0, r);
    st.priorValues = dmatrix(1, 3, 0, K + 15);
    st.componentWeight = dvector(1, K + 15);

    // Item 4: two ignored numbers per fixed column.
    for (int c = 1; c <= p; ++c) {
        (void)in.intItem("item 4, fixed column %d, first number", c);
        (void)in.intItem("item 4, fixed column %d, second number", c);
    }

    // Item 5: levels and prior value of each random factor.
    long long levelSum = 0;
    for (int u = 1; u <= r; ++u) {
        const int levels = in.intItem("item 5, random factor %d, level count", u);
        if (levels < 0) in.fail("item 5: random factor %d has a negative level count %d", u, levels);
        st.factorLevels[u] = levels;
        st.priorValues[1][u] = in.floatItem("item 5, random factor %d, prior value", u);
        st.componentWeight[u] = 1.0f;
        levelSum += levels;
    }
    if (levelSum != q)
        in.fail("item 5: the level counts of the random factors add up to %lld, but item 2 gives q = %d",
                levelSum, q);
    st.covariancePair = imatrix(0, kMaxCovarianceComponents, 1, 2);
    st.factorColumnRange = imatrix(1, r, 1, 2);

    // Item 6.
    st.priorValues[1][K] = static_cast<float>(in.intItem("item 6, residual prior value"));
    st.componentWeight[K] = 1.0f;

    // The n-sized arrays. The work arrays get every index the estimation can
    // touch: K and p may exceed n in a degenerate model.
    const int w = std::max({st.workOrder, K, p});
    const int vecHi = std::max({n, K, p});
    st.traitData = dmatrix(1, header.traitCount, 1, n);
    st.pairData = dmatrix(1, 2, 1, n);
    if (withInverse) st.vInverse = dmatrix(1, n, 1, n);
    st.workVector = dvector(0, vecHi);
    st.columnVector = dvector(0, vecHi);
    st.longWorkVector = dvector(1, std::max(q, vecHi));
    st.equationMatrix = dmatrix(1, w, 1, w);
    st.equationWork = dmatrix(1, w, 1, w);
    st.projectionTerms.assign(static_cast<std::size_t>(p) + 1, 0.0);

    // Item 7: an ignored number and the row count of each fixed column.
    long long fixedEntries = 0;
    for (int c = 1; c <= p; ++c) {
        (void)in.intItem("item 7, fixed column %d, first number", c);
        const int count = in.intItem("item 7, fixed column %d, row count", c);
        if (count < 0) in.fail("item 7: fixed column %d has a negative row count %d", c, count);
        st.fixedColCountFull[c] = count;
        st.fixedColCount[c] = count;
        fixedEntries += count;
    }

    // Item 8: entries of each random column.
    long long randomEntries = 0;
    for (int j = 1; j <= q; ++j) {
        const int count = in.intItem("item 8, random column %d, entry count", j);
        if (count < 0) in.fail("item 8: random column %d has a negative entry count %d", j, count);
        st.randomColCountFull[j] = count;
        st.randomColCount[j] = count;
        randomEntries += count;
    }
    // Every fixed entry takes at least "1," and every random entry "1,1,":
    // counts that the rest of the file cannot hold are refused before the
    // lists are allocated.
    if (2 * fixedEntries + 4 * randomEntries > static_cast<long long>(in.remainingBytes()))
        in.fail("items 7 and 8 announce %lld fixed and %lld random entries, more than the %zu bytes "
                "left in the file can hold",
                fixedEntries, randomEntries, in.remainingBytes());

    st.fixedColRowsFull = iragged(st.fixedColCountFull, p);
    st.fixedColRows = iragged(st.fixedColCountFull, p);
    st.randomColRowsFull = iragged(st.randomColCountFull, q);
    st.randomColRows = iragged(st.randomColCountFull, q);
    st.randomColValuesFull = dragged(st.randomColCountFull, q);
    st.randomColValues = dragged(st.randomColCountFull, q);

    // Item 9: rows of the fixed columns.
    for (int c = 1; c <= p; ++c) {
        const auto full = st.fixedColRowsFull[c];
        const auto current = st.fixedColRows[c];
        for (int k = 1; k <= st.fixedColCountFull[c]; ++k) {
            const int obs = in.intItem("item 9, fixed column %d, entry %d", c, k);
            if (obs < 1 || obs > n)
                in.fail("item 9, fixed column %d, entry %d: observation number %d is outside 1..%d", c, k,
                        obs, n);
            full[k] = obs;
            current[k] = obs;
        }
    }

    // Item 10: entries of the random columns.
    for (int j = 1; j <= q; ++j) {
        const auto fullRows = st.randomColRowsFull[j];
        const auto rows = st.randomColRows[j];
        const auto fullValues = st.randomColValuesFull[j];
        const auto values = st.randomColValues[j];
        for (int k = 1; k <= st.randomColCountFull[j]; ++k) {
            const int obs = in.intItem("item 10, random column %d, entry %d, observation number", j, k);
            if (obs < 1 || obs > n)
                in.fail("item 10, random column %d, entry %d: observation number %d is outside 1..%d", j,
                        k, obs, n);
            const float value = in.floatItem("item 10, random column %d, entry %d, coefficient", j, k);
            fullRows[k] = obs;
            rows[k] = obs;
            fullValues[k] = value;
            values[k] = value;
        }
    }
    if (!in.atEnd())
        in.fail("unexpected text after the last entry of item 10: the counts of items 7 and 8 do not "
                "match the lists that follow them");
    return header;
}

void readDataFile(AnalysisState& st, std::FILE* file, const std::string& fileName, int leadColumnCount,
                  int traitCount, std::FILE* console) {
    TextScanner in = wholeText(file, fileName);
    const int n = st.obsCount;

    for (int k = 1; k <= leadColumnCount; ++k)
        (void)in.word(kLeadWordLength, "header, lead column name %d", k);
    st.traitNames.assign(static_cast<std::size_t>(traitCount) + 1, std::string());
    for (int i = 1; i <= traitCount; ++i)
        st.traitNames[i] = std::string(in.word(kTraitNameLength, "header, name of trait %d", i));

    for (int m = 1; m <= n; ++m) {
        if (leadColumnCount + traitCount > 0 && in.atEnd())
            in.fail("the file ends after %d of %d observations; each needs %d lead integers and %d trait "
                    "values",
                    m - 1, n, leadColumnCount, traitCount);
        for (int k = 1; k <= leadColumnCount; ++k)
            (void)in.intToken("observation %d, lead column %d", m, k);
        for (int i = 1; i <= traitCount; ++i)
            st.traitData[i][m] = in.floatToken("observation %d, trait %d (%s)", m, i, st.traitNames[i].c_str());
    }
    if (!in.atEnd())
        in.fail("more values than the %d observations of %d lead integers and %d trait values that the "
                "model file announces",
                n, leadColumnCount, traitCount);
    if (console != nullptr) {
        std::fputs("\n\n", console);
        std::fflush(console);
    }
}

}  // namespace minque
