// Presentation states: write_pr.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/image_header.hpp"
#include "pr/write.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;
using namespace loamwerk::pr;

std::vector<Point> points_from(nb::handle value, const std::string& where) {
    std::vector<Point> out;
    for (nb::handle p : option_value<nb::list>(nb::list(value), where)) {
        const auto xy = option_value<std::vector<double>>(p, where + " (each point [column, row])");
        if (xy.size() != 2) throw nb::value_error((where + ": each point is [column, row]").c_str());
        out.push_back({xy[0], xy[1]});
    }
    return out;
}

Point point_from(nb::handle value, const std::string& where) {
    const auto xy = option_value<std::vector<double>>(value, where);
    if (xy.size() != 2) throw nb::value_error((where + " is [column, row]").c_str());
    return {xy[0], xy[1]};
}

// Images named by SOP Instance UID (optionally "uid:frame,frame").
Applies applies_from(const nb::dict& d, const std::string& where) {
    Applies a;
    if (!d.contains("images")) return a;
    for (nb::handle h : option_value<nb::list>(d["images"], where + ": images")) {
        ImageReference r;
        if (nb::isinstance<nb::str>(h)) {
            r.sop_instance_uid = nb::cast<std::string>(h);
        } else {
            const auto pair = option_value<nb::tuple>(h, where + ": images (a UID, or (UID, [frames]))");
            if (pair.size() != 2) throw nb::value_error((where + ": an image is a UID or (UID, [frames])").c_str());
            r.sop_instance_uid = option_value<std::string>(pair[0], where + ": image UID");
            for (long f : option_value<std::vector<long>>(pair[1], where + ": frames")) {
                if (f < 1) throw nb::value_error((where + ": frame numbers count from 1").c_str());
                r.frames.push_back(std::uint32_t(f));
            }
        }
        a.images.push_back(std::move(r));
    }
    return a;
}

Annotation annotation_from(nb::handle h, const std::string& where) {
    const auto d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"layer", "images", "graphics", "texts"}, where);
    Annotation a;
    if (d.contains("layer")) a.layer = option_value<std::string>(d["layer"], where + ": layer");
    a.applies = applies_from(d, where);
    if (d.contains("graphics"))
        for (nb::handle g : option_value<nb::list>(d["graphics"], where + ": graphics")) {
            const std::string at = where + ": graphic";
            const auto gd = option_value<nb::dict>(g, at);
            refuse_unknown_keys(gd, {"type", "points", "units", "filled"}, at);
            Graphic o;
            if (gd.contains("type")) o.type = option_value<std::string>(gd["type"], at + " type");
            if (gd.contains("units")) o.units = option_value<std::string>(gd["units"], at + " units");
            if (gd.contains("filled")) o.filled = option_value<bool>(gd["filled"], at + " filled");
            if (!gd.contains("points")) throw nb::value_error((at + " needs its points").c_str());
            o.points = points_from(gd["points"], at + " points");
            a.graphics.push_back(std::move(o));
        }
    if (d.contains("texts"))
        for (nb::handle t : option_value<nb::list>(d["texts"], where + ": texts")) {
            const std::string at = where + ": text";
            const auto td = option_value<nb::dict>(t, at);
            refuse_unknown_keys(td, {"text", "box", "anchor", "anchor_visible", "units", "justification"}, at);
            Text o;
            if (td.contains("text")) o.text = option_value<std::string>(td["text"], at + " text");
            if (td.contains("units")) o.units = option_value<std::string>(td["units"], at + " units");
            if (td.contains("box")) {
                const std::vector<Point> box = points_from(td["box"], at + " box");
                if (box.size() != 2) throw nb::value_error((at + " box is [[column, row], [column, row]]").c_str());
                o.box = std::array<Point, 2>{box[0], box[1]};
            }
            if (td.contains("anchor")) o.anchor = point_from(td["anchor"], at + " anchor");
            o.anchor_visible = td.contains("anchor_visible") ? option_value<bool>(td["anchor_visible"], at + " anchor_visible")
                                                             : o.anchor.has_value();
            if (td.contains("justification")) o.justification = option_value<std::string>(td["justification"], at + " justification");
            a.texts.push_back(std::move(o));
        }
    return a;
}

