// Radiomics features of a region of interest.
#include <cctype>
#include <cmath>
#include <optional>
#include <string>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/variant.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "radiomics/extract.hpp"
#include "radiomics/files.hpp"
#include "radiomics/filters.hpp"
#include "radiomics/prepare.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::radiomics;
using Volume = nb::ndarray<const double, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Labels = nb::ndarray<const std::int64_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

Interpolation interpolation(nb::handle v, const char* key) {
    const std::string name = option_value<std::string>(v, key);
    const std::string_view c = require_choice(
        name, {"sitkNearestNeighbor", "sitkLinear", "sitkBSpline", "nearest", "linear", "cubic", "bspline"}, key);
    if (c == "sitkNearestNeighbor" || c == "nearest") return Interpolation::kNearest;
    if (c == "sitkLinear" || c == "linear") return Interpolation::kLinear;
    return Interpolation::kCubic;
}

std::optional<double> bound(nb::handle v, const char* what) {
    if (v.is_none()) return std::nullopt;
    return option_value<double>(v, what);
}

// A filter dict: {"type": "mean" | "log" | "laws" | "gabor" | "wavelet", ...} with angles in degrees.
FilterSpec parse_filter(const nb::dict& d) {
    refuse_unknown_keys(d, {"type", "dims", "padding", "size", "sigma", "truncate", "kernels", "response", "wavelet", "level",
                            "rotation_invariant", "pooling", "energy_distance", "wavelength", "gamma", "theta", "theta_step",
                            "orthogonal_planes"},
                        "filter");
    FilterSpec f;
    if (!d.contains("type")) throw nb::value_error("a filter needs its type: mean, log, laws, gabor or wavelet");
    f.type = require_choice(option_value<std::string>(d["type"], "filter type"), {"mean", "log", "laws", "gabor", "wavelet"},
                            "filter type");
    if (d.contains("dims")) {
        const int dims = option_value<int>(d["dims"], "filter dims");
        if (dims != 2 && dims != 3) throw nb::value_error("filter dims is 2 (slice by slice) or 3");
        f.in_plane = dims == 2;
    }
    if (d.contains("padding")) {
        const std::string given = option_value<std::string>(d["padding"], "filter padding");
        const std::string_view p = require_choice(given, {"constant", "nearest", "periodic", "mirror"}, "filter padding");
        f.padding = p == "constant" ? Padding::kConstant : p == "nearest" ? Padding::kNearest
                    : p == "periodic" ? Padding::kPeriodic : Padding::kMirror;
    }
    if (d.contains("pooling"))
        f.pooling = require_choice(option_value<std::string>(d["pooling"], "filter pooling"), {"max", "average"},
                                   "filter pooling") == "max" ? Pooling::kMax : Pooling::kAverage;
    if (d.contains("size")) f.size = option_value<int>(d["size"], "filter size");
    if (d.contains("sigma")) f.sigma = option_value<double>(d["sigma"], "filter sigma");
    if (d.contains("truncate")) f.truncate = option_value<double>(d["truncate"], "filter truncate");
    if (d.contains("kernels")) f.kernels = option_value<std::string>(d["kernels"], "filter kernels");
    if (d.contains("response")) f.response = option_value<std::string>(d["response"], "filter response");
    if (d.contains("wavelet")) f.wavelet = option_value<std::string>(d["wavelet"], "filter wavelet");
    if (d.contains("level")) f.level = option_value<int>(d["level"], "filter level");
    if (d.contains("rotation_invariant")) f.rotation_invariant = option_value<bool>(d["rotation_invariant"], "filter rotation_invariant");
    if (d.contains("energy_distance")) f.energy_distance = option_value<int>(d["energy_distance"], "filter energy_distance");
    if (d.contains("wavelength")) f.wavelength = option_value<double>(d["wavelength"], "filter wavelength");
    if (d.contains("gamma")) f.gamma = option_value<double>(d["gamma"], "filter gamma");
    if (d.contains("theta")) f.theta = option_value<double>(d["theta"], "filter theta") * M_PI / 180;
    if (d.contains("theta_step")) f.theta_step = option_value<double>(d["theta_step"], "filter theta_step") * M_PI / 180;
    if (d.contains("orthogonal_planes")) f.orthogonal_planes = option_value<bool>(d["orthogonal_planes"], "filter orthogonal_planes");
    return f;
}

