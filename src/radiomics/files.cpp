#include "radiomics/files.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "core/content.hpp"
#include "core/file_io.hpp"
#include "core/image_header.hpp"
#include "fileset/scan.hpp"
#include "rt/dvh.hpp"
#include "rt/mask.hpp"
#include "seg/read.hpp"
#include "volume/formats.hpp"
#include "volume/grid.hpp"

namespace loamwerk::radiomics {
namespace {

constexpr const char* kSegmentation = "1.2.840.10008.5.1.4.1.1.66.4";
constexpr const char* kStructureSet = "1.2.840.10008.5.1.4.1.1.481.3";

bool is_nifti(const std::string& path) {
    std::string lower = path;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return lower.ends_with(".nii") || lower.ends_with(".nii.gz");
}

// A 3D NIfTI volume's voxels as doubles, scaled by its scl_slope and scl_inter.
ImageVolume read_nifti(const std::string& path) {
    volume::NiftiVolume v;
    const int rc = volume::dcm_nifti_read(path, v);
    if (rc != volume::file_result::kOk) {
        const char* why = rc == volume::file_result::kType     ? "its data type is not read (RGB, 64-bit)"
                          : rc == volume::file_result::kMemory ? "it is larger than the memory limit allows"
                          : rc == volume::file_result::kIo     ? "it cannot be read"
                                                               : "it is not a single-file NIfTI-1 or its voxels are cut short";
        throw std::runtime_error(path + ": " + why);
    }
    if (v.t > 1) throw std::invalid_argument(path + ": a 3D NIfTI volume is needed, not a 4D one");
    ImageVolume out;
    out.dims = {v.d, v.h, v.w};
    out.spacing = {v.spacing[0], v.spacing[1], v.spacing[2]};
    std::copy(v.affine, v.affine + 16, out.affine.begin());
    const std::size_t n = voxel_count(out.dims);
    out.voxels.resize(n);
    const std::uint8_t* p = v.data.data();
    for (std::size_t i = 0; i < n; ++i) {
        double x = 0;
        switch (v.datatype) {
        case 2: x = p[i]; break;
        case 256: x = std::int8_t(p[i]); break;
        case 4: { std::int16_t s; std::memcpy(&s, p + 2 * i, 2); x = s; break; }
        case 512: { std::uint16_t s; std::memcpy(&s, p + 2 * i, 2); x = s; break; }
        case 8: { std::int32_t s; std::memcpy(&s, p + 4 * i, 4); x = s; break; }
        case 768: { std::uint32_t s; std::memcpy(&s, p + 4 * i, 4); x = s; break; }
        default: { float s; std::memcpy(&s, p + 4 * i, 4); x = s; break; }
        }
        out.voxels[i] = x * v.scl_slope + v.scl_inter;
    }
    return out;
}

bool same_affine(const std::array<double, 16>& a, const std::array<double, 16>& b) {
    for (int i = 0; i < 16; ++i)
        if (std::abs(a[i] - b[i]) > 1e-3 * std::max(1.0, std::abs(b[i]))) return false;
    return true;
}

// The voxel index (x, y, z) of a patient point under the image's affine.
std::array<double, 3> voxel_of(const std::array<double, 16>& affine, const std::array<double, 3>& point) {
    double inverse[16];
    volume::invert_affine(affine.data(), inverse);
    std::array<double, 3> out{};
    for (int r = 0; r < 3; ++r)
        out[r] = inverse[r] * point[0] + inverse[4 + r] * point[1] + inverse[8 + r] * point[2] + inverse[12 + r];
    return out;
}

std::vector<std::uint8_t> segmentation_mask(const std::string& path, const ImageVolume& image, const RegionLabel& label) {
    const OwnedBuffer file = read_whole_file(path);
    seg::SegDecoded s;
    const seg::DecodeStatus st = seg::dcm_seg_decode(file.span(), false, s);
    if (st == seg::DecodeStatus::kNoSegments) throw std::invalid_argument(path + ": the Segmentation holds no segment frames");
    if (st != seg::DecodeStatus::kOk) throw std::runtime_error(path + ": the Segmentation cannot be decoded");
    std::uint32_t number = 0;
    std::string listed;
    for (const seg::SegmentInfo& info : s.segments) {
        const bool match = std::holds_alternative<long>(label) ? long(info.number) == std::get<long>(label)
                                                               : info.label == std::get<std::string>(label);
        if (match && !number) number = info.number;
        listed += (listed.empty() ? "" : ", ") + std::to_string(info.number) + " '" + info.label + "'";
    }
    if (!number) {
        const std::string wanted = std::holds_alternative<long>(label) ? std::to_string(std::get<long>(label))
                                                                       : "labelled '" + std::get<std::string>(label) + "'";
        throw std::invalid_argument(path + ": no segment " + wanted + " (segments: " + listed + ")");
    }
    const seg::SegGeometry& g = s.geometry;
    // Each Segmentation slice onto the image slice at its origin: same rows, columns and in-plane steps.
    if (g.rows != image.dims[1] || g.columns != image.dims[2])
        throw std::invalid_argument(path + ": the Segmentation's rows and columns differ from the image's; "
                                           "resample it onto the image grid first");
    for (int k = 0; k < 8; ++k)
        if (k % 4 < 3 && std::abs(g.affine[k] - image.affine[k]) > 1e-3 * std::max(1.0, std::abs(image.affine[k])))
            throw std::invalid_argument(path + ": the Segmentation's pixel spacing or orientation differs from the image's; "
                                               "resample it onto the image grid first");
    std::vector<std::uint8_t> mask(voxel_count(image.dims), 0);
    const std::size_t plane = image.dims[1] * image.dims[2];
    for (std::size_t k = 0; k < g.origins.size(); ++k) {
        const std::array<double, 3> at = voxel_of(image.affine, g.origins[k]);
        const double z = std::round(at[2]);
        if (std::abs(at[0]) > 1e-2 || std::abs(at[1]) > 1e-2 || std::abs(at[2] - z) > 1e-2 || z < 0 ||
            z >= double(image.dims[0]))
            throw std::invalid_argument(path + ": Segmentation slice " + std::to_string(k + 1) +
                                        " lies on no slice of the image");
        const std::uint16_t* src = s.labelmap.data() + k * plane;
        std::uint8_t* dst = mask.data() + std::size_t(z) * plane;
        for (std::size_t i = 0; i < plane; ++i) dst[i] |= src[i] == number;
    }
    return mask;
}

std::vector<std::uint8_t> structure_set_mask(const std::string& path, const ImageVolume& image, const RegionLabel& label) {
    const rt::Grid grid = image.files.empty()
                              ? rt::affine_grid(image.affine, image.dims[0], image.dims[1], image.dims[2])
                              : rt::series_grid(read_image_headers(image.files));
    const auto wanted = [&](const rt::Roi& r) {
        return std::holds_alternative<long>(label) ? r.number == std::get<long>(label) : r.name == std::get<std::string>(label);
    };
    const std::vector<rt::Roi> rois = rt::read_rtstruct(path, wanted, [&](const std::array<double, 3>& p) { return rt::near_grid(grid, p); });
    std::string names;
    for (const rt::Roi& r : rois) {
        if (wanted(r)) return rt::roi_mask(r, grid).voxels;
        names += (names.empty() ? "'" : ", '") + r.name + "'";
    }
    const std::string what = std::holds_alternative<long>(label) ? "number " + std::to_string(std::get<long>(label))
                                                                 : "'" + std::get<std::string>(label) + "'";
    throw std::invalid_argument(path + ": no ROI " + what + " in the structure set (ROIs: " + names + ")");
}

}  // namespace

ImageVolume load_image(const std::string& path) {
    if (std::filesystem::is_directory(path)) {
        ImageVolume out;
        out.files = fileset::scan_dicom_dir(path, true);
        if (out.files.empty()) throw std::invalid_argument(path + ": no DICOM files in this folder");
        volume::AssembledVolume v = volume::assemble(out.files, true);
        out.dims = {v.depth, v.rows, v.columns};
        out.spacing = {v.spacing[0], v.spacing[1], v.spacing[2]};
        std::copy(v.affine, v.affine + 16, out.affine.begin());
        const std::size_t n = voxel_count(out.dims);
        out.voxels.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            float f;
            std::memcpy(&f, v.data.data() + 4 * i, 4);
            out.voxels[i] = f;
        }
        return out;
    }
    if (is_nifti(path)) return read_nifti(path);
    throw std::invalid_argument(path + ": the image is a NIfTI file (.nii, .nii.gz) or a folder of one DICOM series");
}

