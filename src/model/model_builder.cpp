#include "model/model_builder.hpp"

#include <algorithm>
#include <map>
#include <utility>

#include "core/fatal_error.hpp"
#include "io/text_scanner.hpp"


namespace minque {

namespace {

using Key = std::pair<int, int>;
using Column = std::vector<std::pair<int, float>>;

// Columns indexed by sorted level keys, built observation by observation.
class LevelColumns {
public:
    void add(Key level, int obs, float coefficient) { columns_[level].emplace_back(obs, coefficient); }
    // The factor, each level named by `name` from its key.
    template <class Name>
    ModelDesign::Factor factor(Name name) const {
        ModelDesign::Factor f;
        for (const auto& [level, column] : columns_) {
            f.columns.push_back(column);
            f.levelNames.push_back(name(level));
        }
        return f;
    }
    std::vector<std::vector<int>> fixedColumns() const {
        std::vector<std::vector<int>> out;
        for (const auto& [level, column] : columns_) {
            std::vector<int> rows;
            for (const auto& [obs, coefficient] : column) rows.push_back(obs);
            out.push_back(rows);
        }
        return out;
    }

private:
    std::map<Key, Column> columns_;
};

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (true) {
        at = line.find_first_not_of(" \t\r\v\f", at);
        if (at == std::string::npos) break;
        const std::size_t end = line.find_first_of(" \t\r\v\f", at);
        out.push_back(line.substr(at, end == std::string::npos ? std::string::npos : end - at));
        if (end == std::string::npos) break;
        at = end;
    }
    return out;
}

std::vector<int> allObservations(int n) {
    std::vector<int> rows;
    for (int m = 1; m <= n; ++m) rows.push_back(m);
    return rows;
}

}  // namespace

DesignData readDesignData(std::FILE* file, const std::string& fileName, int leadColumnCount) {
    std::string text;
    char buffer[1 << 16];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
    if (std::ferror(file)) stopRun("%s: the file could not be read", fileName.c_str());
    const std::vector<std::string> header = words(firstLine(text));
    if (static_cast<int>(header.size()) <= leadColumnCount)
        stopRun("%s: line 1: the header has %zu names, but %d lead columns and at least one trait are expected",
                fileName.c_str(), header.size(), leadColumnCount);
    DesignData data;
    data.fileName = fileName;
    const int traitCount = static_cast<int>(header.size()) - leadColumnCount;
    if (traitCount > kMaxTraits) stopRun("%s: line 1: %d traits; at most %d can be analysed", fileName.c_str(), traitCount, kMaxTraits);
    TextScanner in(text, fileName);
    for (int k = 1; k <= leadColumnCount; ++k)
        data.leadNames.emplace_back(in.word(kLeadWordLength, "header, lead column name %d", k));
    for (int i = 1; i <= traitCount; ++i)
        data.traitNames.emplace_back(in.word(kTraitNameLength, "header, name of trait %d", i));
    while (!in.atEnd()) {
        const int m = data.obsCount() + 1;
        std::vector<int> codes;
        for (int k = 1; k <= leadColumnCount; ++k)
            codes.push_back(in.intToken("observation %d, lead column %d (%s): a level code must be an integer", m, k,
                                        data.leadNames[static_cast<std::size_t>(k - 1)].c_str()));
        for (int i = 1; i <= traitCount; ++i)
            (void)in.floatToken("observation %d, trait %d (%s)", m, i, data.traitNames[static_cast<std::size_t>(i - 1)].c_str());
        data.lead.push_back(codes);
    }
    if (data.lead.empty()) stopRun("%s: the file holds no observations", fileName.c_str());
    return data;
}

std::string DesignData::codeOf(int column, int level) const {
    const std::size_t c = static_cast<std::size_t>(column);
    if (c < leadCodes.size() && level >= 1 && static_cast<std::size_t>(level) <= leadCodes[c].size())
        return leadCodes[c][static_cast<std::size_t>(level - 1)];
    return std::to_string(level);
}

int leadColumn(const DesignData& data, const std::string& name) {
    for (std::size_t k = 0; k < data.leadNames.size(); ++k)
        if (data.leadNames[k] == name) return static_cast<int>(k);
    std::string known;
    for (const auto& n : data.leadNames) known += (known.empty() ? "" : ", ") + n;
    stopRun("%s: there is no lead column named '%s' (the lead columns are: %s)", data.fileName.c_str(), name.c_str(),
            known.c_str());
}

