#include "jackknife_engine/model/model_text.hpp"

#include <cstdio>
#include <vector>

#include "core/fatal_error.hpp"
#include "jackknife_engine/io/model_constants.hpp"
#include "jackknife_engine/io/model_reader.hpp"
#include "jackknife_engine/io/model_writer.hpp"

namespace minque {

namespace {

// The model as the analysis will read it.
AnalysisState readModelText(const std::string& text, const std::string& name, int covarianceSwitch, bool withInverse) {
    AnalysisState st;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    std::FILE* in = fmemopen(buffer.data(), text.size(), "r");
    if (in == nullptr) stopRun("%s: the model could not be read back", name.c_str());
    const ModelHeader header = readModelFile(st, in, name, covarianceSwitch, nullptr, withInverse);
    deriveModelConstants(st, header.trailingFactorCount, name);
    return st;
}

// Every list of the design must read back exactly.
void verifyReadBack(const ModelDesign& d, const AnalysisState& st, const std::string& name) {
    bool same = st.obsCount == d.obsCount && st.fixedCount == static_cast<int>(d.fixedColumns.size()) &&
                st.randomFactorCount == static_cast<int>(d.factors.size());
    for (int c = 1; same && c <= st.fixedCount; ++c) {
        const auto& rows = d.fixedColumns[static_cast<std::size_t>(c - 1)];
        same = st.fixedColCountFull[c] == static_cast<int>(rows.size());
        for (int k = 1; same && k <= st.fixedColCountFull[c]; ++k)
            same = st.fixedColRowsFull[c][k] == rows[static_cast<std::size_t>(k - 1)];
    }
    int j = 0;
    for (std::size_t u = 0; same && u < d.factors.size(); ++u) {
        same = st.factorLevels[static_cast<int>(u) + 1] == static_cast<int>(d.factors[u].columns.size());
        for (const auto& column : d.factors[u].columns) {
            ++j;
            same = same && st.randomColCountFull[j] == static_cast<int>(column.size());
            for (int k = 1; same && k <= st.randomColCountFull[j]; ++k)
                same = st.randomColRowsFull[j][k] == column[static_cast<std::size_t>(k - 1)].first &&
                       st.randomColValuesFull[j][k] == column[static_cast<std::size_t>(k - 1)].second;
        }
    }
    if (!same) stopRun("internal error: %s does not read back as it was built", name.c_str());
}

}  // namespace

AnalysisState readBackModel(const ModelDesign& design, const std::string& text, const std::string& modelName,
                            bool covariances, bool withInverse) {
    AnalysisState st = readModelText(text, modelName, covariances ? 1 : 0, withInverse);
    verifyReadBack(design, st, modelName);
    return st;
}

std::string buildModelFile(const DesignData& data, const ModelRequest& request, const std::string& modelName,
                           AnalysisState* readBack, ModelDesign* built) {
    ModelDesign design = buildDesign(data, request, modelName);
    const std::string text = formatModelFile(design);
    *readBack = readBackModel(design, text, modelName, request.covariances, false);
    if (built != nullptr) *built = std::move(design);
    return text;
}

}  // namespace minque
