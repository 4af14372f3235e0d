// Reading the model file (.MAT) and the data file into the analysis state.
//
// Model file items, each number followed by a comma:
//   1  h, t                      lead columns of the data rows; traits
//   2  n, p, r, q, workOrder, (ignored), factorShift, trailingFactorCount
//   3  r + 5 component labels    whitespace-delimited words
//   4  p pairs                   ignored
//   5  r pairs                   levels L_u and prior value of random factor u
//   6  1 integer                 prior value of the residual
//   7  p pairs                   (ignored), rows of fixed column c
//   8  q integers                entries of random column j
//   9  fixed-column rows         observation numbers where column c is 1
//   10 random-column entries     observation number, coefficient
// Data file: h lead words and t trait names, then n rows of h integers and
// t trait values.
//
// Everything is checked as it is read (counts, ranges, the sum of the level
// counts, the table limits, the word lengths); a bad file stops the run with a
// message naming the file, the line and the item.
#pragma once

#include <cstdio>
#include <string>

#include "jackknife_engine/core/analysis_state.hpp"

namespace minque {

// What the model file gives the run driver besides the state.
struct ModelHeader {
    int leadColumnCount = 0;      // h
    int traitCount = 0;           // t
    int trailingFactorCount = 0;
};

// Reads the model file from `in`, fills and allocates the state, prints the
// model size line on `console` (none when null) and closes `in`. Without
// `withInverse` the n x n matrix V^-1 is left unallocated (the caller
// allocates it before a pass of the engine, if it runs one).
ModelHeader readModelFile(AnalysisState& state, std::FILE* in, const std::string& fileName,
                          int covarianceSwitch, std::FILE* console = stdout, bool withInverse = true);

// Reads the data file from `in` into traitNames and traitData, prints the two
// blank lines on `console` (none when null) and closes `in`.
void readDataFile(AnalysisState& state, std::FILE* in, const std::string& fileName,
                  int leadColumnCount, int traitCount, std::FILE* console = stdout);

}  // namespace minque
