// Spatial and deformable registrations.
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
#include "reg/read.hpp"
#include "reg/write.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;
using Floats = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;

std::vector<double> doubles(const nb::handle& h, std::size_t count, const std::string& where) {
    nb::object given = nb::borrow(h);
    if (nb::hasattr(given, "tolist")) given = given.attr("tolist")();
    std::vector<double> out;
    for (nb::handle row : option_value<nb::sequence>(given, where)) {
        if (nb::isinstance<nb::sequence>(row) && !nb::isinstance<nb::str>(row))
            for (nb::handle v : nb::borrow<nb::sequence>(row)) out.push_back(option_value<double>(v, where));
        else
            out.push_back(option_value<double>(row, where));
    }
    if (out.size() != count) throw nb::value_error((where + " needs " + std::to_string(count) + " numbers").c_str());
    return out;
}

reg::Matrix matrix_from(const nb::handle& h, const std::string& where) {
    const std::vector<double> v = doubles(h, 16, where + " (a 4 x 4 matrix)");
    reg::Matrix m;
    std::copy(v.begin(), v.end(), m.begin());
    return m;
}

// A matrix, or {"matrix", "type"}; the type found from the matrix when not given.
reg::Step step_from(const nb::handle& h, const std::string& where) {
    reg::Step s;
    if (nb::isinstance<nb::dict>(h)) {
        const nb::dict d = nb::borrow<nb::dict>(h);
        refuse_unknown_keys(d, {"matrix", "type"}, where);
        if (!d.contains("matrix")) throw nb::value_error((where + " needs its matrix").c_str());
        s.matrix = matrix_from(d["matrix"], where);
        s.type = d.contains("type") ? as_text(d["type"]) : reg::matrix_type(s.matrix);
    } else {
        s.matrix = matrix_from(h, where);
        s.type = reg::matrix_type(s.matrix);
    }
    return s;
}

reg::Grid grid_from(const nb::handle& h, const std::string& where) {
    const nb::dict d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"origin", "orientation", "spacing", "vectors"}, where);
    if (!d.contains("origin") || !d.contains("spacing") || !d.contains("vectors"))
        throw nb::value_error((where + " needs origin, spacing and vectors").c_str());
    reg::Grid g;
    const std::vector<double> origin = doubles(d["origin"], 3, where + " origin");
    const std::vector<double> spacing = doubles(d["spacing"], 3, where + " spacing");
    std::copy(origin.begin(), origin.end(), g.position.begin());
    std::copy(spacing.begin(), spacing.end(), g.resolution.begin());
    if (d.contains("orientation")) {
        const std::vector<double> o = doubles(d["orientation"], 6, where + " orientation");
        std::copy(o.begin(), o.end(), g.orientation.begin());
    }
    Floats v;
    if (!nb::try_cast(d["vectors"], v, true) || v.ndim() != 4 || v.shape(3) != 3)
        throw nb::value_error((where + " vectors must be a (z, y, x, 3) array of displacements in mm").c_str());
    g.dimensions = {std::uint32_t(v.shape(2)), std::uint32_t(v.shape(1)), std::uint32_t(v.shape(0))};
    g.vectors.assign(v.data(), v.data() + v.size());
    return g;
}

nb::object matrix_array(const reg::Matrix& m) {
    return nb::cast(to_array(std::vector<double>(m.begin(), m.end()), {4, 4}, nb::dtype<double>()));
}

nb::dict grid_dict(const reg::Grid& g) {
    nb::dict d;
    d["origin"] = nb::make_tuple(g.position[0], g.position[1], g.position[2]);
    d["orientation"] = nb::make_tuple(g.orientation[0], g.orientation[1], g.orientation[2], g.orientation[3],
                                      g.orientation[4], g.orientation[5]);
    d["spacing"] = nb::make_tuple(g.resolution[0], g.resolution[1], g.resolution[2]);
    d["vectors"] = to_array(std::vector<float>(g.vectors), {g.dimensions[2], g.dimensions[1], g.dimensions[0], 3},
                            nb::dtype<float>());
    return d;
}

reg::Registration read_source(const Source& source) {
    OwnedBuffer file;
    const std::span<const std::uint8_t> bytes = source_bytes(source, file);
    const std::string where = source_name(source);
    return without_gil([&] { return reg::read_registration(bytes, where); });
}

}  // namespace