ModelTerm parseTerm(const DesignData& data, const std::string& text) {
    ModelTerm term;
    term.name = text;
    const std::size_t star = text.find('*');
    if (star == std::string::npos) {
        term.first = leadColumn(data, text);
    } else {
        term.first = leadColumn(data, text.substr(0, star));
        term.second = leadColumn(data, text.substr(star + 1));
    }
    return term;
}

void labelComponents(ModelDesign& d, const std::vector<std::string>& factorLabels,
                     const std::vector<std::pair<int, int>>& covariancePairs) {
    const std::size_t r = factorLabels.size();
    d.componentNames = factorLabels;
    for (const auto& [a, b] : covariancePairs)
        d.componentNames.push_back("C(" + std::to_string(a) + "," + std::to_string(b) + ")");
    if (d.componentNames.size() < r + 5) d.componentNames.push_back("V(e)");
    while (d.componentNames.size() < r + 5) d.componentNames.push_back("-");
    d.componentNames.resize(r + 5);
}

ModelDesign additiveDominanceModel(const DesignData& data, const AdditiveDominanceColumns& c) {
    ModelDesign d;
    d.leadColumnCount = static_cast<int>(data.leadNames.size());
    d.traitCount = static_cast<int>(data.traitNames.size());
    d.obsCount = data.obsCount();
    std::map<int, int> environments;
    for (const auto& row : data.lead) environments[row[static_cast<std::size_t>(c.env)]] = 0;
    const bool severalEnvironments = environments.size() > 1;

    // Unordered parent pairs, ranked, key the dominance-by-environment levels.
    std::map<Key, int> pairRank;
    for (const auto& row : data.lead) {
        const int f = row[static_cast<std::size_t>(c.female)], male = row[static_cast<std::size_t>(c.male)];
        pairRank[{std::min(f, male), std::max(f, male)}] = 0;
    }
    int rank = 0;
    std::vector<Key> pairOfRank;
    for (auto& entry : pairRank) {
        entry.second = rank++;
        pairOfRank.push_back(entry.first);
    }
    // Level names: a parent by its code, a cross by its two parents, an
    // interaction (and a block) with its environment first, where there are
    // several.
    auto parent = [&](int p) { return data.codeOf(c.female, p); };
    auto cross = [&](Key k) { return parent(k.first) + " x " + parent(k.second); };
    auto inEnvironment = [&](int e, const std::string& what) {
        return severalEnvironments ? data.codeOf(c.env, e) + ": " + what : what;
    };

    LevelColumns A, D, AE, DE, B, E;
    for (int m = 1; m <= d.obsCount; ++m) {
        const auto& row = data.lead[static_cast<std::size_t>(m - 1)];
        const int env = row[static_cast<std::size_t>(c.env)];
        const int f = row[static_cast<std::size_t>(c.female)];
        const int male = row[static_cast<std::size_t>(c.male)];
        const Key pair{std::min(f, male), std::max(f, male)};
        if (f == male) {  // a parent line carries two copies of its parent's alleles
            A.add({f, 0}, m, 2.0f);
            AE.add({env, f}, m, 2.0f);
        } else {
            A.add({f, 0}, m, 1.0f);
            A.add({male, 0}, m, 1.0f);
            AE.add({env, f}, m, 1.0f);
            AE.add({env, male}, m, 1.0f);
        }
        D.add(pair, m, 1.0f);
        DE.add({env, pairRank[pair]}, m, 1.0f);
        if (c.block >= 0) B.add({env, row[static_cast<std::size_t>(c.block)]}, m, 1.0f);
        E.add({env, 0}, m, 1.0f);
    }

    std::vector<std::string> labels;
    auto add = [&](ModelDesign::Factor factor, const char* term, GeneticRole role) {
        factor.term = term;
        factor.role = role;
        d.factors.push_back(std::move(factor));
        labels.push_back("V(" + std::string(term) + ")");
    };
    add(A.factor([&](Key k) { return parent(k.first); }), "A", GeneticRole::Additive);
    add(D.factor(cross), "D", GeneticRole::Dominance);
    if (severalEnvironments) {
        add(AE.factor([&](Key k) { return inEnvironment(k.first, parent(k.second)); }), "AE",
            GeneticRole::AdditiveByEnvironment);
        add(DE.factor([&](Key k) { return inEnvironment(k.first, cross(pairOfRank[static_cast<std::size_t>(k.second)])); }),
            "DE", GeneticRole::DominanceByEnvironment);
        d.fixedColumns = E.fixedColumns();
    } else {
        d.fixedColumns = {allObservations(d.obsCount)};
    }
    if (c.block >= 0) {
        add(B.factor([&](Key k) { return inEnvironment(k.first, data.codeOf(c.block, k.second)); }), "B",
            GeneticRole::Block);
        d.trailingFactorCount = 1;
    }
    labelComponents(d, labels, {});
    return d;
}

