// Radiotherapy: structure sets, dose grids and dose-volume histograms.
#include <algorithm>
#include <stdexcept>
#include <variant>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <nanobind/stl/variant.h>

#include "bindings/common.hpp"
#include "core/image_header.hpp"
#include "rt/dvh.hpp"
#include "rt/mask.hpp"
#include "rt/plan.hpp"
#include "rt/write.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::rt;

nb::ndarray<nb::numpy> copy_array(const std::vector<double>& v) {
    std::vector<double> c(v);
    return to_array(std::move(c), {v.size()}, nb::dtype<double>());
}

nb::list vec(const double* v, std::size_t n);

nb::object maybe(const std::optional<double>& v) { return v ? nb::cast(*v) : nb::none(); }
nb::object maybe(const std::optional<long>& v) { return v ? nb::cast(*v) : nb::none(); }

nb::dict plan_dict(const Plan& p) {
    nb::dict d;
    d["label"] = utf8_str(p.label), d["date"] = utf8_str(p.date), d["time"] = utf8_str(p.time);
    d["name"] = utf8_str(p.prescription_name), d["rxdose"] = p.rxdose_cgy, d["brachy"] = p.brachy;
    d["plan_name"] = utf8_str(p.name), d["description"] = utf8_str(p.description), d["geometry"] = utf8_str(p.geometry);
    d["sop_instance_uid"] = utf8_str(p.sop_instance_uid), d["ion"] = p.ion;
    nb::list refs;
    for (const DoseReference& r : p.dose_references) {
        nb::dict x;
        x["number"] = r.number, x["structure_type"] = utf8_str(r.structure_type), x["type"] = utf8_str(r.type);
        x["description"] = utf8_str(r.description), x["target_prescription_dose"] = maybe(r.target_prescription_dose);
        refs.append(x);
    }
    d["dose_references"] = refs;
    nb::list groups;
    for (const FractionGroup& g : p.fraction_groups) {
        nb::dict x;
        x["number"] = g.number, x["fractions_planned"] = maybe(g.fractions_planned);
        nb::list beams;
        for (const FractionBeam& b : g.beams) {
            nb::dict y;
            y["beam"] = b.beam, y["dose"] = maybe(b.dose), y["meterset"] = maybe(b.meterset);
            beams.append(y);
        }
        x["beams"] = beams;
        nb::list setups;
        for (const auto& [number, dose] : g.brachy_setups) {
            nb::dict y;
            y["setup"] = number, y["dose"] = maybe(dose);
            setups.append(y);
        }
        x["brachy_setups"] = setups;
        groups.append(x);
    }
    d["fraction_groups"] = groups;
    nb::list beams;
    for (const Beam& b : p.beams) {
        nb::dict x;
        x["number"] = b.number, x["name"] = utf8_str(b.name), x["description"] = utf8_str(b.description);
        x["type"] = utf8_str(b.type), x["radiation_type"] = utf8_str(b.radiation_type), x["machine"] = utf8_str(b.machine);
        x["dosimeter_unit"] = utf8_str(b.dosimeter_unit), x["source_axis_distance"] = maybe(b.source_axis_distance);
        x["meterset"] = maybe(b.meterset), x["final_meterset_weight"] = maybe(b.final_meterset_weight);
        nb::list points;
        for (const ControlPoint& c : b.control_points) {
            nb::dict y;
            y["index"] = c.index, y["cumulative_meterset_weight"] = maybe(c.cumulative_meterset_weight);
            y["energy"] = maybe(c.energy), y["gantry_angle"] = maybe(c.gantry_angle);
            y["gantry_rotation"] = utf8_str(c.gantry_rotation), y["collimator_angle"] = maybe(c.collimator_angle);
            y["couch_angle"] = maybe(c.couch_angle);
            y["isocenter"] = c.isocenter ? nb::object(nb::make_tuple((*c.isocenter)[0], (*c.isocenter)[1], (*c.isocenter)[2])) : nb::none();
            nb::dict devices;
            for (const auto& [type, positions] : c.limiting_devices) devices[utf8_str(type)] = vec(positions.data(), positions.size());
            y["limiting_devices"] = devices;
            points.append(y);
        }
        x["control_points"] = points;
        beams.append(x);
    }
    d["beams"] = beams;
    nb::list setups;
    for (const BrachySetup& s : p.brachy_setups) {
        nb::dict x;
        x["number"] = s.number, x["name"] = utf8_str(s.name), x["type"] = utf8_str(s.type), x["channels"] = s.channels;
        setups.append(x);
    }
    d["brachy_setups"] = setups;
    return d;
}

