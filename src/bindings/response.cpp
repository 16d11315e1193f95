// Tumour response criteria and lesion geometry.
#include <cmath>
#include <stdexcept>

#include <nanobind/stl/string.h>

#include "bindings/common.hpp"
#include "response/criteria.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::response;
using Values = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

enum class Keys { kRecist, kViable, kProduct, kRano };

double number(const nb::dict& d, const char* key) {
    if (!d.contains(key) || d[key].is_none()) return 0.0;
    return option_value<double>(d[key], std::string("lesion field '") + key + "'");
}

std::vector<Lesion> lesions(const nb::list& list, Keys keys) {
    std::vector<Lesion> out;
    for (nb::handle h : list) {
        const nb::dict d = option_value<nb::dict>(h, "a lesion");
        Lesion l;
        switch (keys) {
        case Keys::kRecist: l.a = number(d, "longest_mm"), l.b = number(d, "short_axis_mm"); break;
        case Keys::kViable:
            if (!d.contains("viable_diam_mm"))
                throw std::runtime_error("mrecist: each measurement needs viable_diam_mm \u2014 the arterially enhancing "
                                         "diameter, which is what mRECIST sums, not the lesion diameter");
            l.a = number(d, "viable_diam_mm");
            break;
        default: l.a = number(d, "longest_mm"), l.b = number(d, "perpendicular_mm");
        }
        if (keys == Keys::kRecist || keys == Keys::kProduct)
            l.lymph_node = d.contains("is_lymph_node") && option_value<bool>(d["is_lymph_node"], "lesion field 'is_lymph_node'");
        if (d.contains("status") && !d["status"].is_none())
            l.status = parse_status(option_value<std::string>(d["status"], "lesion field 'status'"));
        out.push_back(l);
    }
    return out;
}

nb::dict result(const char* response, const Evaluation& e, const char* base_key, const char* cur_key) {
    nb::dict d;
    d["response"] = response;
    d[base_key] = e.baseline;
    d[cur_key] = e.current;
    return d;
}

std::size_t count(const Values& v) { return v.size(); }

// The Python entry of a criterion that needs only the two lesion lists, the nadir and new lesions.
auto sums_evaluation(Evaluation (*criterion)(const std::vector<Lesion>&, const std::vector<Lesion>&, double, bool),
                     Keys keys, const char* baseline_key, const char* current_key) {
    return [=](nb::list baseline, nb::list current, double nadir, bool new_lesion) {
        const Evaluation e = criterion(lesions(baseline, keys), lesions(current, keys), nadir, new_lesion);
        return result(response_name(e.response), e, baseline_key, current_key);
    };
}

}  // namespace

