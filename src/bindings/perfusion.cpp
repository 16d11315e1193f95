// DSC and DCE perfusion kernels.
#include <cctype>
#include <optional>
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include "bindings/common.hpp"
#include "perfusion/dce.hpp"
#include "perfusion/dsc.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk::perfusion;
using Curve = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Float3 = nb::ndarray<const float, nb::ndim<3>, nb::c_contig, nb::device::cpu>;
using Float4 = nb::ndarray<const float, nb::ndim<4>, nb::c_contig, nb::device::cpu>;
using Mask = nb::ndarray<const std::uint8_t, nb::c_contig, nb::device::cpu>;

nb::ndarray<nb::numpy> doubles_array(std::vector<double>&& v) {
    const std::vector<std::size_t> shape{v.size()};
    return to_array(std::move(v), shape, nb::dtype<double>());
}

template <class T>
nb::ndarray<nb::numpy> map_array(std::vector<T>&& v, const std::vector<std::size_t>& shape) {
    return to_array(std::move(v), shape, nb::dtype<T>());
}

void same_length(const Curve& a, const Curve& b, const char* message) {
    if (a.shape(0) != b.shape(0)) throw std::runtime_error(message);
}

// The deconvolution's name, any case, leading blanks allowed; ValueError for anything else.
std::string checked_method(std::string_view name) {
    while (!name.empty() && (name.front() == ' ' || name.front() == '\t')) name.remove_prefix(1);
    std::string lower(name);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    require_choice(lower, {"osvd", "ssvd", "csvd"}, "method");
    return lower;
}

// A population model's name, any case; ValueError for a name that is none of them.
std::string checked_model(std::string_view name) {
    std::string lower(name);
    for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
    require_choice(lower, {"parker", "georgiou", "fritz_hansen", "fritz-hansen", "weinmann", "mcgrath"}, "model");
    return lower;
}

nb::dict deconvolve_curve(Curve ct, Curve aif, double dt, const std::string& method_name, double reg) {
    same_length(aif, ct, "aif length must equal ct length");
    const Method method = parse_method(checked_method(method_name));
    if (reg <= 0) reg = default_threshold(method);
    const std::size_t n = ct.shape(0);
    DeconvolutionResult r;
    const auto d = decompose_aif(aif.data(), n, dt, method);
    if (d) {
        DeconvolutionScratch scratch;
        r = deconvolve(*d, ct.data(), n, reg, scratch);
    }
    if (!d && !r.quality) throw std::runtime_error("dsc deconvolve failed (n<2, n>512, or dt<=0)");
    r.cbv = cbv_ratio(ct.data(), aif.data(), n);
    if (r.residue.empty()) r.residue.assign(n, 0.0);
    nb::dict out;
    out["cbf"] = r.cbf, out["cbv"] = r.cbv, out["mtt"] = r.mtt, out["tmax"] = r.tmax, out["oi"] = r.oi;
    out["frac"] = r.frac, out["cut"] = r.cut, out["tail"] = r.tail, out["quality"] = r.quality, out["ok"] = r.ok;
    out["residue"] = doubles_array(std::move(r.residue));
    return out;
}

nb::dict fit_maps(FitMaps&& m, const std::vector<std::size_t>& shape) {
    nb::dict out;
    out["cbf"] = map_array(std::move(m.cbf), shape);
    out["cbv"] = map_array(std::move(m.cbv), shape);
    out["mtt"] = map_array(std::move(m.mtt), shape);
    out["tmax"] = map_array(std::move(m.tmax), shape);
    out["ttp"] = map_array(std::move(m.ttp), shape);
    out["quality"] = map_array(std::move(m.quality), shape);
    out["fitted"] = m.fitted;
    return out;
}

nb::dict fit_volume_py(Float4 signal, Curve aif, double dt, double te, long baseline, std::optional<Mask> mask,
                       const std::string& method, double reg, bool leakage) {
    const std::size_t t = signal.shape(0), z = signal.shape(1), y = signal.shape(2), x = signal.shape(3);
    if (aif.shape(0) != t) throw std::runtime_error("dsc_fit_volume: aif length must equal the number of time points");
    if (mask && mask->size() != z * y * x) throw std::runtime_error("dsc_fit_volume: mask size must equal Z*Y*X");
    if (t < 2 || !(te > 0) || baseline < 1 || std::size_t(baseline) >= t)
        throw std::runtime_error(std::string("dsc_fit_volume: ") + signal_to_conc_message(t, baseline, te));
    const Method m = parse_method(checked_method(method));
    if (reg <= 0) reg = default_threshold(m);
    FitMaps maps = without_gil([&] {
        return fit_volume(signal.data(), t, z, y, x, aif.data(), dt, te, baseline, m, reg, mask ? mask->data() : nullptr,
                          leakage);
    });
    return fit_maps(std::move(maps), {z, y, x});
}

