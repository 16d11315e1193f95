// Segmentation authoring: the reference loader, the process-wide frame builder and the
// serialisation of the object.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <tuple>

#include <unistd.h>

#include "core/cielab.hpp"
#include "core/file_io.hpp"
#include "core/item_writer.hpp"
#include "core/parallel.hpp"
#include "core/uid.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "core/tags.hpp"
#include "pixel/image.hpp"
#include "seg/author.hpp"
#include "volume/formats.hpp"

namespace loamwerk::seg {

namespace {

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
void cross3(const double* a, const double* b, double* out) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

void cut(std::string& s, std::size_t n) {
    if (s.size() > n) s.resize(n);
}

struct LoadedSlice {
    bool usable = false;
    SegReferenceSlice slice;
    std::string patient_name, patient_id, study_uid, study_date, frame_of_reference_uid, series_uid, character_set;
};

LoadedSlice load_one(const std::string& path) {
    LoadedSlice r;
    OwnedBuffer file;
    try {
        file = read_whole_file(path);
    } catch (const std::exception&) {
        return r;
    }
    int status = 0;
    const auto image = render::open(file.span(), render::kLenient, &status);
    if (!image || image->status != render::status::kOk || image->frames.size() != 1 || image->frames_declared > 1)
        return r;
    const Dataset ds = Dataset::borrow(file.span());
    if (!ds.readable()) return r;
    const Elements* top = &ds.elements();
    // Enhanced objects carry their geometry in functional groups: not a plain single-frame image.
    if (find_element(*top, tags::kPerFrameFunctionalGroupsSequence) ||
        find_element(*top, tags::kSharedFunctionalGroupsSequence))
        return r;
    SegReferenceSlice& s = r.slice;
    s.rows = image->rows, s.columns = image->columns;
    const auto pos = ds_values(find_element(*top, tags::kImagePositionPatient));
    if (pos.size() >= 3) std::copy_n(pos.begin(), 3, s.position);
    const auto ori = ds_values(find_element(*top, tags::kImageOrientationPatient));
    if (ori.size() >= 6) std::copy_n(ori.begin(), 6, s.orientation);
    const auto spacing = ds_values(find_element(*top, tags::kPixelSpacing));
    if (spacing.size() >= 2) s.spacing[0] = spacing[1], s.spacing[1] = spacing[0];
    const auto thickness = ds_values(find_element(*top, tags::kSliceThickness));
    if (!thickness.empty()) s.thickness = thickness[0];
    s.sop_instance_uid = text_of(*top, tags::kSOPInstanceUID);
    s.sop_class_uid = text_of(*top, tags::kSOPClassUID);
    r.patient_name = text_of(*top, tags::kPatientName);
    r.patient_id = text_of(*top, tags::kPatientID);
    r.study_uid = text_of(*top, tags::kStudyInstanceUID);
    r.study_date = text_of(*top, tags::kStudyDate);
    r.frame_of_reference_uid = text_of(*top, tags::kFrameOfReferenceUID);
    r.series_uid = text_of(*top, tags::kSeriesInstanceUID);
    r.character_set = text_of(*top, tags::kSpecificCharacterSet);
    r.usable = true;
    return r;
}

std::size_t reference_workers(std::size_t files) {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    const std::size_t n = online < 4 ? 1 : std::size_t(online - 2);
    return std::min(files, n);
}

// ---- Serialisation helpers ----

// The UID a build gets when none is given: derived from the content, so one input always
// gives one UID and different segmentations get different ones.
std::string content_uid(std::string_view kind, std::uint64_t digest) {
    char seed[64];
    std::snprintf(seed, sizeof seed, "seg-%.*s\n%016llx", int(kind.size()), kind.data(),
                  static_cast<unsigned long long>(digest));
    return uid::mint(seed, kUidRoot);
}

void check_uid(const std::string& value, const char* name) {
    if (!value.empty() && !is_valid_uid(value))
        throw std::invalid_argument(std::string(name) + " is not a valid UID (1 to 64 digits and dots): " + value);
}

// ---- The builder ----

struct SegFrame {
    std::uint32_t segment = 0;  // 0-based
    std::vector<std::uint8_t> mask;
    double position[3] = {0, 0, 0};
    double orientation[6] = {1, 0, 0, 0, 1, 0};
    double spacing[2] = {1, 1};  // column, row
    double thickness = 0;
    std::string ref_uid, ref_class;
};

struct Context {
    std::string patient_name, patient_id, study_uid, study_date, frame_of_reference_uid, series_uid, character_set;
};

class Builder {
public:
    void begin(const ReferenceSeries& ref, const std::vector<SegSegment>& segments, const BuildOptions& options) {
        reset();
        ctx_ = {ref.patient_name, ref.patient_id, ref.study_uid, ref.study_date, ref.frame_of_reference_uid,
                ref.series_uid, ref.character_set};
        cut(ctx_.patient_name, 127), cut(ctx_.patient_id, 63), cut(ctx_.study_uid, 127), cut(ctx_.study_date, 15);
        cut(ctx_.frame_of_reference_uid, 127), cut(ctx_.series_uid, 127);
        options_ = options;
        cut(options_.content_date, 15), cut(options_.content_time, 15);
        segments_.reserve(std::max<std::size_t>(8, segments.size()));
        segments_ = segments;
        for (SegSegment& s : segments_) cut(s.label, 63), cut(s.algorithm_type, 15), cut(s.algorithm_name, 63);
        frames_.reserve(64);
    }
    void set_fractional(bool occupancy, std::uint32_t max_value) {
        fractional_ = true;
        occupancy_ = occupancy;
        max_value_ = max_value ? max_value : 255;
    }

