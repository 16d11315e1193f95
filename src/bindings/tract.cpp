// Tractography Results, and streamlines from DIPY and nibabel's spaces into patient coordinates.
#include <algorithm>
#include <cmath>
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
#include "tract/read.hpp"
#include "tract/write.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk;
using Floats = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;

std::vector<float> float_values(const nb::handle& h, const std::string& where) {
    Floats a;
    if (!nb::try_cast(h, a, true)) throw nb::value_error((where + " must be an array of numbers").c_str());
    return std::vector<float>(a.data(), a.data() + a.size());
}

tract::Track track_from(const nb::handle& h, const std::string& where) {
    Floats a;
    if (!nb::try_cast(h, a, true) || a.ndim() != 2 || a.shape(1) != 3)
        throw nb::value_error((where + " must be a (points, 3) array").c_str());
    tract::Track t(a.shape(0));
    for (std::size_t i = 0; i < t.size(); ++i)
        for (int k = 0; k < 3; ++k) t[i][std::size_t(k)] = a.data()[3 * i + std::size_t(k)];
    return t;
}

tract::TrackSet set_from(const nb::handle& h, std::size_t index) {
    const std::string where = "write_mktract: track set " + std::to_string(index + 1);
    const nb::dict d = option_value<nb::dict>(h, where);
    refuse_unknown_keys(d, {"label", "description", "tracks", "rgb", "anatomy", "acquisition", "model", "algorithm",
                            "measurements"},
                        where.c_str());
    tract::TrackSet s;
    if (!d.contains("label") || !d.contains("tracks")) throw nb::value_error((where + " needs label and tracks").c_str());
    s.label = as_text(d["label"]);
    if (d.contains("description")) s.description = as_text(d["description"]);
    for (nb::handle t : option_value<nb::list>(d["tracks"], where + " tracks"))
        s.tracks.push_back(track_from(t, where + " track " + std::to_string(s.tracks.size() + 1)));
    if (d.contains("rgb")) s.rgb = rgb_from(d["rgb"], where + " rgb");
    if (d.contains("anatomy")) s.anatomy = code_from(d["anatomy"], where + " anatomy");
    if (d.contains("acquisition")) s.acquisition = code_from(d["acquisition"], where + " acquisition");
    if (d.contains("model")) s.model = code_from(d["model"], where + " model");
    if (d.contains("algorithm")) {
        const nb::dict a = option_value<nb::dict>(d["algorithm"], where + " algorithm");
        refuse_unknown_keys(a, {"family", "name", "version", "parameters"}, (where + " algorithm").c_str());
        if (a.contains("family")) s.algorithm_family = code_from(a["family"], where + " algorithm family");
        if (a.contains("name")) s.algorithm_name = as_text(a["name"]);
        if (a.contains("version")) s.algorithm_version = as_text(a["version"]);
        if (a.contains("parameters")) s.algorithm_parameters = as_text(a["parameters"]);
    }
    if (d.contains("measurements"))
        for (nb::handle mh : option_value<nb::list>(d["measurements"], where + " measurements")) {
            const nb::dict m = option_value<nb::dict>(mh, where + " measurement");
            refuse_unknown_keys(m, {"quantity", "unit", "values"}, (where + " measurement").c_str());
            if (!m.contains("quantity") || !m.contains("unit") || !m.contains("values"))
                throw nb::value_error((where + ": a measurement needs quantity, unit and values").c_str());
            tract::TrackMeasurement tm;
            tm.quantity = code_from(m["quantity"], where + " measurement quantity");
            tm.unit = code_from(m["unit"], where + " measurement unit");
            for (nb::handle v : option_value<nb::list>(m["values"], where + " measurement values"))
                tm.values.push_back(float_values(v, where + " measurement values"));
            s.measurements.push_back(std::move(tm));
        }
    return s;
}

nb::list float_arrays(const std::vector<std::vector<float>>& lists, std::size_t columns) {
    nb::list out;
    for (const auto& v : lists) {
        std::vector<float> copy = v;
        const std::size_t rows = columns ? copy.size() / columns : copy.size();
        out.append(columns ? to_array(std::move(copy), {rows, columns}, nb::dtype<float>())
                           : to_array(std::move(copy), {rows}, nb::dtype<float>()));
    }
    return out;
}

}  // namespace

