#include "report/result_pages.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace minque {

namespace {

std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string format(const char* fmt, double a, double b = 0.0, double c = 0.0, double d = 0.0) {
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, fmt, a, b, c, d);
    return buffer;
}

// The diverging scale: -1 #2166ac, 0 #f7f7f7, +1 #b2182b, linear in between.
std::string colourOf(double r) {
    r = std::clamp(r, -1.0, 1.0);
    const double mid[3] = {247, 247, 247}, lo[3] = {33, 102, 172}, hi[3] = {178, 24, 43};
    const double* end = r < 0 ? lo : hi;
    const double t = std::fabs(r);
    int c[3];
    for (int k = 0; k < 3; ++k) c[k] = static_cast<int>(std::lround(mid[k] + (end[k] - mid[k]) * t));
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", c[0], c[1], c[2]);
    return buffer;
}

// A number of a row as its table prints it.
std::string printed(const ResultRow& r, ResultTable table, double ResultRow::*field) {
    for (const ResultColumn& c : resultColumns(table))
        if (c.number == field) return cellText(r, c);
    return "";
}

// A P value as the page and the picture show it: below the t-test's floor
// as "< 1e-10".
std::string pageP(const ResultRow& r, ResultTable table) {
    return r.p < 1e-10 ? "< 1e-10" : printed(r, table, &ResultRow::p);
}

// Flags that concern the estimate itself are marked in the picture; a P at
// its floor (p_floor) concerns only the P value and stays in the tables.
bool flagsTheEstimate(const std::string& flags) {
    for (const char* f : {"cut", "undefined", "below_threshold", "near_bound", "not_finite"})
        if (flags.find(f) != std::string::npos) return true;
    return false;
}

// Flags of a heritability that concern its estimate (p_floor concerns only P).
bool flaggedEstimate(const std::string& flags) {
    for (const char* f : {"negative", "out_of_range", "undefined", "not_finite"})
        if (flags.find(f) != std::string::npos) return true;
    return false;
}

}  // namespace

bool correlationDefined(const ResultRow& r) {
    if (!std::isfinite(r.estimate)) return false;
    for (const char* f : {"undefined", "below_threshold", "not_finite"})
        if (r.flag.find(f) != std::string::npos) return false;
    return true;
}

std::string correlationCellText(const ResultRow& r, const std::string& mark) {
    if (!correlationDefined(r)) return "n/d";
    if (r.flag.find("cut") != std::string::npos) return (r.estimate > 0 ? "+1" : "-1") + std::string(" cut");
    return format("%.2f", r.estimate) + mark;
}

namespace {

std::string shortMark(const std::string& mark) {
    if (mark == "S**") return "**";
    if (mark == "S*") return "*";
    if (mark == "S+") return "+";
    return "";
}

}  // namespace