Voi voi_from(nb::handle h, const std::string& where) {
    const auto d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"center", "width", "function", "explanation", "images", "lut", "lut_first", "lut_bits"}, where);
    Voi v;
    v.applies = applies_from(d, where);
    if (d.contains("center")) v.center = option_value<double>(d["center"], where + ": center");
    if (d.contains("width")) v.width = option_value<double>(d["width"], where + ": width");
    if (d.contains("function")) v.function = option_value<std::string>(d["function"], where + ": function");
    if (d.contains("explanation")) v.explanation = option_value<std::string>(d["explanation"], where + ": explanation");
    if (d.contains("lut")) {
        for (long e : option_value<std::vector<long>>(d["lut"], where + ": lut")) {
            if (e < 0 || e > 65535) throw nb::value_error((where + ": lut entries lie in 0..65535").c_str());
            v.lut.push_back(std::uint16_t(e));
        }
        if (v.lut.empty()) throw nb::value_error((where + ": lut is empty").c_str());
        v.lut_first = d.contains("lut_first") ? std::int32_t(option_value<long>(d["lut_first"], where + ": lut_first")) : 0;
        v.lut_bits = d.contains("lut_bits") ? std::uint16_t(option_value<long>(d["lut_bits"], where + ": lut_bits")) : 16;
    }
    return v;
}

}  // namespace

