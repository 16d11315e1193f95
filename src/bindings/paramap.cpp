// Parametric maps: write_paramap and paramap_meta, with dcmqi's metadata JSON as the description.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/image_header.hpp"
#include "core/writer.hpp"
#include "paramap/read.hpp"
#include "paramap/write.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;
using namespace loamwerk::paramap;
using AnyArray = nb::ndarray<nb::c_contig, nb::device::cpu>;

constexpr const char* kWhere = "write_paramap: meta";

std::optional<Code> code_from(const nb::dict& meta, const char* key) {
    if (!meta.contains(key) || meta[key].is_none()) return std::nullopt;
    const std::string here = std::string(kWhere) + " '" + key + "'";
    const auto c = option_value<nb::dict>(meta[key], here);
    refuse_unknown_keys(c, {"CodeValue", "CodingSchemeDesignator", "CodeMeaning"}, here);
    Code code;
    for (auto [k, out] : {std::pair{"CodeValue", &code.value}, {"CodingSchemeDesignator", &code.scheme}, {"CodeMeaning", &code.meaning}})
        if (c.contains(k)) *out = option_value<std::string>(c[k], here + " " + k);
    return code;
}

// dcmqi writes numbers as strings ("701", "1"); JSON may give them as numbers.
std::string text_from(const nb::dict& meta, const char* key) {
    nb::handle v = meta[key];
    if (nb::isinstance<nb::str>(v)) return nb::cast<std::string>(v);
    if (nb::isinstance<nb::int_>(v) || nb::isinstance<nb::float_>(v)) return as_text(v);
    throw nb::type_error((std::string(kWhere) + " '" + key + "' must be a str or a number").c_str());
}

double number_from(const nb::dict& meta, const char* key) {
    const std::string t = text_from(meta, key);
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || *end) throw nb::value_error((std::string(kWhere) + " '" + key + "' must be a number, not '" + t + "'").c_str());
    return v;
}

Meta meta_from(const nb::dict& d) {
    refuse_unknown_keys(d, {"@schema", "SeriesDescription", "SeriesNumber", "InstanceNumber", "BodyPartExamined",
                            "QuantityValueCode", "MeasurementUnitsCode", "MeasurementMethodCode", "ModelFittingMethodCode",
                            "DerivationCode", "DerivationDescription", "SourceImageDiffusionBValues", "RealWorldValueSlope",
                            "RealWorldValueIntercept", "AnatomicRegionSequence", "FrameLaterality", "DerivedPixelContrast",
                            "ContentLabel", "ContentDescription", "ContentCreatorName"},
                       kWhere);
    Meta m;
    const auto text = [&](const char* key, std::string& out) {
        if (d.contains(key) && !d[key].is_none()) out = text_from(d, key);
    };
    text("SeriesDescription", m.series_description);
    text("SeriesNumber", m.series_number);
    text("InstanceNumber", m.instance_number);
    text("BodyPartExamined", m.body_part_examined);
    text("DerivationDescription", m.derivation_description);
    text("FrameLaterality", m.frame_laterality);
    text("DerivedPixelContrast", m.derived_pixel_contrast);
    text("ContentLabel", m.content_label);
    text("ContentDescription", m.content_description);
    text("ContentCreatorName", m.content_creator);
    m.quantity = code_from(d, "QuantityValueCode");
    m.units = code_from(d, "MeasurementUnitsCode");
    m.measurement_method = code_from(d, "MeasurementMethodCode");
    m.model_fitting_method = code_from(d, "ModelFittingMethodCode");
    m.derivation = code_from(d, "DerivationCode");
    m.anatomic_region = code_from(d, "AnatomicRegionSequence");
    if (d.contains("RealWorldValueSlope")) m.slope = number_from(d, "RealWorldValueSlope");
    if (d.contains("RealWorldValueIntercept")) m.intercept = number_from(d, "RealWorldValueIntercept");
    if (d.contains("SourceImageDiffusionBValues"))
        for (nb::handle b : option_value<nb::list>(d["SourceImageDiffusionBValues"], std::string(kWhere) + " 'SourceImageDiffusionBValues'"))
            m.b_values.push_back(nb::isinstance<nb::str>(b) ? nb::cast<std::string>(b) : as_text(b));
    return m;
}

nb::dict code_dict(const Code& c) {
    nb::dict d;
    d["CodeValue"] = utf8_str(c.value), d["CodingSchemeDesignator"] = utf8_str(c.scheme), d["CodeMeaning"] = utf8_str(c.meaning);
    return d;
}

