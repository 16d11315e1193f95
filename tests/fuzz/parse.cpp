// Part-10 and dataset parsing, the fast paths, little-endian bridging, the whole-tree reader
// (sequences expanded, or left and read item by item), editing, and the conformance checks of
// every layer, and the readers of encapsulated documents, tractography, slide annotations,
// surface segmentations and registrations (with the transforms between their frames).
#include "core/dataset.hpp"
#include "core/edit.hpp"
#include "core/tree.hpp"
#include "core/values.hpp"
#include "fuzz.hpp"
#include "ann/read.hpp"
#include "encap/document.hpp"
#include "encap/read.hpp"
#include "iod/validate.hpp"
#include "reg/read.hpp"
#include "surface/read.hpp"
#include "tract/read.hpp"

using namespace loamwerk;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    read_meta_strict(data, size);
    read_meta(data, size);
    sniff_naked(data, size);
    const DatasetLayout layout = detect_layout(data, size);
    for (const auto body : {Dataset::Body::kLittleEndian, Dataset::Body::kAsStored}) {
        const Dataset d = Dataset::borrow({data, size}, body);
        std::size_t looked_up = 0;
        for (const ElementRef& e : d.elements()) {
            value_text(e);
            ds_values(&e);
            numbers(e);
            if (e.vr == vr::SQ) sequence_items(&e);
            // Look-ups search the whole list: a few hundred of them cover the code without making
            // the harness itself quadratic on headers that walk as tens of thousands of elements.
            if (++looked_up > 256) continue;
            (void)integer_of(d.elements(), e.tag);
            (void)float_of(d.elements(), e.tag);
        }
        if (!d.readable()) continue;
        if (body == Dataset::Body::kLittleEndian) iod::check_dataset_all(d);
        tree::read(d, false, tree::Sequences::kExpand);
        for (const tree::Node& n : tree::read(d, true, tree::Sequences::kLeave).body)
            if (n.vr == vr::SQ) tree::read_items(n.value, n.item_encoding, n.charset, nullptr);
    }
    locate_pixel_data(data, size);
    encap::detect({data, size});
    fuzz::expect_clean([&] { encap::read_document({data, size}, "fuzz"); });
    fuzz::expect_clean([&] { tract::read_tractography({data, size}, "fuzz"); });
    fuzz::expect_clean([&] { ann::read_annotations({data, size}, "fuzz"); });
    fuzz::expect_clean([&] { surface::read_surface_segmentation({data, size}, "fuzz"); });
    fuzz::expect_clean([&] {
        const reg::Registration r = reg::read_registration({data, size}, "fuzz");
        for (const reg::Item& item : r.items) {
            try {
                reg::transform_between(r, item.source_frame, r.frame_of_reference_uid);
                reg::transform_between(r, r.frame_of_reference_uid, item.source_frame);
            } catch (const std::invalid_argument&) {
            }
        }
    });
    (void)layout;
    fuzz::expect_clean([&] {
        std::vector<std::uint8_t> out;
        const EditOp ops[] = {{0x00100010, EditOp::Kind::Insert, "Fuzz^Name", 0}, {0x00080018, EditOp::Kind::Erase, "", 0}};
        edit_part10({data, size}, ops, out);
    });
    return 0;
}