void register_tract(nb::module_& m) {
    m.def(
        "write_mktract",
        [](const std::vector<Path>& reference_paths, const nb::list& track_sets, const std::string& content_label,
           const std::string& content_description, const std::string& content_creator, const Path& output,
           const std::optional<nb::dict>& identity, const std::string& sop_instance_uid,
           const std::string& series_instance_uid) -> nb::object {
            tract::Tractography t;
            for (nb::handle h : track_sets) t.sets.push_back(set_from(h, t.sets.size()));
            t.content_label = content_label, t.content_description = content_description;
            t.content_creator = content_creator;
            Identity who;
            read_identity(identity, who, false, "write_mktract");
            for (const Path& p : reference_paths) check_opens(p);
            std::vector<std::uint8_t> out = without_gil([&] {
                const std::vector<ImageHeader> refs = read_image_headers(strings(reference_paths));
                try {
                    return tract::write_tractography(t, refs, who, sop_instance_uid, series_instance_uid);
                } catch (const std::invalid_argument& e) {
                    throw std::domain_error(e.what());
                }
            });
            return bytes_or_file(out, output);
        },
        nb::arg("reference_paths"), nb::arg("track_sets"), nb::kw_only(), nb::arg("content_label") = "TRACTS",
        nb::arg("content_description") = "", nb::arg("content_creator") = "", nb::arg("output") = "",
        nb::arg("identity") = nb::none(), nb::arg("sop_instance_uid") = "", nb::arg("series_instance_uid") = "",
        nb::sig("def write_mktract(reference_paths: Sequence[str | os.PathLike[str]], track_sets: list[dict[str, Any]], "
                "*, content_label: str = 'TRACTS', content_description: str = '', content_creator: str = '', output: "
                "str | os.PathLike[str] = '', identity: dict[str, str | int] | None = None, sop_instance_uid: str = '', "
                "series_instance_uid: str = '') -> bytes | None"),
        "A Tractography Results object of track sets whose tracks are (points, 3) arrays in patient LPS mm.");
    m.def(
        "read_tract",
        [](const Source& source) {
            OwnedBuffer file;
            const std::span<const std::uint8_t> bytes = source_bytes(source, file);
            const std::string where = source_name(source);
            const tract::Tractography t = without_gil([&] { return tract::read_tractography(bytes, where); });
            nb::dict out;
            nb::list sets;
            for (const tract::TrackSet& s : t.sets) {
                nb::dict d;
                d["label"] = utf8_str(s.label);
                d["description"] = utf8_str(s.description);
                std::vector<std::vector<float>> tracks;
                for (const tract::Track& track : s.tracks)
                    tracks.emplace_back(&track.front()[0], &track.front()[0] + track.size() * 3);
                d["tracks"] = float_arrays(tracks, 3);
                d["rgb"] = rgb_tuple(s.rgb);
                d["anatomy"] = code_tuple(s.anatomy);
                d["acquisition"] = code_tuple(s.acquisition);
                d["model"] = code_tuple(s.model);
                nb::dict a;
                a["family"] = code_tuple(s.algorithm_family);
                a["name"] = utf8_str(s.algorithm_name);
                a["version"] = utf8_str(s.algorithm_version);
                a["parameters"] = utf8_str(s.algorithm_parameters);
                d["algorithm"] = a;
                nb::list ms;
                for (const tract::TrackMeasurement& m : s.measurements) {
                    nb::dict md;
                    md["quantity"] = code_tuple(m.quantity);
                    md["unit"] = code_tuple(m.unit);
                    md["values"] = float_arrays(m.values, 0);
                    ms.append(md);
                }
                d["measurements"] = ms;
                sets.append(d);
            }
            out["track_sets"] = sets;
            put_content_header(out, t);
            return out;
        },
        nb::arg("source"), nb::sig("def read_tract(source: bytes | str | os.PathLike[str]) -> dict[str, Any]"),
        "The track sets of a Tractography Results object, tracks as float32 (points, 3) arrays in LPS mm.");
    m.def(
        "dti_tracks_to_patient",
        [](const nb::list& streamlines, const nb::object& affine, const std::string& space, const std::string& origin) {
            require_choice(space, {"rasmm", "vox", "voxmm"}, "space");
            require_choice(origin, {"center", "corner"}, "origin");
            nb::object a = affine;
            if (nb::hasattr(a, "ndim") && nb::cast<long>(a.attr("ndim")) == 2) a = a.attr("ravel")("C");
            if (nb::hasattr(a, "tolist")) a = a.attr("tolist")();
            const auto m = option_value<std::vector<double>>(a, "dti_tracks_to_patient: affine");
            if (m.size() != 16) throw nb::value_error("dti_tracks_to_patient: affine is the 4 x 4 voxel-to-RAS matrix");
            double size[3];
            for (int k = 0; k < 3; ++k)
                size[k] = std::sqrt(m[std::size_t(k)] * m[std::size_t(k)] + m[4 + std::size_t(k)] * m[4 + std::size_t(k)] +
                                    m[8 + std::size_t(k)] * m[8 + std::size_t(k)]);
            if (space == "voxmm" && !(size[0] > 0 && size[1] > 0 && size[2] > 0))
                throw nb::value_error("dti_tracks_to_patient: the affine's voxel sizes must be > 0");
            const double shift = origin == "corner" ? 0.5 : 0.0;  // TrackVis puts a voxel's corner at 0
            nb::list out;
            std::size_t index = 0;
            for (nb::handle h : streamlines) {
                const tract::Track t = track_from(h, "dti_tracks_to_patient: streamline " + std::to_string(++index));
                std::vector<float> lps(t.size() * 3);
                for (std::size_t i = 0; i < t.size(); ++i) {
                    double p[3] = {t[i][0], t[i][1], t[i][2]}, ras[3];
                    if (space == "rasmm") {
                        ras[0] = p[0], ras[1] = p[1], ras[2] = p[2];
                    } else {
                        double v[3];
                        for (int k = 0; k < 3; ++k) v[k] = (space == "voxmm" ? p[k] / size[k] : p[k]) - shift;
                        for (int r = 0; r < 3; ++r)
                            ras[r] = m[4 * std::size_t(r)] * v[0] + m[4 * std::size_t(r) + 1] * v[1] +
                                     m[4 * std::size_t(r) + 2] * v[2] + m[4 * std::size_t(r) + 3];
                    }
                    lps[3 * i] = float(-ras[0]), lps[3 * i + 1] = float(-ras[1]), lps[3 * i + 2] = float(ras[2]);
                }
                out.append(to_array(std::move(lps), {t.size(), 3}, nb::dtype<float>()));
            }
            return out;
        },
        nb::arg("streamlines"), nb::arg("affine"), nb::arg("space") = "rasmm", nb::arg("origin") = "center",
        nb::sig("def dti_tracks_to_patient(streamlines: Sequence[ArrayLike], affine: ArrayLike, space: str = 'rasmm', "
                "origin: str = 'center') -> list[NDArray[numpy.float32]]"),
        "Streamlines from DIPY's or nibabel's spaces (RAS mm, voxel indices, or TrackVis voxmm) to patient LPS mm.");
}

}  // namespace loam::bind