namespace {

// Panels first..last (of tables.correlationComponents), perRow side by
// side, then the legend when asked for: the heatmap file draws every panel
// and the legend in one picture; the page draws each panel, and the legend,
// as pictures of their own, which wrap to the window's width. `id` makes the
// pattern and gradient names unique within a page.
std::string heatmapSvg(const ResultTables& tables, int first, int last, int maxPerRow, bool legend, const std::string& id) {
    const std::vector<std::string>& traits = tables.traits;
    const int t = static_cast<int>(traits.size());
    const int panels = std::max(0, last - first + 1);
    // Cells large enough for "-0.00**" at 30 traits.
    const int cell = t <= 8 ? 56 : (t <= 16 ? 40 : 30);
    std::size_t longest = 1;
    for (const auto& name : traits) longest = std::max(longest, name.size());
    const int label = static_cast<int>(std::min<std::size_t>(longest, 24) * 7 + 10);
    const int panelWidth = label + t * cell + 20;
    const int panelHeight = label + t * cell + 40;
    const int perRow = std::max(1, std::min(maxPerRow, panels));
    const int rows = panels == 0 ? 0 : (panels + perRow - 1) / perRow;
    const int legendHeight = legend ? 110 : 0;
    const int width = panels == 0 || legend ? std::max(760, perRow * panelWidth + 20) : perRow * panelWidth + 20;
    const int height = rows * panelHeight + legendHeight + 20;
    bool flagged = false;
    for (const ResultRow& r : tables.correlations) flagged = flagged || flagsTheEstimate(r.flag) || !correlationDefined(r);

    std::map<std::pair<std::string, std::string>, const ResultRow*> cells;  // (component, trait pair)
    for (const ResultRow& r : tables.correlations) cells[{r.component, r.trait1 + "\n" + r.trait2}] = &r;
    auto find = [&](const std::string& component, const std::string& a, const std::string& b) -> const ResultRow* {
        auto it = cells.find({component, a + "\n" + b});
        if (it == cells.end()) it = cells.find({component, b + "\n" + a});
        return it == cells.end() ? nullptr : it->second;
    };

    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
         std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " + std::to_string(height) +
         "\" font-family=\"Helvetica, Arial, sans-serif\">\n";
    s += "<title>Correlations between traits</title>\n";
    s += "<defs><pattern id=\"hatch" + id + "\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
         "patternTransform=\"rotate(45)\"><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#000\" "
         "stroke-width=\"1.2\" stroke-opacity=\"0.45\"/></pattern>\n";
    s += "<linearGradient id=\"scale" + id + "\" x1=\"0\" x2=\"1\" y1=\"0\" y2=\"0\">";
    for (int k = 0; k <= 10; ++k)
        s += "<stop offset=\"" + format("%.1f", k / 10.0) + "\" stop-color=\"" + colourOf(-1.0 + k / 5.0) + "\"/>";
    s += "</linearGradient></defs>\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";

    for (int p = 0; p < panels; ++p) {
        const std::string& component = tables.correlationComponents[static_cast<std::size_t>(first + p)];
        const int x0 = 10 + (p % perRow) * panelWidth, y0 = 10 + (p / perRow) * panelHeight;
        s += "<g class=\"panel\" data-component=\"" + escaped(component) + "\">\n";
        s += "<text x=\"" + std::to_string(x0 + label) + "\" y=\"" + std::to_string(y0 + 16) +
             "\" font-size=\"15\" font-weight=\"bold\">" + escaped(component) + " correlation</text>\n";
        const int gx = x0 + label, gy = y0 + 30 + label - 10;
        for (int i = 0; i < t; ++i) {
            const std::string& name = traits[static_cast<std::size_t>(i)];
            // Row labels on the left, column labels turned upwards.
            s += "<text x=\"" + std::to_string(gx - 6) + "\" y=\"" + std::to_string(gy + i * cell + cell / 2 + 4) +
                 "\" font-size=\"12\" text-anchor=\"end\">" + escaped(name) + "</text>\n";
            const int cx = gx + i * cell + cell / 2 + 4, cy = gy - 6;
            s += "<text x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(cy) + "\" font-size=\"12\" transform=\"rotate(-60 " +
                 std::to_string(cx) + " " + std::to_string(cy) + ")\">" + escaped(name) + "</text>\n";
        }
        for (int i = 0; i < t; ++i)
            for (int j = 0; j < t; ++j) {
                const int x = gx + j * cell, y = gy + i * cell;
                const std::string box = "x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(y) + "\" width=\"" +
                                        std::to_string(cell) + "\" height=\"" + std::to_string(cell) + "\"";
                if (i == j) {
                    s += "<rect " + box + " fill=\"#d9d9d9\" stroke=\"#ffffff\"/>\n";
                    continue;
                }
                const ResultRow* r = find(component, traits[static_cast<std::size_t>(i)], traits[static_cast<std::size_t>(j)]);
                if (r == nullptr) {
                    s += "<rect " + box + " fill=\"#ffffff\" stroke=\"#d9d9d9\"/>\n";
                    continue;
                }
                const double value = r->estimate;
                const bool flag = flagsTheEstimate(r->flag);
                if (!correlationDefined(*r)) {
                    // Not defined: no colour and no number, which a reader would copy as 0.
                    s += "<rect class=\"undefined\" " + box + " fill=\"#bdbdbd\" stroke=\"#ffffff\"><title>" +
                         escaped(r->trait1 + " & " + r->trait2 + ", " + component + ": not defined (" + r->flag + ")") +
                         "</title></rect>\n<text x=\"" + std::to_string(x + cell / 2) + "\" y=\"" +
                         std::to_string(y + cell / 2 + 4) + "\" font-size=\"10\" text-anchor=\"middle\">n/d</text>\n";
                    continue;
                }
                s += "<rect class=\"cell\" " + box + " fill=\"" + colourOf(value) + "\" stroke=\"#ffffff\"><title>" +
                     escaped(r->trait1 + " & " + r->trait2 + ", " + component + ": " +
                             printed(*r, ResultTable::Correlations, &ResultRow::estimate) + " (S.E. " +
                             printed(*r, ResultTable::Correlations, &ResultRow::se) + ", P " +
                             pageP(*r, ResultTable::Correlations) + ", " + r->mark + (flag ? ", flag " + r->flag : "") + ")") +
                     "</title></rect>\n";
                if (flag) {
                    s += "<rect " + box + " fill=\"url(#hatch" + id + ")\" stroke=\"#000000\" stroke-width=\"2\" "
                         "stroke-dasharray=\"4 2\"/>\n";
                }
                const std::string ink = std::fabs(value) > 0.6 ? "#ffffff" : "#000000";
                s += "<text x=\"" + std::to_string(x + cell / 2) + "\" y=\"" + std::to_string(y + cell / 2 + 4) +
                     "\" font-size=\"" + std::to_string(cell >= 40 ? 12 : 9) + "\" text-anchor=\"middle\" fill=\"" + ink +
                     "\">" + escaped(correlationCellText(*r, shortMark(r->mark))) + "</text>\n";
            }
        s += "</g>\n";
    }

    if (!legend) return s + "</svg>\n";
    // Legend and note.
    const int ly = 10 + rows * panelHeight + 10;
    s += "<g class=\"legend\">\n<rect x=\"20\" y=\"" + std::to_string(ly) +
         "\" width=\"300\" height=\"14\" fill=\"url(#scale" + id + ")\" stroke=\"#999999\"/>\n";
    for (int k = 0; k <= 4; ++k) {
        const int x = 20 + k * 75;
        s += "<text x=\"" + std::to_string(x) + "\" y=\"" + std::to_string(ly + 30) +
             "\" font-size=\"11\" text-anchor=\"middle\">" + format("%g", -1.0 + k * 0.5) + "</text>\n";
    }
    s += "<text x=\"20\" y=\"" + std::to_string(ly + 50) +
         "\" font-size=\"12\">Cells: estimate and mark (+ P &lt; 0.10, * P &lt; 0.05, ** P &lt; 0.01; none: NS). "
         "Diagonal grey.</text>\n";
    if (flagged) {
        s += "<text x=\"20\" y=\"" + std::to_string(ly + 68) +
             "\" font-size=\"12\">Hatched, outlined cells carry a flag: cut (cut to +1 or -1); grey n/d cells are not "
             "defined (a variance at or below zero, or zero up to rounding),</text>\n";
        s += "<text x=\"20\" y=\"" + std::to_string(ly + 84) +
             "\" font-size=\"12\">near_bound (0.95 or more in size). Do not read their estimate, S.E. or mark at face "
             "value; see correlations.csv.</text>\n";
    } else {
        s += "<text x=\"20\" y=\"" + std::to_string(ly + 68) +
             "\" font-size=\"12\">No cell carries a flag on its estimate; P values below 1e-10 are flagged "
             "p_floor in correlations.csv.</text>\n";
    }
    s += "</g>\n</svg>\n";
    return s;
}

}  // namespace

