// Part-10 and dataset parsing, the fast paths, little-endian bridging and editing.
#include "core/dataset.hpp"
#include "core/edit.hpp"
#include "core/values.hpp"
#include "fuzz.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_meta_strict(data, size);
    read_meta(data, size);
    sniff_naked(data, size);
    const DatasetLayout layout = detect_layout(data, size);
    for (const auto body : {Dataset::Body::kLittleEndian, Dataset::Body::kAsStored}) {
        const Dataset d = Dataset::borrow({data, size}, body);
        for (const ElementRef& e : d.elements()) {
            value_text(e);
            ds_values(&e);
            numbers(e);
            if (e.vr == vr::SQ) sequence_items(&e);
            (void)integer_of(d.elements(), e.tag);
            (void)float_of(d.elements(), e.tag);
        }
    }
    locate_pixel_data(data, size);
    (void)layout;
    fuzz::expect_clean([&] {
        std::vector<std::uint8_t> out;
        const EditOp ops[] = {{0x00100010, EditOp::Kind::Insert, "Fuzz^Name", 0}, {0x00080018, EditOp::Kind::Erase, "", 0}};
        edit_part10({data, size}, ops, out);
    });
    return 0;
}