    // One 16-bit label plane adds one binary frame per segment that has a pixel in it, in segment
    // order. With `remap`, plane values are label values mapped through it to segment positions
    // (1..N); without, they are segment positions already.
    void add_label_plane(const std::uint16_t* plane, const std::uint16_t* remap, const SegReferenceSlice& slice) {
        const std::size_t n = std::size_t(slice.rows) * slice.columns;
        const std::size_t bytes = (n + 7) / 8;
        std::vector<std::vector<std::uint8_t>> masks(segments_.size());
        auto put = [&](std::size_t i) {
            const std::uint16_t s = remap ? remap[plane[i]] : plane[i];
            if (!s || s > segments_.size()) return;
            std::vector<std::uint8_t>& m = masks[s - 1];
            if (m.empty()) m.assign(bytes, 0);
            m[i >> 3] |= std::uint8_t(1u << (i & 7));
        };
        // Label maps are mostly background: four zero labels are passed over at once (a zero
        // label value never names a segment: its remap entry is 0 unless a labelID is 0).
        const bool zero_is_empty = !remap || remap[0] == 0;
        std::size_t i = 0;
        if (zero_is_empty)
            for (; i + 4 <= n; i += 4) {
                std::uint64_t quad;
                std::memcpy(&quad, plane + i, 8);
                if (!quad) continue;
                for (std::size_t j = i; j < i + 4; ++j) put(j);
            }
        for (; i < n; ++i) put(i);
        for (std::size_t s = 0; s < masks.size(); ++s)
            if (!masks[s].empty()) add(std::uint32_t(s), std::move(masks[s]), slice);
    }
    void add_fractional_plane(const std::uint8_t* plane, std::uint32_t segment, const SegReferenceSlice& slice) {
        const std::size_t n = std::size_t(slice.rows) * slice.columns;
        if (std::all_of(plane, plane + n, [](std::uint8_t v) { return v == 0; })) return;
        add(segment, std::vector<std::uint8_t>(plane, plane + n), slice);
    }
    bool empty() const { return frames_.empty() || segments_.empty(); }

    std::vector<std::uint8_t> finish();
    void reset() {
        ctx_ = {};
        options_ = {};
        segments_.clear();
        frames_.clear();
        fractional_ = occupancy_ = false;
        max_value_ = 0;
        rows_ = columns_ = 0;
    }

private:
    void add(std::uint32_t segment, std::vector<std::uint8_t> mask, const SegReferenceSlice& slice) {
        if (frames_.empty()) rows_ = slice.rows, columns_ = slice.columns;
        SegFrame f;
        f.segment = segment;
        f.mask = std::move(mask);
        std::copy_n(slice.position, 3, f.position);
        std::copy_n(slice.orientation, 6, f.orientation);
        std::copy_n(slice.spacing, 2, f.spacing);
        f.thickness = slice.thickness;
        f.ref_uid = slice.sop_instance_uid;
        f.ref_class = slice.sop_class_uid;
        frames_.push_back(std::move(f));
    }
    void sort_frames();
    std::vector<std::uint32_t> position_indices() const;
    bool overlapping(const std::vector<std::uint32_t>& index) const;
    std::uint64_t digest() const;