struct Parsed : Extraction {
    std::optional<long> label;
};

// pyradiomics' imageType dict: {"Original": {}, "LoG": {"sigma": [...]}, "Wavelet": {"wavelet":
// "coif1", "level": 1}, "Square": {}, "SquareRoot": {}, "Logarithm": {}, "Exponential": {},
// "Gradient": {}}.
std::vector<ImageType> parse_image_types(const nb::dict& d) {
    refuse_unknown_keys(d, {"Original", "LoG", "Wavelet", "Square", "SquareRoot", "Logarithm", "Exponential", "Gradient", "LBP2D"},
                        "imageType");
    std::vector<ImageType> out;
    const auto options = [](nb::handle v, const char* what) {
        return v.is_none() ? nb::dict() : option_value<nb::dict>(v, what);
    };
    for (auto [key, value] : d) {
        const std::string name = option_value<std::string>(key, "imageType key");
        const nb::dict o = options(value, "imageType options");
        if (name == "Original") {
            refuse_unknown_keys(o, {}, "imageType Original");
            out.push_back({"original", std::nullopt});
        } else if (name == "LoG") {
            refuse_unknown_keys(o, {"sigma"}, "imageType LoG");
            if (!o.contains("sigma")) throw nb::value_error("imageType LoG needs its sigma list (mm)");
            for (double sigma : option_value<std::vector<double>>(o["sigma"], "imageType LoG sigma"))
                out.push_back(log_image_type(sigma));
        } else if (name == "Wavelet") {
            refuse_unknown_keys(o, {"wavelet", "level"}, "imageType Wavelet");
            const std::string wavelet = o.contains("wavelet") ? option_value<std::string>(o["wavelet"], "imageType Wavelet wavelet") : "coif1";
            const int level = o.contains("level") ? option_value<int>(o["level"], "imageType Wavelet level") : 1;
            for (ImageType& t : wavelet_image_types(wavelet, level)) out.push_back(std::move(t));
        } else if (name == "LBP2D") {
            refuse_unknown_keys(o, {"lbp2DRadius", "lbp2DSamples", "lbp2DMethod"}, "imageType LBP2D");
            const double radius = o.contains("lbp2DRadius") ? option_value<double>(o["lbp2DRadius"], "lbp2DRadius") : 1.0;
            const int samples = o.contains("lbp2DSamples") ? option_value<int>(o["lbp2DSamples"], "lbp2DSamples") : 8;
            if (o.contains("lbp2DMethod"))
                require_choice(option_value<std::string>(o["lbp2DMethod"], "lbp2DMethod"), {"uniform"}, "lbp2DMethod");
            if (!(radius > 0 && radius <= 16) || samples < 1 || samples > 64)
                throw nb::value_error("LBP2D needs a radius of 0 to 16 voxels and 1 to 64 samples");
            out.push_back(lbp2d_image_type(radius, samples));
        } else {
            refuse_unknown_keys(o, {}, "imageType transform");
            std::string lower = name;
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            out.push_back(transform_image_type(lower));
        }
    }
    if (out.empty()) throw nb::value_error("imageType names no image type");
    return out;
}

