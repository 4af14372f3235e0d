// The model builder's input: a data file with design columns, turned into a
// model file and read back. Byte 0 gives the lead columns (1-4), byte 1 the
// request (additive-dominance or general, with or without blocks, an
// interaction, fixed columns, labels for the covariance switch); the rest is
// the data text.
#include <memory>

#include "fuzz_support.hpp"
#include "jackknife_engine/model/model_text.hpp"
#include "model/model_builder.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    if (size < 2) return 0;
    const int lead = 1 + data[0] % 4;
    const int kind = data[1];
    std::string text = fuzz::textOf(data, size, 2);
    try {
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(fuzz::memoryStream(text), std::fclose);
        const DesignData d = readDesignData(file.get(), "F.TXT", lead);
        const auto& names = d.leadNames;
        ModelRequest request;
        request.covariances = (kind & 16) != 0;
        if ((kind & 1) != 0 && names.size() >= 3) {
            request.additiveDominance = names[0] + "," + names[1] + "," + names[2];
            if ((kind & 2) != 0 && names.size() >= 4) request.additiveDominance += "," + names[3];
        } else {
            request.random = names[0];
            if ((kind & 2) != 0 && names.size() >= 2) request.random += "," + names[0] + "*" + names[1];
            if ((kind & 4) != 0) request.fixed = names.back();
            request.trailing = (kind & 8) != 0 ? 1 : 0;
        }
        AnalysisState readBack;
        (void)buildModelFile(d, request, "F.MAT", &readBack);
    } catch (const fuzz::InputRejected&) {
    }
    return 0;
}
