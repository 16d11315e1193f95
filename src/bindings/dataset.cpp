// A data set as nested Python dicts for loam.Dataset: tag -> (VR, value), where the value is
// text (str), raw little-endian bytes, or a sequence's items (a list of such dicts).
#include <string>
#include <variant>

#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "core/file_io.hpp"
#include "core/tree.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

// Text stored under the default repertoire that is not valid UTF-8 is read as Latin-1, the
// set such files nearly always mean: no byte is lost or replaced.
nb::str undeclared_text(std::string_view s) {
    PyObject* text = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "strict");
    if (!text) {
        PyErr_Clear();
        text = PyUnicode_DecodeLatin1(s.data(), Py_ssize_t(s.size()), nullptr);
        if (!text) throw nb::python_error();
    }
    return nb::steal<nb::str>(text);
}

nb::dict to_dict(const std::vector<tree::Node>& nodes) {
    nb::dict out;
    for (const tree::Node& n : nodes) {
        const char vr_text[2] = {char(n.vr & 0xFF), char(n.vr >> 8)};
        nb::object value;
        if (n.vr == vr::SQ) {
            // Left to be read when first used: its bytes, the items' encoding and the character set.
            value = nb::make_tuple(to_bytes(n.value), int(n.item_encoding), str_of(n.charset));
        } else if (is_text_vr(n.vr)) {
            std::string_view s = n.decoded ? std::string_view(n.text) : loamwerk::as_text(n.value.data(), n.value.size());
            s = trim_padding(s);
            value = n.decoded ? utf8_str(s) : undeclared_text(s);
        } else {
            value = to_bytes(n.value);
        }
        out[nb::int_(n.tag)] = nb::make_tuple(nb::str(vr_text, 2), value);
    }
    return out;
}

nb::tuple read_dataset(const Source& source, bool stop_before_pixels) {
    Dataset ds = Dataset::borrow({});
    tree::Tree tree;
    nb::object buffer;
    if (const auto* b = std::get_if<nb::bytes>(&source)) {
        buffer = *b;
        without_gil([&] {
            ds = Dataset::borrow(view(*b));
            if (ds.readable()) tree = tree::read(ds, stop_before_pixels, tree::Sequences::kLeave);
        });
    } else {
        const Path& path = std::get<Path>(source);
        without_gil([&] {
            if (stop_before_pixels) {
                ds = tree::read_header(path, tree);
            } else {
                ds = Dataset::own(read_whole_file(path));
                if (ds.readable()) tree = tree::read(ds, false, tree::Sequences::kLeave);
            }
        });
        buffer = to_bytes(ds.bytes());
    }
    if (!ds.layout().recognised) throw nb::value_error("not a DICOM file: no file meta and no recognisable data set");
    if (!ds.readable()) throw nb::value_error("the data set cannot be read: its transfer syntax's body could not be decoded");
    const FileMetaInfo& meta = ds.layout().meta;
    const std::string_view syntax = ds.layout().has_meta ? meta.transfer_syntax : encoding_uid(ds.layout().encoding);
    return nb::make_tuple(buffer, to_dict(tree.meta), to_dict(tree.body), str_of(syntax), tree.complete);
}

nb::list read_items(nb::bytes value, int encoding, const std::string& charset) {
    if (encoding < int(Encoding::ImplicitLE) || encoding > int(Encoding::ExplicitBE))
        throw nb::value_error("unknown encoding");
    bool complete = true;
    const auto items = without_gil(
        [&] { return tree::read_items(view(value), Encoding(encoding), charset, &complete); });
    nb::list out;
    for (const auto& item : items) out.append(to_dict(item));
    return out;
}

}  // namespace

void register_dataset(nb::module_& m) {
    m.def("_read_dataset", &read_dataset, nb::arg("source"), nb::arg("stop_before_pixels") = false,
          nb::sig("def _read_dataset(source: bytes | str | os.PathLike[str], stop_before_pixels: bool = False) -> "
                  "tuple[bytes, dict[int, tuple[str, object]], dict[int, tuple[str, object]], str, bool]"),
          "The file meta and data set of a file or buffer as dicts of tag -> (VR, value): text VRs as str "
          "(decoded, padding removed), sequences as lists of such dicts, other values as little-endian bytes. "
          "Sequences are (value bytes, item encoding, character set) for _read_items. Also returns the bytes "
          "read, the transfer syntax UID and whether every element could be walked.");
    m.def("_read_items", &read_items, nb::arg("value"), nb::arg("encoding"), nb::arg("charset"),
          nb::sig("def _read_items(value: bytes, encoding: int, charset: str) -> list[dict[int, tuple[str, object]]]"),
          "The items of a sequence left by _read_dataset, as dicts of the same form.");
}

}  // namespace loam::bind
