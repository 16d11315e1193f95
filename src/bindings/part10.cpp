// Part-10 building, editing and UIDs.
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/edit.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

nb::bytes encapsulate(const std::vector<nb::bytes>& fragments, const std::vector<std::int64_t>& frame_starts) {
    std::vector<std::span<const std::uint8_t>> views;
    views.reserve(fragments.size());
    for (const nb::bytes& f : fragments) views.push_back(view(f));
    return to_bytes(encapsulate_pixel_value(views, frame_starts));
}

using PyEditOp = std::tuple<std::uint32_t, std::string, nb::object, nb::object>;

// An op's VR: two letters ("PN"), the same packed in an int (first letter in the low byte), or
// 0 / None / "" to take it from the dictionary.
std::uint16_t edit_vr(nb::handle vr) {
    if (vr.is_none()) return 0;
    if (nb::isinstance<nb::str>(vr)) {
        const std::string text = as_text(vr);
        if (text.empty()) return 0;
        if (text.size() == 2 && is_vr(make_vr(text))) return make_vr(text);
        throw nb::value_error(("edit_part10: '" + text + "' is not a VR").c_str());
    }
    return option_value<std::uint16_t>(vr, "edit_part10: an op's vr");
}

nb::bytes edit(nb::bytes data, const std::vector<PyEditOp>& py_ops) {
    std::vector<EditOp> ops;
    ops.reserve(py_ops.size());
    for (const auto& [tag, kind, value, vr] : py_ops) {
        EditOp op;
        op.tag = tag;
        op.kind = edit_kind(require_choice(kind, {"insert", "modify", "erase"}, "edit_part10: an op's kind"));
        op.vr = edit_vr(vr);
        if (nb::isinstance<nb::bytes>(value)) {
            const auto b = nb::borrow<nb::bytes>(value);
            op.value.assign(b.c_str(), b.size());
        } else if (nb::isinstance<nb::str>(value)) {
            op.value = as_text(value);
        } else {
            throw nb::type_error("edit_part10: an op's value must be bytes or str");
        }
        ops.push_back(std::move(op));
    }
    const auto input = view(data);
    std::vector<std::uint8_t> out;
    const int rc = without_gil([&] { return edit_part10(input, ops, out); });
    if (rc != edit_result::kOk) throw std::runtime_error("edit_part10: " + std::string(edit_message(rc)));
    return to_bytes(out);
}

std::string mint(const std::string& seed, const std::string& root) {
    return uid::mint(seed, root.empty() ? std::string_view("2.25") : std::string_view(root));
}

}  // namespace

void register_part10(nb::module_& m) {
    m.def("encapsulate_pixel_value", &encapsulate, nb::arg("fragments"), nb::arg("frame_starts"),
          "Build an encapsulated Pixel Data value: the Basic Offset Table item (filled when frame_starts "
          "is strictly increasing and within the fragments) and one even-length item per fragment.");
    m.def("edit_part10", &edit, nb::arg("data"), nb::arg("ops"),
          nb::sig("def edit_part10(data: bytes, ops: Sequence[tuple[int, str, bytes | str, str | int | None]]) -> bytes"),
          "Edit top-level elements of a Part-10 buffer, keeping every other byte. Each op is "
          "(tag, kind, value, vr): kind \"insert\", \"modify\" or \"erase\"; vr the VR (\"PN\"), or \"\", "
          "None or 0 to take it from the dictionary (the two characters packed in an int, first in the "
          "low byte, are accepted too).");
    m.def("mint_uid", &mint, nb::arg("seed"), nb::arg("root") = "",
          "A deterministic UID: root (\"2.25\" when empty), a dot and the decimal FNV-1a-128 hash of seed.");
}

}  // namespace loam::bind
