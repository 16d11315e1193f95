// Transcoding to every target syntax (the first byte picks it).
#include "fuzz.hpp"
#include "pixel/transcode.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* kTargets[] = {"1.2.840.10008.1.2.1", "1.2.840.10008.1.2.5", "1.2.840.10008.1.2.4.80",
                                     "1.2.840.10008.1.2.4.90", "1.2.840.10008.1.2.4.70", "1.2.840.10008.1.2.4.50",
                                     "1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.110", "1.2.840.10008.1.2",
                                     "1.2.840.10008.1.2.1.99"};
    if (size < 1) return 0;
    std::vector<std::uint8_t> out;
    fuzz::expect_clean([&] {
        loamwerk::render::transcode_buffer({data + 1, size - 1}, kTargets[data[0] % 10], 90, out);
    });
    return 0;
}
