// Microscopy Bulk Simple Annotations.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "ann/read.hpp"
#include "ann/write.hpp"
#include "bindings/codes.hpp"
#include "bindings/common.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;
using Doubles = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

bool is_float32(const nb::handle& h) {
    return nb::hasattr(h, "dtype") && as_text(h.attr("dtype")) == "float32";
}

// A (points, dims) array (or nested lists) appended to `out`; its number of points.
std::size_t points_into(const nb::handle& h, std::size_t dims, std::vector<double>& out, const std::string& where) {
    Doubles a;
    nb::object given = nb::borrow(h);
    if (!nb::hasattr(given, "__array_interface__") && !nb::hasattr(given, "__dlpack__"))
        given = nb::module_::import_("numpy").attr("asarray")(given, "float64");
    if (!nb::try_cast(given, a, true) || a.ndim() != 2 || a.shape(1) != dims)
        throw nb::value_error((where + " must be a (points, " + std::to_string(dims) + ") array").c_str());
    out.insert(out.end(), a.data(), a.data() + a.size());
    return a.shape(0);
}

ann::Group group_from(const nb::handle& h, std::size_t index, std::size_t dims) {
    const std::string where = "write_ann: group " + std::to_string(index + 1);
    const nb::dict d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"number", "uid", "label", "description", "graphic_type", "annotations", "coordinates",
                            "starts", "double", "category", "type", "generation", "algorithm", "rgb", "optical_path",
                            "all_z_planes", "common_z", "measurements"},
                        where);
    ann::Group g;
    if (!d.contains("label") || !d.contains("graphic_type"))
        throw nb::value_error((where + " needs label and graphic_type").c_str());
    g.label = as_text(d["label"]);
    g.graphic_type = as_text(d["graphic_type"]);
    if (d.contains("number")) {
        const long n = option_value<long>(d["number"], where + " number");
        if (n < 1 || n > 65535) throw nb::value_error((where + " number is 1 to 65535").c_str());
        g.number = std::uint16_t(n);
    }
    if (d.contains("uid")) g.uid = as_text(d["uid"]);
    if (d.contains("description")) g.description = as_text(d["description"]);
    bool single = false;
    if (d.contains("annotations") == d.contains("coordinates"))
        throw nb::value_error((where + " needs either annotations (a list of (points, " + std::to_string(dims) +
                               ") arrays) or coordinates (with starts)").c_str());
    if (d.contains("annotations")) {
        std::size_t k = 0;
        for (nb::handle a : option_value<nb::sequence>(d["annotations"], where + " annotations")) {
            if (k == 0) single = is_float32(a);
            g.starts.push_back(std::uint32_t(g.coordinates.size() / dims));
            points_into(a, dims, g.coordinates, where + " annotation " + std::to_string(++k));
        }
    } else {
        single = is_float32(d["coordinates"]);
        const std::size_t points = points_into(d["coordinates"], dims, g.coordinates, where + " coordinates");
        if (d.contains("starts")) {
            nb::object given = d["starts"];
            if (nb::hasattr(given, "tolist")) given = given.attr("tolist")();
            for (long s : option_value<std::vector<long>>(given, where + " starts")) {
                if (s < 0 || std::size_t(s) > points) throw nb::value_error((where + " starts has a point past the coordinates").c_str());
                g.starts.push_back(std::uint32_t(s));
            }
        } else {
            const ann::PointCount per = ann::points_per_annotation(g.graphic_type);
            if (!per.exact) throw nb::value_error((where + ": a " + g.graphic_type + " group needs starts with its coordinates").c_str());
            for (std::size_t p = 0; p < points; p += per.count) g.starts.push_back(std::uint32_t(p));
            if (points % per.count)
                throw nb::value_error((where + ": " + std::to_string(points) + " points do not make whole " + g.graphic_type +
                                       " annotations of " + std::to_string(per.count)).c_str());
        }
    }
    g.double_precision = d.contains("double") ? option_value<bool>(d["double"], where + " double") : !single;
    if (d.contains("category")) g.category = code_from(d["category"], where + " category");
    if (d.contains("type")) g.type = code_from(d["type"], where + " type");
    if (d.contains("generation")) g.generation = as_text(d["generation"]);
    if (d.contains("algorithm") && !d["algorithm"].is_none()) {
        const nb::dict a = option_value<nb::dict>(d["algorithm"], where + " algorithm");
        refuse_unknown_keys(a, {"family", "name", "version", "parameters"}, where + " algorithm");
        if (a.contains("family")) g.algorithm_family = code_from(a["family"], where + " algorithm family");
        if (a.contains("name")) g.algorithm_name = as_text(a["name"]);
        if (a.contains("version")) g.algorithm_version = as_text(a["version"]);
        if (a.contains("parameters")) g.algorithm_parameters = as_text(a["parameters"]);
    }
    if (d.contains("rgb") && !d["rgb"].is_none()) g.rgb = rgb_from(d["rgb"], where + " rgb");
    if (d.contains("optical_path") && !d["optical_path"].is_none()) g.optical_path = as_text(d["optical_path"]);
    if (d.contains("all_z_planes") && !d["all_z_planes"].is_none())
        g.all_z_planes = option_value<bool>(d["all_z_planes"], where + " all_z_planes");
    if (d.contains("common_z") && !d["common_z"].is_none()) g.common_z = option_value<double>(d["common_z"], where + " common_z");
    if (d.contains("measurements"))
        for (nb::handle mh : option_value<nb::sequence>(d["measurements"], where + " measurements")) {
            const nb::dict m = option_value<nb::dict>(mh, where + " measurement");
            refuse_unknown_keys(m, {"name", "unit", "values"}, where + " measurement");
            if (!m.contains("name") || !m.contains("unit") || !m.contains("values"))
                throw nb::value_error((where + ": a measurement needs name, unit and values").c_str());
            ann::Measurement am;
            am.name = code_from(m["name"], where + " measurement name");
            am.unit = code_from(m["unit"], where + " measurement unit");
            Doubles v;
            if (!nb::try_cast(m["values"], v, true) || v.ndim() != 1)
                throw nb::value_error((where + " measurement values must be a 1-D array of numbers").c_str());
            am.values.assign(v.data(), v.data() + v.size());
            g.measurements.push_back(std::move(am));
        }
    return g;
}

