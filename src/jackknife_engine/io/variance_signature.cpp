#include "jackknife_engine/io/variance_signature.hpp"

#include <cinttypes>
#include <cstdio>

#include "io/file_text.hpp"

namespace minque {

namespace {

std::uint64_t fnv1a(const std::string& bytes) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

std::string varianceSignature(const std::string& dataBytes, const std::string& modelBytes, int groupSize,
                              int covarianceSwitch) {
    char line[200];
    std::snprintf(line, sizeof line,
                  "MATWRN.var of data %016" PRIx64 ", model %016" PRIx64 ", group size %d, covariance switch %d\n",
                  fnv1a(dataBytes), fnv1a(modelBytes), groupSize, covarianceSwitch != 0 ? 1 : 0);
    return line;
}

bool readVarianceSignature(std::string* signature) { return readFileText(kVarianceSignatureFile, signature); }

}  // namespace minque
