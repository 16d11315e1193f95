// Slide pyramids from up to three instances in memory: levels, tiles, regions, associated images.
#include "fuzz.hpp"
#include "wsi/slide.hpp"

using namespace loamwerk;
using namespace loamwerk::wsi;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::shared_ptr<Source>> sources;
    for (const auto part : fuzz::split(data, size, 3)) {
        auto s = std::make_shared<Source>();
        s->bytes = part;
        sources.push_back(std::move(s));
    }
    fuzz::expect_clean([&] {
        const slide s(std::move(sources));
        if (!s.open_error().empty()) return;
        ByteVector out;
        for (int level = 0; level < int(s.level_count()) && level < 3; ++level) {
            const Level* l = s.level(level);
            for (std::uint32_t y = 0; y < l->tiles_y && y < 2; ++y)
                for (std::uint32_t x = 0; x < l->tiles_x && x < 2; ++x) s.read_tile(level, x, y, x & 1, true, y & 1, out);
            s.read_region(-7, 5, level, 300, 200, level & 1, false, out);
        }
        for (const std::string& name : s.associated_names()) s.read_associated(name, true, true, out);
        s.properties();
    });
    return 0;
}
