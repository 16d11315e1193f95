// NIfTI-1, NRRD and MetaImage volume files. Affines follow the volume convention (column-major,
// voxel to patient LPS); NIfTI stores RAS, so its writer and reader flip the first two axes.
// Writers build the file under a temporary name in the target folder and rename it into place,
// so a failure never leaves a partial file under the requested name.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <string>
#include <vector>

namespace loamwerk::volume {

// A file written under a temporary name beside its target and renamed over it on commit, so a
// failure never leaves a partial file under the requested name.
class AtomicFile {
public:
    explicit AtomicFile(const std::string& path);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;
    bool ok() const { return file_ != nullptr && !failed_; }
    void write(const void* data, std::size_t n);
    // At `offset` from the file's start, from any thread (positional writes).
    void write_at(std::size_t offset, const void* data, std::size_t n);
    void restart();  // empties the file, to be written again from its start
    void flush();    // what write() buffered, to the file
    int commit();    // 0, or -1 when anything failed

private:
    std::string path_, temp_;
    std::FILE* file_ = nullptr;
    std::atomic<bool> failed_{false};  // positional writes may set it from several threads
    bool committed_ = false;
};

// Element types: 0 uint8, 1 uint16, 2 int16, 3 float32; NIfTI also takes 4, RGB24 (three uint8 per voxel).
constexpr int kRgb24 = 4;
std::size_t element_bytes(int type);

// The stored integers (type 0, 1 or 2) that float32 decoded values came from under value =
// stored x slope + intercept (computed in single precision); false, with `out` partly written,
// when a value is not exactly such an image of an integer of the type.
bool encode_stored(const float* values, std::size_t count, float slope, float intercept, int type, void* out);

// gzip output (".gz") is written as independent members compressed in parallel. A positive
// repetition time (seconds) goes into pixdim[4] with seconds as the time unit.
// The 348-byte NIfTI-1 header and the 4-byte extension flag of a single-file volume.
std::array<std::uint8_t, 352> nifti_header(std::size_t w, std::size_t h, std::size_t d, std::size_t v,
                                           const float affine[16], int type, float scl_slope, float scl_inter,
                                           double repetition_time);

// What the volume file writers and the NIfTI reader return: kOk, or a negative error.
namespace file_result {
constexpr int kOk = 0, kIo = -1, kFormat = -2, kCompress = -3, kType = -4, kMemory = -5;
}  // namespace file_result

int dcm_nifti_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                       std::size_t v, const float affine[16], int type, float scl_slope, float scl_inter,
                       double repetition_time = 0);
int dcm_nrrd_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                      std::size_t v, const double affine[16], int type, bool gzip);
int dcm_metaimage_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                           std::size_t v, const double affine[16], int type, bool compress);

struct NiftiVolume {
    std::vector<std::uint8_t> data;  // the voxels in the file's own type
    std::int16_t datatype = 0;
    std::size_t w = 1, h = 1, d = 1, t = 1;
    double affine[16] = {};
    double spacing[3] = {0, 0, 0};  // pixdim[3], pixdim[2], pixdim[1]
    double scl_slope = 1, scl_inter = 0;
};
int dcm_nifti_read(const std::string& path, NiftiVolume& out);

// "%.15g", else "%.16g", else "%.17g": the shortest of those that reads back exactly.
std::string format_number(double v);

}  // namespace loamwerk::volume