void register_pr(nb::module_& m) {
    m.def(
        "write_pr",
        [](const std::vector<Path>& referenced_paths, const std::optional<nb::list>& graphic_annotations,
           const std::optional<nb::list>& graphic_layers, const std::optional<nb::object>& voi,
           const std::string& presentation_lut_shape, const std::optional<nb::dict>& displayed_area, long rotation,
           bool flip, const std::string& content_label, const std::string& content_description,
           const std::string& content_creator_name, const std::string& sop_instance_uid,
           const std::string& series_instance_uid, long instance_number, const Path& output,
           const std::optional<nb::dict>& identity) -> nb::object {
            const char* fn = "write_pr";
            PresentationState p;
            read_identity(identity, p.identity, false, fn);
            p.content_label = content_label, p.content_description = content_description;
            p.content_creator = content_creator_name;
            p.sop_instance_uid = sop_instance_uid, p.series_instance_uid = series_instance_uid;
            if (instance_number < 0) throw nb::value_error("write_pr: instance_number cannot be negative");
            p.instance_number = std::to_string(instance_number);
            p.presentation_lut_shape = presentation_lut_shape;
            if (rotation != 0 && rotation != 90 && rotation != 180 && rotation != 270)
                throw nb::value_error("write_pr: rotation must be 0, 90, 180 or 270 (clockwise degrees)");
            p.rotation = std::uint16_t(rotation);
            p.flip = flip;
            if (graphic_annotations) {
                std::size_t i = 0;
                for (nb::handle a : *graphic_annotations) p.annotations.push_back(annotation_from(a, "annotation " + std::to_string(i++)));
            }
            if (graphic_layers) {
                std::size_t i = 0;
                for (nb::handle h : *graphic_layers) {
                    const std::string where = "graphic layer " + std::to_string(i++);
                    const auto d = option_value<nb::dict>(h, where);
                    refuse_unknown_keys(d, {"name", "order", "description", "grey", "cielab"}, where);
                    Layer l;
                    if (d.contains("name")) l.name = option_value<std::string>(d["name"], where + ": name");
                    l.order = d.contains("order") ? std::int32_t(option_value<long>(d["order"], where + ": order")) : std::int32_t(i);
                    if (d.contains("description")) l.description = option_value<std::string>(d["description"], where + ": description");
                    if (d.contains("grey")) {
                        const long g = option_value<long>(d["grey"], where + ": grey");
                        if (g < 0 || g > 65535) throw nb::value_error((where + ": grey lies in 0..65535").c_str());
                        l.grey = std::uint16_t(g);
                    }
                    if (d.contains("cielab")) {
                        const auto lab = option_value<std::vector<long>>(d["cielab"], where + ": cielab");
                        if (lab.size() != 3 || std::any_of(lab.begin(), lab.end(), [](long v) { return v < 0 || v > 65535; }))
                            throw nb::value_error((where + ": cielab is three values in 0..65535").c_str());
                        l.cielab = std::array<std::uint16_t, 3>{std::uint16_t(lab[0]), std::uint16_t(lab[1]), std::uint16_t(lab[2])};
                    }
                    p.layers.push_back(std::move(l));
                }
            }
            if (voi && !voi->is_none()) {
                if (nb::isinstance<nb::dict>(*voi)) {
                    p.vois.push_back(voi_from(*voi, "voi"));
                } else {
                    std::size_t i = 0;
                    for (nb::handle h : option_value<nb::list>(*voi, "voi (a dict or a list of dicts)"))
                        p.vois.push_back(voi_from(h, "voi " + std::to_string(i++)));
                }
            }
            if (displayed_area) {
                const nb::dict& d = *displayed_area;
                const char* where = "displayed_area";
                refuse_unknown_keys(d, {"top_left", "bottom_right", "size_mode", "pixel_spacing", "magnification", "images"}, where);
                DisplayedArea a;
                a.applies = applies_from(d, where);
                const auto corner = [&](const char* key, std::array<std::int32_t, 2>& c) {
                    if (!d.contains(key)) throw nb::value_error((std::string("displayed_area needs ") + key).c_str());
                    const auto v = option_value<std::vector<long>>(d[key], std::string(where) + ": " + key);
                    if (v.size() != 2) throw nb::value_error((std::string(where) + ": " + key + " is [column, row]").c_str());
                    c = {std::int32_t(v[0]), std::int32_t(v[1])};
                };
                corner("top_left", a.top_left);
                corner("bottom_right", a.bottom_right);
                if (d.contains("size_mode")) a.size_mode = option_value<std::string>(d["size_mode"], "displayed_area: size_mode");
                if (d.contains("pixel_spacing")) {
                    const auto s = option_value<std::vector<double>>(d["pixel_spacing"], "displayed_area: pixel_spacing");
                    if (s.size() != 2) throw nb::value_error("displayed_area: pixel_spacing is [row spacing, column spacing]");
                    a.pixel_spacing = std::array<double, 2>{s[0], s[1]};
                }
                if (d.contains("magnification")) a.magnification = option_value<double>(d["magnification"], "displayed_area: magnification");
                p.areas.push_back(std::move(a));
            }
            std::vector<std::uint8_t> bytes = without_gil([&] {
                return write_state(std::move(p), read_image_headers(strings(referenced_paths)));
            });
            return bytes_or_file(bytes, output);
        },
        nb::arg("referenced_paths"), nb::arg("graphic_annotations") = nb::none(), nb::kw_only(),
        nb::arg("graphic_layers") = nb::none(), nb::arg("voi") = nb::none(), nb::arg("presentation_lut_shape") = "",
        nb::arg("displayed_area") = nb::none(), nb::arg("rotation") = 0, nb::arg("flip") = false,
        nb::arg("content_label") = "LOAM_PR", nb::arg("content_description") = "", nb::arg("content_creator_name") = "",
        nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "", nb::arg("instance_number") = 1,
        nb::arg("output") = "", nb::arg("identity") = nb::none(),
        nb::sig("def write_pr(referenced_paths: Sequence[str | os.PathLike[str]], graphic_annotations: list[dict] | None = None, *, "
                "graphic_layers: list[dict] | None = None, voi: dict | list[dict] | None = None, "
                "presentation_lut_shape: str = '', displayed_area: dict | None = None, rotation: int = 0, flip: bool = False, "
                "content_label: str = 'LOAM_PR', content_description: str = '', content_creator_name: str = '', "
                "sop_instance_uid: str = '', series_instance_uid: str = '', instance_number: int = 1, "
                "output: str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None) -> bytes | None"),
        "A Grayscale Softcopy Presentation State over the referenced images: graphic annotations on layers, VOI, "
        "presentation LUT shape, displayed area, rotation and flip.");
}

}  // namespace loam::bind
