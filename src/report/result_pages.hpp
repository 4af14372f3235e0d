// The results as a picture and a page: a heatmap of the correlations (one
// trait x trait panel per reported correlation component and for the totals
// G+GE and Phenotypic) written as SVG text, and one self-contained HTML page
// with the run's settings, the heatmaps, the three tables and the meaning of
// the marks and flags. Neither needs a plotting library or the network.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "report/result_tables.hpp"

namespace minque {

// Whether a correlation has a value to show: not flagged undefined,
// below_threshold or not_finite, and finite.
bool correlationDefined(const ResultRow& row);

// A correlation as a cell shows it: "0.46" and its mark; "n/d" where it is
// not defined (never a 0 a reader would copy); "+1 cut" or "-1 cut" where it
// was cut to the bound.
std::string correlationCellText(const ResultRow& row, const std::string& mark);

// The SVG document (with its XML declaration). Colours: a diverging,
// colour-blind-safe scale from -1 (blue) through 0 (near white) to +1 (red);
// each cell shows the estimate with two decimals and its mark (+, *, **);
// flagged cells are hatched and outlined, and a note says why.
std::string correlationHeatmapSvg(const ResultTables& tables);

// The heritabilities as grouped bars, one group per trait and one bar per
// quantity, with whiskers of one S.E. either side; a bar without a finite
// estimate is not drawn and says n/a. Empty when the tables have none.
std::string heritabilityChartSvg(const ResultTables& tables);

// The heatmap for a page: each panel, and the legend, a picture of its own in
// a block that wraps them to the window's width.
std::string correlationPanelsHtml(const ResultTables& tables);

// The page; `settings` are shown as a list of name and value, `guide` is
// where the breeder's guide is (a link target).
std::string summaryPageHtml(const ResultTables& tables, const std::vector<std::pair<std::string, std::string>>& settings,
                            const std::string& guide);

}  // namespace minque