std::string correlationHeatmapSvg(const ResultTables& tables) {
    const int panels = static_cast<int>(tables.correlationComponents.size());
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + heatmapSvg(tables, 0, panels - 1, 3, true, "");
}

std::string correlationPanelsHtml(const ResultTables& tables) {
    std::string s = "<div class=\"panels\">\n";
    const int panels = static_cast<int>(tables.correlationComponents.size());
    for (int p = 0; p < panels; ++p) s += heatmapSvg(tables, p, p, 1, false, "-" + std::to_string(p));
    return s + heatmapSvg(tables, 0, -1, 1, true, "-legend") + "</div>\n";
}

namespace {

// Colour-blind-safe colours for the bars of the quantities, in order.
const char* const kBarColours[] = {"#0072b2", "#e69f00", "#009e73", "#cc79a7", "#56b4e9", "#d55e00", "#f0e442",
                                   "#000000"};

std::string htmlTable(const std::string& id, const std::vector<std::string>& header,
                      const std::vector<std::vector<std::string>>& rows) {
    std::string s = "<table id=\"" + id + "\">\n<thead><tr>";
    for (const auto& h : header) s += "<th>" + escaped(h) + "</th>";
    s += "</tr></thead>\n<tbody>\n";
    for (const auto& row : rows) {
        const bool flagged = !row.back().empty();
        s += flagged ? "<tr class=\"flagged\">" : "<tr>";
        for (const auto& f : row) s += "<td>" + escaped(f) + "</td>";
        s += "</tr>\n";
    }
    return s + "</tbody>\n</table>\n";
}

// A table of the page with the columns of its CSV file, P shown as the page
// shows it.
std::string schemaTable(const std::string& id, const ResultTables& tables, ResultTable table) {
    const std::vector<ResultColumn>& columns = resultColumns(table, tables.method);
    std::vector<std::string> header;
    for (const ResultColumn& c : columns) header.push_back(c.heading);
    std::vector<std::vector<std::string>> rows;
    for (const ResultRow& r : resultRows(tables, table)) {
        std::vector<std::string> cells;
        for (const ResultColumn& c : columns) cells.push_back(c.number == &ResultRow::p ? pageP(r, table) : cellText(r, c));
        rows.push_back(cells);
    }
    return htmlTable(id, header, rows);
}

}  // namespace

