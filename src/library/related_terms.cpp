#include "library/related_terms.hpp"

#include <algorithm>
#include <cstdio>
#include <map>

#include "core/fatal_error.hpp"
#include "estimator/relationship_matrix.hpp"

namespace minque {

std::string applyRelationships(ModelDesign& design, const DesignData& data, const ModelSpec& model, const CallerWords& words) {
    if (model.relationships.empty()) return "";
    const char* option = words.relationship.c_str();
    if (!model.female.empty())
        stopRunAt({"", 0, "", words.relationship},
                  "%s: relationship matrices are for the random terms of a general model (%s); the additive-dominance "
                  "model's parents are independent by its definition",
                  option, words.random.c_str());
    if (model.covariances)
        stopRunAt({"", 0, "", words.relationship}, "%s cannot be used with %s: a related term has no covariance components with other terms",
                  option, words.covariances.c_str());
    std::string text;
    std::map<std::string, int> seen;
    for (const auto& [termName, matrix] : model.relationships) {
        if (!seen.emplace(termName, 0).second)
            stopRunAt({"", 0, "", words.relationship}, "%s: the term '%s' is given two relationship matrices", option, termName.c_str());
        int factor = -1;
        for (std::size_t u = 0; u < design.factors.size(); ++u)
            if (design.factors[u].term == termName) factor = static_cast<int>(u);
        if (factor < 0 || termName.find('*') != std::string::npos) {
            std::string mains;
            for (const ModelDesign::Factor& f : design.factors)
                if (f.term.find('*') == std::string::npos) mains += (mains.empty() ? "" : ", ") + f.term;
            stopRunAt({"", 0, "", words.relationship},
                      "%s: '%s' is not a random main effect of the model; a relationship matrix goes with one of: %s "
                      "(its interactions then take K x I)",
                      option, termName.c_str(), mains.empty() ? "(none)" : mains.c_str());
        }
        const ModelTerm term = parseTerm(data, termName);
        std::string source = matrix.source;
        if (source.empty()) source = "the relationship matrix of " + termName;
        const std::shared_ptr<const RelatedLevels> related = relatedLevelsOf(matrix, source);
        const std::size_t q = static_cast<std::size_t>(related->order);
        std::map<std::string, int> idIndex;
        for (std::size_t g = 0; g < q; ++g)
            if (!idIndex.emplace(related->ids[g], static_cast<int>(g)).second)
                stopRun("%s: the id '%s' is given twice", related->source.c_str(), related->ids[g].c_str());
        // Every code of the term in the data must be one of K's ids.
        std::vector<int> idOfLevel;  // per level number of the term's column (from 1), its index in K
        std::string missing;
        int missingCount = 0;
        int highest = 0;
        for (const auto& row : data.lead) highest = std::max(highest, row[static_cast<std::size_t>(term.first)]);
        std::vector<char> used(static_cast<std::size_t>(highest) + 1, 0);
        for (const auto& row : data.lead) {
            const int level = row[static_cast<std::size_t>(term.first)];
            if (level < 1) stopRun("internal error: level %d of %s", level, termName.c_str());
            used[static_cast<std::size_t>(level)] = 1;
        }
        idOfLevel.assign(used.size(), -1);
        for (std::size_t level = 1; level < used.size(); ++level) {
            if (!used[level]) continue;
            const std::string code = data.codeOf(term.first, static_cast<int>(level));
            const auto at = idIndex.find(code);
            if (at != idIndex.end()) {
                idOfLevel[level] = at->second;
            } else if (++missingCount <= 5) {
                missing += (missing.empty() ? "'" : ", '") + code + "'";
            }
        }
        if (missingCount > 0)
            stopRunAt({"", 0, data.leadNames[static_cast<std::size_t>(term.first)], words.relationship},
                      "%s: %d %s of %s in the data %s not in %s: %s%s; every level of the term needs its row of K", option,
                      missingCount, missingCount == 1 ? "code" : "codes", termName.c_str(), missingCount == 1 ? "is" : "are",
                      related->source.c_str(), missing.c_str(), missingCount > 5 ? ", ..." : "");
        char mean[32];
        std::snprintf(mean, sizeof mean, "%.4g", related->meanDiagonal);
        text += "; " + termName + " related by " + related->source + " (" + std::to_string(q) + " individuals, mean diagonal " + mean + ")";
        // The term and its interactions, rebuilt in K's order.
        for (ModelDesign::Factor& f : design.factors) {
            const ModelTerm t = parseTerm(data, f.term);
            const bool main = &f == &design.factors[static_cast<std::size_t>(factor)];
            const bool interaction = t.second >= 0 && (t.first == term.first || t.second == term.first);
            if (!main && !interaction) continue;
            if (f.related)
                stopRunAt({"", 0, "", words.relationship},
                          "%s: %s joins two related terms; an interaction takes K x I of one related term only", option, f.term.c_str());
            const int other = interaction ? (t.first == term.first ? t.second : t.first) : -1;
            // The levels: those with records first, in the order the model
            // builder gives them (ascending codes; pairs of codes in the
            // term's column order), then K's individuals without records,
            // block by block in K's order. With K = I and every level
            // recorded, the design is the one without K.
            std::map<int, int> blockOf;  // the other column's levels present, ascending: the blocks
            if (other >= 0)
                for (const auto& row : data.lead) blockOf.emplace(row[static_cast<std::size_t>(other)], 0);
            int b = 0;
            for (auto& entry : blockOf) entry.second = b++;
            const std::size_t blocks = other >= 0 ? blockOf.size() : 1;
            auto keyOf = [&](const std::vector<int>& row) {
                const int g = idOfLevel[static_cast<std::size_t>(row[static_cast<std::size_t>(term.first)])];
                const int block = other >= 0 ? blockOf[row[static_cast<std::size_t>(other)]] : 0;
                return std::pair<int, int>(block, g);
            };
                    std::map<std::pair<int, int>, std::pair<int, int>> ordered;
            for (const auto& row : data.lead) {
                const std::pair<int, int> key(row[static_cast<std::size_t>(t.first)], t.second >= 0 ? row[static_cast<std::size_t>(t.second)] : 0);
                ordered.emplace(key, keyOf(row));
            }
            std::vector<std::vector<int>> levelOf(blocks, std::vector<int>(q, -1));
            std::vector<std::pair<int, int>> levels;  // (block, K index) per level
            for (const auto& entry : ordered) {
                levelOf[static_cast<std::size_t>(entry.second.first)][static_cast<std::size_t>(entry.second.second)] = static_cast<int>(levels.size());
                levels.push_back(entry.second);
            }
            for (std::size_t block = 0; block < blocks; ++block)
                for (std::size_t g = 0; g < q; ++g)
                    if (levelOf[block][g] < 0) {
                        levelOf[block][g] = static_cast<int>(levels.size());
                        levels.emplace_back(static_cast<int>(block), static_cast<int>(g));
                    }
            std::vector<int> otherLevel(blocks, 0);
            for (const auto& [level, block] : blockOf) otherLevel[static_cast<std::size_t>(block)] = level;
            f.columns.assign(levels.size(), {});
            f.levelNames.clear();
            for (const auto& [block, g] : levels) {
                const std::string& id = related->ids[static_cast<std::size_t>(g)];
                if (other < 0) {
                    f.levelNames.push_back(id);
                    continue;
                }
                const std::string otherCode = data.codeOf(other, otherLevel[static_cast<std::size_t>(block)]);
                f.levelNames.push_back(t.first == term.first ? id + ": " + otherCode : otherCode + ": " + id);
            }
            f.relatedBlocks = levelOf;
            for (std::size_t obs = 0; obs < data.lead.size(); ++obs) {
                const auto [block, g] = keyOf(data.lead[obs]);
                f.columns[static_cast<std::size_t>(levelOf[static_cast<std::size_t>(block)][static_cast<std::size_t>(g)])].emplace_back(
                    static_cast<int>(obs) + 1, 1.0f);
            }
            f.related = related;
            if (interaction) text += ", " + f.term + " by " + related->source + " x I";
        }
    }
    return text;
}

}  // namespace minque