void register_response(nb::module_& m) {
    m.def(
        "recist_evaluate",
        [](nb::list baseline, nb::list current, double nadir, bool new_lesion, bool nt_progression) {
            const Evaluation e = recist(lesions(baseline, Keys::kRecist), lesions(current, Keys::kRecist), nadir,
                                        new_lesion, nt_progression);
            return result(response_name(e.response), e, "baseline_sld", "current_sld");
        },
        nb::arg("baseline"), nb::arg("current"), nb::arg("nadir_sld") = 0.0, nb::arg("new_lesion") = false,
        nb::arg("nt_progression") = false,
        "RECIST 1.1 from target lesions {longest_mm, short_axis_mm, status, is_lymph_node}: CR/PR/SD/PD with\n"
        "the sums of diameters (nodes by short axis).");
    m.def(
        "irecist_evaluate",
        [](nb::list baseline, nb::list current, double nadir, bool new_lesion, bool nt_progression,
           const std::string& prev_response, bool prev_was_iupd) {
            if (prev_response != "CR" && prev_response != "PR" && prev_response != "SD" && prev_response != "PD" &&
                prev_response != "NE")
                throw std::runtime_error("irecist: prev_response must be the RECIST 1.1 response at the previous "
                                         "timepoint \u2014 CR, PR, SD, PD or NE \u2014 not '" + prev_response + "'");
            const Evaluation e = recist(lesions(baseline, Keys::kRecist), lesions(current, Keys::kRecist), nadir,
                                        new_lesion, nt_progression, "irecist");
            return result(irecist_response(e.response, prev_was_iupd), e, "baseline_sld", "current_sld");
        },
        nb::arg("baseline"), nb::arg("current"), nb::arg("nadir_sld") = 0.0, nb::arg("new_lesion") = false,
        nb::arg("nt_progression") = false, nb::arg("prev_response") = "NE", nb::arg("prev_was_iupd") = false,
        "iRECIST: the RECIST 1.1 result as iCR/iPR/iSD, a progression as iUPD (iCPD when the previous\n"
        "timepoint was iUPD).");
    m.def(
        "mrecist_evaluate", sums_evaluation(&mrecist, Keys::kViable, "baseline_sum", "current_sum"),
        nb::arg("baseline"), nb::arg("current"), nb::arg("nadir_sum") = 0.0, nb::arg("new_lesion") = false,
        "mRECIST from the viable (arterially enhancing) diameters {viable_diam_mm, status}.");
    m.def(
        "cheson_evaluate", sums_evaluation(&cheson, Keys::kProduct, "baseline_spd", "current_spd"),
        nb::arg("baseline"), nb::arg("current"), nb::arg("nadir_spd") = 0.0, nb::arg("new_lesion") = false,
        "Cheson/Lugano from the sums of products of diameters {longest_mm, perpendicular_mm, is_lymph_node,\n"
        "status}.");
    m.def(
        "rano_evaluate",
        [](nb::list baseline, nb::list current, double nadir, bool new_lesion, const std::string& non_enhancing,
           bool on_steroids) {
            NonEnhancing ne;
            if (non_enhancing == "stable") ne = kStable;
            else if (non_enhancing == "improved") ne = kImproved;
            else if (non_enhancing == "increased") ne = kIncreased;
            else if (non_enhancing == "unknown") ne = kUnknown;
            else throw std::runtime_error("rano: non_enhancing must be stable, improved, increased or unknown, not '" +
                                          non_enhancing + "'");
            const Evaluation e = rano(lesions(baseline, Keys::kRano), lesions(current, Keys::kRano), nadir, new_lesion,
                                      ne, on_steroids);
            return result(response_name(e.response), e, "baseline_spd", "current_spd");
        },
        nb::arg("baseline"), nb::arg("current"), nb::arg("nadir_spd") = 0.0, nb::arg("new_lesion") = false,
        nb::arg("non_enhancing") = "unknown", nb::arg("on_steroids") = false,
        "RANO from the sums of products {longest_mm, perpendicular_mm, status}, the non-enhancing component\n"
        "and steroid use.");
    m.def(
        "pcwg3_evaluate",
        [](long scan1, long scan2, bool pending, double psa_current, double psa_nadir, bool psa_given) {
            nb::dict d;
            d["bone"] = pcwg3_bone(scan1, scan2, pending);
            if (psa_given) d["psa"] = pcwg3_psa(psa_current, psa_nadir);
            return d;
        },
        nb::arg("new_lesions_scan1") = 0, nb::arg("new_lesions_scan2") = -1, nb::arg("prev_was_pending") = false,
        nb::arg("psa_current") = 0.0, nb::arg("psa_nadir") = 0.0, nb::arg("psa_given") = false,
        "PCWG3: the bone-scan 2+2 rule (scan2 = -1: no confirmation scan yet) and, with psa_given, PSA\n"
        "progression (a rise of at least 2.0 and 25 % over the nadir).");
    m.def(
        "recist_feret",
        [](nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu> mask, double sx, double sy) -> nb::object {
            if (mask.ndim() != 2) throw std::runtime_error("recist_feret: mask must be 2-D (rows, cols)");
            const std::size_t rows = mask.shape(0), cols = mask.shape(1);
            if (rows < 1 || cols < 1 || rows > 65535 || cols > 65535)
                throw std::runtime_error("recist_feret: mask dimensions must be 1..65535");
            if (!(sx > 0) || !(sy > 0))
                throw std::runtime_error("recist_feret: pixel spacing must be positive \u2014 a diameter in mm cannot "
                                         "come from a mask with no scale");
            const auto f = without_gil([&] { return feret(mask.data(), rows, cols, sx, sy); });
            if (!f) return nb::none();
            nb::dict d;
            d["longest_mm"] = f->longest_mm;
            d["short_axis_mm"] = f->width_mm;
            d["longest_endpoints"] = nb::make_tuple(f->longest[0], f->longest[1], f->longest[2], f->longest[3]);
            d["short_endpoints"] = nb::make_tuple(f->width[0], f->width[1], f->width[2], f->width[3]);
            return d;
        },
        nb::arg("mask"), nb::arg("spacing_x"), nb::arg("spacing_y"),
        nb::sig("def recist_feret(mask: numpy.typing.NDArray[numpy.uint8], spacing_x: float, spacing_y: float) -> "
                "dict[str, Any] | None"),
        "Maximum Feret diameter of a 2-D lesion mask and the caliper width perpendicular to it (mm), with\n"
        "their endpoints (x0, y0, x1, y1 in pixels); None for an empty mask.");
    m.def(
        "recist_volume",
        [](nb::ndarray<const std::uint32_t, nb::c_contig, nb::device::cpu> counts, double area, double spacing) {
            double total = 0;
            for (std::size_t i = 0; i < counts.size(); ++i) total += double(counts.data()[i]);
            return total * area * spacing;
        },
        nb::arg("slice_pixel_counts"), nb::arg("pixel_area_mm2"), nb::arg("slice_spacing_mm"),
        "Lesion volume (mm3) from per-slice pixel counts.");
    m.def(
        "recist_pixel_to_world",
        [](Values origin, Values orientation, Values spacing, double px, double py) {
            if (count(origin) != 3 || count(orientation) != 6 || count(spacing) != 2)
                throw std::runtime_error("recist_pixel_to_world: origin[3], orientation[6], spacing[2]");
            const double* o = origin.data();
            const double* r = orientation.data();
            const double* s = spacing.data();
            return nb::make_tuple(o[0] + r[0] * px * s[1] + r[3] * py * s[0], o[1] + r[1] * px * s[1] + r[4] * py * s[0],
                                  o[2] + r[2] * px * s[1] + r[5] * py * s[0]);
        },
        nb::arg("origin"), nb::arg("orientation"), nb::arg("spacing"), nb::arg("px"), nb::arg("py"),
        "Patient position of pixel (column px, row py) from Image Position, Image Orientation and Pixel Spacing.");
    m.def(
        "recist_match_lesion",
        [](Values query, Values candidates, double max_distance) -> nb::tuple {
            if (count(query) != 3) throw std::runtime_error("recist_match_lesion: query must be [x, y, z]");
            if (candidates.ndim() != 2 || candidates.shape(1) != 3)
                throw std::runtime_error("recist_match_lesion: candidates must be n x 3 world coordinates");
            const double* q = query.data();
            double best = max_distance * max_distance;
            long index = -1;
            for (std::size_t i = 0; i < candidates.shape(0); ++i) {
                const double* c = candidates.data() + 3 * i;
                const double d2 = (c[0] - q[0]) * (c[0] - q[0]) + (c[1] - q[1]) * (c[1] - q[1]) + (c[2] - q[2]) * (c[2] - q[2]);
                if (d2 <= best) best = d2, index = long(i);
            }
            if (index < 0) return nb::make_tuple(nb::none(), nb::none());
            return nb::make_tuple(index, std::sqrt(best));
        },
        nb::arg("query"), nb::arg("candidates"), nb::arg("max_distance_mm"),
        "The nearest candidate within max_distance_mm (the later on equal distances): (index, distance) or\n"
        "(None, None).");
    m.def(
        "recist_nearest_slice",
        [](Values world, Values origins, Values normal) {
            if (count(world) != 3 || count(normal) != 3)
                throw std::runtime_error("recist_nearest_slice: world[3] and normal[3]");
            if (origins.ndim() != 2 || origins.shape(1) != 3 || origins.shape(0) < 1)
                throw std::runtime_error("recist_nearest_slice: slice_origins must be n x 3, n >= 1");
            const double* w = world.data();
            const double* n = normal.data();
            double best = 1e30, signed_best = 0;
            long index = 0;
            for (std::size_t i = 0; i < origins.shape(0); ++i) {
                const double* o = origins.data() + 3 * i;
                const double d = (w[0] - o[0]) * n[0] + (w[1] - o[1]) * n[1] + (w[2] - o[2]) * n[2];
                if (std::fabs(d) < best) best = std::fabs(d), signed_best = d, index = long(i);
            }
            return nb::make_tuple(index, signed_best);
        },
        nb::arg("world"), nb::arg("slice_origins"), nb::arg("normal"),
        "The slice whose plane lies nearest a patient point: (index, signed distance along normal).");
}

}  // namespace loam::bind