void register_reg(nb::module_& m) {
    m.def(
        "write_registration",
        [](const std::vector<Path>& fixed_paths, const nb::sequence& registrations, bool deformable,
           const std::string& content_label, const std::string& content_description, const std::string& content_creator,
           const Path& output, const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            reg::Registration r;
            r.deformable = deformable;
            r.content_label = content_label, r.content_description = content_description;
            r.content_creator = content_creator;
            std::vector<std::vector<std::string>> image_paths;
            for (nb::handle h : registrations) {
                const std::string where = "write_registration: registration " + std::to_string(r.items.size() + 1);
                const nb::dict d = option_value<nb::dict>(h, where);
                refuse_unknown_keys(d, {"frame_of_reference_uid", "images", "matrix", "matrices", "pre", "post", "grid",
                                        "comment", "registration_type"},
                                    where);
                reg::Item item;
                if (d.contains("frame_of_reference_uid")) item.source_frame = as_text(d["frame_of_reference_uid"]);
                std::vector<std::string> paths;
                if (d.contains("images"))
                    for (nb::handle p : option_value<nb::sequence>(d["images"], where + " images"))
                        paths.push_back(nb::cast<Path>(p));
                image_paths.push_back(std::move(paths));
                if (d.contains("matrix")) item.matrices.push_back(step_from(d["matrix"], where + " matrix"));
                if (d.contains("matrices"))
                    for (nb::handle s : option_value<nb::sequence>(d["matrices"], where + " matrices"))
                        item.matrices.push_back(step_from(s, where + " matrices"));
                if (d.contains("pre") && !d["pre"].is_none()) item.pre = step_from(d["pre"], where + " pre");
                if (d.contains("post") && !d["post"].is_none()) item.post = step_from(d["post"], where + " post");
                if (d.contains("grid") && !d["grid"].is_none()) item.grid = grid_from(d["grid"], where + " grid");
                if (d.contains("comment")) item.comment = as_text(d["comment"]);
                if (d.contains("registration_type") && !d["registration_type"].is_none())
                    item.type = code_from(d["registration_type"], where + " registration_type");
                r.items.push_back(std::move(item));
            }
            Identity who;
            read_identity(identity, who, false, "write_registration");
            for (const Path& p : fixed_paths) check_opens(p);
            for (const auto& list : image_paths)
                for (const std::string& p : list) check_opens(p);
            std::vector<std::uint8_t> out = without_gil([&] {
                const std::vector<ImageHeader> fixed = read_image_headers(strings(fixed_paths));
                reg::SourceImages sources;
                for (std::size_t i = 0; i < image_paths.size(); ++i) {
                    sources.push_back(read_image_headers(image_paths[i]));
                    if (r.items[i].source_frame.empty() && !sources.back().empty())
                        r.items[i].source_frame = sources.back()[0].frame_of_reference_uid;
                }
                try {
                    return reg::write_registration(r, fixed, sources, who, sop_instance_uid, series_instance_uid);
                } catch (const std::invalid_argument& e) {
                    throw std::domain_error(e.what());
                }
            });
            return bytes_or_file(out, output);
        },
        nb::arg("fixed_paths"), nb::arg("registrations"), nb::kw_only(), nb::arg("deformable") = false,
        nb::arg("content_label") = "REGISTRATION", nb::arg("content_description") = "",
        nb::arg("content_creator") = "", nb::arg("output") = "", nb::arg("identity") = nb::none(),
        nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_registration(fixed_paths: Sequence[str | os.PathLike[str]], registrations: "
                "Sequence[dict[str, Any]], *, deformable: bool = False, content_label: str = 'REGISTRATION', "
                "content_description: str = '', content_creator: str = '', output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None, sop_instance_uid: str = '', series_instance_uid: str = '') "
                "-> bytes | None"),
        "A Spatial Registration (matrices taking each source frame's points into the fixed images' frame) or, with "
        "deformable=True, a Deformable Spatial Registration (pre-matrix, displacement grid and post-matrix taking "
        "the fixed frame's points into each source frame).");
    m.def(
        "read_registration",
        [](const Source& source) {
            const reg::Registration r = read_source(source);
            nb::list items;
            for (const reg::Item& item : r.items) {
                nb::dict d;
                d["frame_of_reference_uid"] = utf8_str(item.source_frame);
                nb::list images;
                for (const InstanceReference& i : item.images) images.append(utf8_str(i.sop_instance_uid));
                d["images"] = images;
                nb::list steps;
                for (const reg::Step& s : item.matrices) {
                    nb::dict sd;
                    sd["matrix"] = matrix_array(s.matrix);
                    sd["type"] = utf8_str(s.type);
                    steps.append(sd);
                }
                d["matrices"] = steps;
                d["matrix"] = r.deformable ? nb::object(nb::none()) : matrix_array(reg::composite(item));
                d["pre"] = item.pre ? matrix_array(item.pre->matrix) : nb::object(nb::none());
                d["post"] = item.post ? matrix_array(item.post->matrix) : nb::object(nb::none());
                d["grid"] = item.grid ? nb::object(grid_dict(*item.grid)) : nb::object(nb::none());
                d["comment"] = utf8_str(item.comment);
                d["registration_type"] = item.type.present() ? nb::object(code_tuple(item.type)) : nb::object(nb::none());
                items.append(d);
            }
            nb::dict out;
            out["deformable"] = r.deformable;
            out["registered_frame"] = utf8_str(r.frame_of_reference_uid);
            out["registrations"] = items;
            put_content_header(out, r);
            return out;
        },
        nb::arg("source"), nb::sig("def read_registration(source: bytes | str | os.PathLike[str]) -> dict[str, Any]"),
        "The registrations of a Spatial or Deformable Spatial Registration object.");
    m.def(
        "registration_transform",
        [](const Source& source, const std::string& from_frame, const std::string& to_frame) -> nb::object {
            const reg::Registration r = read_source(source);
            reg::Transform t;
            try {
                t = reg::transform_between(r, from_frame, to_frame);
            } catch (const std::invalid_argument& e) {
                throw nb::value_error(("registration_transform: " + std::string(e.what())).c_str());
            }
            if (t.matrix) return matrix_array(*t.matrix);
            nb::dict d;
            d["pre"] = matrix_array(t.deformable->pre ? t.deformable->pre->matrix : reg::kIdentity);
            d["post"] = matrix_array(t.deformable->post ? t.deformable->post->matrix : reg::kIdentity);
            d["grid"] = grid_dict(*t.deformable->grid);
            d["from_frame"] = utf8_str(from_frame);
            d["to_frame"] = utf8_str(to_frame);
            return d;
        },
        nb::arg("source"), nb::arg("from_frame"), nb::arg("to_frame"),
        nb::sig("def registration_transform(source: bytes | str | os.PathLike[str], from_frame: str, to_frame: str) "
                "-> NDArray[numpy.float64] | dict[str, Any]"),
        "What takes points of frame from_frame into frame to_frame: a 4 x 4 matrix (row-major, column vectors), or "
        "for a deformation the pre-matrix, grid and post-matrix to apply in that order.");
}

}  // namespace loam::bind
