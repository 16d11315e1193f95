#include "pr/read.hpp"

#include <stdexcept>

#include "core/dataset.hpp"
#include "core/tags.hpp"

namespace loamwerk::pr {

namespace {

std::string str(const Elements& es, Tag tag) { return std::string(text_of(es, tag)); }

std::vector<std::uint32_t> frame_numbers(const Elements& es) {
    std::vector<std::uint32_t> out;
    const ElementRef* e = find_element(es, tags::kReferencedFrameNumber);
    if (!e) return out;
    for (double v : numbers(*e))
        if (v >= 1 && v <= 4294967295.0) out.push_back(std::uint32_t(v));
    return out;
}

// Referenced Image Sequence items of `es` (the series UID left empty).
std::vector<ImageReference> image_references(const Elements& es) {
    std::vector<ImageReference> out;
    for (const Elements& item : items_of(es, tags::kReferencedImageSequence)) {
        ImageReference r;
        r.sop_class_uid = str(item, tags::kReferencedSOPClassUID);
        r.sop_instance_uid = str(item, tags::kReferencedSOPInstanceUID);
        r.frames = frame_numbers(item);
        if (!r.sop_instance_uid.empty()) out.push_back(std::move(r));
    }
    return out;
}

std::vector<Point> points_of(const ElementRef* e) {
    std::vector<Point> out;
    if (!e) return out;
    const std::vector<double> v = e->vr == vr::FL ? fl_values(*e) : numbers(*e);
    for (std::size_t i = 0; i + 1 < v.size(); i += 2) out.push_back({v[i], v[i + 1]});
    return out;
}

std::uint16_t word_at(const ElementRef& e, std::size_t i) { return load_le16(e.value + 2 * i); }

}  // namespace

bool read_lut(const Elements& item, bool signed_first, std::uint32_t& entries, std::int32_t& first, std::uint16_t& bits,
              std::vector<std::uint16_t>& data) {
    const ElementRef* d = find_element(item, tags::kLUTDescriptor);
    const ElementRef* v = find_element(item, tags::kLUTData);
    if (!d || !v || !d->value || !v->value || d->length < 6) return false;
    entries = word_at(*d, 0) ? word_at(*d, 0) : 65536u;
    first = signed_first ? std::int32_t(std::int16_t(word_at(*d, 1))) : std::int32_t(word_at(*d, 1));
    bits = word_at(*d, 2);
    if (bits < 1 || bits > 16) return false;
    data.clear();
    const std::size_t words = std::size_t(v->length / 2);
    if (bits <= 8 && words < entries && std::size_t(v->length) >= entries) {
        // Eight-bit entries packed two to a word.
        for (std::size_t i = 0; i < entries; ++i) data.push_back(v->value[i]);
    } else {
        if (words < entries) return false;
        for (std::size_t i = 0; i < entries; ++i) data.push_back(word_at(*v, i));
    }
    return true;
}

PresentationState read_state(std::span<const std::uint8_t> part10) {
    const Dataset ds = Dataset::borrow(part10);
    if (!ds.readable() || ds.text(tags::kSOPClassUID) != kGrayscaleSoftcopyPresentationState)
        throw std::runtime_error("not a Grayscale Softcopy Presentation State");
    const Elements& top = ds.elements();
    PresentationState p;
    p.patient_name = str(top, tags::kPatientName), p.patient_id = str(top, tags::kPatientID);
    p.patient_birth_date = str(top, tags::kPatientBirthDate), p.patient_sex = str(top, tags::kPatientSex);
    p.study_uid = str(top, tags::kStudyInstanceUID), p.study_date = str(top, tags::kStudyDate);
    p.study_time = str(top, tags::kStudyTime), p.study_id = str(top, tags::kStudyID);
    p.accession_number = str(top, tags::kAccessionNumber);
    p.referring_physician_name = str(top, tags::kReferringPhysicianName);
    p.sop_instance_uid = str(top, tags::kSOPInstanceUID), p.series_instance_uid = str(top, tags::kSeriesInstanceUID);
    p.instance_number = str(top, tags::kInstanceNumber);
    p.content_label = str(top, tags::kContentLabel), p.content_description = str(top, tags::kContentDescription);
    p.content_creator = str(top, tags::kContentCreatorName);
    p.creation_date = str(top, tags::kPresentationCreationDate);
    p.creation_time = str(top, tags::kPresentationCreationTime);
    p.identity.manufacturer = str(top, tags::kManufacturer);
    p.identity.model_name = str(top, tags::kManufacturerModelName);
    p.identity.software_versions = str(top, tags::kSoftwareVersions);
    p.identity.device_serial_number = str(top, tags::kDeviceSerialNumber);
    p.identity.series_number = str(top, tags::kSeriesNumber);
    p.identity.series_description = str(top, tags::kSeriesDescription);

    for (const Elements& series : items_of(top, tags::kReferencedSeriesSequence)) {
        const std::string uid = str(series, tags::kSeriesInstanceUID);
        for (ImageReference& r : image_references(series)) {
            r.series_uid = uid;
            p.images.push_back(std::move(r));
        }
    }
    p.rescale_slope = float_of(top, tags::kRescaleSlope);
    p.rescale_intercept = float_of(top, tags::kRescaleIntercept);
    p.rescale_type = str(top, tags::kRescaleType);

    for (const Elements& item : items_of(top, tags::kSoftcopyVOILUTSequence)) {
        Voi v;
        v.applies.images = image_references(item);
        v.center = float_of(item, tags::kWindowCenter);
        v.width = float_of(item, tags::kWindowWidth);
        if (const std::string f = str(item, tags::kVOILUTFunction); !f.empty()) v.function = f;
        v.explanation = str(item, tags::kWindowCenterWidthExplanation);
        const Items luts = items_of(item, tags::kVOILUTSequence);
        if (!luts.empty()) {
            read_lut(luts[0], false, v.lut_entries, v.lut_first, v.lut_bits, v.lut);
            v.explanation = str(luts[0], tags::kLUTExplanation);
        }
        p.vois.push_back(std::move(v));
    }
    if (const std::string shape = str(top, tags::kPresentationLUTShape); !shape.empty()) p.presentation_lut_shape = shape;
    if (const Items luts = items_of(top, tags::kPresentationLUTSequence); !luts.empty()) {
        std::int32_t first = 0;
        read_lut(luts[0], false, p.presentation_lut_entries, first, p.presentation_lut_bits, p.presentation_lut);
    }
    for (const Elements& item : items_of(top, tags::kDisplayedAreaSelectionSequence)) {
        DisplayedArea a;
        a.applies.images = image_references(item);
        const auto corner = [&](Tag tag, std::array<std::int32_t, 2>& out) {
            const ElementRef* e = find_element(item, tag);
            if (e && e->value && e->length >= 8)
                out = {std::int32_t(load_le32(e->value)), std::int32_t(load_le32(e->value + 4))};
        };
        corner(tags::kDisplayedAreaTopLeftHandCorner, a.top_left);
        corner(tags::kDisplayedAreaBottomRightHandCorner, a.bottom_right);
        if (const std::string m = str(item, tags::kPresentationSizeMode); !m.empty()) a.size_mode = m;
        if (const ElementRef* e = find_element(item, tags::kPresentationPixelSpacing)) {
            const std::vector<double> s = numbers(*e);
            if (s.size() == 2) a.pixel_spacing = std::array<double, 2>{s[0], s[1]};
        }
        if (auto m = float_of(item, tags::kPresentationPixelMagnificationRatio)) a.magnification = *m;
        p.areas.push_back(std::move(a));
    }
    if (auto r = ds.integer(tags::kImageRotation)) p.rotation = std::uint16_t(*r);
    p.flip = ds.text(tags::kImageHorizontalFlip) == "Y";

    for (const Elements& item : items_of(top, tags::kGraphicLayerSequence)) {
        Layer l;
        l.name = str(item, tags::kGraphicLayer);
        l.order = std::int32_t(integer_of(item, tags::kGraphicLayerOrder).value_or(0));
        l.description = str(item, tags::kGraphicLayerDescription);
        if (auto g = integer_of(item, tags::kGraphicLayerRecommendedDisplayGrayscaleValue)) l.grey = std::uint16_t(*g);
        if (const ElementRef* e = find_element(item, tags::kGraphicLayerRecommendedDisplayCIELabValue);
            e && e->value && e->length >= 6)
            l.cielab = std::array<std::uint16_t, 3>{word_at(*e, 0), word_at(*e, 1), word_at(*e, 2)};
        p.layers.push_back(std::move(l));
    }
    for (const Elements& item : items_of(top, tags::kGraphicAnnotationSequence)) {
        Annotation a;
        a.layer = str(item, tags::kGraphicLayer);
        a.applies.images = image_references(item);
        for (const Elements& g : items_of(item, tags::kGraphicObjectSequence)) {
            Graphic o;
            o.units = str(g, tags::kGraphicAnnotationUnits);
            o.type = str(g, tags::kGraphicType);
            o.filled = text_of(g, tags::kGraphicFilled) == "Y";
            o.points = points_of(find_element(g, tags::kGraphicData));
            a.graphics.push_back(std::move(o));
        }
        for (const Elements& t : items_of(item, tags::kTextObjectSequence)) {
            Text o;
            o.text = str(t, tags::kUnformattedTextValue);
            const std::vector<Point> tl = points_of(find_element(t, tags::kBoundingBoxTopLeftHandCorner));
            const std::vector<Point> br = points_of(find_element(t, tags::kBoundingBoxBottomRightHandCorner));
            if (!tl.empty() && !br.empty()) {
                o.box = std::array<Point, 2>{tl[0], br[0]};
                o.units = str(t, tags::kBoundingBoxAnnotationUnits);
            }
            if (const std::vector<Point> anchor = points_of(find_element(t, tags::kAnchorPoint)); !anchor.empty()) {
                o.anchor = anchor[0];
                o.anchor_visible = text_of(t, tags::kAnchorPointVisibility) == "Y";
                if (!o.box) o.units = str(t, tags::kAnchorPointAnnotationUnits);
            }
            if (const std::string j = str(t, tags::kBoundingBoxTextHorizontalJustification); !j.empty()) o.justification = j;
            a.texts.push_back(std::move(o));
        }
        p.annotations.push_back(std::move(a));
    }
    return p;
}

}  // namespace loamwerk::pr
