#include "volume/sidecar.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>

#include "core/tags.hpp"
#include "core/values.hpp"
#include "diffusion/vendor.hpp"
#include "volume/slurp.hpp"
#include "volume/grid.hpp"

namespace loamwerk::volume {

namespace {


using diffusion::Vendor;
using Elements = std::vector<ElementRef>;

constexpr std::string_view kSiemensSdi = "SIEMENS MR SDI 02";
constexpr int kMaxDepth = 8;

// One image's elements: its top level, then (for enhanced objects) the shared functional groups
// and the first frame's, with their nested items, searched in that order.
class HeaderView {
public:
    explicit HeaderView(const std::string& path) : ds_(Dataset::own(slurp(path))) {
        if (!ds_.readable()) return;
        levels_.push_back(ds_.elements());
        for (Tag groups : {tags::kSharedFunctionalGroupsSequence, tags::kPerFrameFunctionalGroupsSequence}) {
            const auto items = items_of(levels_.front(), groups);
            if (!items.empty()) add(items.front(), 0);
        }
    }
    bool ok() const { return !levels_.empty(); }
    const Elements& top() const { return levels_.front(); }

    const ElementRef* find(Tag tag) const {
        for (const Elements& es : levels_)
            if (const ElementRef* e = find_element(es, tag)) return e;
        return nullptr;
    }
    const ElementRef* find_private(std::uint16_t group, std::string_view creator, std::uint8_t low) const {
        for (const Elements& es : levels_)
            if (const ElementRef* e = loamwerk::find_private(es, group, creator, low)) return e;
        return nullptr;
    }
    std::string text(Tag tag) const {
        const ElementRef* e = find(tag);
        return e ? std::string(value_text(*e)) : std::string();
    }
    std::optional<double> number(Tag tag) const {
        const ElementRef* e = find(tag);
        if (!e) return std::nullopt;
        if (e->vr == vr::FD) {
            const auto v = fd_values(*e);
            return v.empty() ? std::nullopt : std::optional<double>(v[0]);
        }
        if (e->vr == vr::US && e->value && e->length >= 2) return double(load_le16(e->value));
        const auto v = ds_values(e);
        return v.empty() ? std::nullopt : std::optional<double>(v[0]);
    }

private:
    void add(const Elements& es, int depth) {
        levels_.push_back(es);
        if (depth >= kMaxDepth) return;
        for (const ElementRef& e : es)
            if (e.vr == vr::SQ)
                for (const auto& it : sequence_items(&e)) add(it, depth + 1);
    }

    Dataset ds_;
    std::vector<Elements> levels_;
};

std::vector<std::string> split_any(std::string_view s, std::string_view separators) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : s) {
        if (separators.find(c) != std::string_view::npos) {
            out.push_back(cur), cur.clear();
        } else {
            cur += c;
        }
    }
    out.push_back(cur);
    for (auto& v : out)
        while (!v.empty() && v.back() == ' ') v.pop_back();
    return out;
}

double rounded(double v, int digits = 6) {
    const double scale = std::pow(10.0, digits);
    return std::round(v * scale) / scale;
}

std::string clock_text(double seconds_of_day) {
    seconds_of_day = std::fmod(seconds_of_day, 86400.0);
    const int h = int(seconds_of_day / 3600), m = int(std::fmod(seconds_of_day, 3600) / 60);
    const double s = seconds_of_day - h * 3600 - m * 60;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%09.6f", h, m, s);
    return buf;
}

struct Builder {
    Sidecar fields;
    void text(const char* key, const std::string& v) {
        if (!v.empty()) fields.emplace_back(key, v);
    }
    void number(const char* key, std::optional<double> v, double scale = 1) {
        if (v && std::isfinite(*v)) fields.emplace_back(key, rounded(*v * scale, 8));
    }
    void integer(const char* key, std::optional<double> v) {
        if (v && std::isfinite(*v)) fields.emplace_back(key, std::int64_t(std::llround(*v)));
    }
};

// Seconds from the first excitation of each slice of the volume, in slice order; empty when the
// files do not say. `frames` holds the volume's frame of each slice.
// The volumes' frames in acquisition order (by their earliest Instance Number).
std::vector<std::vector<std::uint32_t>> acquired_volumes(const VolumeGrid& grid, const DecodedSeries& d) {
    std::vector<std::vector<std::uint32_t>> volumes = volume_frames(grid);
    auto first = [&](const std::vector<std::uint32_t>& v) {
        std::pair<std::uint32_t, std::uint32_t> best{~0u, ~0u};
        for (std::uint32_t id : v)
            if (id != VolumeGrid::kEmpty) best = std::min(best, std::pair(d.instance_number[id], id));
        return best;
    };
    std::stable_sort(volumes.begin(), volumes.end(), [&](const auto& a, const auto& b) { return first(a) < first(b); });
    return volumes;
}

