// Surface Segmentations.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/codes.hpp"
#include "bindings/common.hpp"
#include "core/image_header.hpp"
#include "surface/read.hpp"
#include "surface/write.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;
using Floats = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;
using Indices = nb::ndarray<const std::int64_t, nb::c_contig, nb::device::cpu>;

template <class Array>
Array table(const nb::handle& h, std::size_t columns, const std::string& where) {
    Array a;
    nb::object given = nb::borrow(h);
    if (!nb::hasattr(given, "__array_interface__") && !nb::hasattr(given, "__dlpack__"))
        given = nb::module_::import_("numpy").attr("asarray")(given);
    if (!nb::try_cast(given, a, true) || a.ndim() != 2 || a.shape(1) != columns)
        throw nb::value_error((where + " must be a (rows, " + std::to_string(columns) + ") array").c_str());
    return a;
}

surface::Mesh mesh_from(const nb::dict& d, const std::string& where) {
    surface::Mesh m;
    if (!d.contains("vertices") || !d.contains("faces")) throw nb::value_error((where + " needs vertices and faces").c_str());
    const Floats v = table<Floats>(d["vertices"], 3, where + " vertices");
    m.points.assign(v.data(), v.data() + v.size());
    const Indices f = table<Indices>(d["faces"], 3, where + " faces");
    for (std::size_t i = 0; i < f.size(); ++i) {
        if (f.data()[i] < 0 || f.data()[i] > 0xFFFFFFFEll)
            throw nb::value_error((where + " faces must be vertex indices from 0").c_str());
        m.triangles.push_back(std::uint32_t(f.data()[i]));
    }
    if (d.contains("normals") && !d["normals"].is_none()) {
        const Floats n = table<Floats>(d["normals"], 3, where + " normals");
        m.normals.assign(n.data(), n.data() + n.size());
    }
    if (d.contains("rgb") && !d["rgb"].is_none()) m.rgb = rgb_from(d["rgb"], where + " rgb");
    if (d.contains("opacity")) m.opacity = option_value<float>(d["opacity"], where + " opacity");
    if (d.contains("presentation")) m.presentation = as_text(d["presentation"]);
    if (d.contains("finite_volume") && !d["finite_volume"].is_none()) m.finite_volume = as_text(d["finite_volume"]);
    if (d.contains("manifold") && !d["manifold"].is_none()) m.manifold = as_text(d["manifold"]);
    if (d.contains("comments")) m.comments = as_text(d["comments"]);
    if (d.contains("algorithm") && !d["algorithm"].is_none()) {
        const nb::dict a = option_value<nb::dict>(d["algorithm"], where + " algorithm");
        refuse_unknown_keys(a, {"family", "name", "version"}, where + " algorithm");
        if (a.contains("family")) m.algorithm_family = code_from(a["family"], where + " algorithm family");
        if (a.contains("name")) m.algorithm_name = as_text(a["name"]);
        if (a.contains("version")) m.algorithm_version = as_text(a["version"]);
    }
    return m;
}

surface::Segment segment_from(const nb::handle& h, std::size_t index) {
    const std::string where = "write_surface: segment " + std::to_string(index + 1);
    const nb::dict d = option_value<nb::dict>(h, where);
    const bool shorthand = d.contains("vertices");  // a segment of one surface, given inline
    if (shorthand)
        refuse_unknown_keys(d, {"label", "description", "category", "type", "anatomic", "algorithm_type", "algorithm_name",
                                "vertices", "faces", "normals", "rgb", "opacity", "presentation", "finite_volume",
                                "manifold", "comments", "algorithm"},
                            where);
    else
        refuse_unknown_keys(d, {"label", "description", "category", "type", "anatomic", "algorithm_type", "algorithm_name",
                                "surfaces"},
                            where);
    surface::Segment s;
    if (!d.contains("label")) throw nb::value_error((where + " needs a label").c_str());
    s.label = as_text(d["label"]);
    if (d.contains("description")) s.description = as_text(d["description"]);
    if (d.contains("category")) s.category = code_from(d["category"], where + " category");
    if (d.contains("type")) s.type = code_from(d["type"], where + " type");
    if (d.contains("anatomic") && !d["anatomic"].is_none()) s.anatomic = code_from(d["anatomic"], where + " anatomic");
    if (d.contains("algorithm_type")) s.algorithm_type = as_text(d["algorithm_type"]);
    if (d.contains("algorithm_name")) s.algorithm_name = as_text(d["algorithm_name"]);
    if (shorthand == d.contains("surfaces"))
        throw nb::value_error((where + " needs either surfaces (a list of meshes) or one mesh's vertices and faces").c_str());
    if (shorthand) {
        s.surfaces.push_back(mesh_from(d, where));
    } else {
        for (nb::handle m : option_value<nb::sequence>(d["surfaces"], where + " surfaces")) {
            const std::string at = where + " surface " + std::to_string(s.surfaces.size() + 1);
            const nb::dict md = option_value<nb::dict>(m, at);
            refuse_unknown_keys(md, {"vertices", "faces", "normals", "rgb", "opacity", "presentation", "finite_volume",
                                     "manifold", "comments", "algorithm"},
                                at);
            s.surfaces.push_back(mesh_from(md, at));
        }
    }
    return s;
}

