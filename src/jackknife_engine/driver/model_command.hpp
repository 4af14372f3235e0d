// The minque-model program: writes the model file (.MAT) of an analysis from a data file
// whose first columns are integer design codes.
//
//   minque-model DATA --lead H --ad ENV,FEMALE,MALE[,BLOCK] [options]
//   minque-model DATA --lead H --random TERM[,TERM...] [--fixed TERMS] [--trailing N] [options]
//
// DATA has the header (H lead-column names, then the trait names) on its
// first line. TERM is a lead-column name or an interaction NAME1*NAME2; the
// fixed terms are lead columns and/or 1 for the intercept (default: 1).
// Options: --covariances labels the components for runs with the covariance
// switch (argument 8) on; --replace overwrites an existing .MAT. The model is
// written to DATA's name with the extension .MAT (and an empty .DAT is created
// if there is none), read back with the analysis' own reader and summarised.
#pragma once

namespace minque {

// Runs minque-model with its command line; returns the exit code (a usage
// error or bad input ends the process with a message and exit code 1).
int runModelCommand(int argc, char** argv);

}  // namespace minque