    Context ctx_;
    BuildOptions options_;
    std::vector<SegSegment> segments_;
    std::vector<SegFrame> frames_;
    bool fractional_ = false, occupancy_ = false;
    std::uint32_t max_value_ = 0, rows_ = 0, columns_ = 0;
};

void Builder::sort_frames() {
    auto key = [](const SegFrame& f) {
        double n[3];
        cross3(f.orientation, f.orientation + 3, n);
        return dot3(n, n) > 1e-12 ? std::array<double, 3>{dot3(f.position, n), 0, 0}
                                  : std::array<double, 3>{f.position[2], f.position[1], f.position[0]};
    };
    // Stable: frames that compare equal keep the order they were added in, so one input always
    // gives one byte stream.
    std::stable_sort(frames_.begin(), frames_.end(), [&](const SegFrame& a, const SegFrame& b) {
        if (a.segment != b.segment) return a.segment < b.segment;
        return key(a) < key(b);
    });
}

std::vector<std::uint32_t> Builder::position_indices() const {
    std::vector<std::array<double, 3>> distinct;
    std::vector<std::uint32_t> index(frames_.size());
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        const double* p = frames_[i].position;
        std::size_t k = 0;
        while (k < distinct.size() && !(std::fabs(distinct[k][0] - p[0]) < 0.01 &&
                                        std::fabs(distinct[k][1] - p[1]) < 0.01 &&
                                        std::fabs(distinct[k][2] - p[2]) < 0.01))
            ++k;
        if (k == distinct.size()) distinct.push_back({p[0], p[1], p[2]});
        index[i] = std::uint32_t(k + 1);
    }
    return index;
}

bool Builder::overlapping(const std::vector<std::uint32_t>& index) const {
    const std::uint32_t positions = index.empty() ? 0 : *std::max_element(index.begin(), index.end());
    std::vector<std::vector<std::size_t>> at(positions + 1);
    for (std::size_t i = 0; i < frames_.size(); ++i) at[index[i]].push_back(i);
    const std::uint8_t threshold = std::uint8_t(std::min<std::uint32_t>(max_value_ / 2, 255));
    std::vector<std::uint8_t> seen;
    for (const auto& group : at) {
        if (group.size() < 2) continue;
        seen.assign(frames_[group[0]].mask.size(), 0);
        for (std::size_t i : group) {
            const std::vector<std::uint8_t>& m = frames_[i].mask;
            const std::size_t n = std::min(m.size(), seen.size());
            for (std::size_t b = 0; b < n; ++b) {
                if (fractional_) {
                    if (m[b] > threshold) {
                        if (seen[b]) return true;
                        seen[b] = 1;
                    }
                } else {
                    if (seen[b] & m[b]) return true;
                    seen[b] |= m[b];
                }
            }
        }
    }
    return false;
}

std::uint64_t Builder::digest() const {
    std::uint64_t h = wyhash(ctx_.study_uid.data(), ctx_.study_uid.size(), fractional_ ? 2 : 1);
    auto mix_text = [&](const std::string& s) { h = wyhash(s.data(), s.size(), h ^ s.size()); };
    mix_text(ctx_.series_uid);
    for (const SegSegment& s : segments_) {
        for (const std::string* t : {&s.label, &s.category.value, &s.category.scheme, &s.type.value, &s.type.scheme,
                                     &s.anatomic.value, &s.algorithm_type, &s.algorithm_name})
            mix_text(*t);
        h = wyhash(s.rgb, 3, h);
    }
    for (const SegFrame& f : frames_) {
        mix_text(f.ref_uid);
        h = wyhash(f.position, sizeof f.position, h + f.segment);
        h = wyhash(f.mask.data(), f.mask.size(), h);
    }
    return h;
}

std::vector<std::uint8_t> Builder::finish() {
    if (empty()) return {};
    sort_frames();
    const std::vector<std::uint32_t> index = position_indices();
    const bool overlap = overlapping(index);

    const std::uint64_t hash = digest();
    const std::string sop_uid =
        options_.sop_instance_uid.empty() ? content_uid("instance", hash) : options_.sop_instance_uid;
    const std::string series_uid =
        options_.series_instance_uid.empty() ? content_uid("series", hash) : options_.series_instance_uid;
    const std::string dim_uid = options_.dimension_organization_uid.empty() ? content_uid("dimensions", hash)
                                                                            : options_.dimension_organization_uid;
    const std::string content_date = options_.content_date.empty() ? ctx_.study_date : options_.content_date;
    const std::string content_time = options_.content_time.empty() ? "000000" : options_.content_time;
    const SegFrame& first = frames_.front();
    const std::string sop_class(kSegmentationClass);
    constexpr std::string_view kCtImage = "1.2.840.10008.5.1.4.1.1.2";
    auto ref_class = [&](const SegFrame& f) { return f.ref_class.empty() ? std::string(kCtImage) : f.ref_class; };
    auto code_item = [](ItemWriter& w, const Code& c) {
        w.begin_item();
        w.text(tags::kCodeValue, "SH", c.value);
        w.text(tags::kCodingSchemeDesignator, "SH", c.scheme);
        w.text(tags::kCodeMeaning, "LO", c.meaning);
        w.end_item();
    };
    auto code_sequence = [&](ItemWriter& w, Tag tag, const Code& c) {
        w.begin_sequence(tag);
        code_item(w, c);
        w.end_sequence();
    };

    ItemWriter w;
    const std::size_t mask_bytes = frames_.empty() ? 0 : frames_.size() * frames_.front().mask.size();
    w.out.reserve((std::size_t(1) << 16) + frames_.size() * 1024 + mask_bytes);
    if (!ctx_.character_set.empty()) w.text(tags::kSpecificCharacterSet, "CS", ctx_.character_set);
    w.text(tags::kImageType, "CS", "DERIVED\\PRIMARY");
    w.text(tags::kInstanceCreationDate, "DA", content_date);
    w.text(tags::kInstanceCreationTime, "TM", content_time);
    w.text(tags::kSOPClassUID, "UI", sop_class);
    w.text(tags::kSOPInstanceUID, "UI", sop_uid);
    w.text(tags::kStudyDate, "DA", ctx_.study_date);
    w.text(tags::kContentDate, "DA", content_date);
    w.text(tags::kStudyTime, "TM", "");
    w.text(tags::kContentTime, "TM", content_time);
    w.text(tags::kAccessionNumber, "SH", "");
    w.text(tags::kModality, "CS", "SEG");
    const Identity& who = options_.identity;
    w.text(tags::kManufacturer, "LO", who.manufacturer);
    w.text(tags::kReferringPhysicianName, "PN", "");
    if (!who.series_description.empty()) w.text(tags::kSeriesDescription, "LO", who.series_description);
    w.text(tags::kManufacturerModelName, "LO", who.model_name);
    if (!ctx_.series_uid.empty()) {
        w.begin_sequence(tags::kReferencedSeriesSequence);
        w.begin_item();
        w.begin_sequence(tags::kReferencedInstanceSequence);
        std::vector<const std::string*> seen;
        for (const SegFrame& f : frames_) {
            if (f.ref_uid.empty()) continue;
            if (std::find_if(seen.begin(), seen.end(), [&](const std::string* s) { return *s == f.ref_uid; }) !=
                seen.end())
                continue;
            seen.push_back(&f.ref_uid);
            w.begin_item();
            w.text(tags::kReferencedSOPClassUID, "UI", ref_class(f));
            w.text(tags::kReferencedSOPInstanceUID, "UI", f.ref_uid);
            w.end_item();
        }
        w.end_sequence();
        w.text(tags::kSeriesInstanceUID, "UI", ctx_.series_uid);
        w.end_item();
        w.end_sequence();
    }
    w.text(tags::kPatientName, "PN", ctx_.patient_name);
    w.text(tags::kPatientID, "LO", ctx_.patient_id);
    w.text(tags::kPatientBirthDate, "DA", "");
    w.text(tags::kPatientSex, "CS", "");
    w.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    w.text(tags::kSoftwareVersions, "LO", who.software_versions);
    w.text(tags::kStudyInstanceUID, "UI", ctx_.study_uid);
    w.text(tags::kSeriesInstanceUID, "UI", series_uid);
    w.text(tags::kStudyID, "SH", "");
    w.text(tags::kSeriesNumber, "IS", who.series_number);
    w.text(tags::kInstanceNumber, "IS", "1");
    w.text(tags::kFrameOfReferenceUID, "UI", ctx_.frame_of_reference_uid);
    w.text(tags::kPositionReferenceIndicator, "LO", "");  // Position Reference Indicator: required, may be empty
    dimension_organization(w, dim_uid);
    w.begin_sequence(tags::kDimensionIndexSequence);
    for (const auto& [pointer, group, label] :
         {std::tuple{Tag(tags::kReferencedSegmentNumber), Tag(tags::kSegmentIdentificationSequence), "Segment Number"},
          {Tag(tags::kImagePositionPatient), Tag(tags::kPlanePositionSequence), "Image Position"}}) {
        w.begin_item();
        w.text(tags::kDimensionOrganizationUID, "UI", dim_uid);
        w.at(tags::kDimensionIndexPointer, pointer);
        w.at(tags::kFunctionalGroupPointer, group);
        w.text(tags::kDimensionDescriptionLabel, "LO", label);
        w.end_item();
    }
    w.end_sequence();
    w.us(tags::kSamplesPerPixel, 1);
    w.text(tags::kPhotometricInterpretation, "CS", "MONOCHROME2");
    w.text(tags::kNumberOfFrames, "IS", std::to_string(frames_.size()));
    w.us(tags::kRows, std::uint16_t(rows_));
    w.us(tags::kColumns, std::uint16_t(columns_));
    const std::uint16_t bits = fractional_ ? 8 : 1;
    w.us(tags::kBitsAllocated, bits);
    w.us(tags::kBitsStored, bits);
    w.us(tags::kHighBit, std::uint16_t(bits - 1));
    w.us(tags::kPixelRepresentation, 0);
    w.text(tags::kLossyImageCompression, "CS", "00");
    w.text(tags::kSegmentationType, "CS", fractional_ ? "FRACTIONAL" : "BINARY");
    w.begin_sequence(tags::kSegmentSequence);
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const SegSegment& s = segments_[i];
        w.begin_item();
        if (s.anatomic.present()) code_sequence(w, tags::kAnatomicRegionSequence, s.anatomic);
        code_sequence(w, tags::kSegmentedPropertyCategoryCodeSequence, s.category);
        w.us(tags::kSegmentNumber, std::uint16_t(i + 1));
        w.text(tags::kSegmentLabel, "LO", s.label);
        w.text(tags::kSegmentAlgorithmType, "CS", s.algorithm_type);
        w.text(tags::kSegmentAlgorithmName, "LO", s.algorithm_name);
        std::uint16_t lab[3];
        rgb_to_cielab16(s.rgb, lab);
        w.us(tags::kRecommendedDisplayCIELabValue, lab);
        code_sequence(w, tags::kSegmentedPropertyTypeCodeSequence, s.type);
        w.end_item();
    }
    w.end_sequence();
    if (fractional_) {
        w.us(tags::kMaximumFractionalValue, std::uint16_t(std::min<std::uint32_t>(max_value_, 255)));
        w.text(tags::kSegmentationFractionalType, "CS", occupancy_ ? "OCCUPANCY" : "PROBABILITY");
    }
    w.text(tags::kSegmentsOverlap, "CS", overlap ? "YES" : "NO");
    w.text(tags::kContentLabel, "CS", "SEGMENTATION");
    w.text(tags::kContentDescription, "LO", "");
    w.text(tags::kContentCreatorName, "PN", options_.identity.content_creator);  // required, may be empty
    w.begin_sequence(tags::kSharedFunctionalGroupsSequence);
    w.begin_item();
    w.begin_sequence(tags::kPlaneOrientationSequence);
    w.begin_item();
    w.text(tags::kImageOrientationPatient, "DS", format_decimals(std::span<const double>(first.orientation, 6)));
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kPixelMeasuresSequence);
    w.begin_item();
    if (first.thickness > 0) w.text(tags::kSliceThickness, "DS", format_decimal(first.thickness));
    w.text(tags::kPixelSpacing, "DS", format_decimals({first.spacing[1], first.spacing[0]}));
    w.end_item();
    w.end_sequence();
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kPerFrameFunctionalGroupsSequence);
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        const SegFrame& f = frames_[i];
        w.begin_item();
        if (!f.ref_uid.empty()) {
            w.begin_sequence(tags::kDerivationImageSequence);
            w.begin_item();
            w.begin_sequence(tags::kSourceImageSequence);
            w.begin_item();
            w.text(tags::kReferencedSOPClassUID, "UI", ref_class(f));
            w.text(tags::kReferencedSOPInstanceUID, "UI", f.ref_uid);
            // The mask lies on the source image's pixel grid; readers index by source only then.
            w.text(tags::kSpatialLocationsPreserved, "CS", "YES");
            code_sequence(w, tags::kPurposeOfReferenceCodeSequence,
                          {"121322", "DCM", "Source image for image processing operation"});
            w.end_item();
            w.end_sequence();
            code_sequence(w, tags::kDerivationCodeSequence, {"113076", "DCM", "Segmentation"});
            w.end_item();
            w.end_sequence();
        }
        w.begin_sequence(tags::kFrameContentSequence);
        w.begin_item();
        const std::uint32_t dims[2] = {f.segment + 1, index[i]};
        w.ul(tags::kDimensionIndexValues, dims);
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kPlanePositionSequence);
        w.begin_item();
        w.text(tags::kImagePositionPatient, "DS", format_decimals({f.position[0], f.position[1], f.position[2]}));
        w.end_item();
        w.end_sequence();
        w.begin_sequence(tags::kSegmentIdentificationSequence);
        w.begin_item();
        w.us(tags::kReferencedSegmentNumber, std::uint16_t(f.segment + 1));
        w.end_item();
        w.end_sequence();
        w.end_item();
    }
    w.end_sequence();

    // Pixel Data: binary frames as one continuous bit stream, fractional frames byte-aligned.
    const std::size_t pixels = std::size_t(rows_) * columns_;
    const std::size_t payload = fractional_ ? pixels * frames_.size() : (pixels * frames_.size() + 7) / 8;
    const std::size_t length = payload + (payload & 1);
    if (length > 0xFFFFFFF0u) return {};
    std::uint8_t header[12] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0};
    store_le32(header + 8, std::uint32_t(length));
    w.out.insert(w.out.end(), header, header + 12);
    const std::size_t at = w.out.size();
    w.out.resize(at + length, 0);
    std::uint8_t* dst = w.out.data() + at;
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        const std::vector<std::uint8_t>& m = frames_[i].mask;
        if (fractional_) {
            std::memcpy(dst + i * pixels, m.data(), std::min(m.size(), pixels));
            continue;
        }
        const std::size_t start = i * pixels;
        if ((start & 7) == 0) {
            std::memcpy(dst + start / 8, m.data(), (pixels + 7) / 8);
            continue;
        }
        // Shifted copy: each mask byte spreads over two output bytes.
        const unsigned shift = unsigned(start & 7);
        std::uint8_t* o = dst + start / 8;
        const std::size_t full = pixels / 8, rest = pixels % 8;
        for (std::size_t b = 0; b < full; ++b) {
            o[b] |= std::uint8_t(m[b] << shift);
            o[b + 1] |= std::uint8_t(m[b] >> (8 - shift));
        }
        if (rest) {
            const std::uint8_t last = std::uint8_t(m[full] & ((1u << rest) - 1));
            o[full] |= std::uint8_t(last << shift);
            if (shift + rest > 8) o[full + 1] |= std::uint8_t(last >> (8 - shift));
        }
    }
    std::vector<std::uint8_t> out;
    if (Part10Wrap(sop_class, sop_uid, w.out, "1.2.840.10008.1.2.1", out) != wrap_result::kOk) return {};
    return out;
}

