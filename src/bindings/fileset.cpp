// Directory discovery and DICOMDIR building.
#include <stdexcept>

#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "fileset/dicomdir.hpp"
#include "fileset/scan.hpp"

namespace loam::bind {

void register_fileset(nb::module_& m) {
    m.def(
        "scan_dicom_dir",
        [](const Path& root, bool recursive) {
            return without_gil([&] { return loamwerk::fileset::scan_dicom_dir(root, recursive); });
        },
        nb::arg("root"), nb::arg("recursive") = true,
        "Paths of the DICOM files under `root` (by extension .dcm/.ima/.dicom, or 'DICM' at byte 128),\n"
        "sorted in byte order. A root that is a file is returned as is; file-system problems never raise.\n"
        "Symbolic links to directories are not followed.");
    m.def(
        "build_dicomdir",
        [](const std::vector<std::tuple<nb::bytes, std::string>>& inputs, const std::string& file_set_id) {
            std::vector<loamwerk::dicomdir::Input> in;
            in.reserve(inputs.size());
            for (const auto& [bytes, file_id] : inputs) in.push_back({view(bytes), file_id});
            const auto r = loamwerk::dicomdir::build(in, file_set_id);
            if (!r.ok) {
                const char* why = r.status == loamwerk::dicomdir::status::kNoInputs ? "no inputs provided"
                                  : r.status == loamwerk::dicomdir::status::kNothingParseable
                                      ? "no input was a parseable Part-10 file"
                                      : "unknown";
                throw std::runtime_error(std::string("build_dicomdir: ") + why);
            }
            return to_bytes(r.bytes);
        },
        nb::arg("inputs"), nb::arg("file_set_id") = "",
        "DICOMDIR bytes (Explicit VR Little Endian) for (Part-10 bytes, media-relative file ID) pairs:\n"
        "PATIENT / STUDY / SERIES / instance records in input order. Inputs without readable file meta,\n"
        "or in a big-endian or deflated syntax, are skipped.");
}

}  // namespace loam::bind
