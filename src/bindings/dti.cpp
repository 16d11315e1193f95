// Diffusion tensors: fits and maps, eigen-decomposition and the brain mask.
#include <algorithm>
#include <cmath>
#include <cctype>
#include <optional>
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "diffusion/dti.hpp"

namespace loam::bind {

namespace {

using namespace loamwerk::diffusion;
using Float4 = nb::ndarray<const float, nb::ndim<4>, nb::c_contig, nb::device::cpu>;
using Float3 = nb::ndarray<const float, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Doubles = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;
using Mask = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

template <class T>
nb::ndarray<nb::numpy> array_of(std::vector<T>&& v, std::vector<std::size_t> shape) {
    return to_array(std::move(v), shape, nb::dtype<T>());
}

TensorFitMethod fit_method(std::string name) {
    for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
    require_choice(name, {"wls", "ols", "nlls"}, "method");
    return name == "ols" ? TensorFitMethod::kOls : name == "nlls" ? TensorFitMethod::kNlls : TensorFitMethod::kWls;
}

nb::dict fit_maps(Float4 dwi, Doubles bvals, Doubles bvecs, std::optional<Mask> mask, const std::string& method,
                  double min_signal) {
    const std::size_t t = dwi.shape(0), z = dwi.shape(1), y = dwi.shape(2), x = dwi.shape(3);
    if (bvals.size() != t) throw nb::value_error("dti_fit_maps: bvals must have one value a volume");
    if (bvecs.size() != 3 * t) throw nb::value_error("dti_fit_maps: bvecs must be (volumes, 3)");
    if (mask && mask->size() != z * y * x) throw nb::value_error("dti_fit_maps: mask size must equal Z*Y*X");
    if (!(min_signal > 0)) throw nb::value_error("dti_fit_maps: min_signal must be > 0");
    const TensorFitMethod m = fit_method(method);
    DtiMaps maps = without_gil([&] {
        try {
            return fit_tensors(dwi.data(), t, z * y * x, bvals.data(), bvecs.data(), mask ? mask->data() : nullptr, m,
                               min_signal);
        } catch (const std::invalid_argument& e) {
            throw std::domain_error(std::string("dti_fit_maps: ") + e.what());
        }
    });
    nb::dict out;
    const std::vector<std::size_t> shape{z, y, x};
    out["fa"] = array_of(std::move(maps.fa), shape);
    out["md"] = array_of(std::move(maps.md), shape);
    out["ad"] = array_of(std::move(maps.ad), shape);
    out["rd"] = array_of(std::move(maps.rd), shape);
    out["mode"] = array_of(std::move(maps.mode), shape);
    out["s0"] = array_of(std::move(maps.s0), shape);
    out["color_fa"] = array_of(std::move(maps.rgb), {z, y, x, 3});
    out["tensor"] = array_of(std::move(maps.tensor), {z, y, x, 6});
    out["evals"] = array_of(std::move(maps.evals), {z, y, x, 3});
    out["evecs"] = array_of(std::move(maps.evecs), {z, y, x, 3, 3});
    out["fitted"] = maps.fitted;
    return out;
}

nb::list track_py(nb::ndarray<const float, nb::c_contig, nb::device::cpu> directions, Float3 fa, Doubles seeds,
                  double step_size, double max_angle, double fa_threshold, double min_length, double max_length,
                  std::optional<Mask> stop_mask, const std::optional<nb::object>& affine, const std::string& space) {
    const std::size_t nz = fa.shape(0), ny = fa.shape(1), nx = fa.shape(2);
    // The principal direction: [Z, Y, X, 3], or the eigenvectors [Z, Y, X, 3, 3] (first column).
    const bool full = directions.ndim() == 5 && directions.shape(3) == 3 && directions.shape(4) == 3;
    if (!(directions.ndim() == 4 && directions.shape(3) == 3) && !full)
        throw nb::value_error("dti_track: directions must be [Z, Y, X, 3], or the eigenvectors [Z, Y, X, 3, 3]");
    if (directions.shape(0) != nz || directions.shape(1) != ny || directions.shape(2) != nx)
        throw nb::value_error("dti_track: directions and fa must cover the same voxels");
    if (seeds.ndim() != 2 || seeds.shape(1) != 3) throw nb::value_error("dti_track: seeds must be (N, 3) voxel x, y, z");
    if (stop_mask && stop_mask->size() != nz * ny * nx) throw nb::value_error("dti_track: stop_mask size must equal Z*Y*X");
    if (!(step_size > 0) || !(max_angle > 0 && max_angle <= 90) || !(max_length > 0) || !(min_length >= 0))
        throw nb::value_error("dti_track: step_size and max_length must be > 0, max_angle in (0, 90], min_length >= 0");
    if (space != "voxel" && space != "patient") throw nb::value_error("dti_track: space must be 'voxel' or 'patient'");
    std::array<double, 16> aff{1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    if (affine && !affine->is_none()) {
        aff = column_major_affine(*affine, "dti_track: affine");
    } else if (space == "patient") {
        throw nb::value_error("dti_track: streamlines in patient space need the affine");
    }
    std::array<double, 3> voxel{};
    for (int k = 0; k < 3; ++k) voxel[k] = std::sqrt(aff[4 * k] * aff[4 * k] + aff[4 * k + 1] * aff[4 * k + 1] + aff[4 * k + 2] * aff[4 * k + 2]);
    TrackOptions o;
    for (int k = 0; k < 3; ++k) {
        if (!(voxel[k] > 0)) throw nb::value_error("dti_track: the affine's voxel sizes must be > 0");
        o.step_vox[k] = step_size / voxel[k];
    }
    o.max_angle_deg = max_angle, o.fa_threshold = fa_threshold;
    const double steps = std::floor(max_length / (2 * step_size));
    if (steps > 1e6) throw nb::value_error("dti_track: max_length / step_size allows at most 2,000,000 steps");
    o.max_steps = std::size_t(steps);
    std::vector<std::array<double, 3>> seed_points(seeds.shape(0));
    for (std::size_t i = 0; i < seed_points.size(); ++i)
        for (int k = 0; k < 3; ++k) seed_points[i][k] = seeds.data()[3 * i + std::size_t(k)];
    // The principal directions as one [Z, Y, X, 3] array (the eigenvectors' first column).
    std::vector<float> principal;
    const float* dirs = directions.data();
    if (full) {
        principal.resize(nz * ny * nx * 3);
        for (std::size_t v = 0; v < nz * ny * nx; ++v)
            for (int r = 0; r < 3; ++r) principal[3 * v + std::size_t(r)] = directions.data()[9 * v + 3 * std::size_t(r)];
        dirs = principal.data();
    }
    auto lines = without_gil([&] {
        return track(dirs, fa.data(), stop_mask ? stop_mask->data() : nullptr, nz, ny, nx, seed_points, o);
    });
    nb::list out;
    for (auto& line : lines) {
        double length = 0;
        for (std::size_t i = 1; i < line.size(); ++i) {
            double s = 0;
            for (int k = 0; k < 3; ++k) {
                const double step = (line[i][std::size_t(k)] - line[i - 1][std::size_t(k)]) * voxel[std::size_t(k)];
                s += step * step;
            }
            length += std::sqrt(s);
        }
        if (line.empty() || length < min_length) continue;
        std::vector<double> points(line.size() * 3);
        for (std::size_t i = 0; i < line.size(); ++i) {
            const auto& p = line[i];
            for (int r = 0; r < 3; ++r)
                points[3 * i + std::size_t(r)] = space == "voxel" ? p[std::size_t(r)]
                                                                 : aff[std::size_t(r)] * p[0] + aff[4 + std::size_t(r)] * p[1] +
                                                                       aff[8 + std::size_t(r)] * p[2] + aff[12 + std::size_t(r)];
        }
        out.append(array_of(std::move(points), {line.size(), 3}));
    }
    return out;
}

}  // namespace

void register_dti(nb::module_& m) {
    m.def("dti_fit_maps", &fit_maps, nb::arg("dwi"), nb::arg("bvals"), nb::arg("bvecs"), nb::arg("mask") = nb::none(),
          nb::arg("method") = "wls", nb::arg("min_signal") = 1e-4,
          "Fits the diffusion tensor in every voxel of dwi [volumes, Z, Y, X] as DIPY's TensorModel does and\n"
          "returns its maps: fa, md, ad, rd, mode, s0, color_fa, tensor (Dxx, Dxy, Dyy, Dxz, Dyz, Dzz),\n"
          "evals (descending) and evecs (columns), and the number of voxels fitted.");
    m.def(
        "dti_eigen",
        [](Doubles tensor, double min_diffusivity) {
            if (tensor.ndim() < 1 || tensor.shape(tensor.ndim() - 1) != 6)
                throw nb::value_error("dti_eigen: tensor's last axis must hold the six elements");
            const std::size_t n = tensor.size() / 6;
            std::vector<std::size_t> lead;
            for (std::size_t i = 0; i + 1 < tensor.ndim(); ++i) lead.push_back(tensor.shape(i));
            std::vector<double> values(n * 3), vectors(n * 9);
            {
                nb::gil_scoped_release release;
                for (std::size_t v = 0; v < n; ++v) {
                    Tensor6 d;
                    std::copy(tensor.data() + 6 * v, tensor.data() + 6 * v + 6, d.begin());
                    const Eigen3 e = tensor_eigen(d, min_diffusivity);
                    for (int k = 0; k < 3; ++k) {
                        values[3 * v + k] = e.values[k];
                        for (int r = 0; r < 3; ++r) vectors[9 * v + 3 * r + k] = e.vectors[k][r];
                    }
                }
            }
            auto with = [&](std::initializer_list<std::size_t> tail) {
                std::vector<std::size_t> s = lead;
                s.insert(s.end(), tail);
                return s;
            };
            return nb::make_tuple(array_of(std::move(values), with({3})), array_of(std::move(vectors), with({3, 3})));
        },
        nb::arg("tensor"), nb::arg("min_diffusivity") = 0.0,
        "Eigenvalues (descending, clipped below at min_diffusivity) and eigenvectors (columns) of tensors\n"
        "given as (..., 6) in the order Dxx, Dxy, Dyy, Dxz, Dyz, Dzz.");
    m.def(
        "dti_head_mask",
        [](Doubles volume, int median_radius, int numpass) {
            if (volume.ndim() != 3) throw nb::value_error("dti_head_mask: volume must be [Z, Y, X]");
            if (median_radius < 0 || median_radius > 16) throw nb::value_error("dti_head_mask: median_radius must be 0 to 16");
            if (numpass < 1 || numpass > 32) throw nb::value_error("dti_head_mask: numpass must be 1 to 32");
            const std::size_t z = volume.shape(0), y = volume.shape(1), x = volume.shape(2);
            for (std::size_t i = 0; i < volume.size(); ++i)
                if (!std::isfinite(volume.data()[i])) throw nb::value_error("dti_head_mask: the volume holds a value that is not finite");
            std::vector<std::uint8_t> mask = without_gil([&] { return median_otsu(volume.data(), z, y, x, median_radius, numpass); });
            return array_of(std::move(mask), {z, y, x});
        },
        nb::arg("volume"), nb::arg("median_radius") = 4, nb::arg("numpass") = 4,
        "A brain mask of a b = 0 volume [Z, Y, X] as DIPY's median_otsu: numpass median filters of the\n"
        "given radius, then Otsu's threshold.");
    m.def("dti_track", &track_py, nb::arg("directions"), nb::arg("fa"), nb::arg("seeds"), nb::arg("step_size") = 0.5,
          nb::arg("max_angle") = 60.0, nb::arg("fa_threshold") = 0.1, nb::arg("min_length") = 2.0,
          nb::arg("max_length") = 500.0, nb::arg("stop_mask") = nb::none(), nb::arg("affine") = nb::none(),
          nb::arg("space") = "voxel",
          "Deterministic (EuDX) tracking along the principal eigenvectors from each seed, both ways, as\n"
          "DIPY's LocalTracking with a peaks direction getter; streamlines as (points, 3) arrays.");
}

}  // namespace loam::bind