std::vector<double> slice_timing(const HeaderView& h, Vendor vendor, const DecodedSeries& d,
                                 const std::vector<std::vector<std::uint32_t>>& volumes) {
    std::vector<double> out;
    std::vector<std::uint32_t> frames = volumes.front();
    // Siemens XA frames state TimeAfterStart; in multiband series the first volume can state
    // single-band times (a known scanner fault), so the second volume's are taken when there is one.
    if (vendor == Vendor::kSiemens && volumes.size() > 1 && frames.front() != VolumeGrid::kEmpty &&
        std::isfinite(d.keys[frames.front()].slice_time) && !d.keys[frames.front()].mosaic_tile &&
        std::find(volumes[1].begin(), volumes[1].end(), VolumeGrid::kEmpty) == volumes[1].end())
        frames = volumes[1];
    for (std::uint32_t id : frames) if (id == VolumeGrid::kEmpty) return out;
    if (frames.size() < 2 || h.text(tags::kMRAcquisitionType) == "3D") return out;
    auto relative = [&](auto value) {
        std::vector<double> t;
        for (std::uint32_t id : frames) t.push_back(value(id));
        if (std::any_of(t.begin(), t.end(), [](double x) { return !std::isfinite(x); })) return std::vector<double>{};
        const auto [lo, hi] = std::minmax_element(t.begin(), t.end());
        if (*hi == *lo) return std::vector<double>{};
        const double first = *lo;
        for (double& x : t) x = rounded(x - first);
        return t;
    };
    // Mosaics state each tile's time.
    out = relative([&](std::uint32_t id) { return d.keys[id].slice_time; });
    if (!out.empty()) return out;
    if (vendor == Vendor::kGe) {
        // Multiphase series: the trigger time of each slice.
        out = relative([&](std::uint32_t id) { return d.keys[id].trigger_time / 1000; });
        if (!out.empty()) return out;
        // Sequential or interleaved slice order from the protocol, in acquisition (instance) order.
        const auto protocol = diffusion::ge_protocol(h.top());
        const auto order = diffusion::protocol_value(protocol, "SLICEORDER");
        const auto slices = diffusion::protocol_value(protocol, "NOSLC");
        const auto tr = h.number(tags::kRepetitionTime);
        int n = 0;
        if (!order || !slices || !tr || *tr <= 0 || std::from_chars(slices->data(), slices->data() + slices->size(), n).ec != std::errc() ||
            n != int(frames.size()))
            return {};
        std::vector<std::size_t> by_instance(frames.size());
        for (std::size_t z = 0; z < frames.size(); ++z) by_instance[z] = z;
        std::stable_sort(by_instance.begin(), by_instance.end(), [&](std::size_t a, std::size_t b) {
            return d.instance_number[frames[a]] < d.instance_number[frames[b]];
        });
        const double step = *tr / 1000 / n;
        const bool interleaved = *order == "1";
        out.assign(frames.size(), 0);
        for (std::size_t k = 0; k < by_instance.size(); ++k) {
            const std::size_t slot = !interleaved ? k : k % 2 == 0 ? k / 2 : (by_instance.size() + 1) / 2 + k / 2;
            out[by_instance[k]] = rounded(double(slot) * step);
        }
        return out;
    }
    if (vendor == Vendor::kPhilips) return {};  // acquisition times are per volume, not per slice
    return relative([&](std::uint32_t id) { return d.keys[id].acquisition_time; });
}

// The polarity of the phase encoding along its axis of the stored image: +1 towards increasing
// row (COL) or column (ROW) index, -1 against it, 0 when the files do not say.
int phase_polarity(const HeaderView& h, Vendor vendor) {
    if (vendor == Vendor::kSiemens) {
        const diffusion::CsaHeader csa = diffusion::csa_image_header(h.top());
        if (const auto v = csa.number("PhaseEncodingDirectionPositive")) return *v > 0.5 ? 1 : -1;
        if (const ElementRef* e = h.find_private(0x0021, kSiemensSdi, 0x1C)) {
            const std::vector<double> v = ds_values(e);
            if (!v.empty()) return v[0] > 0.5 ? 1 : -1;
        }
    }
    if (vendor == Vendor::kGe) {
        const auto view = diffusion::protocol_value(diffusion::ge_protocol(h.top()), "VIEWORDER");
        if (view) return *view == "1" ? -1 : 1;
    }
    return 0;
}

}  // namespace

