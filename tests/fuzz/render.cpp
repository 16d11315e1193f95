// Whole images through RenderImage: every frame decoded (eagerly and deferred), stored, rendered
// and presented, and the decode entry points the bindings use.
#include "fuzz.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"

using namespace loamwerk;
using namespace loamwerk::render;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    for (unsigned flags : {0u, kLenient, kDeferDecode}) {
        const auto img = open(bytes, flags);
        if (!img) continue;
        ByteVector out, scratch;
        FrameLayout layout;
        FrameRecord record;
        for (std::size_t i = 0; i < img->frames.size() && i < 8; ++i) {
            if (flags & kDeferDecode) {
                decode_frame(*img, i, record);
                continue;
            }
            out.clear();
            append_stored(*img, img->frames[i], true, out, layout);
            out.clear();
            append_rendered(*img, i, out, layout, scratch);
        }
    }
    fuzz::expect_clean([&] { decode(bytes, "fuzz", 0, true, 0); });
    fuzz::expect_clean([&] { decode(bytes, "fuzz", 1, false, kStrictStored); });
    fuzz::expect_clean([&] { frame_count(bytes, "fuzz"); });
    return 0;
}
