// Segmentation reconstruction: the slice grid from the functional groups, and label maps or
// occupancy planes from binary, fractional and label-map frames.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>

#include "core/content.hpp"
#include "core/bytes.hpp"
#include "core/parallel.hpp"
#include "core/values.hpp"
#include "core/tags.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"
#include "seg/read.hpp"

namespace loamwerk::seg {

namespace {

std::optional<std::uint16_t> us_value(const Elements& es, Tag t) {
    const auto v = integer_of(es, t);
    return v ? std::optional<std::uint16_t>(std::uint16_t(*v)) : std::nullopt;
}

// The first item of a functional-group macro's sequence inside one functional-groups item;
// `keep` holds the parsed items the result points into.
const Elements* macro(Tag seq, std::vector<Items>& keep, const Elements& group) {
    keep.push_back(items_of(group, seq));
    return keep.back().empty() ? nullptr : &keep.back().front();
}

// One frame's geometry values, each present or not.
struct FrameValues {
    std::optional<std::array<double, 3>> position;
    std::optional<std::array<double, 6>> orientation;
    std::optional<std::array<double, 2>> spacing;  // row, column
    std::optional<double> thickness;
    std::uint16_t segment = 0;
};

FrameValues frame_values(const Elements& group) {
    FrameValues v;
    std::vector<Items> keep;
    keep.reserve(4);
    if (const Elements* p = macro(tags::kPlanePositionSequence, keep, group)) {
        const auto d = ds_values(find_element(*p, tags::kImagePositionPatient));
        if (d.size() >= 3) v.position = std::array<double, 3>{d[0], d[1], d[2]};
    }
    if (const Elements* o = macro(tags::kPlaneOrientationSequence, keep, group)) {
        const auto d = ds_values(find_element(*o, tags::kImageOrientationPatient));
        if (d.size() >= 6) v.orientation = std::array<double, 6>{d[0], d[1], d[2], d[3], d[4], d[5]};
    }
    if (const Elements* m = macro(tags::kPixelMeasuresSequence, keep, group)) {
        const auto d = ds_values(find_element(*m, tags::kPixelSpacing));
        if (d.size() >= 2) v.spacing = std::array<double, 2>{d[0], d[1]};
        const auto t = ds_values(find_element(*m, tags::kSliceThickness));
        if (!t.empty()) v.thickness = t[0];
    }
    if (const Elements* s = macro(tags::kSegmentIdentificationSequence, keep, group))
        if (auto n = us_value(*s, tags::kReferencedSegmentNumber)) v.segment = *n;
    return v;
}

// Top-level values, as a functional group of their own.
FrameValues top_values(const Elements& top) {
    FrameValues v;
    const auto p = ds_values(find_element(top, tags::kImagePositionPatient));
    if (p.size() >= 3) v.position = std::array<double, 3>{p[0], p[1], p[2]};
    const auto o = ds_values(find_element(top, tags::kImageOrientationPatient));
    if (o.size() >= 6) v.orientation = std::array<double, 6>{o[0], o[1], o[2], o[3], o[4], o[5]};
    const auto s = ds_values(find_element(top, tags::kPixelSpacing));
    if (s.size() >= 2) v.spacing = std::array<double, 2>{s[0], s[1]};
    const auto t = ds_values(find_element(top, tags::kSliceThickness));
    if (!t.empty()) v.thickness = t[0];
    return v;
}

double dot3(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Where each frame's values come from: the Pixel Data as stored, or frames decoded by the
// image reader for encapsulated syntaxes.
class FrameSource {
public:
    FrameSource(std::span<const std::uint8_t> file, const ElementRef* pixel, bool encapsulated, SegType type,
                std::uint16_t bits_allocated, std::size_t pixels)
        : type_(type), wide_(type == SegType::kLabelMap && bits_allocated >= 9), pixels_(pixels) {
        if (!encapsulated) {
            native_ = pixel && pixel->value ? std::span<const std::uint8_t>(pixel->value, std::size_t(pixel->length))
                                            : std::span<const std::uint8_t>();
            return;
        }
        int status = 0;
        image_ = render::open(file, render::kLenient, &status);
    }
    bool native() const { return !image_; }
    std::span<const std::uint8_t> native_bytes() const { return native_; }
    std::size_t encapsulated_frames() const { return image_ ? image_->frames.size() : 0; }

    // Frame f's values, one per pixel; false when the frame is not there in full.
    bool values(std::size_t f, std::vector<std::uint16_t>& out) {
        out.assign(pixels_, 0);
        if (image_) {
            if (f >= image_->frames.size()) return false;
            scratch_.clear();
            render::FrameLayout layout;
            const int rc = render::append_stored(*image_, image_->frames[f], false, scratch_, layout);
            if (rc != render::render_error::kOk || layout.samples != 1) return false;
            const std::size_t w = layout.width;
            if (scratch_.size() < pixels_ * w) return false;
            for (std::size_t i = 0; i < pixels_; ++i)
                out[i] = w == 1 ? scratch_.data()[i] : load_le16(scratch_.data() + i * w);
            return true;
        }
        if (type_ == SegType::kBinary) {
            const std::size_t start = f * pixels_;
            if (start + pixels_ > native_.size() * 8) return false;
            for (std::size_t i = 0; i < pixels_; ++i) {
                const std::size_t b = start + i;
                out[i] = (native_[b >> 3] >> (b & 7)) & 1;
            }
            return true;
        }
        const std::size_t w = wide_ ? 2 : 1;
        const std::size_t start = f * pixels_ * w;
        if (start + pixels_ * w > native_.size()) return false;
        for (std::size_t i = 0; i < pixels_; ++i)
            out[i] = w == 1 ? native_[start + i] : load_le16(native_.data() + start + 2 * i);
        return true;
    }

private:
    SegType type_;
    bool wide_;
    std::size_t pixels_;
    std::span<const std::uint8_t> native_;
    std::unique_ptr<render::RenderImage> image_;
    ByteVector scratch_;
};

}  // namespace

Code code_of(const Elements& item, Tag seq) {
    const Items items = items_of(item, seq);
    if (items.empty()) return {};
    return {std::string(text_of(items[0], tags::kCodeValue)),
            std::string(text_of(items[0], tags::kCodingSchemeDesignator)),
            std::string(text_of(items[0], tags::kCodeMeaning))};
}


DecodeStatus dcm_seg_decode(std::span<const std::uint8_t> bytes, bool masks, SegDecoded& out) {
    out = SegDecoded{};
    const Dataset ds = Dataset::borrow(bytes);
    if (!ds.readable() || ds.elements().empty()) return DecodeStatus::kNotDicom;
    const Elements& top = ds.elements();

    const Items segment_items = items_of(top, tags::kSegmentSequence);
    if (segment_items.empty()) return DecodeStatus::kNoSegments;
    for (const Elements& item : segment_items) {
        SegmentInfo s;
        s.number = us_value(item, tags::kSegmentNumber).value_or(0);
        s.label = text_of(item, tags::kSegmentLabel);
        if (find_element(item, tags::kTrackingID))
            s.has_tracking_id = true, s.tracking_id = text_of(item, tags::kTrackingID);
        if (find_element(item, tags::kTrackingUID))
            s.has_tracking_uid = true, s.tracking_uid = text_of(item, tags::kTrackingUID);
        if (const auto rgb = recommended_rgb(item)) std::copy(rgb->begin(), rgb->end(), s.rgb);
        s.category = code_of(item, tags::kSegmentedPropertyCategoryCodeSequence);
        s.type = code_of(item, tags::kSegmentedPropertyTypeCodeSequence);
        s.anatomic = code_of(item, tags::kAnatomicRegionSequence);
        out.segments.push_back(std::move(s));
    }

    const std::string_view seg_type = text_of(top, tags::kSegmentationType);
    out.type = seg_type == "FRACTIONAL" ? SegType::kFractional
               : seg_type == "LABELMAP" ? SegType::kLabelMap
                                        : SegType::kBinary;
    const std::uint16_t rows = us_value(top, tags::kRows).value_or(0);
    const std::uint16_t columns = us_value(top, tags::kColumns).value_or(0);
    const std::uint16_t bits_allocated =
        us_value(top, tags::kBitsAllocated).value_or(out.type == SegType::kBinary ? 1 : 8);
    const std::uint16_t max_fractional = us_value(top, tags::kMaximumFractionalValue).value_or(0);
    out.series_uid = text_of(top, tags::kSeriesInstanceUID);
    out.study_uid = text_of(top, tags::kStudyInstanceUID);
    out.frame_of_reference_uid = text_of(top, tags::kFrameOfReferenceUID);

    const ElementRef* pixel = find_element(top, tags::kPixelData);
    const bool encapsulated = pixel && has_undefined_length(*pixel);
    std::size_t frames = 1;
    if (const auto n = ds_values(find_element(top, tags::kNumberOfFrames)); !n.empty() && n[0] >= 1 && n[0] < 1e9)
        frames = std::size_t(n[0]);
    const std::size_t plane = std::size_t(rows) * columns;
    if (rows == 0 || columns == 0 || !pixel || !pixel->value) return DecodeStatus::kFailed;
    FrameSource source(bytes, pixel, encapsulated, out.type, bits_allocated, plane);
    const Items per_frame_items = items_of(top, tags::kPerFrameFunctionalGroupsSequence);
    if (!source.native()) {
        frames = source.encapsulated_frames();
    } else {
        // A frame count beyond both the functional groups and the pixel data only comes from a
        // damaged header: those frames could never be filled.
        const std::size_t frame_bits = plane * (out.type == SegType::kBinary ? 1 : bits_allocated >= 9 ? 16 : 8);
        const std::size_t fit = source.native_bytes().size() * 8 / frame_bits;
        frames = std::min(frames, std::max(fit, per_frame_items.size()));
    }
    if (frames == 0) return DecodeStatus::kFailed;

    // Per-frame values beat shared ones, which beat the top level.
    const Items shared_items = items_of(top, tags::kSharedFunctionalGroupsSequence);
    const FrameValues shared = shared_items.empty() ? FrameValues{} : frame_values(shared_items[0]);
    const FrameValues top_level = top_values(top);
    std::vector<FrameValues> per_frame(frames);
    for (std::size_t f = 0; f < frames && f < per_frame_items.size(); ++f) per_frame[f] = frame_values(per_frame_items[f]);

    SegGeometry& g = out.geometry;
    g.rows = rows, g.columns = columns, g.frames = std::uint32_t(frames);
    const auto& f0 = per_frame[0];
    if (auto o = f0.orientation ? f0.orientation : shared.orientation ? shared.orientation : top_level.orientation)
        std::copy(o->begin(), o->end(), g.orientation);
    if (auto s = f0.spacing ? f0.spacing : shared.spacing ? shared.spacing : top_level.spacing)
        g.pixel_spacing[0] = (*s)[0], g.pixel_spacing[1] = (*s)[1];
    g.slice_thickness = f0.thickness ? *f0.thickness : shared.thickness ? *shared.thickness : top_level.thickness.value_or(0);
    double n[3] = {g.orientation[1] * g.orientation[5] - g.orientation[2] * g.orientation[4],
                   g.orientation[2] * g.orientation[3] - g.orientation[0] * g.orientation[5],
                   g.orientation[0] * g.orientation[4] - g.orientation[1] * g.orientation[3]};

    const std::array<double, 3> base =
        shared.position ? *shared.position : top_level.position.value_or(std::array<double, 3>{0, 0, 0});
    const double step = g.slice_thickness > 0 ? g.slice_thickness : 1;
    std::vector<std::array<double, 3>> distinct;
    std::vector<std::uint32_t> frame_distinct(frames);
    for (std::size_t f = 0; f < frames; ++f) {
        std::array<double, 3> p = base;
        const bool stacked = !per_frame[f].position;
        if (stacked)
            for (int i = 0; i < 3; ++i) p[i] += double(f) * step * n[i];
        else
            p = *per_frame[f].position;
        // A frame placed by its index is a slice of its own, however thin the step (slide
        // segmentations step by micrometres, below the matching tolerance).
        std::size_t k = stacked ? distinct.size() : 0;
        while (k < distinct.size() && !(std::fabs(distinct[k][0] - p[0]) < 0.01 &&
                                        std::fabs(distinct[k][1] - p[1]) < 0.01 &&
                                        std::fabs(distinct[k][2] - p[2]) < 0.01))
            ++k;
        if (k == distinct.size()) distinct.push_back(p);
        frame_distinct[f] = std::uint32_t(k);
    }
    std::vector<std::uint32_t> order(distinct.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return dot3(distinct[a].data(), n) < dot3(distinct[b].data(), n);
    });
    std::vector<std::uint32_t> slice_of(distinct.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) slice_of[order[k]] = k, g.origins.push_back(distinct[order[k]]);
    g.slices = std::uint32_t(distinct.size());
    g.frame_slice.resize(frames);
    for (std::size_t f = 0; f < frames; ++f) g.frame_slice[f] = slice_of[frame_distinct[f]];
    if (g.slice_thickness <= 0 && g.slices > 1)
        g.slice_thickness =
            std::fabs(dot3(g.origins.back().data(), n) - dot3(g.origins.front().data(), n)) / double(g.slices - 1);
    double* a = g.affine;
    for (int i = 0; i < 3; ++i) {
        a[i] = g.orientation[i] * g.pixel_spacing[1];
        a[4 + i] = g.orientation[3 + i] * g.pixel_spacing[0];
        a[8 + i] = g.slices > 1 ? g.origins[1][i] - g.origins[0][i]
                                : n[i] * (g.slice_thickness > 0 ? g.slice_thickness : 1);
        a[12 + i] = g.origins[0][i];
    }
    a[15] = 1;

