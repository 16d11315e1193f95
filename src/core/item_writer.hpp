// An Explicit VR Little Endian data set written element by element into a byte vector, with
// sequences and items of undefined length closed by delimitation items. Used by the writers
// that author whole objects.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.hpp"
#include "core/code.hpp"
#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/vr.hpp"
#include "core/writer.hpp"

namespace loamwerk {

class ItemWriter {
public:
    std::vector<std::uint8_t> out;

    // Text padded to even length (UI with a zero byte, everything else with a space).
    void text(Tag tag, const char* vr, std::string_view value) {
        const bool odd = value.size() & 1;
        header(tag, vr, value.size() + odd);
        out.insert(out.end(), value.begin(), value.end());
        if (odd) out.push_back(std::string_view(vr) == "UI" ? '\0' : ' ');
    }
    void ob(Tag tag, std::span<const std::uint8_t> value) { bytes(tag, "OB", value); }
    // A binary value of any VR (OB, OW, OF, ...) as its little-endian bytes, padded to even length.
    void bytes(Tag tag, const char* vr, std::span<const std::uint8_t> value) {
        const bool odd = value.size() & 1;
        header(tag, vr, value.size() + odd);
        out.insert(out.end(), value.begin(), value.end());
        if (odd) out.push_back(0);
    }
    // Numbers stored as they lie in memory (OF, OD, OL, ...): this library builds for
    // little-endian hosts only.
    template <class T>
    void numbers(Tag tag, const char* vr, std::span<const T> values) {
        bytes(tag, vr, {reinterpret_cast<const std::uint8_t*>(values.data()), values.size_bytes()});
    }
    // Returns where the value starts, for values patched later.
    std::size_t ul(Tag tag, std::uint32_t v) { return ul(tag, std::span<const std::uint32_t>(&v, 1)); }
    std::size_t ul(Tag tag, std::span<const std::uint32_t> values) {
        header(tag, "UL", values.size() * 4);
        const std::size_t at = out.size();
        out.resize(at + values.size() * 4);
        for (std::size_t i = 0; i < values.size(); ++i) store_le32(out.data() + at + 4 * i, values[i]);
        return at;
    }
    void us(Tag tag, std::span<const std::uint16_t> values) {
        header(tag, "US", values.size() * 2);
        const std::size_t at = out.size();
        out.resize(at + values.size() * 2);
        for (std::size_t i = 0; i < values.size(); ++i) store_le16(out.data() + at + 2 * i, values[i]);
    }
    void us(Tag tag, std::uint16_t v) { us(tag, std::span<const std::uint16_t>(&v, 1)); }
    void ss(Tag tag, std::int16_t v) {
        header(tag, "SS", 2);
        const std::size_t at = out.size();
        out.resize(at + 2);
        store_le16(out.data() + at, std::uint16_t(v));
    }
    void sl(Tag tag, std::int32_t v) { sl(tag, std::span<const std::int32_t>(&v, 1)); }
    void sl(Tag tag, std::span<const std::int32_t> values) {
        header(tag, "SL", values.size() * 4);
        const std::size_t at = out.size();
        out.resize(at + values.size() * 4);
        for (std::size_t i = 0; i < values.size(); ++i) store_le32(out.data() + at + 4 * i, std::uint32_t(values[i]));
    }
    // 16-bit words (OW), as LUT Data holds them.
    void ow(Tag tag, std::span<const std::uint16_t> values) {
        header(tag, "OW", values.size() * 2);
        const std::size_t at = out.size();
        out.resize(at + values.size() * 2);
        for (std::size_t i = 0; i < values.size(); ++i) store_le16(out.data() + at + 2 * i, values[i]);
    }
    void fl(Tag tag, float v) { fl(tag, std::span<const float>(&v, 1)); }
    void fl(Tag tag, std::span<const float> values) {
        header(tag, "FL", values.size() * 4);
        for (const float v : values) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, 4);
            const std::size_t at = out.size();
            out.resize(at + 4);
            store_le32(out.data() + at, bits);
        }
    }
    void fd(Tag tag, std::span<const double> values) {
        header(tag, "FD", values.size() * 8);
        for (const double v : values) {
            std::uint64_t bits;
            std::memcpy(&bits, &v, 8);
            const std::size_t at = out.size();
            out.resize(at + 8);
            store_le32(out.data() + at, std::uint32_t(bits));
            store_le32(out.data() + at + 4, std::uint32_t(bits >> 32));
        }
    }
    // An attribute tag value (AT).
    void at(Tag tag, Tag value) {
        header(tag, "AT", 4);
        std::uint8_t v[4];
        store_le16(v, tag_group(value));
        store_le16(v + 2, tag_element(value));
        out.insert(out.end(), v, v + 4);
    }
    void begin_sequence(Tag tag) { header(tag, "SQ", 0xFFFFFFFFu); }
    // Encapsulated Pixel Data: OB of undefined length, its items appended to `out`, closed by
    // end_sequence().
    void begin_encapsulated(Tag tag) { header(tag, "OB", 0xFFFFFFFFu); }
    void end_sequence() { append_delimiter(out, 0xE0DD); }
    void begin_item() { append_delimiter(out, 0xE000, 0xFFFFFFFFu); }
    void end_item() { append_delimiter(out, 0xE00D); }