std::string heritabilityChartSvg(const ResultTables& tables) {
    if (tables.heritabilities.empty()) return "";
    std::vector<std::string> quantities;
    for (const ResultRow& r : tables.heritabilities)
        if (std::find(quantities.begin(), quantities.end(), r.component) == quantities.end()) quantities.push_back(r.component);
    // The scale: at least 0..1, widened to the whiskers, never past -1..2.
    double lo = 0.0, hi = 1.0;
    for (const ResultRow& r : tables.heritabilities) {
        const double e = r.estimate, se = std::isfinite(r.se) ? r.se : 0.0;
        if (!std::isfinite(e)) continue;
        lo = std::min(lo, e - se);
        hi = std::max(hi, e + se);
    }
    lo = std::max(-1.0, std::floor(lo * 10.0) / 10.0);
    hi = std::min(2.0, std::ceil(hi * 10.0) / 10.0);
    const int q = static_cast<int>(quantities.size()), t = static_cast<int>(tables.traits.size());
    const int bar = 16, gap = 24, left = 50, top = 20, plot = 240, legend = 20 * q + 40;
    const int groupWidth = q * bar;
    const int width = std::max(520, left + t * (groupWidth + gap) + 20);
    const int height = top + plot + 70 + legend;
    auto yOf = [&](double v) { return top + (hi - std::clamp(v, lo, hi)) / (hi - lo) * plot; };

    std::string s = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(width) + "\" height=\"" +
                    std::to_string(height) + "\" viewBox=\"0 0 " + std::to_string(width) + " " +
                    std::to_string(height) + "\" font-family=\"Helvetica, Arial, sans-serif\">\n";
    s += "<title>Heritabilities with one standard error either side</title>\n";
    s += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    const double step = (hi - lo) > 1.5 ? 0.5 : 0.25;
    for (int k = static_cast<int>(std::ceil(lo / step - 1e-9)); k * step <= hi + 1e-9; ++k) {
        const double tick = k * step;
        const std::string y = format("%.1f", yOf(tick));
        s += "<line x1=\"" + std::to_string(left) + "\" x2=\"" + std::to_string(width - 10) + "\" y1=\"" + y +
             "\" y2=\"" + y + "\" stroke=\"" + (std::fabs(tick) < 1e-9 ? "#555555" : "#e0e0e0") + "\"/>\n";
        s += "<text x=\"" + std::to_string(left - 6) + "\" y=\"" + format("%.1f", yOf(tick) + 4) +
             "\" font-size=\"11\" text-anchor=\"end\">" + format("%.2f", tick) + "</text>\n";
    }
    for (int i = 0; i < t; ++i) {
        const std::string& trait = tables.traits[static_cast<std::size_t>(i)];
        const int x0 = left + gap / 2 + i * (groupWidth + gap);
        s += "<g class=\"trait\" data-trait=\"" + escaped(trait) + "\">\n";
        for (int k = 0; k < q; ++k) {
            const ResultRow* r = nullptr;
            for (const ResultRow& row : tables.heritabilities)
                if (row.trait1 == trait && row.component == quantities[static_cast<std::size_t>(k)]) r = &row;
            if (r == nullptr) continue;
            const int x = x0 + k * bar;
            const std::string tip = "<title>" + escaped(trait + ", " + r->component + ": " +
                                                        printed(*r, ResultTable::Heritabilities, &ResultRow::estimate) +
                                                        " (S.E. " + printed(*r, ResultTable::Heritabilities, &ResultRow::se) +
                                                        ", P " + pageP(*r, ResultTable::Heritabilities) + ", " + r->mark +
                                                        (r->flag.empty() ? "" : ", flag " + r->flag) + ")") +
                                    "</title>";
            const double e = r->estimate;
            if (!std::isfinite(e)) {
                s += "<text class=\"na\" x=\"" + std::to_string(x + bar / 2) + "\" y=\"" + format("%.1f", yOf(0.0) - 4) +
                     "\" font-size=\"9\" text-anchor=\"middle\">n/a" + tip + "</text>\n";
                continue;
            }
            const double y0 = yOf(0.0), y1 = yOf(e);
            s += "<rect class=\"bar\" x=\"" + std::to_string(x + 1) + "\" y=\"" + format("%.1f", std::min(y0, y1)) +
                 "\" width=\"" + std::to_string(bar - 2) + "\" height=\"" + format("%.1f", std::fabs(y1 - y0)) +
                 "\" fill=\"" + kBarColours[k % 8] + "\"" + (flaggedEstimate(r->flag) ? " stroke=\"#000000\" stroke-dasharray=\"3,2\"" : "") +
                 ">" + tip + "</rect>\n";
            const double se = r->se;
            if (std::isfinite(se) && se > 0.0) {
                const std::string cx = std::to_string(x + bar / 2);
                s += "<line class=\"whisker\" x1=\"" + cx + "\" x2=\"" + cx + "\" y1=\"" + format("%.1f", yOf(e - se)) +
                     "\" y2=\"" + format("%.1f", yOf(e + se)) + "\" stroke=\"#000000\"/>\n";
            }
        }
        const int cx = x0 + groupWidth / 2, cy = top + plot + 14;
        s += "<text x=\"" + std::to_string(cx) + "\" y=\"" + std::to_string(cy) + "\" font-size=\"12\" transform=\"rotate(30 " +
             std::to_string(cx) + " " + std::to_string(cy) + ")\">" + escaped(trait) + "</text>\n</g>\n";
    }
    for (int k = 0; k < q; ++k) {
        const int y = top + plot + 70 + 20 * k;
        s += "<rect x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(y - 10) + "\" width=\"12\" height=\"12\" fill=\"" +
             kBarColours[k % 8] + "\"/><text x=\"" + std::to_string(left + 18) + "\" y=\"" + std::to_string(y) +
             "\" font-size=\"12\">" + escaped(quantities[static_cast<std::size_t>(k)]) + "</text>\n";
    }
    s += "<text x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(top + plot + 70 + 20 * q + 10) +
         "\" font-size=\"11\">Whiskers: one S.E. either side; dashed outline: a flagged estimate.</text>\n";
    return s + "</svg>\n";
}

