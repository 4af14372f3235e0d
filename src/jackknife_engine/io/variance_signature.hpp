// What a variance file was computed from. minque analyse writes, beside the
// MATWRN.var of its jackknife, the file MATWRN.sig: one line naming a 64-bit
// FNV-1a hash of the data file's and of the model file's bytes, the jackknife
// group size and the covariance switch. minque-cov, rerun on those files,
// computes the same line from its own inputs and refuses a variance file
// written for others (a variance file of the right size from data edited
// since would give wrong correlations without a word). The variance file's
// own format does not change, and minque-var writes exactly what it always
// wrote.
#pragma once

#include <string>

namespace minque {

inline constexpr const char* kVarianceSignatureFile = "MATWRN.sig";

std::string varianceSignature(const std::string& dataBytes, const std::string& modelBytes, int groupSize,
                              int covarianceSwitch);

// The signature beside a variance file in the working directory; false when
// there is none.
bool readVarianceSignature(std::string* signature);

}  // namespace minque
