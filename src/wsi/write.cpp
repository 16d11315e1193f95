#include "wsi/write.hpp"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "core/item_writer.hpp"
#include "core/parallel.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "core/tags.hpp"
#include "pixel/encode.hpp"
#include "pixel/syntax.hpp"
#include "pixel/transcode.hpp"

namespace loamwerk::wsi {

namespace {

constexpr std::string_view kWsiClass = "1.2.840.10008.5.1.4.1.1.77.1.6";
constexpr std::string_view kExplicitLE = "1.2.840.10008.1.2.1";
constexpr std::string_view kRle = "1.2.840.10008.1.2.5";

struct Plane {
    std::vector<std::uint8_t> pixels;
    std::uint32_t columns = 0, rows = 0;
};

// Half the size (rounded up), each pixel the mean of the 2 × 2 block it covers.
Plane halve(const Plane& p) {
    Plane h;
    h.columns = (p.columns + 1) / 2, h.rows = (p.rows + 1) / 2;
    h.pixels.resize(std::size_t(h.columns) * h.rows * 3);
    for (std::uint32_t y = 0; y < h.rows; ++y) {
        const std::uint32_t y0 = 2 * y, y1 = std::min(2 * y + 1, p.rows - 1);
        for (std::uint32_t x = 0; x < h.columns; ++x) {
            const std::uint32_t x0 = 2 * x, x1 = std::min(2 * x + 1, p.columns - 1);
            for (int s = 0; s < 3; ++s) {
                auto at = [&](std::uint32_t yy, std::uint32_t xx) { return unsigned(p.pixels[(std::size_t(yy) * p.columns + xx) * 3 + s]); };
                h.pixels[(std::size_t(y) * h.columns + x) * 3 + s] =
                    std::uint8_t((at(y0, x0) + at(y0, x1) + at(y1, x0) + at(y1, x1) + 2) / 4);
            }
        }
    }
    return h;
}

// The tile at (tx, ty), padded with white beyond the image.
std::vector<std::uint8_t> cut_tile(const Plane& p, std::uint32_t tx, std::uint32_t ty, std::uint32_t tw, std::uint32_t th) {
    std::vector<std::uint8_t> tile(std::size_t(tw) * th * 3, 255);
    const std::uint32_t x0 = tx * tw, y0 = ty * th;
    const std::uint32_t w = std::min(tw, p.columns - x0), h = std::min(th, p.rows - y0);
    for (std::uint32_t r = 0; r < h; ++r)
        std::copy_n(p.pixels.data() + (std::size_t(y0 + r) * p.columns + x0) * 3, std::size_t(w) * 3,
                    tile.data() + std::size_t(r) * tw * 3);
    return tile;
}

bool blank(const std::vector<std::uint8_t>& tile) {
    const std::uint8_t v = tile[0];
    return (v == 0 || v == 255) && std::all_of(tile.begin(), tile.end(), [v](std::uint8_t b) { return b == v; });
}

std::string today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

struct Instance {
    const Plane* plane = nullptr;
    std::string image_type, sop_instance;
    std::uint32_t tile_width = 0, tile_height = 0;
    bool tiled = true, sparse = false, label = false;
    int number = 1;
};

struct Encoded {
    std::vector<ByteVector> frames;                     // encoded frames (or native tiles)
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tiles;  // tile column and row per frame
};

Encoded encode_tiles(const Instance& inst, const PyramidRequest& req) {
    const Plane& p = *inst.plane;
    const std::uint32_t tw = inst.tile_width, th = inst.tile_height;
    const std::uint32_t across = (p.columns + tw - 1) / tw, down = (p.rows + th - 1) / th;
    const std::size_t count = std::size_t(across) * down;
    std::vector<ByteVector> all(count);
    std::vector<char> kept(count, 1), failed(count, 0);
    render::EncodeRequest er;
    er.columns = tw, er.rows = th, er.bits_allocated = 8, er.bits_stored = 8, er.samples = 3, er.quality = req.quality;
    const bool native = req.transfer_syntax == kExplicitLE;
    parallel_for(count, [&](std::size_t i) {
        const std::vector<std::uint8_t> tile = cut_tile(p, std::uint32_t(i % across), std::uint32_t(i / across), tw, th);
        if (inst.sparse && req.skip_blank && blank(tile)) {
            kept[i] = 0;
            return;
        }
        if (native) {
            all[i].assign(tile.begin(), tile.end());
            return;
        }
        all[i] = render::encode_wrap(tile.data(), tile.size(), er, req.transfer_syntax);
        failed[i] = all[i].empty();
    });
    if (std::find(failed.begin(), failed.end(), 1) != failed.end())
        throw std::runtime_error("wsi_write_pyramid: a tile could not be encoded as " + req.transfer_syntax);
    Encoded out;
    for (std::size_t i = 0; i < count; ++i) {
        if (!kept[i]) continue;
        out.frames.push_back(std::move(all[i]));
        out.tiles.emplace_back(std::uint32_t(i % across), std::uint32_t(i / across));
    }
    return out;
}

std::vector<std::uint8_t> write_instance(const Instance& inst, const PyramidRequest& req, const std::string& study,
                                         const std::string& series, const std::string& frame_of_reference,
                                         const std::string& date) {
    const Plane& p = *inst.plane;
    const Encoded enc = encode_tiles(inst, req);
    const std::string& ts = req.transfer_syntax;
    const bool native = ts == kExplicitLE;
    const bool lossy = render::is_lossy_target(ts, req.quality);
    const double sp = req.pixel_spacing_mm * double(req.image.columns) / double(std::max(p.columns, 1u));
    const double sp_row = req.pixel_spacing_mm * double(req.image.rows) / double(std::max(p.rows, 1u));
    // The slide's origin and the usual orientation: columns run along -Y, rows along -X.
    constexpr double kOriginX = 20.0, kOriginY = 40.0;

    ItemWriter w;
    w.text(tags::kImageType, "CS", inst.image_type);
    w.text(tags::kSOPClassUID, "UI", kWsiClass);
    w.text(tags::kSOPInstanceUID, "UI", inst.sop_instance);
    w.text(tags::kStudyDate, "DA", "");
    w.text(tags::kContentDate, "DA", date);
    w.text(tags::kAcquisitionDateTime, "DT", date + "000000");
    w.text(tags::kStudyTime, "TM", "");
    w.text(tags::kContentTime, "TM", "000000");
    w.text(tags::kAccessionNumber, "SH", "");
    w.text(tags::kModality, "CS", "SM");
    const Identity& who = req.identity;
    w.text(tags::kManufacturer, "LO", who.manufacturer);
    w.text(tags::kReferringPhysicianName, "PN", "");
    if (!who.series_description.empty()) w.text(tags::kSeriesDescription, "LO", who.series_description);
    w.text(tags::kManufacturerModelName, "LO", who.model_name);
    w.text(tags::kVolumetricProperties, "CS", "VOLUME");
    w.text(tags::kPatientName, "PN", "");
    w.text(tags::kPatientID, "LO", "");
    w.text(tags::kPatientBirthDate, "DA", "");
    w.text(tags::kPatientSex, "CS", "");
    w.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    w.text(tags::kSoftwareVersions, "LO", who.software_versions);
    w.text(tags::kStudyInstanceUID, "UI", study);
    w.text(tags::kSeriesInstanceUID, "UI", series);
    w.text(tags::kStudyID, "SH", "");
    w.text(tags::kSeriesNumber, "IS", who.series_number);
    w.text(tags::kInstanceNumber, "IS", std::to_string(inst.number));
    w.text(tags::kFrameOfReferenceUID, "UI", frame_of_reference);
    w.text(tags::kPositionReferenceIndicator, "LO", "SLIDE_CORNER");
    dimension_organization(w, uid::mint(series + ".dimensions", kUidRoot));
    w.text(tags::kDimensionOrganizationType, "CS", inst.sparse ? "TILED_SPARSE" : "TILED_FULL");
    w.us(tags::kSamplesPerPixel, 3);
    w.text(tags::kPhotometricInterpretation, "CS", native ? "RGB" : render::colour_photometric(ts));
    w.us(tags::kPlanarConfiguration, ts == kRle ? 1 : 0);
    w.text(tags::kNumberOfFrames, "IS", std::to_string(enc.frames.size()));
    w.us(tags::kRows, std::uint16_t(inst.tile_height));
    w.us(tags::kColumns, std::uint16_t(inst.tile_width));
    w.us(tags::kBitsAllocated, 8);
    w.us(tags::kBitsStored, 8);
    w.us(tags::kHighBit, 7);
    w.us(tags::kPixelRepresentation, 0);
    w.text(tags::kBurnedInAnnotation, "CS", inst.label ? "YES" : "NO");
    w.text(tags::kLossyImageCompression, "CS", lossy ? "01" : "00");
    if (lossy) {
        std::size_t encoded = 0;
        for (const ByteVector& f : enc.frames) encoded += f.size();
        const double raw = double(enc.frames.size()) * inst.tile_width * inst.tile_height * 3;
        w.text(tags::kLossyImageCompressionRatio, "DS", format_decimal(encoded ? raw / double(encoded) : 1.0));
        w.text(tags::kLossyImageCompressionMethod, "CS", render::standard_name(ts));
    }
    w.text(tags::kContainerIdentifier, "LO", "loam-slide");
    w.begin_sequence(tags::kIssuerOfTheContainerIdentifierSequence);
    w.end_sequence();
    w.begin_sequence(tags::kContainerTypeCodeSequence);
    w.end_sequence();
    w.begin_sequence(tags::kAcquisitionContextSequence);
    w.end_sequence();
    w.begin_sequence(tags::kSpecimenDescriptionSequence);
    w.begin_item();
    w.text(tags::kSpecimenIdentifier, "LO", "specimen");
    w.text(tags::kSpecimenUID, "UI", uid::mint(study + ".specimen", kUidRoot));
    w.begin_sequence(tags::kIssuerOfTheSpecimenIdentifierSequence);
    w.end_sequence();
    w.begin_sequence(tags::kSpecimenPreparationSequence);
    w.end_sequence();
    w.end_item();
    w.end_sequence();
    w.fl(tags::kImagedVolumeWidth, float(sp * p.columns));
    w.fl(tags::kImagedVolumeHeight, float(sp_row * p.rows));
    w.fl(tags::kImagedVolumeDepth, 0.001f);
    w.ul(tags::kTotalPixelMatrixColumns, p.columns);
    w.ul(tags::kTotalPixelMatrixRows, p.rows);
    w.begin_sequence(tags::kTotalPixelMatrixOriginSequence);
    w.begin_item();
    w.text(tags::kXOffsetInSlideCoordinateSystem, "DS", format_decimal(kOriginX));
    w.text(tags::kYOffsetInSlideCoordinateSystem, "DS", format_decimal(kOriginY));
    w.end_item();
    w.end_sequence();
    w.text(tags::kSpecimenLabelInImage, "CS", inst.label ? "YES" : "NO");
    w.text(tags::kFocusMethod, "CS", "AUTO");
    w.text(tags::kExtendedDepthOfField, "CS", "NO");
    w.text(tags::kImageOrientationSlide, "DS", "0\\-1\\0\\-1\\0\\0");
    w.begin_sequence(tags::kOpticalPathSequence);
    w.begin_item();
    w.begin_sequence(tags::kIlluminationTypeCodeSequence);
    code_item(w, "111744", "DCM", "Brightfield illumination");
    w.end_sequence();
    if (!req.icc_profile.empty()) {
        std::vector<std::uint8_t> icc = req.icc_profile;
        if (icc.size() & 1) icc.push_back(0);
        w.ob(tags::kICCProfile, icc);
    }
    w.begin_sequence(tags::kIlluminatorTypeCodeSequence);
    code_item(w, "414298005", "SCT", "Full Spectrum");
    w.end_sequence();
    w.text(tags::kOpticalPathIdentifier, "SH", "1");
    w.end_item();
    w.end_sequence();
    w.ul(tags::kNumberOfOpticalPaths, 1);
    w.ul(tags::kTotalPixelMatrixFocalPlanes, 1);
    w.begin_sequence(tags::kSharedFunctionalGroupsSequence);
    w.begin_item();
    w.begin_sequence(tags::kPixelMeasuresSequence);
    w.begin_item();
    w.text(tags::kSliceThickness, "DS", "0.001");
    w.text(tags::kPixelSpacing, "DS", format_decimal(sp_row) + "\\" + format_decimal(sp));
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kWholeSlideMicroscopyImageFrameTypeSequence);
    w.begin_item();
    w.text(tags::kFrameType, "CS", inst.image_type);
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kOpticalPathIdentificationSequence);
    w.begin_item();
    w.text(tags::kOpticalPathIdentifier, "SH", "1");
    w.end_item();
    w.end_sequence();
    w.end_item();
    w.end_sequence();
    if (inst.sparse) {
        w.begin_sequence(tags::kPerFrameFunctionalGroupsSequence);
        for (const auto& [tx, ty] : enc.tiles) {
            const std::uint32_t col = tx * inst.tile_width, row = ty * inst.tile_height;
            w.begin_item();
            w.begin_sequence(tags::kPlanePositionSlideSequence);
            w.begin_item();
            w.text(tags::kXOffsetInSlideCoordinateSystem, "DS", format_decimal(kOriginX - row * sp_row));
            w.text(tags::kYOffsetInSlideCoordinateSystem, "DS", format_decimal(kOriginY - col * sp));
            w.text(tags::kZOffsetInSlideCoordinateSystem, "DS", "0");
            w.sl(tags::kColumnPositionInTotalImagePixelMatrix, std::int32_t(col + 1));
            w.sl(tags::kRowPositionInTotalImagePixelMatrix, std::int32_t(row + 1));
            w.end_item();
            w.end_sequence();
            w.end_item();
        }
        w.end_sequence();
    }
    if (native) {
        std::vector<std::uint8_t> all;
        for (const ByteVector& f : enc.frames) all.insert(all.end(), f.begin(), f.end());
        if (all.size() & 1) all.push_back(0);
        w.ob(tags::kPixelData, all);
    } else {
        std::vector<std::span<const std::uint8_t>> fragments;
        std::vector<std::int64_t> starts;
        for (std::size_t i = 0; i < enc.frames.size(); ++i) {
            fragments.emplace_back(enc.frames[i].data(), enc.frames[i].size());
            starts.push_back(std::int64_t(i));
        }
        const std::vector<std::uint8_t> value = encapsulate_pixel_value(fragments, starts);
        w.begin_encapsulated(tags::kPixelData);
        w.out.insert(w.out.end(), value.begin(), value.end());
        w.end_sequence();
    }
    std::vector<std::uint8_t> file;
    if (Part10Wrap(kWsiClass, inst.sop_instance, w.out, ts, file) != wrap_result::kOk)
        throw std::runtime_error("wsi_write_pyramid: cannot wrap the instance");
    return file;
}