nb::list vec(const double* v, std::size_t n) {
    nb::list out;
    for (std::size_t i = 0; i < n; ++i) out.append(v[i]);
    return out;
}

bool is_roi(const Roi& r, const std::variant<int, std::string>& roi) {
    return std::holds_alternative<int>(roi) ? r.number == std::get<int>(roi) : r.name == std::get<std::string>(roi);
}

// The structure set with the contours of the one ROI asked for: a large set's others are not parsed.
std::vector<Roi> read_one_roi(const std::string& path, const std::variant<int, std::string>& roi) {
    return read_rtstruct(path, [&](const Roi& r) { return is_roi(r, roi); });
}

const Roi& pick(const std::vector<Roi>& rois, const std::variant<int, std::string>& roi, const char* fn) {
    for (const Roi& r : rois)
        if (is_roi(r, roi)) return r;
    std::string names;
    for (const Roi& r : rois) names += (names.empty() ? "" : ", ") + ("'" + r.name + "'");
    const std::string wanted = std::holds_alternative<int>(roi) ? "number " + std::to_string(std::get<int>(roi))
                                                                : "'" + std::get<std::string>(roi) + "'";
    throw std::runtime_error(std::string(fn) + ": no ROI " + wanted + " in the structure set (ROIs: " + names + ")");
}
}  // namespace