nb::dict group_dict(const ann::Group& g, std::size_t dims) {
    nb::dict d;
    d["number"] = int(g.number);
    d["uid"] = utf8_str(g.uid);
    d["label"] = utf8_str(g.label);
    d["description"] = utf8_str(g.description);
    d["graphic_type"] = utf8_str(g.graphic_type);
    const std::size_t points = g.coordinates.size() / dims;
    if (g.double_precision) {
        d["coordinates"] = to_array(std::vector<double>(g.coordinates), {points, dims}, nb::dtype<double>());
    } else {
        d["coordinates"] = to_array(std::vector<float>(g.coordinates.begin(), g.coordinates.end()), {points, dims},
                                    nb::dtype<float>());
    }
    d["starts"] = to_array(std::vector<std::int64_t>(g.starts.begin(), g.starts.end()), {g.starts.size()},
                           nb::dtype<std::int64_t>());
    d["double"] = g.double_precision;
    d["category"] = code_tuple(g.category);
    d["type"] = code_tuple(g.type);
    d["generation"] = utf8_str(g.generation);
    if (g.algorithm_name.empty() && !g.algorithm_family.present()) {
        d["algorithm"] = nb::none();
    } else {
        nb::dict a;
        a["family"] = code_tuple(g.algorithm_family);
        a["name"] = utf8_str(g.algorithm_name);
        a["version"] = utf8_str(g.algorithm_version);
        a["parameters"] = utf8_str(g.algorithm_parameters);
        d["algorithm"] = a;
    }
    d["rgb"] = rgb_tuple(g.rgb);
    d["optical_path"] = g.optical_path.empty() ? nb::object(nb::none()) : nb::object(utf8_str(g.optical_path));
    d["all_z_planes"] = g.all_z_planes ? nb::object(nb::bool_(*g.all_z_planes)) : nb::object(nb::none());
    d["common_z"] = g.common_z ? nb::object(nb::float_(*g.common_z)) : nb::object(nb::none());
    nb::list ms;
    for (const ann::Measurement& m : g.measurements) {
        nb::dict md;
        md["name"] = code_tuple(m.name);
        md["unit"] = code_tuple(m.unit);
        md["values"] = to_array(std::vector<float>(m.values), {m.values.size()}, nb::dtype<float>());
        ms.append(md);
    }
    d["measurements"] = ms;
    return d;
}

}  // namespace

