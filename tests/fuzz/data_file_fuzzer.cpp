// The data file reader. Bytes 0-2 give the lead columns (0-2), the traits
// (0-3) and the observations (0-11) that a model file would announce; the
// rest is the data text.
#include "jackknife_engine/io/model_reader.hpp"
#include "fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    if (size < 3) return 0;
    const int h = data[0] % 3, t = data[1] % 4, n = data[2] % 12;
    std::string text = fuzz::textOf(data, size, 3);
    try {
        AnalysisState st;
        st.obsCount = n;
        st.traitData = dmatrix(1, t, 1, n);
        readDataFile(st, fuzz::memoryStream(text), "F.TXT", h, t, nullptr);
    } catch (const fuzz::InputRejected&) {
    }
    return 0;
}
