// The front door, `minque`: one command from a trial table to the reports,
// the tables, a correlation heatmap and a summary page.
//
//   minque analyse DATA --group G (--female F --male M [--env E] [--block B] |
//                                  --random TERMS [--fixed TERMS] [--trailing N]) [options]
//   minque summary REPORT.COV [REPORT.VAR] [--out DIR]
//
// `analyse` is a caller of the library (minquecov/analysis.hpp): it reads
// the table, has the library code it, build the model and run the variances
// and covariances of every trait from one jackknife, and writes the results
// into the output folder; `summary` turns reports written by minque-cov and
// minque-var into the same tables and pictures. The three engine programs are
// not changed by any of this.
#pragma once

namespace minque {

int runMinqueCommand(int argc, char** argv);

}  // namespace minque