void register_rt(nb::module_& m) {
    nb::class_<DVHCurve>(m, "DVHCurve",
                         "A computed dose-volume histogram: differential counts (cm3 per 1-cGy bin), the cumulative\n"
                         "curve, volumes, dose statistics and the queries.")
        .def_prop_ro("counts", [](const DVHCurve& c) { return copy_array(c.counts); }, nb::rv_policy::move,
                     "cm3 per 1-cGy bin (bin b: b to b + 1 cGy), trailing empty bins removed")
        .def_prop_ro("cumulative", [](const DVHCurve& c) { return copy_array(c.cumulative); }, nb::rv_policy::move,
                     "cm3 receiving at least b cGy; [0] is the covered volume")
        .def_ro("volume_cm3", &DVHCurve::volume_cm3)
        .def_ro("total_volume_cm3", &DVHCurve::total_volume_cm3)
        .def_ro("covered_volume_cm3", &DVHCurve::covered_volume_cm3)
        .def_ro("uncovered_volume_cm3", &DVHCurve::uncovered_volume_cm3)
        .def_ro("min_gy", &DVHCurve::min_gy)
        .def_ro("max_gy", &DVHCurve::max_gy)
        .def_ro("mean_gy", &DVHCurve::mean_gy)
        .def_ro("roi_name", &DVHCurve::roi_name)
        .def_ro("notes", &DVHCurve::notes)
        .def("volume_at_dose", &DVHCurve::volume_at_dose, nb::arg("gy"), "V(D): cm3 receiving at least gy.")
        .def("dose_at_volume_cm3", &DVHCurve::dose_at_volume_cm3, nb::arg("volume_cm3"),
             "D(V): the dose (Gy) received by at least volume_cm3; NaN beyond the covered volume.")
        .def("dose_at_volume_fraction", &DVHCurve::dose_at_volume_fraction, nb::arg("fraction"),
             "D(V%): the dose (Gy) received by at least fraction x the covered volume.")
        .def(
            "statistic",
            [](const DVHCurve& c, const std::string& name, double rx) { return c.statistic(name, rx); },
            nb::arg("name"), nb::arg("rx_dose_gy") = 0.0,
            "A constraint read by name: D95, D95%, D2cc, D0.5cm3, V20Gy, V2000cGy, V100% (with rx_dose_gy), Dmax,\n"
            "Dmin or Dmean.");
    m.def(
        "read_rtstruct",
        [](const Path& path) {
            std::vector<Roi> rois = without_gil([&] { return read_rtstruct(path); });
            nb::list out;
            for (Roi& r : rois) {
                nb::dict d;
                d["number"] = r.number;
                d["name"] = utf8_str(r.name);
                nb::list contours;
                for (Contour& c : r.contours) {
                    std::vector<double> flat;
                    for (const auto& p : c.points) flat.insert(flat.end(), p.begin(), p.end());
                    contours.append(to_array(std::move(flat), {c.points.size(), 3}, nb::dtype<double>()));
                }
                d["contours"] = contours;
                out.append(d);
            }
            return out;
        },
        nb::arg("path"),
        "The ROIs of an RT Structure Set: [{number, name, contours: [(N, 3) float64 patient mm]}], closed\n"
        "planar contours only.");
    m.def(
        "read_rtdose",
        [](const Path& path) {
            DoseGrid g = without_gil([&] { return read_rtdose(path); });
            nb::dict meta;
            meta["origin"] = vec(g.origin, 3);
            meta["row_cosines"] = vec(g.row, 3);
            meta["column_cosines"] = vec(g.col, 3);
            meta["pixel_spacing"] = vec(g.spacing, 2);
            meta["grid_frame_offsets"] = vec(g.offsets.data(), g.offsets.size());
            meta["dose_units"] = utf8_str(g.units);
            auto array = to_array(std::move(g.gy), {g.nz, g.ny, g.nx}, nb::dtype<float>());
            return nb::make_tuple(array, meta);
        },
        nb::arg("path"),
        "An RT Dose grid in Gy (Dose Grid Scaling applied), shaped (frames, rows, columns), with its geometry:\n"
        "origin, row/column cosines, pixel spacing and the frame offsets along the normal (from the first frame).");
    m.def(
        "compute_dvh",
        [](const Path& rtstruct, const Path& rtdose, std::variant<int, std::string> roi,
           int samples_per_axis, bool full_volume) {
            return without_gil([&] {
                const std::vector<Roi> rois = read_one_roi(rtstruct, roi);
                const DoseGrid g = read_rtdose(rtdose);
                return compute_dvh(pick(rois, roi, "compute_dvh"), g, samples_per_axis, full_volume);
            });
        },
        nb::arg("rtstruct"), nb::arg("rtdose"), nb::arg("roi"), nb::arg("samples_per_axis") = 3,
        nb::arg("full_volume") = false,
        "The DVH of one ROI (by name or number): its contours rasterised on the dose grid's in-plane lattice\n"
        "with samples_per_axis^2 samples per pixel (even-odd rule per plane; plane thickness from the contour\n"
        "spacing), doses interpolated trilinearly and binned per cGy. volume_cm3 is the covered volume, or the\n"
        "whole ROI with full_volume; notes say how much of the ROI lies outside the grid.");
    m.def(
        "plane_basis",
        [](const std::vector<double>& orientation, const std::optional<std::vector<double>>& position) {
            if (orientation.size() != 6) throw nb::value_error("plane_basis: orientation is six numbers (row, then column direction)");
            if (position && position->size() != 3) throw nb::value_error("plane_basis: position is three numbers");
            const PlaneBasis b = plane_basis({orientation[0], orientation[1], orientation[2], orientation[3], orientation[4],
                                              orientation[5]});
            nb::dict d;
            d["row"] = vec(b.row.data(), 3), d["column"] = vec(b.column.data(), 3), d["normal"] = vec(b.normal.data(), 3);
            if (position)
                d["slice_position"] = (*position)[0] * b.normal[0] + (*position)[1] * b.normal[1] + (*position)[2] * b.normal[2];
            return d;
        },
        nb::arg("orientation"), nb::arg("position") = nb::none(),
        nb::sig("def plane_basis(orientation: Sequence[float], position: Sequence[float] | None = None) -> dict"),
        "The unit row and column directions of an Image Orientation (Patient), their normal (row x column) and,\n"
        "with a position, its slice position (its projection on the normal), as roi_mask matches contours to slices.");
    m.def(
        "roi_mask",
        [](const Path& rtstruct, const std::variant<std::vector<Path>, nb::dict>& reference, std::variant<int, std::string> roi) {
            Grid grid;
            if (const auto* d = std::get_if<nb::dict>(&reference)) {
                refuse_unknown_keys(*d, {"shape", "affine"}, "roi_mask: grid");
                if (!d->contains("shape") || !d->contains("affine")) throw nb::value_error("roi_mask: a grid needs shape and affine");
                const auto shape = option_value<std::vector<long>>((*d)["shape"], "roi_mask: grid shape");
                nb::object a = (*d)["affine"];
                if (nb::hasattr(a, "tolist")) a = a.attr("ravel")("F").attr("tolist")();
                const auto affine = option_value<std::vector<double>>(a, "roi_mask: grid affine");
                if (shape.size() != 3 || std::any_of(shape.begin(), shape.end(), [](long v) { return v < 1 || v > 65535; }))
                    throw nb::value_error("roi_mask: grid shape is (slices, rows, columns), each 1 to 65535");
                if (affine.size() != 16) throw nb::value_error("roi_mask: grid affine is 16 numbers, column-major, or a 4 x 4 matrix");
                std::array<double, 16> aff{};
                std::copy(affine.begin(), affine.end(), aff.begin());
                grid = affine_grid(aff, std::size_t(shape[0]), std::size_t(shape[1]), std::size_t(shape[2]));
            }
            Mask mask = without_gil([&] {
                if (const auto* paths = std::get_if<std::vector<Path>>(&reference))
                    grid = series_grid(loamwerk::read_image_headers(strings(*paths)));
                const std::vector<Roi> rois = read_rtstruct(
                    rtstruct, [&](const Roi& r) { return is_roi(r, roi); },
                    [&](const std::array<double, 3>& p) { return near_grid(grid, p); });
                return roi_mask(pick(rois, roi, "roi_mask"), grid);
            });
            nb::list notes;
            for (const std::string& n : mask.notes) notes.append(utf8_str(n));
            auto array = to_array(std::move(mask.voxels), {grid.slices, grid.rows, grid.columns}, nb::dtype<std::uint8_t>());
            return nb::make_tuple(array, notes);
        },
        nb::arg("rtstruct"), nb::arg("reference"), nb::arg("roi"),
        nb::sig("def roi_mask(rtstruct: str | os.PathLike[str], reference: Sequence[str | os.PathLike[str]] | dict, "
                "roi: int | str) -> tuple[numpy.typing.NDArray[numpy.uint8], list[str]]"),
        "One ROI of an RT Structure Set as a uint8 mask (slices, rows, columns) on the reference series' grid\n"
        "(slices in assemble_volume's order) or on a grid {shape, affine}, with notes on contours left out.");
    m.def(
        "write_rtdose",
        [](nb::ndarray<const float, nb::c_contig, nb::device::cpu> dose, const std::vector<Path>& reference,
           const std::optional<nb::object>& affine, const std::string& dose_type, const std::string& summation_type,
           const std::vector<std::string>& plans, const std::string& structure_set, const std::string& comment,
           const Path& output, const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            if (dose.ndim() != 3) throw nb::value_error("write_rtdose: dose must be (frames, rows, columns) in Gy");
            DoseVolume v;
            v.gy = dose.data(), v.frames = dose.shape(0), v.rows = dose.shape(1), v.columns = dose.shape(2);
            if (affine && !affine->is_none()) v.affine = column_major_affine(*affine, "write_rtdose: affine");
            DoseOptions o;
            o.dose_type = dose_type, o.summation_type = summation_type, o.plan_uids = plans;
            o.structure_set_uid = structure_set, o.comment = comment;
            o.sop_instance_uid = sop_instance_uid, o.series_instance_uid = series_instance_uid;
            read_identity(identity, o.identity, false, "write_rtdose");
            std::vector<std::uint8_t> bytes = without_gil(
                [&] { return write_rtdose(v, loamwerk::read_image_headers(strings(reference)), o); });
            return bytes_or_file(bytes, output);
        },
        nb::arg("dose"), nb::arg("reference"), nb::arg("affine") = nb::none(), nb::kw_only(),
        nb::arg("dose_type") = "PHYSICAL", nb::arg("summation_type") = "PLAN", nb::arg("plans") = std::vector<std::string>{},
        nb::arg("structure_set") = "", nb::arg("comment") = "", nb::arg("output") = "", nb::arg("identity") = nb::none(),
        nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_rtdose(dose: numpy.typing.NDArray[numpy.float32], reference: Sequence[str | os.PathLike[str]], "
                "affine: Sequence[float] | numpy.typing.NDArray | None = None, *, dose_type: str = 'PHYSICAL', "
                "summation_type: str = 'PLAN', plans: Sequence[str] = [], structure_set: str = '', comment: str = '', "
                "output: str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, "
                "sop_instance_uid: str = '', series_instance_uid: str = '') -> bytes | None"),
        "An RT Dose of a (frames, rows, columns) dose in Gy on the reference images' frame of reference.");
    m.def(
        "write_mkrtstruct",
        [](const std::vector<Path>& reference_paths, nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu> masks,
           const std::vector<nb::dict>& rois, const std::string& label, const std::string& name, const Path& output,
           const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            const char* fn = "write_mkrtstruct";
            if (masks.ndim() != 3 && masks.ndim() != 4)
                throw nb::value_error("write_mkrtstruct: masks is a label map (slices, rows, columns) or one mask an ROI "
                                      "(rois, slices, rows, columns)");
            std::vector<RoiDescription> descriptions;
            std::vector<long> labels;
            for (std::size_t i = 0; i < rois.size(); ++i) {
                const nb::dict& d = rois[i];
                const std::string where = std::string(fn) + ": roi " + std::to_string(i);
                refuse_unknown_keys(d, {"name", "type", "color", "algorithm", "description", "label"}, where);
                RoiDescription r;
                if (d.contains("name")) r.name = option_value<std::string>(d["name"], where + " name");
                if (d.contains("type")) r.interpreted_type = option_value<std::string>(d["type"], where + " type");
                if (d.contains("algorithm")) r.algorithm = option_value<std::string>(d["algorithm"], where + " algorithm");
                if (d.contains("description")) r.description = option_value<std::string>(d["description"], where + " description");
                if (d.contains("color")) {
                    const auto c = option_value<std::vector<int>>(d["color"], where + " color");
                    if (c.size() != 3) throw nb::value_error((where + ": color is (red, green, blue)").c_str());
                    r.colour = std::array<int, 3>{c[0], c[1], c[2]};
                }
                labels.push_back(d.contains("label") ? option_value<long>(d["label"], where + " label") : long(i + 1));
                descriptions.push_back(std::move(r));
            }
            const std::size_t n = masks.ndim() == 4 ? masks.shape(0) : rois.size();
            if (masks.ndim() == 4 && n != rois.size())
                throw nb::value_error("write_mkrtstruct: one mask an ROI (the first axis must match rois)");
            const std::size_t o = masks.ndim() - 3;
            const std::size_t slices = masks.shape(o), rows = masks.shape(o + 1), columns = masks.shape(o + 2);
            const std::size_t plane = slices * rows * columns;
            StructureOptions options;
            options.label = label, options.name = name;
            options.sop_instance_uid = sop_instance_uid, options.series_instance_uid = series_instance_uid;
            read_identity(identity, options.identity, false, fn);
            std::vector<std::uint8_t> bytes = without_gil([&] {
                // A label map becomes one mask an ROI: the voxels holding its label.
                std::vector<std::vector<std::uint8_t>> own;
                std::vector<const std::uint8_t*> views;
                for (std::size_t r = 0; r < n; ++r) {
                    if (masks.ndim() == 4) {
                        views.push_back(masks.data() + r * plane);
                        continue;
                    }
                    own.emplace_back(plane);
                    for (std::size_t v = 0; v < plane; ++v) own.back()[v] = masks.data()[v] == labels[r];
                    views.push_back(own.back().data());
                }
                return write_rtstruct(views, slices, rows, columns, descriptions,
                                      loamwerk::read_image_headers(strings(reference_paths)), options);
            });
            return bytes_or_file(bytes, output);
        },
        nb::arg("reference_paths"), nb::arg("masks"), nb::arg("rois"), nb::kw_only(), nb::arg("label") = "LOAM",
        nb::arg("name") = "", nb::arg("output") = "", nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "",
        nb::arg("series_instance_uid") = "",
        nb::sig("def write_mkrtstruct(reference_paths: Sequence[str | os.PathLike[str]], masks: numpy.typing.NDArray[numpy.uint8], "
                "rois: Sequence[dict], *, label: str = 'LOAM', name: str = '', output: str | os.PathLike[str] = '', "
                "identity: dict[str, str | int] | None = None, sop_instance_uid: str = '', series_instance_uid: str = '') "
                "-> bytes | None"),
        "An RT Structure Set from masks on the reference series: each slice's outlines as closed planar contours.");
    m.def(
        "read_rtplan",
        [](const Path& path) {
            const Plan plan = without_gil([&] { return read_plan(read_path(path).span()); });
            return plan_dict(plan);
        },
        nb::arg("path"),
        "An RT Plan or RT Ion Plan: dicompyler-core's GetPlan keys (label, date, time, name, rxdose in cGy, brachy)\n"
        "and the plan's dose references, fraction groups, beams with their control points (each with what earlier\n"
        "points stated carried forward) and brachytherapy application setups.");
    m.def(
        "dose_at",
        [](const Path& rtdose, nb::ndarray<const double, nb::c_contig, nb::device::cpu> points) {
            if (points.ndim() < 1 || points.shape(points.ndim() - 1) != 3 || points.size() % 3)
                throw std::invalid_argument("dose_at: points must have shape (3,) or (N, 3)");
            const std::size_t n = points.size() / 3;
            std::vector<double> out(n);
            without_gil([&] {
                const DoseGrid g = read_rtdose(rtdose);
                for (std::size_t i = 0; i < n; ++i)
                    out[i] = dose_at(g, {points.data()[3 * i], points.data()[3 * i + 1], points.data()[3 * i + 2]});
            });
            return to_array(std::move(out), {n}, nb::dtype<double>());
        },
        nb::arg("rtdose"), nb::arg("points"),
        "Dose (Gy) at patient points (N, 3), interpolated trilinearly in the grid; NaN outside it.");
}

}  // namespace loam::bind
