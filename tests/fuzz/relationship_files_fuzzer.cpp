// The files of relationship matrices, pedigrees and marker calls, read and
// turned into the root the estimator factors. Byte 0 chooses the reader (a
// matrix, a pedigree, markers); the rest is the file's text.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "estimator/relationship_matrix.hpp"
#include "fuzz_support.hpp"
#include "io/file_text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    if (size < 1) return 0;
    static const std::string path = [] {
        char name[] = "/tmp/minque-fuzz-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        return std::string(name);
    }();
    writeFileText(path, fuzz::textOf(data, size, 1));
    try {
        switch (data[0] % 3) {
            case 0: (void)relatedLevelsOf(relationshipFromFile(path)); break;
            case 1: (void)relatedLevelsOf(additiveRelationship(pedigreeFromFile(path))); break;
            default: (void)relatedLevelsOf(genomicRelationship(markersFromFile(path)).matrix); break;
        }
    } catch (const fuzz::InputRejected&) {
    }
    return 0;
}