std::mutex& builder_mutex() {
    static std::mutex m;
    return m;
}
Builder& builder() {
    static Builder b;
    return b;
}

// Runs one build on the process-wide builder, cleared before and after.
template <class Fill>
std::optional<std::vector<std::uint8_t>> run_build(const ReferenceSeries& ref, const std::vector<SegSegment>& segments,
                                                   const BuildOptions& options, Fill fill) {
    std::lock_guard lock(builder_mutex());
    Builder& b = builder();
    struct Reset {
        Builder& b;
        ~Reset() { b.reset(); }
    } reset{b};
    b.begin(ref, segments, options);
    fill(b);
    std::vector<std::uint8_t> out = b.finish();
    if (out.empty()) return std::nullopt;
    return out;
}

void check_options(const BuildOptions& o) {
    check_uid(o.sop_instance_uid, "sop_instance_uid");
    check_uid(o.series_instance_uid, "series_instance_uid");
    check_uid(o.dimension_organization_uid, "dimension_organization_uid");
}

// Label values to 1-based segment positions (the first segment with a label wins), 0 for none.
std::vector<std::uint16_t> label_remap(const std::vector<std::uint32_t>& label_ids) {
    std::vector<std::uint16_t> remap(65536, 0);
    for (std::size_t s = label_ids.size(); s-- > 0;)
        if (label_ids[s] < 65536) remap[label_ids[s]] = std::uint16_t(s + 1);
    return remap;
}

