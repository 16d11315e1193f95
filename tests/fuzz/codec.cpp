// One frame decoder at a time, on raw codestreams: the first six bytes are the header's columns,
// rows, samples and bits (what the decoder checks the codestream against), the rest the frame.
// Built once per codec family with LOAM_FUZZ_CODEC naming the decoder.
#include "core/bytes.hpp"
#include "fuzz.hpp"
#include "pixel/image.hpp"
#include "pixel/syntax.hpp"

using namespace loamwerk;
using namespace loamwerk::render;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    FrameRecord f;
    // Up to 256 x 256: four code-blocks a side reach the same decoder paths as larger frames, and
    // a run costs a fraction of a 512 x 512 one.
    f.columns = load_le16(data) % 257, f.rows = load_le16(data + 2) % 257;
    f.samples = std::uint16_t(1 + data[4] % 4);
    f.bits = std::uint16_t(data[5] % 2 ? 16 : 8);
    f.photometric = f.samples == 1 ? kMonochrome2 : kRgb;
    LOAM_FUZZ_CODEC(data + 6, size - 6, f);
    return 0;
}