std::vector<std::uint8_t> load_mask(const std::string& path, const ImageVolume& image, const RegionLabel& label) {
    if (is_nifti(path)) {
        if (!std::holds_alternative<long>(label)) throw std::invalid_argument("a NIfTI mask takes a label number, not a name");
        const ImageVolume m = read_nifti(path);
        if (m.dims != image.dims) throw std::invalid_argument(path + ": the mask's shape differs from the image's");
        if (!same_affine(m.affine, image.affine)) throw std::invalid_argument(path + ": the mask's affine differs from the image's");
        std::vector<std::uint8_t> out(m.voxels.size());
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = m.voxels[i] == double(std::get<long>(label));
        return out;
    }
    // The SOP Class UID stands near the start: the readers below read the whole file themselves.
    std::string sop_class;
    std::size_t size = 0;
    for (const std::size_t limit : {std::size_t(1) << 16, SIZE_MAX}) {
        const OwnedBuffer head = limit == SIZE_MAX ? read_whole_file(path) : read_file_prefix(path, limit, &size);
        const Dataset ds = Dataset::borrow(head.span());
        if (ds.readable()) sop_class = text_of(ds.elements(), tags::kSOPClassUID);
        if (!sop_class.empty() || size <= limit) break;
    }
    if (sop_class == kSegmentation) return segmentation_mask(path, image, label);
    if (sop_class == kStructureSet) return structure_set_mask(path, image, label);
    throw std::invalid_argument(path + ": the mask is a NIfTI file, a DICOM Segmentation or an RT Structure Set");
}

}  // namespace loamwerk::radiomics