std::optional<std::vector<std::uint8_t>> build_labels(const ReferenceSeries& ref,
                                                      std::span<const std::uint16_t> labelmap,
                                                      const std::vector<SegSegment>& segments,
                                                      const std::vector<std::uint32_t>& label_ids,
                                                      const BuildOptions& options) {
    const std::vector<std::uint16_t> remap = label_remap(label_ids);
    const std::size_t plane = std::size_t(ref.rows()) * ref.columns();
    return run_build(ref, segments, options, [&](Builder& b) {
        for (std::size_t k = 0; k < ref.slices.size(); ++k)
            b.add_label_plane(labelmap.data() + k * plane, remap.data(), ref.slices[k]);
    });
}

}  // namespace

ReferenceSeries load_reference(const std::vector<std::string>& paths, bool parallel) {
    std::vector<LoadedSlice> loaded(paths.size());
    parallel_for_workers(paths.size(), parallel ? reference_workers(paths.size()) : 1,
                         [&](std::size_t i) { loaded[i] = load_one(paths[i]); });
    ReferenceSeries ref;
    for (LoadedSlice& l : loaded) {
        if (!l.usable) continue;
        if (ref.slices.empty()) {
            ref.patient_name = l.patient_name, ref.patient_id = l.patient_id, ref.study_uid = l.study_uid;
            ref.study_date = l.study_date, ref.frame_of_reference_uid = l.frame_of_reference_uid;
            ref.series_uid = l.series_uid, ref.character_set = l.character_set;
        } else if (l.slice.rows != ref.rows() || l.slice.columns != ref.columns()) {
            continue;
        }
        ref.slices.push_back(std::move(l.slice));
    }
    if (ref.slices.empty()) return ref;
    double n[3];
    cross3(ref.slices[0].orientation, ref.slices[0].orientation + 3, n);
    std::stable_sort(ref.slices.begin(), ref.slices.end(), [&](const SegReferenceSlice& a, const SegReferenceSlice& b) {
        return dot3(a.position, n) < dot3(b.position, n);
    });
    return ref;
}

