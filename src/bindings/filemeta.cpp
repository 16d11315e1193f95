// File meta and the pixel-data fast paths.
#include <optional>

#include <nanobind/stl/string.h>

#include "bindings/common.hpp"
#include "core/dataset.hpp"
#include "core/file_io.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

// Most file meta ends well inside this; longer or odd files are read again whole.
constexpr std::size_t kMetaPrefix = 64 * 1024;

nb::dict meta_dict(const std::uint8_t* buf, std::size_t size) {
    nb::dict d;
    const FileMetaInfo meta = read_meta(buf, size);
    if (meta.ok()) {
        d["has_meta"] = true;
        d["sop_class"] = utf8_str(meta.sop_class);
        d["sop_instance"] = utf8_str(meta.sop_instance);
        d["transfer_syntax"] = utf8_str(meta.transfer_syntax);
        return d;
    }
    const NakedSniff s = sniff_naked(buf, size);
    d["has_meta"] = false;
    d["transfer_syntax"] = str_of(s.found ? encoding_uid(s.encoding) : std::string_view{});
    return d;
}

// The located element views `file`, or `holder` for a big-endian or deflated data set.
std::optional<ElementRef> locate_in_file(const Path& path, OwnedBuffer& file, Dataset& holder) {
    return without_gil([&] {
        file = read_path(path);
        return locate_pixel_data(file.data(), file.size(), holder);
    });
}

std::optional<ElementRef> locate_in_bytes(std::span<const std::uint8_t> buf, Dataset& holder) {
    return without_gil([&] { return locate_pixel_data(buf.data(), buf.size(), holder); });
}

nb::object vr_of(const std::optional<ElementRef>& e) {
    if (!e || !is_vr(e->vr)) return nb::none();
    return str_of(vr_text(e->vr));
}
}  // namespace

void register_filemeta(nb::module_& m) {
    m.def(
        "read_file_meta",
        [](const Path& path) {
            OwnedBuffer file = without_gil([&] {
                std::size_t size = 0;
                OwnedBuffer prefix = read_file_prefix(path, kMetaPrefix, &size);
                if (size > prefix.size() && !read_meta(prefix.data(), prefix.size()).ok()) return read_path(path);
                return prefix;
            });
            return meta_dict(file.data(), file.size());
        },
        nb::arg("path"), nb::sig("def read_file_meta(path: str | os.PathLike[str]) -> dict[str, str | bool]"),
        "File meta of a Part-10 file: {has_meta: True, sop_class, sop_instance, transfer_syntax}; for a\n"
        "dataset without file meta {has_meta: False, transfer_syntax} with the sniffed syntax or ''.");
    m.def(
        "read_pixel_data",
        [](const Path& path) -> nb::object {
            OwnedBuffer file;
            Dataset holder;
            const auto e = locate_in_file(path, file, holder);
            if (!e) return nb::none();
            return to_bytes({e->value, std::size_t(e->length)});
        },
        nb::arg("path"), nb::sig("def read_pixel_data(path: str | os.PathLike[str]) -> bytes | None"),
        "Raw value of the top-level (Float/Double Float) Pixel Data element as bytes (fragments included\n"
        "for encapsulated data), or None when absent. Explicit big-endian values keep their stored byte\n"
        "order; a deflated file's value comes from its inflated data set.");
    m.def(
        "read_pixel_data_bytes",
        [](nb::bytes part10) -> nb::object {
            Dataset holder;
            const auto e = locate_in_bytes(view(part10), holder);
            if (!e) return nb::none();
            return to_bytes({e->value, std::size_t(e->length)});
        },
        nb::arg("part10"), nb::sig("def read_pixel_data_bytes(part10: bytes) -> bytes | None"),
        "read_pixel_data over an in-memory Part-10 file or dataset.");
    m.def(
        "has_pixel_data",
        [](const Path& path) {
            OwnedBuffer file;
            Dataset holder;
            return locate_in_file(path, file, holder).has_value();
        },
        nb::arg("path"), "Whether the file has a top-level Pixel Data, Float Pixel Data or Double Float Pixel Data element.");
    m.def(
        "has_pixel_data_bytes",
        [](nb::bytes part10) {
            Dataset holder;
            return locate_in_bytes(view(part10), holder).has_value();
        },
        nb::arg("part10"), "has_pixel_data over an in-memory Part-10 file or dataset.");
    m.def(
        "pixel_data_vr",
        [](const Path& path) {
            OwnedBuffer file;
            Dataset holder;
            return vr_of(locate_in_file(path, file, holder));
        },
        nb::arg("path"), nb::sig("def pixel_data_vr(path: str | os.PathLike[str]) -> str | None"), "VR of the located pixel-data element ('OB', 'OW', 'OF', 'OD'), or None.");
    m.def(
        "pixel_data_vr_bytes",
        [](nb::bytes part10) {
            Dataset holder;
            return vr_of(locate_in_bytes(view(part10), holder));
        },
        nb::arg("part10"), nb::sig("def pixel_data_vr_bytes(part10: bytes) -> str | None"),
        "pixel_data_vr over an in-memory Part-10 file or dataset.");
}

}  // namespace loam::bind