namespace {

// "0.412 S*" (a flagged one with "!"), as the page shows an effect.
std::string effectCell(const ResultRow& r) {
    return printed(r, ResultTable::Effects, &ResultRow::estimate) + " " + r.mark + (r.flag.empty() ? "" : "!");
}

// The predicted effects: for the additive-dominance model the parents'
// additive effects by trait (sorted by the first trait's) and each trait's
// best and worst crosses by dominance effect; for a general model every row.
std::string effectsSection(const ResultTables& tables) {
    if (tables.effects.empty()) return "";
    std::string s = "<h2>Predicted genetic effects (effects.csv)</h2>\n";
    std::vector<const ResultRow*> additive, dominance;
    for (const ResultRow& r : tables.effects) {
        if (r.component == "A") additive.push_back(&r);
        if (r.component == "D") dominance.push_back(&r);
    }
    if (additive.empty()) {
        return s + schemaTable("effects", tables, ResultTable::Effects);
    }
    // Parents by traits, the first trait's order.
    std::vector<std::string> traits, parents;
    for (const ResultRow* r : additive) {
        if (std::find(traits.begin(), traits.end(), r->trait1) == traits.end()) traits.push_back(r->trait1);
        if (r->trait1 == additive.front()->trait1) parents.push_back(r->level);
    }
    auto find = [](const std::vector<const ResultRow*>& rows, const std::string& trait, const std::string& level) {
        for (const ResultRow* r : rows)
            if (r->trait1 == trait && r->level == level) return r;
        return static_cast<const ResultRow*>(nullptr);
    };
    std::stable_sort(parents.begin(), parents.end(), [&](const std::string& a, const std::string& b) {
        return find(additive, traits.front(), a)->estimate > find(additive, traits.front(), b)->estimate;
    });
    s += "<h3>Additive effects of the parents (general combining ability), sorted by " + escaped(traits.front()) +
         "</h3>\n";
    std::vector<std::string> header = {"parent"};
    header.insert(header.end(), traits.begin(), traits.end());
    std::vector<std::vector<std::string>> rows;
    for (const std::string& parent : parents) {
        std::vector<std::string> row = {parent};
        bool flagged = false;
        for (const std::string& trait : traits) {
            const ResultRow* r = find(additive, trait, parent);
            row.push_back(r == nullptr ? "" : effectCell(*r));
            flagged = flagged || (r != nullptr && !r->flag.empty());
        }
        row.push_back(flagged ? "!" : "");
        rows.push_back(row);
    }
    header.push_back("flag");
    s += htmlTable("additive-effects", header, rows);
    if (dominance.empty()) return s;
    s += "<h3>Best and worst crosses by dominance effect (specific combining ability)</h3>\n";
    rows.clear();
    for (const std::string& trait : traits) {
        std::vector<const ResultRow*> crosses;
        for (const ResultRow* r : dominance)
            if (r->trait1 == trait) crosses.push_back(r);
        std::stable_sort(crosses.begin(), crosses.end(),
                         [](const ResultRow* a, const ResultRow* b) { return a->estimate > b->estimate; });
        const std::size_t shown = std::min<std::size_t>(3, crosses.size());
        std::string best, worst;
        for (std::size_t k = 0; k < shown; ++k) {
            best += (k ? "; " : "") + crosses[k]->level + " " + effectCell(*crosses[k]);
            worst += (k ? "; " : "") + crosses[crosses.size() - 1 - k]->level + " " + effectCell(*crosses[crosses.size() - 1 - k]);
        }
        rows.push_back({trait, best, worst, ""});
    }
    return s + htmlTable("crosses", {"trait", "best three", "worst three", "flag"}, rows);
}

}  // namespace

