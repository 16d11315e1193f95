// Directory discovery and DICOMDIR building.
#include <algorithm>
#include <stdexcept>

#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/dictionary.hpp"
#include "fileset/dicomdir.hpp"
#include "fileset/index.hpp"
#include "json/to_json.hpp"
#include "fileset/scan.hpp"

namespace loam::bind {

namespace {
using loamwerk::fileset::ColumnKind;

constexpr const char* kind_name(ColumnKind k) {
    switch (k) {
        case ColumnKind::kText: return "text";
        case ColumnKind::kInteger: return "integer";
        case ColumnKind::kReal: return "real";
        case ColumnKind::kDate: return "date";
        case ColumnKind::kTime: return "time";
    }
    return "text";
}

template <class T>
nb::ndarray<nb::numpy> column_array(std::vector<T>&& v) {
    const std::vector<std::size_t> shape{v.size()};
    return to_array(std::move(v), shape, nb::dtype<T>());
}

// Texts as Arrow lays them out: their UTF-8 bytes end to end and int64 offsets (one more than
// texts), so that no Python object is made per value.
nb::tuple text_buffers(const std::vector<std::string>& texts) {
    std::vector<std::int64_t> offsets{0};
    offsets.reserve(texts.size() + 1);
    std::size_t total = 0;
    for (const std::string& t : texts) offsets.push_back(std::int64_t(total += t.size()));
    std::vector<std::uint8_t> data(total);
    std::uint8_t* out = data.data();
    for (const std::string& t : texts) out = std::copy(t.begin(), t.end(), out);
    return nb::make_tuple(column_array(std::move(data)), column_array(std::move(offsets)));
}

// A column as (present, offsets, values, item_valid): NumPy arrays, text values as text_buffers.
nb::tuple column_result(loamwerk::fileset::ColumnData&& c, ColumnKind kind) {
    nb::object values;
    if (kind == ColumnKind::kText) values = text_buffers(c.texts);
    else if (kind == ColumnKind::kReal) values = nb::cast(column_array(std::move(c.reals)));
    else values = nb::cast(column_array(std::move(c.integers)));
    return nb::make_tuple(column_array(std::move(c.present)), column_array(std::move(c.offsets)), values,
                          column_array(std::move(c.item_valid)));
}

// The index's JSON column: the data set without bulk data.
std::string header_json(std::span<const std::uint8_t> header) {
    auto json = loamwerk::bridge::file_to_json(header, "", false);
    return json.ok() ? std::move(json.value) : std::string();
}

nb::dict index_files(const std::vector<Path>& paths, const std::vector<std::string>& keywords, bool with_json) {
    std::vector<loamwerk::fileset::ColumnSpec> specs;
    for (const std::string& k : keywords) {
        const auto spec = loamwerk::fileset::column_spec(k);
        if (!spec) throw nb::value_error(("cannot index " + k + ": not a DICOM keyword of a value that fits a column").c_str());
        specs.push_back(*spec);
    }
    const std::vector<std::string> files(paths.begin(), paths.end());
    auto batch = without_gil([&] { return loamwerk::fileset::index_files(files, specs, with_json ? header_json : nullptr); });
    nb::dict out;
    out["size"] = column_array(std::move(batch.sizes));
    nb::list errors;
    for (const std::string& e : batch.errors) errors.append(e.empty() ? nb::none() : nb::object(utf8_str(e)));
    out["error"] = errors;
    out["json"] = text_buffers(batch.json);
    nb::list columns;
    for (std::size_t c = 0; c < specs.size(); ++c)
        columns.append(nb::make_tuple(str_of(kind_name(specs[c].kind)), specs[c].multi,
                                      column_result(std::move(batch.columns[c]), specs[c].kind)));
    out["columns"] = columns;
    return out;
}

}  // namespace

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
        [](const std::vector<std::tuple<nb::bytes, std::string>>& inputs, const std::string& file_set_id,
           bool report) -> nb::object {
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
            if (!report) return to_bytes(r.bytes);
            nb::list invented;
            for (const auto& i : r.invented) {
                nb::dict d;
                d["file_id"] = i.file_id;
                d["record"] = std::string(i.record);
                d["keyword"] = std::string(loamwerk::dict::lookup_tag(i.tag).keyword);
                d["value"] = i.value;
                invented.append(d);
            }
            nb::dict summary;
            summary["patients"] = r.patients, summary["studies"] = r.studies, summary["series"] = r.series;
            summary["instances"] = r.instances, summary["skipped"] = r.skipped, summary["invented"] = invented;
            return nb::make_tuple(to_bytes(r.bytes), summary);
        },
        nb::arg("inputs"), nb::arg("file_set_id") = "", nb::kw_only(), nb::arg("report") = false,
        nb::sig("def build_dicomdir(inputs: Sequence[tuple[bytes, str]], file_set_id: str = '', *, "
                "report: bool = False) -> bytes | tuple[bytes, dict[str, Any]]"),
        "DICOMDIR bytes (Explicit VR Little Endian) for (Part-10 bytes, media-relative file ID) pairs:\n"
        "PATIENT / STUDY / SERIES / instance records in input order. Inputs without readable file meta,\n"
        "or in a big-endian or deflated syntax, are skipped. A Type 1 key an input lacks is invented\n"
        "from it; with report=True the result is (bytes, summary) and the summary lists them.");
    m.def("_index_files", &index_files, nb::arg("paths"), nb::arg("keywords"), nb::arg("with_json") = true,
          nb::sig("def _index_files(paths: Sequence[str | os.PathLike[str]], keywords: Sequence[str], "
                  "with_json: bool = True) -> dict[str, Any]"),
          "Reads each file's header (never its pixel data) into columns: 'size' (int64, -1 when it cannot "
          "be opened), 'error' (None or why the file could not be read), 'json' (the data set as DICOM "
          "JSON without bulk data, '' for files not read) and 'columns', one (kind, multi, (present, offsets, "
          "values, item_valid)) per keyword, kind one of 'text', 'integer', 'real', 'date' (days since "
          "1970-01-01) and 'time' (microseconds since midnight). Texts are (UTF-8 bytes end to end, int64 "
          "offsets) as uint8 and int64 arrays.");
}

}  // namespace loam::bind