ModelDesign generalModel(const DesignData& data, const std::vector<ModelTerm>& random,
                         const std::vector<ModelTerm>& fixed, bool intercept, int trailingFactorCount) {
    ModelDesign d;
    d.leadColumnCount = static_cast<int>(data.leadNames.size());
    d.traitCount = static_cast<int>(data.traitNames.size());
    d.obsCount = data.obsCount();
    d.trailingFactorCount = trailingFactorCount;
    auto levels = [&](const ModelTerm& term) {
        LevelColumns cols;
        for (int m = 1; m <= d.obsCount; ++m) {
            const auto& row = data.lead[static_cast<std::size_t>(m - 1)];
            cols.add({row[static_cast<std::size_t>(term.first)], term.second >= 0 ? row[static_cast<std::size_t>(term.second)] : 0}, m, 1.0f);
        }
        return cols;
    };
    if (intercept) d.fixedColumns.push_back(allObservations(d.obsCount));
    for (const ModelTerm& term : fixed)
        for (auto& column : levels(term).fixedColumns()) d.fixedColumns.push_back(column);
    std::vector<std::string> labels;
    for (const ModelTerm& term : random) {
        d.factors.push_back(levels(term).factor([&](Key k) {
            const std::string first = data.codeOf(term.first, k.first);
            return term.second >= 0 ? first + ": " + data.codeOf(term.second, k.second) : first;
        }));
        d.factors.back().term = term.name;
        labels.push_back("V(" + term.name + ")");
    }
    labelComponents(d, labels, {});
    return d;
}

namespace {

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= text.size()) {
        const std::size_t comma = text.find(',', at);
        out.push_back(text.substr(at, comma == std::string::npos ? std::string::npos : comma - at));
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return out;
}

ModelDesign designFor(const DesignData& data, const ModelRequest& request) {
    if (!request.additiveDominance.empty()) {
        const std::vector<std::string> cols = splitList(request.additiveDominance);
        if (cols.size() != 3 && cols.size() != 4)
            stopRun("the additive-dominance model takes the columns ENV,FEMALE,MALE or ENV,FEMALE,MALE,BLOCK");
        AdditiveDominanceColumns c;
        c.env = leadColumn(data, cols[0]);
        c.female = leadColumn(data, cols[1]);
        c.male = leadColumn(data, cols[2]);
        if (cols.size() == 4) c.block = leadColumn(data, cols[3]);
        return additiveDominanceModel(data, c);
    }
    std::vector<ModelTerm> random, fixed;
    bool intercept = false;
    for (const std::string& t : splitList(request.random)) random.push_back(parseTerm(data, t));
    for (const std::string& t : splitList(request.fixed)) {
        if (t == "1") intercept = true;
        else fixed.push_back(parseTerm(data, t));
    }
    if (random.size() > static_cast<std::size_t>(kMaxRandomFactors))
        stopRun("%zu random terms: a model holds at most %d", random.size(), kMaxRandomFactors);
    if (request.trailing < 0 || request.trailing > static_cast<int>(random.size()))
        stopRun("the trailing factor count %d is larger than the number of random terms", request.trailing);
    return generalModel(data, random, fixed, intercept, request.trailing);
}

}  // namespace

ModelDesign buildDesign(const DesignData& data, const ModelRequest& request, const std::string& modelName) {
    ModelDesign design = designFor(data, request);
    const std::vector<std::string> factorLabels(design.componentNames.begin(),
                                                design.componentNames.begin() + static_cast<long>(design.factors.size()));
    for (const std::string& label : factorLabels)
        if (label.size() > static_cast<std::size_t>(kComponentNameLength))
            stopRun("the component label '%s' is longer than %d characters; give the lead column a shorter name",
                    label.c_str(), kComponentNameLength);
    if (request.covariances) {
        const ComponentLayout layout = layoutOf(design, true);
        std::vector<int> levels{0};
        for (const ModelDesign::Factor& factor : design.factors) levels.push_back(static_cast<int>(factor.columns.size()));
        checkCovariancePairs(layout.covariancePairs, levels, modelName,
                             request.covarianceOption.empty() ? std::vector<std::string>{} : factorLabels,
                             request.covarianceOption);
        labelComponents(design, factorLabels, layout.covariancePairs);
    }
    return design;
}

ComponentLayout layoutOf(const ModelDesign& design, bool covariances) {
    return componentLayout(static_cast<int>(design.fixedColumns.size()), static_cast<int>(design.factors.size()),
                           design.trailingFactorCount, design.factorShift, covariances);
}

}  // namespace minque