std::string summaryPageHtml(const ResultTables& tables, const std::vector<std::pair<std::string, std::string>>& settings,
                            const std::string& guide) {
    std::string s =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Genetic and environmental correlations</title>\n<style>\n"
        "body { font-family: Helvetica, Arial, sans-serif; margin: 2em; color: #222; }\n"
        "table { border-collapse: collapse; margin: 0.5em 0 2em; font-size: 13px; }\n"
        "th, td { border: 1px solid #ccc; padding: 2px 8px; text-align: left; }\n"
        "th { background: #f0f0f0; }\n tr.flagged td { background: #fff3cd; }\n"
        "dt { font-weight: bold; } .heatmap { overflow-x: auto; }\n"
        ".panels { display: flex; flex-wrap: wrap; gap: 8px; align-items: flex-start; }\n"
        "</style>\n</head>\n<body>\n<h1>Genetic and environmental correlations</h1>\n";
    s += "<h2>Settings</h2>\n<dl id=\"settings\">\n";
    for (const auto& [name, value] : settings) s += "<dt>" + escaped(name) + "</dt><dd>" + escaped(value) + "</dd>\n";
    s += "</dl>\n<h2>Correlations</h2>\n" + correlationPanelsHtml(tables);

    s += "<h2>Correlations (correlations.csv)</h2>\n" + schemaTable("correlations", tables, ResultTable::Correlations);
    if (!tables.heritabilities.empty())
        s += "<h2>Heritabilities (heritability.csv)</h2>\n<div class=\"heatmap\">\n" + heritabilityChartSvg(tables) +
             "</div>\n" + schemaTable("heritabilities", tables, ResultTable::Heritabilities);
    s += effectsSection(tables);
    s += "<h2>Covariance components (covariances.csv)</h2>\n" + schemaTable("covariances", tables, ResultTable::Covariances);
    s += "<h2>Variance components (variances.csv)</h2>\n" + schemaTable("variances", tables, ResultTable::Variances);

    const bool bootstrap = tables.method == "bootstrap";
    s += "<h2>Reading the marks and flags</h2>\n<dl id=\"meanings\">\n";
    if (bootstrap)
        s += "<dt>S.E., 95% low and high</dt><dd>the standard deviation and the 2.5% and 97.5% quantiles of the "
             "quantity over the parametric bootstrap's samples, drawn at the whole-data components</dd>\n"
             "<dt>NS, S+, S*, S**</dt><dd>not significant; significant at the 0.10, 0.05 and 0.01 levels (two-tailed "
             "test of estimate / S.E. against the standard normal)</dd>\n"
             "<dt>weight</dt><dd>the component's genetic coefficient (A 2, D 1, AE 2, DE 1, e 1; 1 in a general "
             "model): each row is weight x component, and G+GE and Phenotypic are their sums; correlations do not "
             "depend on it</dd>\n";
    else
        s += "<dt>NS, S+, S*, S**</dt><dd>not significant; significant at the 0.10, 0.05 and 0.01 levels (two-tailed "
             "t-test on the jackknife's J - 1 degrees of freedom)</dd>\n"
             "<dt>weight</dt><dd>each covariance row is weight x component, the genetic coefficient that turns the "
             "component into the reported scale; correlations do not depend on it</dd>\n";
    for (const FlagMeaning& f : flagMeanings(tables.method))
        s += "<dt>" + std::string(f.flag) + "</dt><dd>" + escaped(f.meaning) + "</dd>\n";
    s += "</dl>\n";
    if (!guide.empty())
        s += "<p>How to choose the jackknife groups and what not to trust: see the breeder's guide, <a href=\"" +
             escaped(guide) + "\">" + escaped(guide) + "</a>.</p>\n";
    s += "</body>\n</html>\n";
    return s;
}

}  // namespace minque
