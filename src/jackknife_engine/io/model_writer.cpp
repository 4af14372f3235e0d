#include "jackknife_engine/io/model_writer.hpp"

#include <cstdio>

namespace minque {

namespace {

void append(std::string& out, const char* format, auto... args) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, args...);
    out += buffer;
}

}  // namespace

std::string formatModelFile(const ModelDesign& d) {
    std::string out;
    int q = 0;
    for (const auto& f : d.factors) q += static_cast<int>(f.columns.size());
    const int p = static_cast<int>(d.fixedColumns.size());
    const int r = static_cast<int>(d.factors.size());
    append(out, "%d,%d,\n", d.leadColumnCount, d.traitCount);
    append(out, "%d,%d,%d,%d,%d,%d,%d,%d,\n", d.obsCount, p, r, q, d.workOrder, d.ignoredCount, d.factorShift,
           d.trailingFactorCount);
    for (const auto& name : d.componentNames) out += name + " ";
    out += "\n";
    for (int c = 1; c <= p; ++c) append(out, "%d,%d,", c, 1);
    out += "\n";
    for (const auto& f : d.factors) append(out, "%d,%.9g,", static_cast<int>(f.columns.size()), f.prior);
    out += "\n";
    append(out, "%d,\n", d.residualPrior);
    for (int c = 1; c <= p; ++c) append(out, "%d,%d,", c, static_cast<int>(d.fixedColumns[c - 1].size()));
    out += "\n";
    for (const auto& f : d.factors)
        for (const auto& col : f.columns) append(out, "%d,", static_cast<int>(col.size()));
    out += "\n";
    for (const auto& col : d.fixedColumns) {
        for (int obs : col) append(out, "%d,", obs);
        out += "\n";
    }
    for (const auto& f : d.factors)
        for (const auto& col : f.columns) {
            for (const auto& [obs, value] : col) append(out, "%d,%.9g,", obs, value);
            out += "\n";
        }
    return out;
}

std::string formatDataFile(const std::vector<std::string>& leadNames, const std::vector<std::string>& traitNames,
                           const std::vector<std::vector<int>>& leadValues,
                           const std::vector<std::vector<float>>& traitValues) {
    std::string out;
    for (const auto& name : leadNames) out += name + " ";
    for (const auto& name : traitNames) out += name + " ";
    out += "\n";
    for (std::size_t m = 0; m < traitValues.size(); ++m) {
        if (m < leadValues.size())
            for (int v : leadValues[m]) append(out, "%d ", v);
        for (float v : traitValues[m]) append(out, "%.9g ", v);
        out += "\n";
    }
    return out;
}

}  // namespace minque