private:
    void header(Tag tag, const char* vr, std::size_t length) {
        std::uint8_t h[12];
        store_le16(h, tag_group(tag));
        store_le16(h + 2, tag_element(tag));
        h[4] = std::uint8_t(vr[0]), h[5] = std::uint8_t(vr[1]);
        if (has_long_length(make_vr(vr[0], vr[1]))) {  // the 12-byte header of OB, SQ, UT, UR, UC, ...
            store_le16(h + 6, 0);
            store_le32(h + 8, std::uint32_t(length));
            out.insert(out.end(), h, h + 12);
        } else {
            // A value that does not fit its VR's 16-bit length would be cut short: refuse it.
            if (length > 0xFFFF) throw std::length_error("a value of " + std::to_string(length) + " bytes is too long for its VR");
            store_le16(h + 6, std::uint16_t(length));
            out.insert(out.end(), h, h + 8);
        }
    }
};

// One item of Code Value, Coding Scheme Designator and Code Meaning.
inline void code_item(ItemWriter& w, std::string_view value, std::string_view scheme, std::string_view meaning) {
    w.begin_item();
    w.text(tags::kCodeValue, "SH", value);
    w.text(tags::kCodingSchemeDesignator, "SH", scheme);
    w.text(tags::kCodeMeaning, "LO", meaning);
    w.end_item();
}

// A code sequence of one such item.
inline void code_sequence(ItemWriter& w, Tag tag, std::string_view value, std::string_view scheme, std::string_view meaning) {
    w.begin_sequence(tag);
    code_item(w, value, scheme, meaning);
    w.end_sequence();
}

// A code sequence of one item from a Code.
inline void code_sequence(ItemWriter& w, Tag tag, const Code& c) { code_sequence(w, tag, c.value, c.scheme, c.meaning); }

// An algorithm identification sequence of one item: family code, version, parameters (when
// given) and name, in tag order.
inline void algorithm_sequence(ItemWriter& w, Tag tag, const Code& family, std::string_view name,
                               std::string_view version, std::string_view parameters = {}) {
    w.begin_sequence(tag);
    w.begin_item();
    code_sequence(w, tags::kAlgorithmFamilyCodeSequence, family);
    w.text(tags::kAlgorithmVersion, "LO", version);
    if (!parameters.empty()) w.text(tags::kAlgorithmParameters, "LT", parameters);
    w.text(tags::kAlgorithmName, "LO", name);
    w.end_item();
    w.end_sequence();
}