// The convention's defaults, then the caller's settings over them.
Parsed parse_settings(const std::optional<nb::dict>& given, const std::string& convention) {
    Parsed out;
    if (require_choice(convention, {"ibsi", "pyradiomics"}, "convention") == "pyradiomics")
        out.convention = Convention::kPyradiomics, out.settings = pyradiomics_settings(), out.families = pyradiomics_families();
    Settings& s = out.settings;
    if (!given) return out;
    const nb::dict& d = *given;
    refuse_unknown_keys(d,
                        {"binWidth", "binCount", "resampledPixelSpacing", "interpolator", "maskInterpolator", "maskThreshold",
                         "roundIntensities", "resegmentRange", "resegmentMode", "resegmentSigma", "ivhBinWidth", "ivhBinCount",
                         "distances", "gldm_a", "force2D", "aggregation", "geospatial", "featureClass", "peakVolume", "label",
                         "voxelArrayShift", "voxelBased", "kernelRadius", "filter", "imageType"},
                        "settings");
    if (d.contains("imageType") && d.contains("filter")) throw nb::value_error("settings take a filter or an imageType, not both");
    if (d.contains("imageType")) out.image_types = parse_image_types(option_value<nb::dict>(d["imageType"], "imageType"));
    if (d.contains("filter") && !nb::handle(d["filter"]).is_none())
        s.filter = parse_filter(option_value<nb::dict>(d["filter"], "filter"));
    if (d.contains("voxelBased")) out.voxel_based = option_value<bool>(d["voxelBased"], "voxelBased");
    if (d.contains("kernelRadius")) out.kernel_radius = option_value<int>(d["kernelRadius"], "kernelRadius");
    if (d.contains("label")) out.label = option_value<long>(d["label"], "label");
    if (d.contains("voxelArrayShift")) out.voxel_shift = option_value<double>(d["voxelArrayShift"], "voxelArrayShift");
    if (d.contains("binWidth")) s.texture.kind = Binning::kWidth, s.texture.width = option_value<double>(d["binWidth"], "binWidth");
    if (d.contains("binCount")) s.texture.kind = Binning::kCount, s.texture.count = option_value<int>(d["binCount"], "binCount");
    if (d.contains("ivhBinWidth"))
        s.ivh.kind = Binning::kWidth, s.ivh.width = option_value<double>(d["ivhBinWidth"], "ivhBinWidth");
    if (d.contains("ivhBinCount"))
        s.ivh.kind = Binning::kCount, s.ivh.count = option_value<int>(d["ivhBinCount"], "ivhBinCount");
    if (d.contains("resampledPixelSpacing") && !nb::handle(d["resampledPixelSpacing"]).is_none()) {
        const auto xyz = option_value<std::vector<double>>(d["resampledPixelSpacing"], "resampledPixelSpacing");
        if (xyz.size() != 3) throw nb::value_error("resampledPixelSpacing is [x, y, z] in mm (0 keeps an axis)");
        s.resample = {xyz[2], xyz[1], xyz[0]};
    }
    if (d.contains("interpolator")) s.image_interpolation = interpolation(d["interpolator"], "interpolator");
    if (d.contains("maskInterpolator")) s.mask_interpolation = interpolation(d["maskInterpolator"], "maskInterpolator");
    if (d.contains("maskThreshold")) s.mask_threshold = option_value<double>(d["maskThreshold"], "maskThreshold");
    if (d.contains("roundIntensities")) s.round_intensities = option_value<bool>(d["roundIntensities"], "roundIntensities");
    std::string mode = "absolute";
    if (d.contains("resegmentMode"))
        mode = require_choice(option_value<std::string>(d["resegmentMode"], "resegmentMode"), {"absolute", "sigma"},
                              "resegmentMode");
    if (d.contains("resegmentRange") && !nb::handle(d["resegmentRange"]).is_none()) {
        const nb::list r = option_value<nb::list>(nb::list(d["resegmentRange"]), "resegmentRange");
        if (r.size() < 1 || r.size() > 2) throw nb::value_error("resegmentRange is [lower] or [lower, upper]; None leaves a bound open");
        const std::optional<double> lo = bound(r[0], "resegmentRange's lower bound");
        const std::optional<double> hi = r.size() == 2 ? bound(r[1], "resegmentRange's upper bound") : std::nullopt;
        if (mode == "sigma") {
            if (!lo || !hi || *lo != -*hi)
                throw nb::value_error("with resegmentMode 'sigma', resegmentRange is [-k, k]: k standard deviations");
            s.outlier_sigma = *hi;
        } else {
            if (lo) s.resegment_min = *lo;
            if (hi) s.resegment_max = *hi;
        }
    }
    if (d.contains("resegmentSigma")) s.outlier_sigma = option_value<double>(d["resegmentSigma"], "resegmentSigma");
    if (d.contains("distances")) {
        const auto ds = option_value<std::vector<int>>(d["distances"], "distances");
        if (ds.size() != 1) throw nb::value_error("distances holds one distance (the neighbourhood's Chebyshev radius)");
        s.distance = ds[0];
    }
    if (d.contains("gldm_a")) s.ngldm_alpha = option_value<int>(d["gldm_a"], "gldm_a");
    if (d.contains("force2D") && option_value<bool>(d["force2D"], "force2D")) s.texture_3d = false;
    if (d.contains("aggregation")) {
        const std::string a = option_value<std::string>(d["aggregation"], "aggregation");
        const std::string_view c = require_choice(a, {"2D", "3D", "all"}, "aggregation");
        s.texture_2d = c != "3D", s.texture_3d = c != "2D";
    }
    if (d.contains("geospatial")) s.geospatial = option_value<bool>(d["geospatial"], "geospatial");
    if (d.contains("peakVolume")) s.peak_volume_mm3 = option_value<double>(d["peakVolume"], "peakVolume");
    if (d.contains("featureClass")) {
        // A list of family names, or pyradiomics' dict of class names (its feature lists are
        // not read: a class gives all its features).
        nb::object given_classes = d["featureClass"];
        if (nb::isinstance<nb::dict>(given_classes)) given_classes = nb::list(given_classes);
        Families& f = out.families;
        f = Families{false, false, false, false, false, false};
        for (const std::string& name : option_value<std::vector<std::string>>(given_classes, "featureClass")) {
            const std::string_view c = require_choice(
                name, {"morphology", "local_intensity", "statistics", "intensity_histogram", "intensity_volume_histogram",
                       "texture", "shape", "firstorder", "glcm", "glrlm", "glszm", "gldm", "ngtdm"},
                "featureClass");
            if (c == "morphology" || c == "shape") f.morphology = true;
            else if (c == "local_intensity") f.local_intensity = true;
            else if (c == "statistics") f.statistics = true;
            else if (c == "intensity_histogram") f.histogram = true;
            else if (c == "intensity_volume_histogram") f.volume_histogram = true;
            else if (c == "firstorder") f.statistics = f.histogram = true;
            else f.texture = true;
            if (c == "shape" || c == "firstorder" || c.starts_with("gl") || c == "ngtdm") out.classes.emplace_back(c);
        }
    }
    return out;
}