    // The segment of each frame. A tiled-full object lists its frames segment after segment
    // without per-frame groups, so its segments follow from the frame order.
    const bool tiled_full = text_of(top, tags::kDimensionOrganizationType) == "TILED_FULL";
    const std::size_t nseg = out.segments.size();
    auto segment_of = [&](std::size_t f) -> std::uint32_t {
        if (per_frame[f].segment) return per_frame[f].segment;
        if (nseg == 1) return out.segments[0].number;
        if (tiled_full && per_frame_items.empty() && frames % nseg == 0) return out.segments[f / (frames / nseg)].number;
        return 0;
    };
    const std::uint32_t threshold = max_fractional ? max_fractional / 2u : 127u;
    const double scale = max_fractional ? max_fractional : 255;
    const std::size_t volume = std::size_t(g.slices) * plane;

    std::vector<std::uint16_t> values;
    if (!masks) {
        out.labelmap = ZeroedArray<std::uint16_t>(volume);
        const std::span<const std::uint8_t> stream = source.native_bytes();
        // Each slice is built in a cache-resident plane and only its written rows are copied out,
        // so the output's pages are touched once, and only where a segment lies.
        std::vector<std::vector<std::uint32_t>> slice_frames(g.slices);
        for (std::size_t f = 0; f < frames; ++f) slice_frames[g.frame_slice[f]].push_back(std::uint32_t(f));
        std::atomic<bool> overlapping{false};
        auto build_slices = [&](std::uint32_t first, std::uint32_t last) {
            std::vector<std::uint16_t> scratch(plane, 0), values;
            std::vector<std::uint8_t> dirty(rows, 0);
            bool overlap = false;
            auto set = [&](std::uint16_t* dst, std::uint16_t s) {
                if (*dst == s) return;
                if (*dst) {
                    overlap = true;
                    *dst = std::max(*dst, s);
                } else {
                    *dst = s;
                }
        };
        for (std::uint32_t k = first; k < last; ++k) {
            std::uint16_t* dst = scratch.data();
            for (const std::uint32_t f : slice_frames[k]) {
                if (out.type == SegType::kBinary && source.native()) {
                    const std::uint16_t s = std::uint16_t(segment_of(f));
                    const std::size_t start = std::size_t(f) * plane;
                    if (!s || start + plane > stream.size() * 8) continue;
                    // Zero bytes of the bit stream are skipped eight at a time.
                    const std::size_t end_byte = (start + plane + 7) / 8;
                    for (std::size_t byte = start / 8; byte < end_byte; ++byte) {
                        while (byte + 8 <= end_byte) {
                            std::uint64_t word;
                            std::memcpy(&word, stream.data() + byte, 8);
                            if (word) break;
                            byte += 8;
                        }
                        if (byte >= end_byte) break;
                        const std::uint8_t v = stream[byte];
                        if (!v) continue;
                        const std::size_t b0 = byte * 8;
                        if (v == 0xFF && b0 >= start && b0 + 8 <= start + plane) {
                            for (unsigned bit = 0; bit < 8; ++bit) set(dst + (b0 + bit - start), s);
                            dirty[(b0 - start) / columns] = dirty[(b0 + 7 - start) / columns] = 1;
                            continue;
                        }
                        for (unsigned bit = 0; bit < 8; ++bit) {
                            const std::size_t b = b0 + bit;
                            if ((v >> bit) & 1 && b >= start && b < start + plane) {
                                set(dst + (b - start), s);
                                dirty[(b - start) / columns] = 1;
                            }
                        }
                    }
                    continue;
                }
                const std::uint16_t s = out.type == SegType::kLabelMap ? 0 : std::uint16_t(segment_of(f));
                if (out.type != SegType::kLabelMap && !s) continue;
                if (!source.values(f, values)) continue;
                for (std::size_t i = 0; i < plane; ++i) {
                    const std::uint16_t v = values[i];
                    if (out.type == SegType::kLabelMap) {
                        if (!v) continue;
                        set(dst + i, v);
                    } else if (out.type == SegType::kFractional ? v > threshold : v != 0) {
                        set(dst + i, s);
                    } else {
                        continue;
                    }
                    dirty[i / columns] = 1;
                }
            }
            std::uint16_t* slice_out = out.labelmap.data() + std::size_t(k) * plane;
            for (std::size_t r = 0; r < rows; ++r) {
                if (!dirty[r]) continue;
                std::memcpy(slice_out + r * columns, scratch.data() + r * columns, columns * 2);
                std::memset(scratch.data() + r * columns, 0, columns * 2);
                dirty[r] = 0;
            }
        }
        if (overlap) overlapping = true;
        };
        // Slices are independent: stored frames are built on worker threads, a run of slices
        // each; frames the image reader decodes stay on this thread.
        const std::size_t workers = source.native() ? worker_count(g.slices) : 1;
        parallel_for_workers(workers, workers, [&](std::size_t w) {
            build_slices(std::uint32_t(g.slices * w / workers), std::uint32_t(g.slices * (w + 1) / workers));
        });
        out.overlapping = overlapping;
        return DecodeStatus::kOk;
    }