// A sequence of one item naming an instance: Referenced SOP Class UID and Referenced SOP
// Instance UID.
inline void instance_reference(ItemWriter& w, Tag tag, std::string_view sop_class, std::string_view sop_instance) {
    w.begin_sequence(tag);
    w.begin_item();
    w.text(tags::kReferencedSOPClassUID, "UI", sop_class);
    w.text(tags::kReferencedSOPInstanceUID, "UI", sop_instance);
    w.end_item();
    w.end_sequence();
}

// Dimension Organization Sequence of one organization.
inline void dimension_organization(ItemWriter& w, std::string_view uid) {
    w.begin_sequence(tags::kDimensionOrganizationSequence);
    w.begin_item();
    w.text(tags::kDimensionOrganizationUID, "UI", uid);
    w.end_item();
    w.end_sequence();
}

struct InstanceReference {
    std::string series_uid, sop_class_uid, sop_instance_uid;
};

// A sequence of an item per instance, each its Referenced SOP Class and Instance UIDs.
inline void instance_references(ItemWriter& w, Tag tag, const std::vector<InstanceReference>& refs) {
    w.begin_sequence(tag);
    for (const InstanceReference& r : refs) {
        w.begin_item();
        w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
        w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
        w.end_item();
    }
    w.end_sequence();
}

// Referenced Series Sequence: an item per series, in order of first appearance, each listing its
// instances in a Referenced Instance Sequence.
inline void referenced_series(ItemWriter& w, const std::vector<InstanceReference>& refs) {
    w.begin_sequence(tags::kReferencedSeriesSequence);
    std::vector<std::string_view> series;
    for (const InstanceReference& r : refs)
        if (std::find(series.begin(), series.end(), r.series_uid) == series.end()) series.push_back(r.series_uid);
    for (std::string_view s : series) {
        w.begin_item();
        w.begin_sequence(tags::kReferencedInstanceSequence);
        for (const InstanceReference& r : refs)
            if (r.series_uid == s) {
                w.begin_item();
                w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
                w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
                w.end_item();
            }
        w.end_sequence();
        w.text(tags::kSeriesInstanceUID, "UI", s);
        w.end_item();
    }
    w.end_sequence();
}

// A data set's top-level elements, put in any order and written in ascending tag order.
class SortedDataset {
public:
    template <class F>
    void put(Tag tag, F write) {
        ItemWriter w;
        write(w);
        elements_[tag] = std::move(w.out);
    }
    void text(Tag tag, const char* vr, std::string_view value) {
        put(tag, [&](ItemWriter& w) { w.text(tag, vr, value); });
    }
    bool has(Tag tag) const { return elements_.count(tag) != 0; }
    std::vector<std::uint8_t> body() const {
        std::vector<std::uint8_t> out;
        for (const auto& [tag, bytes] : elements_) out.insert(out.end(), bytes.begin(), bytes.end());
        return out;
    }

private:
    std::map<Tag, std::vector<std::uint8_t>> elements_;
};

// The SOP Instance and Series Instance UIDs the caller left empty, made from a digest of the
// object's content so that the same content on the same references gives the same object.
// Returns the digest as 16 hexadecimal digits, a seed for the object's other UIDs.
inline std::string content_uids(std::uint64_t digest, std::string_view kind, std::string& sop_uid,
                                std::string& series_uid) {
    char seed[17];
    std::snprintf(seed, sizeof seed, "%016llx", static_cast<unsigned long long>(digest));
    if (sop_uid.empty()) sop_uid = uid::mint(std::string(kind) + "-instance\n" + seed, kUidRoot);
    if (series_uid.empty()) series_uid = uid::mint(std::string(kind) + "-series\n" + seed, kUidRoot);
    return seed;
}

// The caller's identity with what an authored object must state filled in: series number 1 and
// this library as the equipment (Enhanced General Equipment's attributes are Type 1).
inline Identity with_equipment(Identity who) {
    if (who.series_number.empty()) who.series_number = "1";
    if (who.manufacturer.empty()) who.manufacturer = "loam";
    if (who.model_name.empty()) who.model_name = "loam";
    if (who.device_serial_number.empty()) who.device_serial_number = "1";
    if (who.software_versions.empty()) who.software_versions = "loam";
    return who;
}

