// Legacy Converted Enhanced images: write_legacy_converted.
#include <string>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "legacy/convert.hpp"
#include "pixel/transcode.hpp"

namespace loam::bind {

void register_legacy(nb::module_& m) {
    m.def(
        "write_legacy_converted",
        [](const std::vector<Path>& paths, const std::string& transfer_syntax, int quality, const Path& output,
           const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            loamwerk::legacy::Options o;
            o.sop_instance_uid = sop_instance_uid, o.series_instance_uid = series_instance_uid;
            read_identity(identity, o.identity, false, "write_legacy_converted");
            if (!transfer_syntax.empty() && !loamwerk::render::is_transcode_target(transfer_syntax))
                throw nb::value_error(("write_legacy_converted: cannot encode to transfer syntax " + transfer_syntax).c_str());
            std::vector<std::uint8_t> bytes = without_gil([&] {
                std::vector<loamwerk::OwnedBuffer> files;
                std::vector<std::span<const std::uint8_t>> views;
                for (const Path& p : paths) files.push_back(read_path(p));
                for (const loamwerk::OwnedBuffer& f : files) views.push_back(f.span());
                std::vector<std::uint8_t> out = loamwerk::legacy::convert(views, o);
                if (transfer_syntax.empty()) return out;
                std::vector<std::uint8_t> encoded;
                std::string why;
                const int rc = loamwerk::render::transcode_buffer(out, transfer_syntax, quality, encoded, &why);
                if (rc != loamwerk::render::transcode_status::kOk)
                    throw std::runtime_error(loamwerk::render::transcode_failure(transfer_syntax, rc, why));
                return encoded;
            });
            return bytes_or_file(bytes, output);
        },
        nb::arg("paths"), nb::kw_only(), nb::arg("transfer_syntax") = "", nb::arg("quality") = 97, nb::arg("output") = "",
        nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_legacy_converted(paths: Sequence[str | os.PathLike[str]], *, transfer_syntax: str = '', "
                "quality: int = 97, output: str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, "
                "sop_instance_uid: str = '', series_instance_uid: str = '') -> bytes | None"),
        "A Legacy Converted Enhanced CT, MR or PET image from a classic single-frame series: one frame a file, "
        "in spatial order, every attribute kept.");
}

}  // namespace loam::bind
