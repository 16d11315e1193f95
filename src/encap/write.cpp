#include "encap/write.hpp"

#include <cstdio>
#include <stdexcept>
#include <string_view>

#include <lcms2.h>

#include "core/bytes.hpp"
#include "core/item_writer.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"

namespace loamwerk::encap {

namespace {

// An sRGB ICC profile: the OBJ and MTL objects must say in what colour space their colours are.
std::vector<std::uint8_t> srgb_profile() {
    std::vector<std::uint8_t> out;
    cmsHPROFILE profile = cmsCreate_sRGBProfile();
    if (!profile) return out;
    cmsUInt32Number size = 0;
    if (cmsSaveProfileToMem(profile, nullptr, &size) && size) {
        out.resize(size);
        if (!cmsSaveProfileToMem(profile, out.data(), &size)) out.clear();
    }
    cmsCloseProfile(profile);
    if (out.size() % 2) out.push_back(0);
    return out;
}

// A CDA document's own identifier, root^extension of ClinicalDocument's first id; empty when none.
std::string cda_identifier(std::span<const std::uint8_t> payload) {
    const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
    std::size_t at = text.find("ClinicalDocument");
    if (at == std::string_view::npos) return {};
    at = text.find("<id", at);
    if (at == std::string_view::npos) return {};
    const std::size_t end = text.find('>', at);
    const std::string_view tag = text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
    auto attribute = [&](std::string_view name) -> std::string {
        std::size_t p = 0;
        while ((p = tag.find(name, p)) != std::string_view::npos) {
            const std::size_t q = p + name.size();
            if (p > 0 && (tag[p - 1] == ' ' || tag[p - 1] == '\t' || tag[p - 1] == '\n') && q + 1 < tag.size() &&
                tag[q] == '=' && (tag[q + 1] == '"' || tag[q + 1] == '\'')) {
                const std::size_t close = tag.find(tag[q + 1], q + 2);
                if (close != std::string_view::npos) return std::string(tag.substr(q + 2, close - q - 2));
            }
            p = q;
        }
        return {};
    };
    const std::string root = attribute("root"), extension = attribute("extension");
    if (root.empty()) return {};
    return extension.empty() ? root : root + "^" + extension;
}

}  // namespace

std::vector<std::uint8_t> write_document(const Document& doc) {
    if (doc.payload.empty()) throw std::invalid_argument("encapsulate: the document is empty");
    // Encapsulated Document Length is a UL and the value an OB of even length.
    if (doc.payload.size() >= 0xFFFFFFFEu) throw std::invalid_argument("encapsulate: the document is 4 GiB or more");
    const KindInfo& kind = kind_info(doc.kind);
    // A binary STL's 80-byte header may itself begin "solid"; its triangle count then fills the rest.
    const bool binary_stl = doc.payload.size() >= 84 &&
                            std::uint64_t(load_le32(doc.payload.data() + 80)) * 50 + 84 == doc.payload.size();
    if (doc.kind == Kind::kStl && !binary_stl)
        throw std::invalid_argument("encapsulate: DICOM holds STL in its binary form; this is not binary STL (ASCII, or a triangle count its size does not match)");
    char digest[17];
    std::snprintf(digest, sizeof digest, "%016llx",
                  static_cast<unsigned long long>(wyhash(doc.payload.data(), doc.payload.size())));
    ImageHeader study;
    if (doc.reference) study = *doc.reference;
    const std::string seed = std::string(kind.name) + "\n" + digest + "\n" + study.study_uid + "\n" + doc.title;
    if (study.study_uid.empty()) study.study_uid = uid::mint("encap-study\n" + seed, kUidRoot);
    const std::string sop_uid = doc.sop_instance_uid.empty() ? uid::mint("encap-instance\n" + seed, kUidRoot)
                                                              : doc.sop_instance_uid;
    const std::string series_uid = doc.series_instance_uid.empty() ? uid::mint("encap-series\n" + seed, kUidRoot)
                                                                    : doc.series_instance_uid;
    const bool model = kind.modality == "M3D";  // 3-D models carry Enhanced General Equipment
    Identity who = model ? with_equipment(doc.identity) : doc.identity;
    if (who.series_number.empty()) who.series_number = "1";

    SortedDataset d = authored_dataset(kind.sop_class, sop_uid, study, who, kind.modality, series_uid);
    const std::string date = utc_now("%Y%m%d"), time = utc_now("%H%M%S");
    d.text(tags::kInstanceNumber, "IS", "1");
    d.text(tags::kContentDate, "DA", date);
    d.text(tags::kContentTime, "TM", time);
    d.text(tags::kAcquisitionDateTime, "DT", "");
    // A document may show names and dates: it is marked as carrying identifying text.
    d.text(tags::kBurnedInAnnotation, "CS", "YES");
    d.text(tags::kDocumentTitle, "ST", doc.title);
    d.put(tags::kConceptNameCodeSequence, [](ItemWriter& w) {
        w.begin_sequence(tags::kConceptNameCodeSequence);
        w.end_sequence();
    });
    d.text(tags::kMIMETypeOfEncapsulatedDocument, "LO", kind.mime);
    if (model) {
        if (doc.kind != Kind::kMtl) {  // a material library lies in no frame of reference
            std::string frame = study.frame_of_reference_uid;
            if (frame.empty()) frame = uid::mint("encap-frame\n" + seed, kUidRoot);
            frame_of_reference(d, frame);
        }
        if (doc.kind != Kind::kStl) {
            const std::vector<std::uint8_t> icc = srgb_profile();
            if (icc.empty()) throw std::runtime_error("encapsulate: could not make the sRGB colour profile");
            d.put(tags::kICCProfile, [&](ItemWriter& w) { w.ob(tags::kICCProfile, icc); });
            d.text(tags::kColorSpace, "CS", "SRGB");
        }
        d.put(tags::kMeasurementUnitsCodeSequence, [](ItemWriter& w) {
            code_sequence(w, tags::kMeasurementUnitsCodeSequence, "mm", "UCUM", "mm");
        });
    } else {
        d.text(tags::kConversionType, "CS", "WSD");  // a workstation made it
    }
    if (doc.kind == Kind::kCda) {
        // The document's own id, or, when it states none, this object's UID as a bare root.
        const std::string id = cda_identifier(doc.payload);
        d.text(tags::kHL7InstanceIdentifier, "ST", id.empty() ? sop_uid : id);
    }
    const std::uint32_t length = std::uint32_t(doc.payload.size());
    d.put(tags::kEncapsulatedDocumentLength, [&](ItemWriter& w) { w.ul(tags::kEncapsulatedDocumentLength, length); });
    d.put(tags::kEncapsulatedDocument, [&](ItemWriter& w) {
        if (doc.payload.size() % 2 == 0) {
            w.ob(tags::kEncapsulatedDocument, doc.payload);
        } else {  // padded with one NUL to even length; the length attribute keeps the true size
            std::vector<std::uint8_t> even(doc.payload.begin(), doc.payload.end());
            even.push_back(0);
            w.ob(tags::kEncapsulatedDocument, even);
        }
    });
    std::vector<std::uint8_t> out;
    if (Part10Wrap(kind.sop_class, sop_uid, d.body(), "1.2.840.10008.1.2.1", out) != 0)
        throw std::invalid_argument("encapsulate: the document is too large to write");
    return out;
}

}  // namespace loamwerk::encap