// Spacing (z, y, x) from a spacing triple or a voxel-to-patient affine's column lengths.
Spacing read_spacing(const std::optional<nb::object>& spacing, const std::optional<nb::object>& affine) {
    if (spacing && !spacing->is_none()) {
        const auto v = option_value<std::vector<double>>(*spacing, "spacing");
        if (v.size() != 3) throw nb::value_error("spacing is (z, y, x) in mm");
        return {v[0], v[1], v[2]};
    }
    if (affine && !affine->is_none()) {
        const auto m = column_major_affine(*affine, "affine");
        // Columns 0, 1, 2 step along x (columns), y (rows), z (slices).
        const auto length = [&](int c) { return std::hypot(m[4 * c], m[4 * c + 1], m[4 * c + 2]); };
        return {length(2), length(1), length(0)};
    }
    throw nb::value_error("give the voxel spacing (z, y, x) in mm or the affine");
}

nb::dict feature_dict(const Features& f) {
    nb::dict out;
    for (const auto& [name, value] : f) out[str_of(name)] = value;
    return out;
}

// Features, or with voxelBased their maps, of image voxels inside roi (0/1).
nb::dict features_of(const double* image, const std::uint8_t* roi, const Dims& dims, const Spacing& spacing,
                     const Parsed& parsed, bool prepared) {
    Extracted found = without_gil([&] {
        const Settings settings = preparation_settings(parsed, spacing);
        const Prepared p = prepared ? prepare_levels(image, roi, dims, spacing, settings)
                                    : prepare(image, roi, dims, spacing, settings);
        return extract(p, parsed);
    });
    if (!parsed.voxel_based) return feature_dict(found.values);
    nb::dict out;
    for (FeatureMap& m : found.maps)
        out[str_of(m.name)] = to_array(std::move(m.values), {found.grid[0], found.grid[1], found.grid[2]}, nb::dtype<float>());
    return out;
}

nb::dict features(Volume image, Labels mask, const std::optional<nb::object>& spacing,
                  const std::optional<nb::object>& affine, const std::optional<nb::dict>& settings, long label,
                  const std::string& convention, bool prepared) {
    for (int a = 0; a < 3; ++a)
        if (image.shape(a) != mask.shape(a)) throw nb::value_error("image and mask differ in shape");
    const Parsed parsed = parse_settings(settings, convention);
    if (parsed.label) label = *parsed.label;
    const Spacing sp = read_spacing(spacing, affine);
    const Dims dims{image.shape(0), image.shape(1), image.shape(2)};
    std::vector<std::uint8_t> roi(voxel_count(dims));
    without_gil([&] {
        for (std::size_t i = 0; i < roi.size(); ++i) roi[i] = mask.data()[i] == label;
    });
    return features_of(image.data(), roi.data(), dims, sp, parsed, prepared);
}

