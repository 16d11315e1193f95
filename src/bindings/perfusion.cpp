// DSC and DCE perfusion kernels.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <stdexcept>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "perfusion/dce.hpp"
#include "perfusion/dsc.hpp"
#include "perfusion/pk.hpp"
#include "perfusion/tic.hpp"

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

PkModel checked_pk_model(std::string_view name) {
    const auto m = pk_model(name);
    if (!m)
        throw nb::value_error(("model must be one of 'tofts', 'extended_tofts', 'patlak', '2cxm', '2cum', not '" +
                               std::string(name) + "'").c_str());
    return *m;
}

// The plasma input: the AIF as given, or a whole-blood curve divided by 1 - hct when 0 < hct < 1.
std::vector<double> plasma_input(const Curve& aif, std::size_t n, double hct, const char* fn) {
    if (aif.shape(0) != n)
        throw nb::value_error((std::string(fn) + ": aif must have as many samples as t").c_str());
    if (!(hct >= 0 && hct < 1)) throw nb::value_error((std::string(fn) + ": hct must be in [0, 1)").c_str());
    std::vector<double> cp(aif.data(), aif.data() + n);
    if (hct > 0)
        for (double& v : cp) v /= 1 - hct;
    return cp;
}

void check_times(const Curve& t, const char* fn) {
    if (t.shape(0) < 2) throw nb::value_error((std::string(fn) + ": t needs at least 2 samples").c_str());
    for (std::size_t i = 0; i < t.shape(0); ++i)
        if (!std::isfinite(t.data()[i]) || (i && t.data()[i] < t.data()[i - 1]))
            throw nb::value_error((std::string(fn) + ": t must be finite and increasing (seconds)").c_str());
}

PkParameters parameters_from(PkModel model, const nb::object& given) {
    const auto names = pk_parameter_names(model);
    PkParameters p{};
    if (nb::isinstance<nb::dict>(given)) {
        nb::dict d = nb::borrow<nb::dict>(given);
        for (auto [key, value] : d) {
            const std::string k = nb::cast<std::string>(key);
            const auto it = std::find(names.begin(), names.end(), k);
            if (it == names.end()) {
                std::string list;
                for (std::string_view n : names) list += (list.empty() ? "" : ", ") + std::string(n);
                throw nb::value_error(("dce_forward: unknown parameter '" + k + "'; the model's are " + list).c_str());
            }
            p[std::size_t(it - names.begin())] = nb::cast<double>(value);
        }
        for (std::size_t j = 0; j < names.size(); ++j)
            if (!d.contains(std::string(names[j]).c_str()))
                throw nb::value_error(("dce_forward: parameter '" + std::string(names[j]) + "' is missing").c_str());
    } else {
        const auto values = nb::cast<std::vector<double>>(given);
        if (values.size() != names.size())
            throw nb::value_error(("dce_forward: the model takes " + std::to_string(names.size()) + " parameters").c_str());
        std::copy(values.begin(), values.end(), p.begin());
    }
    for (std::size_t j = 0; j < names.size(); ++j)
        if (!std::isfinite(p[j])) throw nb::value_error("dce_forward: parameters must be finite");
    return p;
}

nb::dict pk_maps(PkMaps&& maps, PkModel model, bool fit_delay, const std::vector<std::size_t>& shape) {
    nb::dict out;
    const auto names = pk_parameter_names(model);
    for (std::size_t j = 0; j < maps.params.size(); ++j)
        out[j < names.size() ? std::string(names[j]).c_str() : "delay"] = map_array(std::move(maps.params[j]), shape);
    if (!fit_delay) out["delay"] = nb::none();
    out["rmse"] = map_array(std::move(maps.rmse), shape);
    out["fitted"] = maps.fitted;
    return out;
}

