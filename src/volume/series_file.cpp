#include "volume/series_file.hpp"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <variant>

#include "volume/formats.hpp"
#include "volume/grid.hpp"

namespace loamwerk::volume {

namespace {

bool ends_with(const std::string& s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The scaling a file of sample type `type` carries: the stored-value map for integers, with
// Philips' floating-point scaling (stored / scale slope) where the frames state it; float32 values
// get the Philips division applied to them instead (`float_divisor`, 0 when none).
struct Scaling {
    double slope = 1, intercept = 0, float_divisor = 0;
    bool philips = false;
};

Scaling scaling_of(int type, const Rescale& r) {
    Scaling s;
    const bool philips = r.uniform && std::isfinite(r.philips_scale);
    if (type <= 2) {
        s.slope = r.slope, s.intercept = r.intercept;
        if (philips) s.intercept = r.intercept / (double(r.slope) * r.philips_scale), s.slope = 1.0 / r.philips_scale;
    } else if (type == 3 && philips) {
        s.float_divisor = double(r.slope) * r.philips_scale;
    }
    s.philips = philips && type <= 3;
    return s;
}

void divide(float* v, std::size_t n, double divisor) {
    const float d = float(divisor);
    for (std::size_t i = 0; i < n; ++i) v[i] /= d;
}

// An uncompressed NIfTI file written slice by slice as the volumes are assembled, so the series
// is never held whole in memory.
class NiftiStream final : public SliceSink {
public:
    NiftiStream(const std::string& path, double repetition_time, std::size_t min_volumes)
        : file_(path), repetition_time_(repetition_time), min_volumes_(min_volumes) {}

    void begin(const StreamShape& shape) override {
        shape_ = shape;
        skip_ = shape.volumes < min_volumes_;
        if (skip_) return;
        scaling_ = scaling_of(shape.type, *shape.rescale);
        float affine[16];
        for (int i = 0; i < 16; ++i) affine[i] = float(shape.affine[i]);
        const auto header = nifti_header(shape.columns, shape.rows, shape.depth, shape.volumes, affine, shape.type,
                                         float(scaling_.slope), float(scaling_.intercept), repetition_time_);
        file_.restart();
        file_.write(header.data(), header.size());
        file_.flush();
    }

    void write_at(std::size_t offset, const std::uint8_t* data, std::size_t bytes) override {
        if (skip_) return;
        if (scaling_.float_divisor == 0) return file_.write_at(352 + offset, data, bytes);
        thread_local ByteVector scratch;
        scratch.assign(data, data + bytes);
        divide(reinterpret_cast<float*>(scratch.data()), bytes / 4, scaling_.float_divisor);
        file_.write_at(352 + offset, scratch.data(), bytes);
    }

    bool skipped() const { return skip_; }
    const Scaling& scaling() const { return scaling_; }
    int commit() { return file_.commit(); }

private:
    AtomicFile file_;
    double repetition_time_;
    std::size_t min_volumes_;
    StreamShape shape_;
    Scaling scaling_;
    bool skip_ = false;
};

template <class Assembled>
void take_common(SeriesFile& out, const Assembled& v) {
    out.volumes = v.volumes, out.columns = v.columns, out.rows = v.rows, out.depth = v.depth, out.dtype = v.dtype;
    out.grouping = v.grouping, out.duplicates = v.duplicates, out.missing_slices = v.missing_slices;
    out.undecoded = v.undecoded;
    std::memcpy(out.affine, v.affine, sizeof out.affine);
}

}  // namespace

std::optional<SeriesFile> write_series_file(const std::vector<std::string>& paths, const std::string& path,
                                            SeriesKind kind, std::size_t min_volumes) {
    const bool nifti = ends_with(path, ".nii") || ends_with(path, ".nii.gz");
    if (!nifti && !ends_with(path, ".nrrd") && !ends_with(path, ".mha"))
        throw std::invalid_argument("write_series: the output must end with .nii, .nii.gz, .nrrd or .mha");
    if (kind == SeriesKind::kColour && !nifti)
        throw std::invalid_argument("write_series: colour series can only be written as NIfTI (RGB24)");
    // NRRD and MetaImage carry no scaling: they get the values themselves.
    const Samples samples = kind == SeriesKind::kColour ? Samples::kRgb : nifti ? Samples::kStored : Samples::kFloat;
    SeriesFile out;
    const DecodedSeries decoded = decode_frames(paths, true, true);
    out.sidecar = bids_sidecar(decoded);
    double repetition_time = 0;
    for (const auto& [key, value] : out.sidecar)
        if (key == "RepetitionTime") repetition_time = std::get<double>(value);
    // Uncompressed NIfTI is streamed; the other formats are written from the whole array.
    std::optional<NiftiStream> stream;
    if (ends_with(path, ".nii")) stream.emplace(path, repetition_time, min_volumes);
    SliceSink* sink = stream ? &*stream : nullptr;
    ByteVector data;
    Rescale rescale;
    if (kind == SeriesKind::kDiffusion) {
        DwiVolumes v = assemble_dwi(decoded, paths, true, samples, sink);
        if (v.volumes < min_volumes) return std::nullopt;
        take_common(out, v);
        out.derived_excluded = v.derived_excluded, out.bvals = v.bvals;
        out.bvecs.assign(v.bvecs.begin(), v.bvecs.end());
        data = std::move(v.data), rescale = v.rescale;
    } else {
        Volume4D v = assemble_4d(decoded, true, samples, sink);
        if (v.volumes < min_volumes) return std::nullopt;
        take_common(out, v);
        for (const GridAxis& a : v.dimensions) out.axes.emplace_back(axis_name(a.code));
        data = std::move(v.data), rescale = v.rescale;
    }
    const Scaling scaling = scaling_of(out.dtype, rescale);
    out.scl_slope = scaling.slope, out.scl_inter = scaling.intercept, out.philips_float = scaling.philips;
    int rc;
    if (stream) {
        rc = stream->commit();
    } else {
        if (scaling.float_divisor != 0) divide(reinterpret_cast<float*>(data.data()), data.size() / 4, scaling.float_divisor);
        const std::size_t v = out.volumes > 1 ? out.volumes : 1;
        if (nifti) {
            float af[16];
            for (int i = 0; i < 16; ++i) af[i] = float(out.affine[i]);
            rc = dcm_nifti_write_nd(path, data.data(), out.columns, out.rows, out.depth, v, af, out.dtype,
                                    float(out.scl_slope), float(out.scl_inter), repetition_time);
        } else if (ends_with(path, ".nrrd")) {
            rc = dcm_nrrd_write_nd(path, data.data(), out.columns, out.rows, out.depth, v, out.affine, out.dtype, true);
        } else {
            rc = dcm_metaimage_write_nd(path, data.data(), out.columns, out.rows, out.depth, v, out.affine, out.dtype,
                                        true);
        }
    }
    if (rc == file_result::kIo) throw std::runtime_error("cannot write " + path);
    if (rc != file_result::kOk) throw std::runtime_error("write_series: writing " + path + " failed (rc=" + std::to_string(rc) + ")");
    return out;
}

}  // namespace loamwerk::volume