nb::dict features_from_files(const Path& image_path, const Path& mask_path, const std::optional<nb::dict>& settings,
                             const std::variant<long, std::string>& label, const std::string& convention) {
    const Parsed parsed = parse_settings(settings, convention);
    RegionLabel region = label;
    if (parsed.label) region = *parsed.label;
    ImageVolume image;
    std::vector<std::uint8_t> roi;
    without_gil([&] {
        image = load_image(image_path);
        roi = load_mask(mask_path, image, region);
    });
    return features_of(image.voxels.data(), roi.data(), image.dims, image.spacing, parsed, false);
}

}  // namespace

void register_radiomics(nb::module_& m) {
    m.def(
        "radiomics_features",
        [](Volume image, Labels mask, const std::optional<nb::object>& spacing, const std::optional<nb::object>& affine,
           const std::optional<nb::dict>& settings, long label, const std::string& convention) {
            return features(image, mask, spacing, affine, settings, label, convention, false);
        },
        nb::arg("image"), nb::arg("mask"), nb::arg("spacing") = nb::none(), nb::kw_only(), nb::arg("affine") = nb::none(),
        nb::arg("settings") = nb::none(), nb::arg("label") = 1, nb::arg("convention") = "ibsi",
        nb::sig("def radiomics_features(image: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.int64], spacing: Sequence[float] | None = None, *, "
                "affine: Sequence[float] | numpy.typing.NDArray[Any] | None = None, settings: dict[str, Any] | None = None, "
                "label: int = 1, convention: str = 'ibsi') -> dict[str, Any]"),
        "IBSI features of the voxels of mask == label in a (slices, rows, columns) image.");
    m.def(
        "radiomics_features_prepared",
        [](Volume levels, Labels mask, const std::optional<nb::object>& spacing, const std::optional<nb::object>& affine,
           const std::optional<nb::dict>& settings, long label, const std::string& convention) {
            return features(levels, mask, spacing, affine, settings, label, convention, true);
        },
        nb::arg("levels"), nb::arg("mask"), nb::arg("spacing") = nb::none(), nb::kw_only(), nb::arg("affine") = nb::none(),
        nb::arg("settings") = nb::none(), nb::arg("label") = 1, nb::arg("convention") = "ibsi",
        nb::sig("def radiomics_features_prepared(levels: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.int64], spacing: Sequence[float] | None = None, *, "
                "affine: Sequence[float] | numpy.typing.NDArray[Any] | None = None, settings: dict[str, Any] | None = None, "
                "label: int = 1, convention: str = 'ibsi') -> dict[str, Any]"),
        "IBSI features of an image already resampled and discretised: grey levels 1..Ng inside the mask.");
    m.def(
        "_radiomics_filter",
        [](Volume image, const std::vector<double>& spacing, const nb::dict& filter) {
            if (spacing.size() != 3) throw nb::value_error("spacing is (z, y, x) in mm");
            const FilterSpec f = parse_filter(filter);
            const Dims dims{image.shape(0), image.shape(1), image.shape(2)};
            std::vector<double> out = without_gil([&] {
                return apply_filter({image.data(), image.data() + voxel_count(dims)}, dims, {spacing[0], spacing[1], spacing[2]}, f);
            });
            return to_array(std::move(out), {dims[0], dims[1], dims[2]}, nb::dtype<double>());
        },
        nb::arg("image"), nb::arg("spacing"), nb::arg("filter"),
        "The response map of an image to a filter of radiomics' settings (the filter dict).");
    m.def("radiomics_file", &features_from_files, nb::arg("image_path"), nb::arg("mask_path"),
          nb::arg("settings") = nb::none(), nb::kw_only(), nb::arg("label") = 1, nb::arg("convention") = "ibsi",
          nb::sig("def radiomics_file(image_path: str | os.PathLike[str], mask_path: str | os.PathLike[str], "
                  "settings: dict[str, Any] | None = None, *, label: int | str = 1, convention: str = 'ibsi') "
                  "-> dict[str, Any]"),
          "IBSI features of a NIfTI image or DICOM series folder over a NIfTI mask, a Segmentation's segment or\n"
          "an RT Structure Set's ROI, rasterised on the image's slices.");
}

}  // namespace loam::bind
