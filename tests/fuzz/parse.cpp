// Part-10 and dataset parsing, the fast paths, little-endian bridging and editing.
#include "core/dataset.hpp"
#include "core/edit.hpp"
#include "core/values.hpp"
#include "fuzz.hpp"
#include "json/reencode.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_meta_strict(data, size);
    read_meta(data, size);
    sniff_naked(data, size);
    const DatasetLayout layout = detect_layout(data, size);
    const Dataset d = Dataset::borrow({data, size});
    for (const ElementRef& e : d.elements()) {
        value_text(e);
        ds_values(&e);
        if (e.vr == vr::SQ) sequence_items(&e);
    }
    locate_pixel_data(data, size);
    std::vector<std::uint8_t> owned;
    if (auto top = bridge::little_endian_top_level({data, size}, owned))
        for (const ElementRef& e : *top) (void)value_text(e);
    (void)layout;
    fuzz::expect_clean([&] {
        std::vector<std::uint8_t> out;
        const EditOp ops[] = {{0x00100010, EditOp::Kind::Insert, "Fuzz^Name", 0}, {0x00080018, EditOp::Kind::Erase, "", 0}};
        edit_part10({data, size}, ops, out);
    });
    return 0;
}
