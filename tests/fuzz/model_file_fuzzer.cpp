// The model file reader and the model constants. Byte 0 holds the covariance
// switch; the rest is the .MAT text.
#include "jackknife_engine/io/model_constants.hpp"
#include "fuzz_support.hpp"
#include "jackknife_engine/io/model_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    if (size < 1) return 0;
    std::string text = fuzz::textOf(data, size, 1);
    try {
        AnalysisState st;
        const ModelHeader h = readModelFile(st, fuzz::memoryStream(text), "F.MAT", data[0] & 1, nullptr);
        deriveModelConstants(st, h.trailingFactorCount, "F.MAT");
    } catch (const fuzz::InputRejected&) {
    }
    return 0;
}