nb::dict mesh_dict(const surface::Mesh& m) {
    nb::dict d;
    d["vertices"] = to_array(std::vector<float>(m.points), {m.points.size() / 3, 3}, nb::dtype<float>());
    d["faces"] = to_array(std::vector<std::int64_t>(m.triangles.begin(), m.triangles.end()), {m.triangles.size() / 3, 3},
                          nb::dtype<std::int64_t>());
    if (m.normals.empty())
        d["normals"] = nb::none();
    else
        d["normals"] = to_array(std::vector<float>(m.normals), {m.normals.size() / 3, 3}, nb::dtype<float>());
    d["rgb"] = rgb_tuple(m.rgb);
    d["opacity"] = m.opacity;
    d["presentation"] = utf8_str(m.presentation);
    d["finite_volume"] = utf8_str(m.finite_volume);
    d["manifold"] = utf8_str(m.manifold);
    d["comments"] = utf8_str(m.comments);
    nb::dict a;
    a["family"] = code_tuple(m.algorithm_family);
    a["name"] = utf8_str(m.algorithm_name);
    a["version"] = utf8_str(m.algorithm_version);
    d["algorithm"] = a;
    return d;
}

}  // namespace

void register_surface(nb::module_& m) {
    m.def(
        "write_surface",
        [](const std::vector<Path>& reference_paths, const nb::sequence& segments, const std::string& content_label,
           const std::string& content_description, const std::string& content_creator, const Path& output,
           const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            surface::SurfaceSegmentation s;
            for (nb::handle h : segments) s.segments.push_back(segment_from(h, s.segments.size()));
            s.content_label = content_label, s.content_description = content_description;
            s.content_creator = content_creator;
            Identity who;
            read_identity(identity, who, false, "write_surface");
            for (const Path& p : reference_paths) check_opens(p);
            std::vector<std::uint8_t> out = without_gil([&] {
                const std::vector<ImageHeader> refs = read_image_headers(strings(reference_paths));
                try {
                    return surface::write_surface_segmentation(s, refs, who, sop_instance_uid, series_instance_uid);
                } catch (const std::invalid_argument& e) {
                    throw std::domain_error(e.what());
                }
            });
            return bytes_or_file(out, output);
        },
        nb::arg("reference_paths"), nb::arg("segments"), nb::kw_only(), nb::arg("content_label") = "SURFACES",
        nb::arg("content_description") = "", nb::arg("content_creator") = "", nb::arg("output") = "",
        nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_surface(reference_paths: Sequence[str | os.PathLike[str]], segments: Sequence[dict[str, Any]], "
                "*, content_label: str = 'SURFACES', content_description: str = '', content_creator: str = '', output: "
                "str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, sop_instance_uid: str = '', "
                "series_instance_uid: str = '') -> bytes | None"),
        "A Surface Segmentation of segments, each one or more triangle meshes (vertices in patient LPS mm, "
        "faces 0-based) on the reference series.");
    m.def(
        "read_surface",
        [](const Source& source) {
            OwnedBuffer file;
            const std::span<const std::uint8_t> bytes = source_bytes(source, file);
            const std::string where = source_name(source);
            const surface::SurfaceSegmentation s =
                without_gil([&] { return surface::read_surface_segmentation(bytes, where); });
            nb::list segments;
            for (const surface::Segment& seg : s.segments) {
                nb::dict d;
                d["label"] = utf8_str(seg.label);
                d["description"] = utf8_str(seg.description);
                d["category"] = code_tuple(seg.category);
                d["type"] = code_tuple(seg.type);
                d["anatomic"] = seg.anatomic.present() ? nb::object(code_tuple(seg.anatomic)) : nb::object(nb::none());
                d["algorithm_type"] = utf8_str(seg.algorithm_type);
                d["algorithm_name"] = utf8_str(seg.algorithm_name);
                nb::list meshes;
                for (const surface::Mesh& mesh : seg.surfaces) meshes.append(mesh_dict(mesh));
                d["surfaces"] = meshes;
                segments.append(d);
            }
            nb::dict out;
            out["segments"] = segments;
            put_content_header(out, s);
            return out;
        },
        nb::arg("source"), nb::sig("def read_surface(source: bytes | str | os.PathLike[str]) -> dict[str, Any]"),
        "The segments of a Surface Segmentation, each with its meshes: float32 (points, 3) vertices in LPS mm and "
        "int64 (triangles, 3) faces counted from 0.");
}

}  // namespace loam::bind