// The Frame of Reference module: the UID and an empty Position Reference Indicator (Type 2).
inline void frame_of_reference(SortedDataset& d, std::string_view uid) {
    d.text(tags::kFrameOfReferenceUID, "UI", uid);
    d.text(tags::kPositionReferenceIndicator, "LO", "");
}

// The Part-10 file (Explicit VR Little Endian) of an authored data set; std::invalid_argument
// with `too_large` when it cannot be one (an element past 4 GiB).
inline std::vector<std::uint8_t> part10_file(std::string_view sop_class, std::string_view sop_uid, const SortedDataset& d,
                                             const std::string& too_large) {
    std::vector<std::uint8_t> out;
    if (Part10Wrap(sop_class, sop_uid, d.body(), "1.2.840.10008.1.2.1", out) != 0) throw std::invalid_argument(too_large);
    return out;
}

// Instance Number 1 and the Content Identification of an authored object, dated now.
inline void content_identification(SortedDataset& d, std::string_view label, std::string_view description,
                                   std::string_view creator) {
    d.text(tags::kInstanceNumber, "IS", "1");
    d.text(tags::kContentLabel, "CS", label);
    d.text(tags::kContentDescription, "LO", description);
    d.text(tags::kContentCreatorName, "PN", creator);
    d.text(tags::kContentDate, "DA", utc_now("%Y%m%d"));
    d.text(tags::kContentTime, "TM", utc_now("%H%M%S"));
}

// The patient, study, series and equipment attributes of an object authored in `first`'s study:
// patient and study as that image states them, modality, series and equipment as given.
inline void study_and_series(SortedDataset& d, const ImageHeader& first, const Identity& who, std::string_view modality,
                             std::string_view series_uid) {
    d.text(tags::kStudyDate, "DA", first.study_date);
    d.text(tags::kStudyTime, "TM", first.study_time);
    d.text(tags::kAccessionNumber, "SH", first.accession_number);
    d.text(tags::kModality, "CS", modality);
    d.text(tags::kManufacturer, "LO", who.manufacturer);
    d.text(tags::kReferringPhysicianName, "PN", first.referring_physician_name);
    if (!who.series_description.empty()) d.text(tags::kSeriesDescription, "LO", who.series_description);
    if (!who.model_name.empty()) d.text(tags::kManufacturerModelName, "LO", who.model_name);
    d.text(tags::kPatientName, "PN", first.patient_name);
    d.text(tags::kPatientID, "LO", first.patient_id);
    d.text(tags::kPatientBirthDate, "DA", first.patient_birth_date);
    d.text(tags::kPatientSex, "CS", first.patient_sex);
    if (!who.device_serial_number.empty()) d.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    if (!who.software_versions.empty()) d.text(tags::kSoftwareVersions, "LO", who.software_versions);
    d.text(tags::kStudyInstanceUID, "UI", first.study_uid);
    d.text(tags::kSeriesInstanceUID, "UI", series_uid);
    d.text(tags::kStudyID, "SH", first.study_id);
    d.text(tags::kSeriesNumber, "IS", who.series_number);
}

// The start of an object authored in `first`'s study: UTF-8 text, its SOP class and instance,
// then patient, study, series and equipment as study_and_series writes them.
inline SortedDataset authored_dataset(std::string_view sop_class, std::string_view sop_uid, const ImageHeader& first,
                                      const Identity& who, std::string_view modality, std::string_view series_uid) {
    SortedDataset d;
    d.text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    d.text(tags::kSOPClassUID, "UI", sop_class);
    d.text(tags::kSOPInstanceUID, "UI", sop_uid);
    study_and_series(d, first, who, modality, series_uid);
    return d;
}

}  // namespace loamwerk
