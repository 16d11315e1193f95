// Display and derived images: the display renderer (overlays, VOI LUTs, a presentation state),
// the presentation state and parametric map readers, and the legacy converter over hostile data
// sets. The input holds up to four data sets cut by "\n--\n": the image and, after it, a
// presentation state or further frames.
#include "core/dataset.hpp"
#include "core/tags.hpp"
#include "fuzz.hpp"
#include "legacy/convert.hpp"
#include "paramap/read.hpp"
#include "pixel/display.hpp"
#include "pr/read.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto parts = fuzz::split(data, size, 4);
    const std::span<const std::uint8_t> image = parts[0];
    for (const char* voi : {"auto", "minmax"})
        fuzz::expect_clean([&] {
            render::DisplayOptions o;
            o.voi = std::string_view(voi) == "auto" ? render::VoiChoice::kAuto : render::VoiChoice::kMinMax;
            render::render_display(image, "fuzz", o);
        });
    fuzz::expect_clean([&] { paramap::read_meta(image); });
    if (parts.size() >= 2) {
        fuzz::expect_clean([&] {
            pr::PresentationState state = pr::read_state(parts[1]);
            // Point the state at the image, so that everything it says is applied.
            const Dataset ds = Dataset::borrow(image);
            state.images.push_back({"", "", std::string(ds.text(tags::kSOPInstanceUID)), {}});
            render::DisplayOptions o;
            o.state = &state;
            o.state_bytes = parts[1];
            render::render_display(image, "fuzz", o);
        });
        fuzz::expect_clean([&] { legacy::convert({parts.begin(), parts.end()}, legacy::Options{}); });
    }
    return 0;
}