void register_ann(nb::module_& m) {
    m.def(
        "write_ann",
        [](const Path& reference_path, const nb::sequence& groups, const std::string& coordinate_type,
           const std::string& pixel_origin, const std::string& content_label, const std::string& content_description,
           const std::string& content_creator, const Path& output, const std::optional<nb::dict>& identity,
           const std::string& sop_instance_uid, const std::string& series_instance_uid) -> nb::object {
            require_choice(coordinate_type, {"2D", "3D"}, "coordinate_type");
            require_choice(pixel_origin, {"VOLUME", "FRAME"}, "pixel_origin");
            ann::Annotations a;
            a.coordinate_type = coordinate_type, a.pixel_origin = pixel_origin;
            a.content_label = content_label, a.content_description = content_description;
            a.content_creator = content_creator;
            const std::size_t dims = coordinate_type == "3D" ? 3 : 2;
            for (nb::handle h : groups) a.groups.push_back(group_from(h, a.groups.size(), dims));
            Identity who;
            read_identity(identity, who, false, "write_ann");
            check_opens(reference_path);
            std::vector<std::uint8_t> out = without_gil([&] {
                try {
                    return ann::write_annotations(a, reference_path, who, sop_instance_uid, series_instance_uid);
                } catch (const std::invalid_argument& e) {
                    throw std::domain_error(e.what());
                }
            });
            return bytes_or_file(out, output);
        },
        nb::arg("reference_path"), nb::arg("groups"), nb::kw_only(), nb::arg("coordinate_type") = "2D",
        nb::arg("pixel_origin") = "VOLUME", nb::arg("content_label") = "ANNOTATIONS",
        nb::arg("content_description") = "", nb::arg("content_creator") = "", nb::arg("output") = "",
        nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_ann(reference_path: str | os.PathLike[str], groups: Sequence[dict[str, Any]], *, "
                "coordinate_type: str = '2D', pixel_origin: str = 'VOLUME', content_label: str = 'ANNOTATIONS', "
                "content_description: str = '', content_creator: str = '', output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None, sop_instance_uid: str = '', "
                "series_instance_uid: str = '') -> bytes | None"),
        "Microscopy Bulk Simple Annotations on a slide image: groups of points, polylines, polygons, ellipses or "
        "rectangles in image (column, row) or slide (x, y, z mm) coordinates.");
    m.def(
        "read_ann",
        [](const Source& source) {
            OwnedBuffer file;
            const std::span<const std::uint8_t> bytes = source_bytes(source, file);
            const std::string where = source_name(source);
            const ann::Annotations a = without_gil([&] { return ann::read_annotations(bytes, where); });
            const std::size_t dims = a.coordinate_type == "3D" ? 3 : 2;
            nb::dict out;
            nb::list groups;
            for (const ann::Group& g : a.groups) groups.append(group_dict(g, dims));
            out["groups"] = groups;
            out["coordinate_type"] = utf8_str(a.coordinate_type);
            out["pixel_origin"] = utf8_str(a.pixel_origin);
            put_content_header(out, a);
            out["referenced_image_uid"] = utf8_str(a.referenced_image_uid);
            return out;
        },
        nb::arg("source"), nb::sig("def read_ann(source: bytes | str | os.PathLike[str]) -> dict[str, Any]"),
        "The annotation groups of a Microscopy Bulk Simple Annotations object: each group's points as one "
        "(points, 2 or 3) array with the 0-based first point of each annotation.");
}

}  // namespace loam::bind
