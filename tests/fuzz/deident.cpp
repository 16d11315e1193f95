// De-identification with and without options, and burned-in pixel cleaning.
#include "deident/pixanon.hpp"
#include "deident/session.hpp"
#include "fuzz.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::span<const std::uint8_t> bytes(data + 1, size - 1);
    deident::DeidentOptions o;
    o.retain_dates = data[0] & 1, o.retain_uids = data[0] & 2, o.clean_descriptors = data[0] & 4;
    o.shift_dates_days = (data[0] & 8) ? -30 : 0;
    o.clean_pixel = data[0] & 16;
    o.retain_safe_private = data[0] & 32;
    // A fixed key keeps a finding reproducible; every other byte of the first picks a mode.
    o.key = "fuzz";
    o.unkeyed = data[0] & 64;
    o.shift_dates_per_patient = (data[0] & 128) ? 365 : 0;
    std::vector<std::uint8_t> out;
    fuzz::expect_clean([&] { deident::Session(o).run(bytes, out); });
    fuzz::expect_clean([&] {
        std::vector<std::uint8_t> cleaned;
        pixanon::clean(bytes, {{0, 0, 8, 8}}, true, false, cleaned);
    });
    return 0;
}