    std::uint32_t largest = 0;
    for (const SegmentInfo& s : out.segments) largest = std::max(largest, s.number);
    std::vector<std::int32_t> plane_of(std::size_t(largest) + 1, -1);
    for (std::size_t i = out.segments.size(); i-- > 0;)
        if (out.segments[i].number) plane_of[out.segments[i].number] = std::int32_t(i);
    out.occupancy = ZeroedArray<float>(nseg * volume);
    for (std::size_t f = 0; f < frames; ++f) {
        const std::uint32_t s = out.type == SegType::kLabelMap ? 0 : segment_of(f);
        if (out.type != SegType::kLabelMap && (s == 0 || s > largest || plane_of[s] < 0)) continue;
        if (!source.values(f, values)) continue;
        const std::size_t slice_offset = std::size_t(g.frame_slice[f]) * plane;
        for (std::size_t i = 0; i < plane; ++i) {
            const std::uint16_t v = values[i];
            if (!v) continue;
            if (out.type == SegType::kLabelMap) {
                if (v <= largest && plane_of[v] >= 0) out.occupancy[plane_of[v] * volume + slice_offset + i] = 1.0f;
            } else {
                out.occupancy[plane_of[s] * volume + slice_offset + i] =
                    out.type == SegType::kFractional ? float(std::min(1.0, v / scale)) : 1.0f;
            }
        }
    }
    return DecodeStatus::kOk;
}

}  // namespace loamwerk::seg
