// The variance file: its size check and, when it passes, every record read
// as the statistics phase reads them. Bytes 0-2 give J (2-7), t (1-4) and
// K (1-5); the rest is the file.
#include <memory>

#include "fuzz_support.hpp"
#include "jackknife_engine/driver/run_driver.hpp"
#include "jackknife_engine/io/product_records.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace minque;
    fuzz::prepare();
    if (size < 3) return 0;
    const int J = 2 + data[0] % 6, t = 1 + data[1] % 4, K = 1 + data[2] % 5;
    std::string bytes = fuzz::textOf(data, size, 3);
    const bool empty = bytes.empty();
    try {
        AnalysisState st;
        st.replicateCount = J;
        st.componentCount = K;
        st.recordLength = K + 1;
        st.priorValues = dmatrix(1, 3, 0, K + 15);
        const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(empty ? std::tmpfile() : fuzz::memoryStream(bytes),
                                                                   std::fclose);
        st.streams[kSlotVariance] = file.get();
        checkVarianceFileSize(st.streams[kSlotVariance], st, t);
        for (int k = 0; k <= J; ++k)
            for (int i = 1; i <= t; ++i) {
                seekRecordByte(st, kSlotVariance, (static_cast<long long>(k) * t + i - 1) * st.recordLength * 4);
                readRecord(st, kSlotVariance, st.priorValues[1 + i % 3].ptr(0), st.recordLength);
            }
    } catch (const fuzz::InputRejected&) {
    }
    return 0;
}