constexpr const char* kFitDoc =
    "Per-voxel DSC maps: each voxel's signal becomes a concentration curve (baseline mean S0, te_s),\n"
    "optionally leakage-corrected against the AIF, and is deconvolved against the AIF concentration\n"
    "curve, which is decomposed once; slices run on worker threads. Returns float32 maps cbf, cbv\n"
    "(area ratio), mtt and tmax (seconds), ttp (seconds to the concentration peak), the quality flags\n"
    "(uint32) and the number of voxels fitted. Voxels outside the mask (nonzero = inside) are 0.";
}  // namespace

void register_perfusion(nb::module_& m) {
    m.def("dsc_deconvolve_curve", &deconvolve_curve, nb::arg("ct"), nb::arg("aif"), nb::arg("dt_s"),
          nb::arg("method") = "osvd", nb::arg("reg") = 0.0,
          "Truncated-SVD deconvolution of a tissue concentration curve by the AIF: 'ssvd', 'csvd' or 'osvd'\n"
          "(reg <= 0: the default threshold 0.2, 0.1, or the oscillation target 0.035). Returns cbf, cbv,\n"
          "mtt, tmax, oi, frac, cut, tail, quality (flags), ok and the residue.");
    m.def(
        "dsc_signal_to_conc",
        [](Curve signal, long n_baseline, double te_s) {
            auto c = signal_to_conc(signal.data(), signal.shape(0), n_baseline, te_s);
            if (!c) throw std::runtime_error(signal_to_conc_message(signal.shape(0), n_baseline, te_s));
            return doubles_array(std::move(*c));
        },
        nb::arg("signal"), nb::arg("n_baseline"), nb::arg("te_s"),
        "DSC concentration: -ln(S / S0) / TE with S0 the mean of the first n_baseline samples.");
    m.def(
        "dsc_cbv",
        [](Curve ct, Curve ref) {
            same_length(ref, ct, "ref length must equal ct length");
            return cbv_ratio(ct.data(), ref.data(), ct.shape(0));
        },
        nb::arg("ct"), nb::arg("ref"), "Trapezoidal area of the tissue curve over that of the reference (AIF).");
    m.def(
        "dsc_cumtrapz", [](Curve x, double dt_s) { return doubles_array(cumtrapz(x.data(), x.shape(0), dt_s)); },
        nb::arg("x"), nb::arg("dt_s"), "Running trapezoidal integral, starting at 0.");
    m.def(
        "dsc_first_pass_end",
        [](Curve conc, long n_baseline, double k_sigma) {
            return first_pass_end(conc.data(), conc.shape(0), n_baseline, k_sigma);
        },
        nb::arg("conc"), nb::arg("n_baseline"), nb::arg("k_sigma") = 0.0,
        "End of the first pass: the sample after the post-peak minimum once the curve rises k_sigma\n"
        "baseline standard deviations (default 4) above it; len(conc) when it never does; -1 on refusal.");
    m.def(
        "dsc_leakage_correct",
        [](Curve ct, Curve ref, double dt_s) {
            same_length(ref, ct, "ref length must equal ct length");
            LeakageResult r = leakage_correct(ct.data(), ref.data(), ct.shape(0), dt_s);
            nb::dict out;
            out["corrected"] = doubles_array(std::move(r.corrected));
            out["k2"] = r.k2;
            return out;
        },
        nb::arg("ct"), nb::arg("ref"), nb::arg("dt_s"),
        "Boxerman-Schmainda-Weisskoff leakage correction against the reference curve: {corrected, k2}.");
    m.def("dsc_fit_volume", &fit_volume_py, nb::arg("signal"), nb::arg("aif"), nb::arg("dt_s"), nb::arg("te_s"),
          nb::arg("n_baseline"), nb::arg("mask") = nb::none(), nb::arg("method") = "osvd", nb::arg("reg") = 0.0,
          nb::arg("leakage") = false, kFitDoc);
    m.def(
        "dsc_fit_map",
        [](Float3 signal, Curve aif, double dt, double te, long baseline, std::optional<Mask> mask,
           const std::string& method, double reg, bool leakage) {
            const std::size_t shape[4] = {signal.shape(0), 1, signal.shape(1), signal.shape(2)};
            Float4 four(signal.data(), 4, shape, nb::handle());
            nb::dict out = fit_volume_py(four, aif, dt, te, baseline, mask, method, reg, leakage);
            for (const char* key : {"cbf", "cbv", "mtt", "tmax", "ttp", "quality"}) {
                nb::object a = out[key];
                out[key] = a.attr("reshape")(signal.shape(1), signal.shape(2));
            }
            return out;
        },
        nb::arg("signal"), nb::arg("aif"), nb::arg("dt_s"), nb::arg("te_s"), nb::arg("n_baseline"),
        nb::arg("mask") = nb::none(), nb::arg("method") = "osvd", nb::arg("reg") = 0.0, nb::arg("leakage") = false,
        "dsc_fit_volume for one slice: signal [T, H, W], maps [H, W].");
    m.def(
        "dce_parker_aif",
        [](Curve times, double hct) { return doubles_array(population_aif(0, times.data(), times.shape(0), hct)); },
        nb::arg("times_min"), nb::arg("hct") = 0.0,
        "Parker's population AIF (mM) at the times in minutes; hct scales plasma to blood as 1 / (1 - hct).");
    m.def(
        "dce_population_aif",
        [](const std::string& model, Curve times, double hct) {
            return doubles_array(population_aif(population_model(checked_model(model)), times.data(), times.shape(0), hct));
        },
        nb::arg("model"), nb::arg("times_min"), nb::arg("hct") = 0.0,
        "A population AIF: 'parker', 'georgiou', 'fritz_hansen', 'weinmann' or 'mcgrath', in any case (other names raise ValueError).");
    m.def(
        "dce_signal_to_conc",
        [](Curve signal, long n_baseline, double t1_0_s, double tr_s, double fa_deg, double r1) {
            std::vector<double> out;
            const int rc = spgr_to_conc(signal.data(), signal.shape(0), n_baseline, t1_0_s, tr_s, fa_deg, r1, out);
            if (rc) throw std::runtime_error("signal_to_conc: invalid input (code " + std::to_string(rc) + ")");
            return doubles_array(std::move(out));
        },
        nb::arg("signal"), nb::arg("n_baseline"), nb::arg("t1_0_s"), nb::arg("tr_s"), nb::arg("fa_deg"), nb::arg("r1"),
        "SPGR signal to concentration (mM) from the baseline T1 (s), TR (s), flip angle (degrees) and\n"
        "relaxivity r1 (per mM per second).");
    m.def(
        "dce_t1_map_vfa",
        [](nb::ndarray<nb::c_contig, nb::device::cpu> volumes, Curve fa_deg, double tr_s, std::optional<Mask> mask) {
            if (volumes.ndim() != 3 || volumes.dtype() != nb::dtype<float>())
                throw std::runtime_error("volumes must be a 3D [F,H,W] float32 array");
            const std::size_t f = volumes.shape(0), h = volumes.shape(1), w = volumes.shape(2);
            if (fa_deg.shape(0) != f) throw std::runtime_error("fa_deg length must equal F");
            if (mask && mask->size() != h * w) throw std::runtime_error("mask size must equal H*W");
            VfaMaps maps = without_gil([&] {
                return t1_map_vfa(static_cast<const float*>(volumes.data()), f, h * w, fa_deg.data(), tr_s,
                                  mask ? mask->data() : nullptr);
            });
            nb::dict out;
            out["t1"] = map_array(std::move(maps.t1), {h, w});
            out["m0"] = map_array(std::move(maps.m0), {h, w});
            out["fitted"] = map_array(std::move(maps.fitted), {h, w});
            return out;
        },
        nb::arg("volumes"), nb::arg("fa_deg"), nb::arg("tr_s"), nb::arg("mask") = nb::none(),
        "Variable-flip-angle T1 (s) and M0 per voxel of [F, H, W] signals; 'fitted' marks fitted voxels (uint8).");
}

}  // namespace loam::bind
