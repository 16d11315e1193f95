#include "legacy/convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"
#include "pixel/image.hpp"

namespace loamwerk::legacy {

namespace {

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("write_legacy_converted: " + what); }

struct Conversion {
    const char *from, *to, *name;
    Tag frame_type;  // the modality's frame type functional group
};
constexpr std::array kConversions{
    Conversion{"1.2.840.10008.5.1.4.1.1.2", "1.2.840.10008.5.1.4.1.1.2.2", "CT", tags::kCTImageFrameTypeSequence},
    Conversion{"1.2.840.10008.5.1.4.1.1.4", "1.2.840.10008.5.1.4.1.1.4.4", "MR", tags::kMRImageFrameTypeSequence},
    Conversion{"1.2.840.10008.5.1.4.1.1.128", "1.2.840.10008.5.1.4.1.1.128.1", "PET", tags::kPETFrameTypeSequence},
};

// Written anew, or not at all: the identity of the new instance, its pixel module and data.
const std::set<Tag> kRewritten{
    tags::kSOPClassUID, tags::kSOPInstanceUID, tags::kInstanceNumber, tags::kSeriesInstanceUID, tags::kImageType,
    tags::kInstanceCreationDate, tags::kInstanceCreationTime, tags::kContentDate, tags::kContentTime,
    tags::kSamplesPerPixel, tags::kPhotometricInterpretation, tags::kRows, tags::kColumns, tags::kBitsAllocated,
    tags::kBitsStored, tags::kHighBit, tags::kPixelRepresentation, tags::kPlanarConfiguration, tags::kNumberOfFrames,
    tags::kPixelData, tags::kFloatPixelData, tags::kDoubleFloatPixelData, tags::kDataSetTrailingPadding};

// Attributes whose VR is US or SS as the pixel data's are.
const std::set<Tag> kPixelValueTags{
    tags::kSmallestImagePixelValue, tags::kLargestImagePixelValue, tags::kSmallestPixelValueInSeries,
    tags::kLargestPixelValueInSeries, tags::kSmallestImagePixelValueInPlane, tags::kLargestImagePixelValueInPlane,
    tags::kPixelPaddingValue, tags::kPixelPaddingRangeLimit};

// The patient, study, series, equipment and frame of reference: the instance's own level.
bool top_level(Tag tag) {
    static const std::set<Tag> kTop{
        tags::kSpecificCharacterSet, tags::kStudyDate, tags::kSeriesDate, tags::kStudyTime, tags::kSeriesTime,
        tags::kAccessionNumber, tags::kModality, tags::kManufacturer, tags::kInstitutionName, tags::kInstitutionAddress,
        tags::kReferringPhysicianName, tags::kStationName, tags::kStudyDescription, tags::kProcedureCodeSequence,
        tags::kSeriesDescription, tags::kInstitutionalDepartmentName, tags::kPhysiciansOfRecord,
        tags::kPerformingPhysicianName, tags::kNameOfPhysiciansReadingStudy, tags::kOperatorsName,
        tags::kManufacturerModelName, tags::kReferencedStudySequence, tags::kReferencedPatientSequence,
        tags::kBodyPartExamined, tags::kDeviceSerialNumber, tags::kSoftwareVersions, tags::kProtocolName,
        tags::kPatientPosition, tags::kStudyInstanceUID, tags::kStudyID, tags::kSeriesNumber, tags::kLaterality,
        tags::kFrameOfReferenceUID, tags::kPositionReferenceIndicator, tags::kRequestAttributesSequence,
        tags::kPerformedProcedureStepID, tags::kPerformedProcedureStepStartDate, tags::kPerformedProcedureStepStartTime,
        tags::kPerformedProcedureStepDescription, tags::kTimezoneOffsetFromUTC};
    return tag_group(tag) == 0x0010 || kTop.count(tag) != 0;
}

// Attributes that become functional groups of their own.
enum class Group { kNone, kOrientation, kMeasures, kVoi, kRescale, kPosition, kAcquisition };
Group group_of(Tag tag) {
    switch (tag) {
        case tags::kImageOrientationPatient: return Group::kOrientation;
        case tags::kPixelSpacing: case tags::kSliceThickness: case tags::kSpacingBetweenSlices: return Group::kMeasures;
        case tags::kWindowCenter: case tags::kWindowWidth: case tags::kWindowCenterWidthExplanation:
        case tags::kVOILUTFunction: return Group::kVoi;
        case tags::kRescaleIntercept: case tags::kRescaleSlope: case tags::kRescaleType: return Group::kRescale;
        case tags::kImagePositionPatient: return Group::kPosition;
        case tags::kAcquisitionDate: case tags::kAcquisitionTime: case tags::kAcquisitionDateTime: return Group::kAcquisition;
        default: return Group::kNone;
    }
}

struct Source {
    Dataset ds = Dataset::borrow({});
    std::map<Tag, std::vector<std::uint8_t>> elements;  // each in Explicit VR Little Endian form
    std::string sop_class, sop_instance, series, syntax;
    std::vector<double> position, orientation;
    long instance_number = 0;
    std::size_t order = 0;
    std::span<const std::uint8_t> native;            // the frame's samples, little endian
    std::vector<std::span<const std::uint8_t>> fragments;  // or its compressed fragments
    std::unique_ptr<render::RenderImage> image;      // owns the fragment views' walk
};

bool native_syntax(std::string_view uid) {
    return uid.empty() || uid == "1.2.840.10008.1.2" || uid == "1.2.840.10008.1.2.1" || uid == "1.2.840.10008.1.2.2" ||
           uid == "1.2.840.10008.1.2.1.99";
}

std::string text(const Source& s, Tag tag) { return std::string(s.ds.text(tag)); }

// The bytes of `tags` of one source, for comparing the groups of two frames.
std::vector<std::uint8_t> group_bytes(const Source& s, Group g) {
    std::vector<std::uint8_t> out;
    for (const auto& [tag, bytes] : s.elements)
        if (group_of(tag) == g) out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

void put_elements(ItemWriter& w, const Source& s, Group g) {
    for (const auto& [tag, bytes] : s.elements)
        if (group_of(tag) == g) w.out.insert(w.out.end(), bytes.begin(), bytes.end());
}

// A functional group's sequence holding one item of the source's elements of group `g`.
void functional_group(ItemWriter& w, Tag sequence, const Source& s, Group g, const char* modality) {
    w.begin_sequence(sequence);
    w.begin_item();
    put_elements(w, s, g);
    if (g == Group::kRescale && !s.elements.count(tags::kRescaleType)) {
        // Pixel Value Transformation needs a type; sort it into tag order among the others.
        ItemWriter t;
        put_elements(t, s, g);
        w.out.resize(w.out.size() - t.out.size());
        for (const auto& [tag, bytes] : s.elements)
            if (group_of(tag) == g && tag < tags::kRescaleType) w.out.insert(w.out.end(), bytes.begin(), bytes.end());
        w.text(tags::kRescaleType, "LO", std::string_view(modality) == "CT" ? "HU" : "US");
        for (const auto& [tag, bytes] : s.elements)
            if (group_of(tag) == g && tag > tags::kRescaleType) w.out.insert(w.out.end(), bytes.begin(), bytes.end());
    }
    w.end_item();
    w.end_sequence();
}

// The acquisition's date and time as one DT, from Acquisition DateTime or Date and Time.
std::string acquisition_datetime(const Source& s) {
    std::string dt = text(s, tags::kAcquisitionDateTime);
    if (dt.empty() && !text(s, tags::kAcquisitionDate).empty()) dt = text(s, tags::kAcquisitionDate) + text(s, tags::kAcquisitionTime);
    return dt;
}

}  // namespace

std::vector<std::uint8_t> convert(const std::vector<std::span<const std::uint8_t>>& files, const Options& o) {
    if (files.empty()) refuse("no files given");
    std::vector<Source> sources(files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        Source& s = sources[i];
        s.order = i;
        s.ds = Dataset::borrow(files[i]);
        if (!s.ds.readable()) refuse("file " + std::to_string(i + 1) + " is not a readable DICOM data set");
        s.sop_class = text(s, tags::kSOPClassUID), s.sop_instance = text(s, tags::kSOPInstanceUID);
        s.series = text(s, tags::kSeriesInstanceUID);
        s.syntax = s.ds.layout().has_meta ? std::string(s.ds.layout().meta.transfer_syntax) : "";
        if (const ElementRef* e = s.ds.find(tags::kImagePositionPatient)) s.position = numbers(*e);
        if (const ElementRef* e = s.ds.find(tags::kImageOrientationPatient)) s.orientation = numbers(*e);
        s.instance_number = s.ds.integer(tags::kInstanceNumber).value_or(0);
        for (const ElementRef& e : s.ds.elements()) {
            if (tag_group(e.tag) == 0x0002 || tag_element(e.tag) == 0 || kRewritten.count(e.tag)) continue;
            std::vector<std::uint8_t> bytes;
            if (!write_explicit(e, bytes)) refuse("file " + std::to_string(i + 1) + " has an element that cannot be rewritten");
            // Pixel values stated in an implicit-VR file read as US; a signed image's are SS.
            if (kPixelValueTags.count(e.tag) && bytes.size() >= 6 && bytes[4] == 'U' && bytes[5] == 'S' &&
                s.ds.integer(tags::kPixelRepresentation).value_or(0) == 1)
                bytes[4] = 'S';
            s.elements[e.tag] = std::move(bytes);
        }
    }
    const Source& first = sources[0];
    const auto conversion = std::find_if(kConversions.begin(), kConversions.end(),
                                         [&](const Conversion& c) { return first.sop_class == c.from; });
    if (conversion == kConversions.end())
        refuse("only classic CT, MR and PET images convert, not SOP Class " + (first.sop_class.empty() ? "(none)" : first.sop_class));
    const bool compressed = !native_syntax(first.syntax);
    std::set<std::string> instances;
    for (const Source& s : sources) {
        const std::string which = "file " + std::to_string(s.order + 1);
        if (s.sop_class != first.sop_class) refuse(which + " is of another storage class than the first");
        if (s.sop_instance.empty() || !instances.insert(s.sop_instance).second)
            refuse(which + " has no SOP Instance UID, or the same as another file");
        for (Tag t : {tags::kStudyInstanceUID, tags::kFrameOfReferenceUID, tags::kSpecificCharacterSet})
            if (text(s, t) != text(first, t))
                refuse(which + (t == tags::kStudyInstanceUID ? " belongs to another study"
                                : t == tags::kFrameOfReferenceUID ? " lies in another frame of reference"
                                                                  : " uses another character set"));
        for (Tag t : {tags::kRows, tags::kColumns, tags::kSamplesPerPixel, tags::kBitsAllocated, tags::kBitsStored,
                      tags::kHighBit, tags::kPixelRepresentation, tags::kPlanarConfiguration})
            if (s.ds.integer(t) != first.ds.integer(t)) refuse(which + " has another image size or pixel layout than the first");
        if (text(s, tags::kPhotometricInterpretation) != text(first, tags::kPhotometricInterpretation))
            refuse(which + " has another Photometric Interpretation than the first");
        if (compressed ? s.syntax != first.syntax : !native_syntax(s.syntax))
            refuse(which + " is in another transfer syntax; transcode the files to one first");
        if (s.ds.find(tags::kNumberOfFrames) && s.ds.integer(tags::kNumberOfFrames).value_or(1) != 1)
            refuse(which + " is a multi-frame image");
    }
    const std::size_t rows = std::size_t(first.ds.integer(tags::kRows).value_or(0));
    const std::size_t columns = std::size_t(first.ds.integer(tags::kColumns).value_or(0));
    const std::size_t samples = std::size_t(first.ds.integer(tags::kSamplesPerPixel).value_or(1));
    const std::size_t bits = std::size_t(first.ds.integer(tags::kBitsAllocated).value_or(0));
    if (rows == 0 || columns == 0 || rows > 65535 || columns > 65535 || (samples != 1 && samples != 3) ||
        (bits != 8 && bits != 16 && bits != 32))
        refuse("the images need 1 to 65535 rows and columns, 1 or 3 samples and 8, 16 or 32 bits allocated");
    const std::size_t frame_bytes = rows * columns * samples * (bits / 8);
    for (Source& s : sources) {
        const ElementRef* pixels = s.ds.find(tags::kPixelData);
        if (!pixels || !pixels->value) refuse("file " + std::to_string(s.order + 1) + " has no pixel data");
        if (!compressed) {
            if (pixels->length < frame_bytes) refuse("file " + std::to_string(s.order + 1) + "'s pixel data are shorter than its image");
            s.native = {pixels->value, frame_bytes};
        } else {
            s.image = render::open(files[s.order], render::kDeferDecode);
            if (!s.image || s.image->fragments.size() < 2)
                refuse("file " + std::to_string(s.order + 1) + "'s compressed pixel data cannot be read");
            s.fragments.assign(s.image->fragments.begin() + 1, s.image->fragments.end());
        }
    }

    // Along the normal when every file has one orientation and a position; else by Instance Number.
    bool spatial = true;
    for (const Source& s : sources) {
        spatial = spatial && s.position.size() == 3 && s.orientation.size() == 6;
        for (std::size_t k = 0; spatial && k < 6; ++k) spatial = std::fabs(s.orientation[k] - first.orientation[k]) < 1e-4;
    }
    std::vector<const Source*> frames;
    for (const Source& s : sources) frames.push_back(&s);
    if (spatial) {
        const double* r = first.orientation.data();
        const double n[3] = {r[1] * r[5] - r[2] * r[4], r[2] * r[3] - r[0] * r[5], r[0] * r[4] - r[1] * r[3]};
        const auto along = [&](const Source* s) { return s->position[0] * n[0] + s->position[1] * n[1] + s->position[2] * n[2]; };
        std::stable_sort(frames.begin(), frames.end(), [&](const Source* a, const Source* b) {
            const double da = along(a), db = along(b);
            return std::fabs(da - db) > 1e-6 ? da < db : a->instance_number < b->instance_number;
        });
    } else {
        std::stable_sort(frames.begin(), frames.end(),
                         [](const Source* a, const Source* b) { return a->instance_number < b->instance_number; });
    }

    // Each attribute: at the instance's level, in a functional group, or unassigned, shared when
    // every file holds the same value and per frame otherwise.
    std::set<Tag> all;
    for (const Source& s : sources)
        for (const auto& [tag, bytes] : s.elements) all.insert(tag);
    const auto same_everywhere = [&](Tag tag) {
        const auto it = first.elements.find(tag);
        return std::all_of(sources.begin(), sources.end(), [&](const Source& s) {
            const auto jt = s.elements.find(tag);
            return it == first.elements.end() ? jt == s.elements.end() : jt != s.elements.end() && jt->second == it->second;
        });
    };
    std::set<Tag> unassigned_shared, unassigned_per_frame;
    for (Tag tag : all) {
        if (group_of(tag) != Group::kNone) continue;
        if (top_level(tag) && first.elements.count(tag)) continue;
        (same_everywhere(tag) ? unassigned_shared : unassigned_per_frame).insert(tag);
    }
    // Attributes of the top level that differ between files are kept per frame too.
    for (Tag tag : all)
        if (top_level(tag) && first.elements.count(tag) && !same_everywhere(tag)) unassigned_per_frame.insert(tag);
    const auto shared_group = [&](Group g) {
        const std::vector<std::uint8_t> one = group_bytes(first, g);
        return std::all_of(sources.begin(), sources.end(), [&](const Source& s) { return group_bytes(s, g) == one; });
    };
    const char* modality = conversion->name;

    std::string seed = std::string(conversion->to);
    for (const Source* s : frames) seed += "|" + s->sop_instance;
    const std::string sop_instance = !o.sop_instance_uid.empty() ? o.sop_instance_uid : uid::mint("legacy-instance\n" + seed, kUidRoot);
    const std::string series = !o.series_instance_uid.empty() ? o.series_instance_uid : uid::mint("legacy-series\n" + seed, kUidRoot);
    const std::string dimension_uid = uid::mint("legacy-dimensions\n" + seed, kUidRoot);
    for (const std::string* u : {&sop_instance, &series})
        if (!is_valid_uid(*u)) refuse("'" + *u + "' is not a valid UID");

    SortedDataset d;
    for (Tag tag : all)
        if (top_level(tag) && first.elements.count(tag) && !(tag == tags::kSpecificCharacterSet && text(first, tag).empty()))
            d.put(tag, [&](ItemWriter& w) { w.out = first.elements.at(tag); });
    d.text(tags::kSOPClassUID, "UI", conversion->to);
    d.text(tags::kSOPInstanceUID, "UI", sop_instance);
    d.text(tags::kSeriesInstanceUID, "UI", series);
    d.text(tags::kInstanceNumber, "IS", "1");
    std::string image_type;
    {
        std::vector<std::string_view> type;
        if (const ElementRef* e = first.ds.find(tags::kImageType)) type = text_values(*e);
        image_type = type.size() > 0 && (type[0] == "ORIGINAL" || type[0] == "DERIVED") ? std::string(type[0]) : "ORIGINAL";
        image_type += "\\" + std::string(type.size() > 1 && !type[1].empty() ? type[1] : "PRIMARY");
        image_type += "\\" + std::string(type.size() > 2 && !type[2].empty() ? type[2] : "NONE");
        image_type += "\\NONE";
        d.text(tags::kImageType, "CS", image_type);
    }
    const std::string content_date = text(first, tags::kContentDate), content_time = text(first, tags::kContentTime);
    d.text(tags::kContentDate, "DA", !content_date.empty() ? content_date : utc_now("%Y%m%d"));
    d.text(tags::kContentTime, "TM", !content_time.empty() ? content_time : utc_now("%H%M%S"));
    d.text(tags::kInstanceCreationDate, "DA", utc_now("%Y%m%d"));
    d.text(tags::kInstanceCreationTime, "TM", utc_now("%H%M%S"));
    if (!d.has(tags::kManufacturer)) d.text(tags::kManufacturer, "LO", "");
    for (Tag t : {tags::kManufacturerModelName, tags::kDeviceSerialNumber, tags::kSoftwareVersions})
        if (!d.has(t)) d.text(t, "LO", "UNKNOWN");  // the enhanced equipment module wants them
    d.put(tags::kContributingEquipmentSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kContributingEquipmentSequence);
        w.begin_item();
        w.text(tags::kManufacturer, "LO", o.identity.manufacturer);
        w.text(tags::kManufacturerModelName, "LO", o.identity.model_name);
        w.text(tags::kDeviceSerialNumber, "LO", o.identity.device_serial_number);
        w.text(tags::kSoftwareVersions, "LO", o.identity.software_versions);
        w.text(tags::kContributionDateTime, "DT", utc_now("%Y%m%d%H%M%S"));
        w.text(tags::kContributionDescription, "ST", "Legacy Enhanced Image created from Classic Images");
        code_sequence(w, tags::kPurposeOfReferenceCodeSequence, "109106", "DCM", "Enhanced Multi-frame Conversion Equipment");
        w.end_item();
        w.end_sequence();
    });
    d.put(tags::kReferencedSeriesSequence, [&](ItemWriter& w) {
        std::vector<InstanceReference> refs;
        for (const Source* s : frames) refs.push_back({s->series, s->sop_class, s->sop_instance});
        referenced_series(w, refs);
    });
    d.put(tags::kDimensionOrganizationSequence, [&](ItemWriter& w) { dimension_organization(w, dimension_uid); });
    d.put(tags::kDimensionIndexSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kDimensionIndexSequence);
        for (Tag pointer : {tags::kStackID, tags::kInStackPositionNumber}) {
            w.begin_item();
            w.text(tags::kDimensionOrganizationUID, "UI", dimension_uid);
            w.at(tags::kDimensionIndexPointer, pointer);
            w.at(tags::kFunctionalGroupPointer, tags::kFrameContentSequence);
            w.text(tags::kDimensionDescriptionLabel, "LO", pointer == tags::kStackID ? "Stack ID" : "In-Stack Position Number");
            w.end_item();
        }
        w.end_sequence();
    });
    for (Tag t : {tags::kSamplesPerPixel, tags::kRows, tags::kColumns, tags::kBitsAllocated, tags::kBitsStored, tags::kHighBit,
                  tags::kPixelRepresentation, tags::kPlanarConfiguration})
        if (const auto v = first.ds.integer(t)) d.put(t, [&](ItemWriter& w) { w.us(t, std::uint16_t(*v)); });
    const std::string photometric = text(first, tags::kPhotometricInterpretation);
    d.text(tags::kPhotometricInterpretation, "CS", photometric);
    // The enhanced image modules' own attributes, which classic images do not have.
    const bool grey = photometric == "MONOCHROME1" || photometric == "MONOCHROME2";
    const char* presentation = grey ? "MONOCHROME" : "COLOR";
    d.text(tags::kPixelPresentation, "CS", presentation);
    if (!d.has(tags::kLaterality)) d.text(tags::kLaterality, "CS", "");
    d.text(tags::kVolumetricProperties, "CS", "VOLUME");
    d.text(tags::kVolumeBasedCalculationTechnique, "CS", "NONE");
    if (grey) d.text(tags::kPresentationLUTShape, "CS", photometric == "MONOCHROME1" ? "INVERSE" : "IDENTITY");
    if (!d.has(tags::kAcquisitionContextSequence))
        d.put(tags::kAcquisitionContextSequence, [](ItemWriter& w) {
            w.begin_sequence(tags::kAcquisitionContextSequence);
            w.end_sequence();
        });
    d.text(tags::kNumberOfFrames, "IS", std::to_string(frames.size()));

    struct FunctionalGroup {
        Group group;
        Tag sequence;
        bool shared;
    };
    std::vector<FunctionalGroup> groups;
    for (const FunctionalGroup& candidate :
         {FunctionalGroup{Group::kOrientation, tags::kPlaneOrientationSequence, false},
          FunctionalGroup{Group::kMeasures, tags::kPixelMeasuresSequence, false},
          FunctionalGroup{Group::kVoi, tags::kFrameVOILUTSequence, false},
          FunctionalGroup{Group::kRescale, tags::kPixelValueTransformationSequence, false}})
        if (std::any_of(sources.begin(), sources.end(), [&](const Source& s) { return !group_bytes(s, candidate.group).empty(); }))
            groups.push_back({candidate.group, candidate.sequence, shared_group(candidate.group)});
    d.put(tags::kSharedFunctionalGroupsSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kSharedFunctionalGroupsSequence);
        w.begin_item();
        // Tag order within the item: 0020,9116 < 0028,9110 < 0028,9132 < 0028,9145 < 0020,9170.
        std::map<Tag, std::vector<std::uint8_t>> parts;
        for (const FunctionalGroup& g : groups)
            if (g.shared) {
                ItemWriter x;
                functional_group(x, g.sequence, first, g.group, modality);
                parts[g.sequence] = std::move(x.out);
            }
        {
            ItemWriter x;
            x.begin_sequence(conversion->frame_type);
            x.begin_item();
            x.text(tags::kFrameType, "CS", image_type);
            x.text(tags::kPixelPresentation, "CS", presentation);
            x.text(tags::kVolumetricProperties, "CS", "VOLUME");
            x.text(tags::kVolumeBasedCalculationTechnique, "CS", "NONE");
            x.end_item();
            x.end_sequence();
            parts[conversion->frame_type] = std::move(x.out);
        }
        if (!unassigned_shared.empty()) {
            ItemWriter x;
            x.begin_sequence(tags::kUnassignedSharedConvertedAttributesSequence);
            x.begin_item();
            for (Tag t : unassigned_shared) x.out.insert(x.out.end(), first.elements.at(t).begin(), first.elements.at(t).end());
            x.end_item();
            x.end_sequence();
            parts[tags::kUnassignedSharedConvertedAttributesSequence] = std::move(x.out);
        }
        for (const auto& [tag, bytes] : parts) w.out.insert(w.out.end(), bytes.begin(), bytes.end());
        w.end_item();
        w.end_sequence();
    });
    d.put(tags::kPerFrameFunctionalGroupsSequence, [&](ItemWriter& w) {
        w.begin_sequence(tags::kPerFrameFunctionalGroupsSequence);
        for (std::size_t k = 0; k < frames.size(); ++k) {
            const Source& s = *frames[k];
            std::map<Tag, std::vector<std::uint8_t>> parts;
            {
                ItemWriter x;
                x.begin_sequence(tags::kFrameContentSequence);
                x.begin_item();
                if (const std::string dt = acquisition_datetime(s); !dt.empty()) x.text(tags::kFrameAcquisitionDateTime, "DT", dt);
                x.text(tags::kStackID, "SH", "1");
                x.ul(tags::kInStackPositionNumber, std::uint32_t(k + 1));
                const std::uint32_t index[2] = {1, std::uint32_t(k + 1)};
                x.ul(tags::kDimensionIndexValues, index);
                x.end_item();
                x.end_sequence();
                parts[tags::kFrameContentSequence] = std::move(x.out);
            }
            if (s.elements.count(tags::kImagePositionPatient)) {
                ItemWriter x;
                functional_group(x, tags::kPlanePositionSequence, s, Group::kPosition, modality);
                parts[tags::kPlanePositionSequence] = std::move(x.out);
            }
            for (const FunctionalGroup& g : groups)
                if (!g.shared && !group_bytes(s, g.group).empty()) {
                    ItemWriter x;
                    functional_group(x, g.sequence, s, g.group, modality);
                    parts[g.sequence] = std::move(x.out);
                }
            {
                ItemWriter x;
                instance_reference(x, tags::kConversionSourceAttributesSequence, s.sop_class, s.sop_instance);
                parts[tags::kConversionSourceAttributesSequence] = std::move(x.out);
            }
            std::vector<std::uint8_t> own;
            for (Tag t : unassigned_per_frame)
                if (const auto it = s.elements.find(t); it != s.elements.end()) own.insert(own.end(), it->second.begin(), it->second.end());
            if (!own.empty()) {
                ItemWriter x;
                x.begin_sequence(tags::kUnassignedPerFrameConvertedAttributesSequence);
                x.begin_item();
                x.out.insert(x.out.end(), own.begin(), own.end());
                x.end_item();
                x.end_sequence();
                parts[tags::kUnassignedPerFrameConvertedAttributesSequence] = std::move(x.out);
            }
            w.begin_item();
            for (const auto& [tag, bytes] : parts) w.out.insert(w.out.end(), bytes.begin(), bytes.end());
            w.end_item();
        }
        w.end_sequence();
    });
    std::string syntax = "1.2.840.10008.1.2.1";
    if (!compressed) {
        const long double total = (long double)frame_bytes * frames.size();
        if (total > 4294967294.0L) refuse("the frames together exceed 4 GiB, more than one native Pixel Data can hold");
        d.put(tags::kPixelData, [&](ItemWriter& w) {
            std::vector<std::uint8_t> all;
            all.reserve(std::size_t(total));
            for (const Source* s : frames) all.insert(all.end(), s->native.begin(), s->native.end());
            w.bytes(tags::kPixelData, bits > 8 ? "OW" : "OB", all);
        });
    } else {
        syntax = first.syntax;
        d.put(tags::kPixelData, [&](ItemWriter& w) {
            std::vector<std::span<const std::uint8_t>> fragments;
            std::vector<std::int64_t> starts;
            for (const Source* s : frames) {
                starts.push_back(std::int64_t(fragments.size()));
                fragments.insert(fragments.end(), s->fragments.begin(), s->fragments.end());
            }
            w.begin_encapsulated(tags::kPixelData);
            const std::vector<std::uint8_t> items = encapsulate_pixel_value(fragments, starts);
            w.out.insert(w.out.end(), items.begin(), items.end());
            w.end_sequence();
        });
    }
    std::vector<std::uint8_t> out;
    if (Part10Wrap(conversion->to, sop_instance, d.body(), syntax, out) != 0) refuse("the instance is too large to write");
    return out;
}

}  // namespace loamwerk::legacy