Plane plane_of(const RgbImage& img, const char* what) {
    if (!img.columns || !img.rows || img.pixels.size() != std::size_t(img.columns) * img.rows * 3)
        throw std::invalid_argument(std::string(what) + " must be a non-empty (rows, columns, 3) uint8 array");
    return Plane{std::vector<std::uint8_t>(img.pixels.begin(), img.pixels.end()), img.columns, img.rows};
}

}  // namespace

std::vector<std::vector<std::uint8_t>> write_pyramid(const PyramidRequest& req) {
    if (!render::is_transcode_target(req.transfer_syntax))
        throw std::invalid_argument("wsi_write_pyramid: unsupported transfer syntax " + req.transfer_syntax);
    if (req.tile_width == 0 || req.tile_height == 0 || req.tile_width > 65535 || req.tile_height > 65535)
        throw std::invalid_argument("tile size must be 1 to 65535 pixels");
    if (!(req.pixel_spacing_mm > 0)) throw std::invalid_argument("pixel_spacing_mm must be positive");
    std::vector<Plane> planes;
    planes.push_back(plane_of(req.image, "image"));
    const unsigned max_levels = req.levels ? req.levels : 64;
    while (planes.size() < max_levels) {
        const Plane& last = planes.back();
        if (!req.levels && last.columns <= req.tile_width && last.rows <= req.tile_height) break;
        if (last.columns == 1 && last.rows == 1) break;
        planes.push_back(halve(last));
    }
    const std::uint64_t seed = wyhash(req.image.pixels.data(), req.image.pixels.size(),
                                      wyhash(req.transfer_syntax.data(), req.transfer_syntax.size(),
                                             (std::uint64_t(req.tile_width) << 32 | req.tile_height) ^ (req.sparse ? 1 : 0)));
    const std::string key = std::to_string(seed) + "." + std::to_string(req.quality) + (req.skip_blank ? ".b" : "");
    const std::string study = req.study_uid.empty() ? uid::mint(key + ".study", kUidRoot) : req.study_uid;
    const std::string series = req.series_uid.empty() ? uid::mint(key + ".series", kUidRoot) : req.series_uid;
    for (const std::string* u : {&study, &series})
        if (!is_valid_uid(*u)) throw std::invalid_argument(*u + " is not a valid UID");
    const std::string frame_of_reference = uid::mint(study + "." + series + ".frame-of-reference", kUidRoot);
    const std::string date = req.content_date.empty() ? today() : req.content_date;

    std::vector<Instance> instances;
    for (std::size_t i = 0; i < planes.size(); ++i) {
        Instance inst;
        inst.plane = &planes[i];
        inst.image_type = i == 0 ? "ORIGINAL\\PRIMARY\\VOLUME\\NONE" : "DERIVED\\PRIMARY\\VOLUME\\RESAMPLED";
        inst.tile_width = req.tile_width, inst.tile_height = req.tile_height;
        inst.sparse = req.sparse;
        instances.push_back(inst);
    }
    Plane label, overview;
    auto associated = [&](const RgbImage& img, Plane& plane, const char* what, const char* type) {
        if (img.empty()) return;
        plane = plane_of(img, what);
        if (plane.columns > 65535 || plane.rows > 65535) throw std::invalid_argument(std::string(what) + " is too large");
        Instance inst;
        inst.plane = &plane;
        inst.image_type = type;
        inst.tile_width = plane.columns, inst.tile_height = plane.rows;
        inst.label = std::string_view(what) == "label";
        instances.push_back(inst);
    };
    associated(req.label, label, "label", "ORIGINAL\\PRIMARY\\LABEL\\NONE");
    associated(req.overview, overview, "overview", "ORIGINAL\\PRIMARY\\OVERVIEW\\NONE");

    std::vector<std::vector<std::uint8_t>> out;
    for (std::size_t i = 0; i < instances.size(); ++i) {
        instances[i].number = int(i + 1);
        instances[i].sop_instance = uid::mint(series + ".instance." + std::to_string(i + 1), kUidRoot);
        out.push_back(write_instance(instances[i], req, study, series, frame_of_reference, date));
    }
    return out;
}

}  // namespace loamwerk::wsi