namespace {
// The checks every build makes before the builder is touched; returns the pixels of a plane.
// `planes_per_slice` planes of the reference's size are expected per reference slice.
std::size_t check_arguments(const ReferenceSeries& ref, const std::vector<SegSegment>& segments, std::size_t given,
                            std::size_t planes_per_slice, const char* shape_message, const BuildOptions& options) {
    if (segments.empty()) throw std::invalid_argument("segments list is empty");
    if (ref.slices.empty()) throw std::invalid_argument("no decodable single-frame reference slices");
    const std::size_t plane = std::size_t(ref.rows()) * ref.columns();
    if (given != planes_per_slice * ref.slices.size() * plane) throw std::invalid_argument(shape_message);
    check_options(options);
    return plane;
}
}  // namespace

std::optional<std::vector<std::uint8_t>> build(const ReferenceSeries& ref, std::span<const std::uint16_t> labelmap,
                                               const std::vector<SegSegment>& segments,
                                               const std::vector<std::uint32_t>& label_ids,
                                               const BuildOptions& options) {
    check_arguments(ref, segments, labelmap.size(), 1, "labelmap shape does not match the reference series", options);
    return build_labels(ref, labelmap, segments, label_ids, options);
}

std::optional<std::vector<std::uint8_t>> build_fractional(const ReferenceSeries& ref, std::span<const std::uint8_t> maps,
                                                          const std::vector<SegSegment>& segments, bool occupancy,
                                                          std::uint32_t max_value, const BuildOptions& options) {
    const std::size_t plane = check_arguments(ref, segments, maps.size(), segments.size(),
                                              "maps shape must be [nseg, (slices,) H, W] matching segments × series", options);
    return run_build(ref, segments, options, [&](Builder& b) {
        b.set_fractional(occupancy, max_value);
        for (std::size_t s = 0; s < segments.size(); ++s)
            for (std::size_t k = 0; k < ref.slices.size(); ++k)
                b.add_fractional_plane(maps.data() + (s * ref.slices.size() + k) * plane, std::uint32_t(s),
                                       ref.slices[k]);
    });
}

