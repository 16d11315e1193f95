// Segmentation objects to segment tables and masks.
#include "fuzz.hpp"
#include "seg/read.hpp"

using namespace loamwerk::seg;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (bool masks : {false, true}) {
        SegDecoded out;
        fuzz::expect_clean([&] { dcm_seg_decode({data, size}, masks, out); });
    }
    return 0;
}