Sidecar bids_sidecar(const std::vector<std::string>& paths) { return bids_sidecar(decode_frames(paths, true, true)); }

Sidecar bids_sidecar(const DecodedSeries& d) {
    const std::vector<std::string>& paths = d.paths;
    std::vector<FrameGeometryRecord> records;
    for (std::size_t i = 0; i < d.records.size(); ++i)
        if (d.series_index[i] == 0) records.push_back(d.records[i]);
    const VolumeGrid grid = discover_group(records, d);
    const std::vector<std::vector<std::uint32_t>> volumes = acquired_volumes(grid, d);
    if (volumes.empty()) throw std::runtime_error("bids_sidecar: no image frames");
    const std::vector<std::uint32_t>& frames = volumes.front();
    std::uint32_t lead = VolumeGrid::kEmpty;
    for (std::uint32_t id : frames)
        if (id != VolumeGrid::kEmpty) {
            lead = id;
            break;
        }
    if (lead == VolumeGrid::kEmpty) throw std::runtime_error("bids_sidecar: no image frames");
    const HeaderView h(paths[d.file_index[lead]]);
    if (!h.ok()) throw std::runtime_error("bids_sidecar: cannot read " + paths[d.file_index[lead]]);
    const std::string manufacturer = h.text(tags::kManufacturer);
    const Vendor vendor = diffusion::vendor_of(manufacturer);
    const FrameKeys& keys = d.keys[lead];
    Builder b;
    b.text("Modality", h.text(tags::kModality));
    b.number("MagneticFieldStrength", h.number(tags::kMagneticFieldStrength));
    b.number("ImagingFrequency", h.number(tags::kImagingFrequency));
    const std::string_view label = diffusion::vendor_label(vendor);
    b.text("Manufacturer", label.empty() ? manufacturer : std::string(label));
    b.text("ManufacturersModelName", h.text(tags::kManufacturerModelName));
    b.text("InstitutionName", h.text(tags::kInstitutionName));
    b.text("InstitutionalDepartmentName", h.text(tags::kInstitutionalDepartmentName));
    b.text("InstitutionAddress", h.text(tags::kInstitutionAddress));
    b.text("DeviceSerialNumber", h.text(tags::kDeviceSerialNumber));
    b.text("StationName", h.text(tags::kStationName));
    b.text("BodyPartExamined", h.text(tags::kBodyPartExamined));
    b.text("PatientPosition", h.text(tags::kPatientPosition));
    b.text("ProcedureStepDescription", h.text(tags::kPerformedProcedureStepDescription));
    b.text("SoftwareVersions", h.text(tags::kSoftwareVersions));
    b.text("MRAcquisitionType", h.text(tags::kMRAcquisitionType));
    b.text("StudyDescription", h.text(tags::kStudyDescription));
    b.text("SeriesDescription", h.text(tags::kSeriesDescription));
    b.text("ProtocolName", h.text(tags::kProtocolName));
    b.text("ScanningSequence", h.text(tags::kScanningSequence));
    b.text("SequenceVariant", h.text(tags::kSequenceVariant));
    b.text("ScanOptions", h.text(tags::kScanOptions));
    b.text("SequenceName", h.text(tags::kSequenceName));
    b.text("PulseSequenceName", h.text(tags::kPulseSequenceName));
    // Image Type's values split at underscores too, then the complex component of the data.
    if (std::string type = h.text(tags::kImageType); !type.empty()) {
        std::vector<std::string> values = split_any(type, "\\_");
        values.emplace_back(diffusion::complex_part_name(keys.complex_part));
        b.fields.emplace_back("ImageType", values);
    }
    b.integer("SeriesNumber", h.number(tags::kSeriesNumber));
    double earliest = INFINITY;
    for (std::uint32_t id : frames)
        if (id != VolumeGrid::kEmpty && std::isfinite(d.keys[id].acquisition_time))
            earliest = std::min(earliest, d.keys[id].acquisition_time);
    if (std::isfinite(earliest)) b.text("AcquisitionTime", clock_text(earliest));
    b.integer("AcquisitionNumber", std::isnan(keys.acquisition_number) ? std::nullopt
                                                                       : std::optional<double>(keys.acquisition_number));
    b.number("SliceThickness", h.number(tags::kSliceThickness));
    b.number("SpacingBetweenSlices", h.number(tags::kSpacingBetweenSlices));
    b.number("SAR", h.number(tags::kSAR));
    const auto echo = h.number(tags::kEchoTime) ? h.number(tags::kEchoTime) : h.number(tags::kEffectiveEchoTime);
    b.number("EchoTime", echo, 1e-3);
    b.number("RepetitionTime", h.number(tags::kRepetitionTime), 1e-3);
    b.number("FlipAngle", h.number(tags::kFlipAngle));
    if (vendor == Vendor::kPhilips && std::isfinite(keys.philips_scale)) {
        const double rs = h.number(tags::kRescaleSlope).value_or(1), ri = h.number(tags::kRescaleIntercept).value_or(0);
        b.number("PhilipsRescaleSlope", rs);
        b.number("PhilipsRescaleIntercept", ri);
        b.number("PhilipsScaleSlope", keys.philips_scale);
        b.fields.emplace_back("UsePhilipsFloatNotDisplayScaling", std::int64_t(1));
    }
    b.number("PercentPhaseFOV", h.number(tags::kPercentPhaseFieldOfView));
    b.number("PercentSampling", h.number(tags::kPercentSampling));
    if (const auto etl = h.number(tags::kEchoTrainLength); etl && *etl > 0) b.integer("EchoTrainLength", etl);
    // Phase encoding: the axis from In-plane Phase Encoding Direction, the matrix and the bandwidth.
    // Enhanced objects spell the direction COLUMN where single-frame ones say COL.
    std::string phase = h.text(tags::kInPlanePhaseEncodingDirection);
    if (phase == "COLUMN") phase = "COL";
    const bool columns_axis = phase == "COL", rows_axis = phase == "ROW";
    std::optional<double> acquired_pe;
    if (const ElementRef* m = h.find(tags::kAcquisitionMatrix); m && m->value && m->length >= 8) {
        const double v[4] = {double(load_le16(m->value)), double(load_le16(m->value + 2)),
                             double(load_le16(m->value + 4)), double(load_le16(m->value + 6))};
        const double pe = columns_axis ? std::max(v[2], v[0]) : std::max(v[3], v[1]);
        if (pe > 0) acquired_pe = pe;
    }
    if (!acquired_pe) acquired_pe = h.number(tags::kMRAcquisitionPhaseEncodingStepsInPlane);
    if (columns_axis || rows_axis) b.integer("AcquisitionMatrixPE", acquired_pe);
    const std::optional<double> recon_pe =
        columns_axis ? std::optional<double>(grid.rows) : rows_axis ? std::optional<double>(grid.columns) : std::nullopt;
    if (recon_pe && *recon_pe > 0) b.integer("ReconMatrixPE", recon_pe);
    std::optional<double> bandwidth_pe;
    if (vendor == Vendor::kSiemens) {
        bandwidth_pe = diffusion::csa_image_header(h.top()).number("BandwidthPerPixelPhaseEncode");
        if (!bandwidth_pe)
            if (const ElementRef* e = h.find_private(0x0021, kSiemensSdi, 0x53)) {
                const auto v = e->vr == vr::FD ? fd_values(*e) : ds_values(e);
                if (!v.empty()) bandwidth_pe = v[0];
            }
    }
    if (bandwidth_pe && *bandwidth_pe > 0 && recon_pe && *recon_pe > 1) {
        const double spacing = 1.0 / (*bandwidth_pe * *recon_pe);
        b.number("BandwidthPerPixelPhaseEncode", bandwidth_pe);
        b.number("EffectiveEchoSpacing", spacing);
        b.number("TotalReadoutTime", spacing * (*recon_pe - 1));
    }
    b.number("PixelBandwidth", h.number(tags::kPixelBandwidth));
    if (columns_axis || rows_axis) {
        const std::string axis = columns_axis ? "j" : "i";
        const int polarity = phase_polarity(h, vendor);
        if (polarity == 0) b.text("PhaseEncodingAxis", axis);
        else b.text("PhaseEncodingDirection", polarity > 0 ? axis : axis + "-");
    }
    if (const std::vector<double> timing = slice_timing(h, vendor, d, volumes); !timing.empty())
        b.fields.emplace_back("SliceTiming", timing);
    if (const std::vector<double> iop = ds_values(h.find(tags::kImageOrientationPatient)); iop.size() == 6)
        b.fields.emplace_back("ImageOrientationPatientDICOM", iop);
    b.text("InPlanePhaseEncodingDirectionDICOM", phase);
    return b.fields;
}

}  // namespace loamwerk::volume