std::optional<std::vector<std::uint8_t>> build_frames(const ReferenceSeries& ref, std::span<const std::uint8_t> masks,
                                                      const std::vector<SegSegment>& segments,
                                                      const BuildOptions& options) {
    const std::size_t plane = check_arguments(ref, segments, masks.size(), segments.size(),
                                              "masks shape must be [nseg, (slices,) H, W] matching segments × series", options);
    return run_build(ref, segments, options, [&](Builder& b) {
        std::vector<std::uint16_t> labels(plane);
        for (std::size_t s = 0; s < segments.size(); ++s)
            for (std::size_t k = 0; k < ref.slices.size(); ++k) {
                const std::uint8_t* m = masks.data() + (s * ref.slices.size() + k) * plane;
                for (std::size_t i = 0; i < plane; ++i) labels[i] = m[i] ? std::uint16_t(s + 1) : 0;
                b.add_label_plane(labels.data(), nullptr, ref.slices[k]);
            }
    });
}

std::vector<std::uint8_t> build_from_nifti(const ReferenceSeries& ref, const std::string& nifti_path,
                                           const std::vector<SegSegment>& segments,
                                           const std::vector<std::uint32_t>& label_ids) {
    if (ref.slices.empty()) throw std::runtime_error("seg_from_nifti: no decodable reference-series slices");
    if (segments.empty()) throw std::runtime_error("seg_from_nifti: no segments supplied");
    const std::runtime_error not_coframed(
        "seg_from_nifti: NIfTI mask is not co-framed with the reference series (dimension mismatch or unreadable)");
    volume::NiftiVolume nii;
    if (volume::dcm_nifti_read(nifti_path, nii) != volume::file_result::kOk) throw not_coframed;
    const std::size_t cols = ref.columns(), rows = ref.rows(), slices = ref.slices.size();
    if (nii.w != cols || nii.h != rows || nii.d != slices) throw not_coframed;
    const SegReferenceSlice& s0 = ref.slices[0];
    auto unit_dot = [&](int column, const double* axis) {
        const double* c = nii.affine + 4 * column;
        const double len = std::sqrt(dot3(c, c));
        if (len < 1e-6) throw not_coframed;
        return dot3(c, axis) / len;
    };
    if (unit_dot(0, s0.orientation) <= 0.999 || unit_dot(1, s0.orientation + 3) <= 0.999) throw not_coframed;
    double normal[3];
    cross3(s0.orientation, s0.orientation + 3, normal);
    const bool reversed = dot3(nii.affine + 8, normal) < 0;

    const std::size_t plane = rows * cols;
    const std::size_t width = nii.datatype == 4 || nii.datatype == 512 ? 2
                              : nii.datatype == 8 || nii.datatype == 768 || nii.datatype == 16 ? 4
                                                                                             : 1;
    if (nii.data.size() < plane * slices * width) throw not_coframed;
    std::vector<std::uint16_t> labels(plane * slices, 0);
    for (std::size_t k = 0; k < slices; ++k) {
        const std::size_t z = reversed ? slices - 1 - k : k;
        std::uint16_t* dst = labels.data() + k * plane;
        const std::uint8_t* src = nii.data.data();
        for (std::size_t i = 0; i < plane; ++i) {
            const std::size_t v = z * plane + i;
            switch (nii.datatype) {
            case 2: case 256: dst[i] = src[v]; break;  // uint8, int8: the byte zero-extended
            case 4: case 512: dst[i] = load_le16(src + 2 * v); break;
            case 8: case 768: dst[i] = std::uint16_t(load_le32(src + 4 * v)); break;
            case 16: {
                float f;
                std::memcpy(&f, src + 4 * v, 4);
                dst[i] = f > 0 ? std::uint16_t(std::min(65535.0, std::trunc(double(f) + 0.5))) : 0;
                break;
            }
            default: dst[i] = 0;
            }
        }
    }
    auto out = build_labels(ref, labels, segments, label_ids, BuildOptions{});
    if (!out) throw std::runtime_error("seg_from_nifti: seg::build produced no output (no segmented frames?)");
    return std::move(*out);
}

}  // namespace loamwerk::seg