nb::dict meta_dict(const Meta& m) {
    nb::dict d;
    if (m.anatomic_region) d["AnatomicRegionSequence"] = code_dict(*m.anatomic_region);
    d["BodyPartExamined"] = utf8_str(m.body_part_examined);
    if (m.derivation) d["DerivationCode"] = code_dict(*m.derivation);
    d["DerivationDescription"] = utf8_str(m.derivation_description);
    d["DerivedPixelContrast"] = utf8_str(m.derived_pixel_contrast);
    d["FrameLaterality"] = utf8_str(m.frame_laterality);
    d["InstanceNumber"] = utf8_str(m.instance_number);
    if (m.measurement_method) d["MeasurementMethodCode"] = code_dict(*m.measurement_method);
    if (m.units) d["MeasurementUnitsCode"] = code_dict(*m.units);
    if (m.model_fitting_method) d["ModelFittingMethodCode"] = code_dict(*m.model_fitting_method);
    if (m.quantity) d["QuantityValueCode"] = code_dict(*m.quantity);
    if (m.intercept != 0) d["RealWorldValueIntercept"] = format_decimal(m.intercept);
    d["RealWorldValueSlope"] = format_decimal(m.slope);
    d["SeriesDescription"] = utf8_str(m.series_description);
    d["SeriesNumber"] = utf8_str(m.series_number);
    if (!m.b_values.empty()) d["SourceImageDiffusionBValues"] = utf8_list(m.b_values);
    return d;
}

std::optional<std::array<double, 16>> affine_from(const std::optional<nb::object>& given) {
    if (!given || given->is_none()) return std::nullopt;
    std::array<double, 16> a{};
    // A 4 x 4 matrix, or 16 numbers column-major as assemble_volume gives them.
    if (nb::hasattr(*given, "ndim") && nb::cast<long>(given->attr("ndim")) == 2) {
        const auto rows = option_value<std::vector<std::vector<double>>>(given->attr("tolist")(), "write_paramap: affine");
        if (rows.size() != 4 || std::any_of(rows.begin(), rows.end(), [](const auto& r) { return r.size() != 4; }))
            throw nb::value_error("write_paramap: affine must be a 4 x 4 matrix or 16 numbers (column-major)");
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) a[std::size_t(c * 4 + r)] = rows[std::size_t(r)][std::size_t(c)];
        return a;
    }
    nb::object flat = nb::hasattr(*given, "tolist") ? given->attr("tolist")() : *given;
    const auto v = option_value<std::vector<double>>(flat, "write_paramap: affine");
    if (v.size() != 16) throw nb::value_error("write_paramap: affine must be a 4 x 4 matrix or 16 numbers (column-major)");
    std::copy(v.begin(), v.end(), a.begin());
    return a;
}

}  // namespace

void register_paramap(nb::module_& m) {
    m.def(
        "write_paramap",
        [](const std::vector<Path>& ref_paths, AnyArray array, const std::optional<nb::object>& affine,
           const std::optional<nb::dict>& meta, const Path& output, const std::optional<nb::dict>& identity,
           const std::string& sop_instance_uid, const std::string& series_instance_uid) -> nb::object {
            Volume v;
            if (array.dtype() == nb::dtype<float>()) v.sample = Sample::kFloat32;
            else if (array.dtype() == nb::dtype<std::uint16_t>()) v.sample = Sample::kUint16;
            else if (array.dtype() == nb::dtype<std::int16_t>()) v.sample = Sample::kInt16;
            else throw nb::value_error("write_paramap: unsupported dtype (float32/uint16/int16)");
            if (array.ndim() != 2 && array.ndim() != 3)
                throw nb::value_error("write_paramap: array must be (rows, columns) or (frames, rows, columns)");
            v.frames = array.ndim() == 3 ? array.shape(0) : 1;
            v.rows = array.shape(array.ndim() - 2), v.columns = array.shape(array.ndim() - 1);
            v.data = {static_cast<const std::uint8_t*>(array.data()), array.nbytes()};
            v.affine = affine_from(affine);
            Meta description = meta ? meta_from(*meta) : Meta{};
            Identity who{"loam", "loam", "loam", "1", "", "", ""};
            read_identity(identity, who, false, "write_paramap");
            if (!who.series_number.empty()) description.series_number = who.series_number;
            if (!who.series_description.empty()) description.series_description = who.series_description;
            const Written map = without_gil([&] {
                return write_paramap(v, read_image_headers(strings(ref_paths)), description, who,
                                     {sop_instance_uid, series_instance_uid});
            });
            return bytes_or_file({map.head, map.pixels}, output);
        },
        nb::arg("ref_paths"), nb::arg("array"), nb::arg("affine") = nb::none(), nb::arg("meta") = nb::none(), nb::kw_only(),
        nb::arg("output") = "", nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "",
        nb::arg("series_instance_uid") = "",
        nb::sig("def write_paramap(ref_paths: Sequence[str | os.PathLike[str]], array: numpy.typing.NDArray, "
                "affine: Sequence[float] | numpy.typing.NDArray | None = None, meta: dict | None = None, *, "
                "output: str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, "
                "sop_instance_uid: str = '', series_instance_uid: str = '') -> bytes | None"),
        "A Parametric Map of float32 (Float Pixel Data) or 16-bit values with their real-world value mapping, "
        "described by dcmqi's metadata JSON.");
    m.def(
        "paramap_meta",
        [](const Source& source) {
            loamwerk::OwnedBuffer file;
            const auto bytes = source_bytes(source, file);
            const Meta meta = without_gil([&] { return read_meta(bytes); });
            return meta_dict(meta);
        },
        nb::arg("source"), nb::sig("def paramap_meta(source: str | os.PathLike[str] | bytes) -> dict"),
        "A Parametric Map's description in dcmqi's metadata JSON layout.");
}

}  // namespace loam::bind