nb::dict pk_fit_volume_py(Float4 conc, Curve t, Curve aif, const std::string& model_name, std::optional<Mask> mask,
                          bool fit_delay, double hct) {
    const PkModel model = checked_pk_model(model_name);
    const std::size_t frames = conc.shape(0), z = conc.shape(1), y = conc.shape(2), x = conc.shape(3);
    if (t.shape(0) != frames) throw nb::value_error("dce_fit_volume: t must have one time a frame of conc");
    check_times(t, "dce_fit_volume");
    const std::vector<double> cp = plasma_input(aif, frames, hct, "dce_fit_volume");
    if (mask && mask->size() != z * y * x) throw nb::value_error("dce_fit_volume: mask size must equal Z*Y*X");
    PkMaps maps = without_gil([&] {
        return pk_fit_voxels(model, conc.data(), frames, z * y * x, t.data(), cp.data(), mask ? mask->data() : nullptr,
                             {fit_delay});
    });
    return pk_maps(std::move(maps), model, fit_delay, {z, y, x});
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
        "dce_forward",
        [](const std::string& model_name, const nb::object& params, Curve t, Curve aif, double delay_s, double hct) {
            const PkModel model = checked_pk_model(model_name);
            check_times(t, "dce_forward");
            const std::vector<double> cp = plasma_input(aif, t.shape(0), hct, "dce_forward");
            const PkParameters p = parameters_from(model, params);
            if (!std::isfinite(delay_s)) throw nb::value_error("dce_forward: delay_s must be finite");
            std::vector<double> out(t.shape(0));
            pk_forward(model, p.data(), t.data(), cp.data(), t.shape(0), delay_s, out.data());
            return doubles_array(std::move(out));
        },
        nb::arg("model"), nb::arg("params"), nb::arg("t"), nb::arg("aif"), nb::arg("delay_s") = 0.0,
        nb::arg("hct") = 0.0,
        nb::sig("def dce_forward(model: str, params: dict[str, float] | Sequence[float], t: ArrayLike, aif: ArrayLike, "
                "delay_s: float = 0.0, hct: float = 0.0) -> NDArray[numpy.float64]"),
        "The tissue concentration a tracer-kinetic model gives for a plasma input sampled at t (seconds).");
    m.def(
        "dce_fit_curve",
        [](Curve ct, Curve t, Curve aif, const std::string& model_name, bool fit_delay, double hct) {
            const PkModel model = checked_pk_model(model_name);
            check_times(t, "dce_fit_curve");
            if (ct.shape(0) != t.shape(0)) throw nb::value_error("dce_fit_curve: ct must have as many samples as t");
            const std::vector<double> cp = plasma_input(aif, t.shape(0), hct, "dce_fit_curve");
            const std::size_t n = t.shape(0);
            PkFit f;
            std::vector<double> curve(n);
            {
                nb::gil_scoped_release release;
                f = pk_fit_curve(model, t.data(), cp.data(), ct.data(), n, {fit_delay});
                if (f.ok) {
                    const std::size_t k = pk_parameter_names(model).size();
                    pk_forward(model, f.params.data(), t.data(), cp.data(), n, fit_delay ? f.params[k] : 0.0,
                               curve.data());
                }
            }
            nb::dict out;
            const auto names = pk_parameter_names(model);
            for (std::size_t j = 0; j < names.size(); ++j) out[std::string(names[j]).c_str()] = f.params[j];
            out["delay"] = fit_delay ? nb::cast(f.params[names.size()]) : nb::none();
            out["rmse"] = f.rmse;
            out["ok"] = f.ok;
            out["fitted"] = doubles_array(std::move(curve));
            return out;
        },
        nb::arg("ct"), nb::arg("t"), nb::arg("aif"), nb::arg("model") = "extended_tofts", nb::arg("fit_delay") = false,
        nb::arg("hct") = 0.0,
        "Fits a tracer-kinetic model to one tissue concentration curve (mM at t seconds) given the plasma\n"
        "input: bounded non-linear least squares from OSIPI's start values, Patlak linear.");
    m.def("dce_fit_volume", &pk_fit_volume_py, nb::arg("conc"), nb::arg("t"), nb::arg("aif"),
          nb::arg("model") = "extended_tofts", nb::arg("mask") = nb::none(), nb::arg("fit_delay") = false,
          nb::arg("hct") = 0.0,
          "dce_fit_curve for every voxel of conc [T, Z, Y, X] inside the mask, on worker threads: float32\n"
          "parameter maps, the delay map when fitted, the rmse map and the number of voxels fitted.");
    m.def(
        "dce_fit_map",
        [](Float3 conc, Curve t, Curve aif, const std::string& model, std::optional<Mask> mask, bool fit_delay,
           double hct) {
            const std::size_t shape[4] = {conc.shape(0), 1, conc.shape(1), conc.shape(2)};
            Float4 four(conc.data(), 4, shape, nb::handle());
            nb::dict out = pk_fit_volume_py(four, t, aif, model, mask, fit_delay, hct);
            for (auto [key, value] : out) {
                if (nb::hasattr(value, "reshape")) out[key] = value.attr("reshape")(conc.shape(1), conc.shape(2));
            }
            return out;
        },
        nb::arg("conc"), nb::arg("t"), nb::arg("aif"), nb::arg("model") = "extended_tofts", nb::arg("mask") = nb::none(),
        nb::arg("fit_delay") = false, nb::arg("hct") = 0.0, "dce_fit_volume for one slice: conc [T, H, W], maps [H, W].");
    m.def(
        "tic_metrics",
        [](Curve curve, Curve t, long baseline, double early_s, const std::vector<double>& iauc_times_s) {
            if (t.shape(0) != curve.shape(0)) throw nb::value_error("tic_metrics: t must have as many samples as curve");
            TicMetrics r;
            try {
                r = tic_metrics(curve.data(), t.data(), curve.shape(0), {baseline, early_s, iauc_times_s});
            } catch (const std::invalid_argument& e) {
                throw nb::value_error(e.what());
            }
            nb::dict out;
            out["s0"] = r.s0;
            out["bolus_arrival_s"] = r.bolus_arrival_s;
            out["peak_s"] = r.peak_s;
            out["time_to_peak_s"] = r.time_to_peak_s;
            out["initial_enhancement_pct"] = r.initial_enhancement_pct;
            out["initial_s"] = r.initial_s;
            out["initial_class"] = r.initial_class;
            out["delayed_change_pct"] = r.delayed_change_pct;
            out["delayed_type"] = r.delayed_type;
            out["ser"] = r.ser;
            out["wash_in_pct_per_s"] = r.wash_in_pct_per_s;
            out["wash_out_pct_per_s"] = r.wash_out_pct_per_s;
            out["auc"] = r.auc;
            nb::dict iauc;
            for (std::size_t i = 0; i < r.iauc.size(); ++i) iauc[nb::cast(iauc_times_s[i])] = r.iauc[i];
            out["iauc"] = iauc;
            return out;
        },
        nb::arg("curve"), nb::arg("t"), nb::arg("baseline"), nb::arg("early_s") = 120.0,
        nb::arg("iauc_times_s") = std::vector<double>{60.0, 90.0, 120.0},
        "Time-intensity curve metrics of a DCE signal curve sampled at t (seconds), S0 the mean of the\n"
        "first baseline samples.");
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
