#include "sr/ko.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <stdexcept>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/item_writer.hpp"
#include "core/uid.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"
#include "core/tags.hpp"

namespace loamwerk::sr {

namespace {

constexpr std::string_view kKoClass = "1.2.840.10008.5.1.4.1.1.88.59";
constexpr std::size_t kMaxUid = 64;

void cut(std::string& s, std::size_t n) {
    if (s.size() > n) s.resize(n);
}

void check_uid(const std::string& uid, const char* what) {
    // A shortened UID would name another object: refuse it instead.
    if (uid.size() > kMaxUid) throw std::invalid_argument(std::string("write_ko: ") + what + " is longer than 64 characters");
}

// The document's content as text, for UIDs that follow it.
std::string content_seed(const KoDocument& d) {
    std::string s;
    for (const std::string* f : {&d.patient_name, &d.patient_id, &d.study_uid, &d.study_date, &d.study_time, &d.study_id,
                                 &d.accession_number, &d.title_value, &d.title_scheme, &d.title_meaning,
                                 &d.retrieve_ae_title, &d.retrieve_location_uid})
        s.append(*f).push_back('\n');
    for (const KoReference& r : d.references)
        s.append(r.study_uid + "|" + r.series_uid + "|" + r.sop_class_uid + "|" + r.sop_instance_uid + "|" +
                 std::to_string(r.frame) + "\n");
    return s;
}

}  // namespace

std::vector<std::uint8_t> build_ko(KoDocument d) {
    cut(d.patient_name, 127), cut(d.patient_id, 63), cut(d.study_date, 15), cut(d.study_time, 15);
    cut(d.study_id, 19), cut(d.accession_number, 19), cut(d.title_value, 63), cut(d.title_scheme, 15);
    cut(d.title_meaning, 127), cut(d.retrieve_ae_title, 16);
    check_uid(d.study_uid, "study_uid");
    check_uid(d.sop_instance_uid, "sop_instance_uid");
    check_uid(d.series_instance_uid, "series_instance_uid");
    check_uid(d.retrieve_location_uid, "retrieve location_uid");
    std::vector<KoReference> refs;
    for (KoReference& r : d.references) {
        for (auto [uid, what] : {std::pair{&r.study_uid, "a reference's study_uid"}, {&r.series_uid, "a reference's series_uid"},
                                 {&r.sop_class_uid, "a reference's sop_class_uid"},
                                 {&r.sop_instance_uid, "a reference's sop_instance_uid"}})
            check_uid(*uid, what);
        if (!r.sop_instance_uid.empty()) refs.push_back(r);
    }
    d.references = refs;
    if (d.references.empty()) throw std::runtime_error("failed to build the Key Object Selection (no references?)");
    // Own UIDs follow the content: the same document always gets the same UIDs, another document others.
    const std::string seed = content_seed(d);
    if (d.sop_instance_uid.empty()) d.sop_instance_uid = uid::mint("ko-instance\n" + seed, kUidRoot);
    if (d.series_instance_uid.empty()) d.series_instance_uid = uid::mint("ko-series\n" + seed, kUidRoot);

    ItemWriter w;
    w.out.assign(128, 0);
    w.out.insert(w.out.end(), {'D', 'I', 'C', 'M'});
    const std::size_t group_length = w.ul(tags::kFileMetaInformationGroupLength, 0);
    const std::uint8_t version[2] = {0, 1};
    w.ob(tags::kFileMetaInformationVersion, version);
    w.text(tags::kMediaStorageSOPClassUID, "UI", kKoClass);
    w.text(tags::kMediaStorageSOPInstanceUID, "UI", d.sop_instance_uid);
    w.text(tags::kTransferSyntaxUID, "UI", "1.2.840.10008.1.2.1");
    w.text(tags::kImplementationClassUID, "UI", kImplementationClassUid);
    store_le32(w.out.data() + group_length, std::uint32_t(w.out.size() - (group_length + 4)));

    w.text(tags::kSpecificCharacterSet, "CS", "ISO_IR 192");
    w.text(tags::kSOPClassUID, "UI", kKoClass);
    w.text(tags::kSOPInstanceUID, "UI", d.sop_instance_uid);
    w.text(tags::kStudyDate, "DA", d.study_date);
    w.text(tags::kContentDate, "DA", d.study_date);  // content date: the study's
    w.text(tags::kStudyTime, "TM", d.study_time);
    w.text(tags::kContentTime, "TM", d.study_time);
    w.text(tags::kAccessionNumber, "SH", d.accession_number);
    w.text(tags::kModality, "CS", "KO");
    const Identity& who = d.identity;
    w.text(tags::kManufacturer, "LO", who.manufacturer);
    // Type 2 attributes of the study and KO series modules, and the template identification that
    // readers use to recognise the document (TID 2010), beyond the minimal layout.
    w.text(tags::kReferringPhysicianName, "PN", "");
    if (!who.series_description.empty()) w.text(tags::kSeriesDescription, "LO", who.series_description);
    if (!who.model_name.empty()) w.text(tags::kManufacturerModelName, "LO", who.model_name);
    w.begin_sequence(tags::kReferencedPerformedProcedureStepSequence);
    w.end_sequence();
    w.text(tags::kPatientName, "PN", d.patient_name);
    w.text(tags::kPatientID, "LO", d.patient_id);
    w.text(tags::kPatientBirthDate, "DA", "");
    w.text(tags::kPatientSex, "CS", "");
    if (!who.device_serial_number.empty()) w.text(tags::kDeviceSerialNumber, "LO", who.device_serial_number);
    if (!who.software_versions.empty()) w.text(tags::kSoftwareVersions, "LO", who.software_versions);
    w.text(tags::kStudyInstanceUID, "UI", d.study_uid);
    w.text(tags::kSeriesInstanceUID, "UI", d.series_instance_uid);
    w.text(tags::kStudyID, "SH", d.study_id);
    w.text(tags::kSeriesNumber, "IS", who.series_number);
    w.text(tags::kInstanceNumber, "IS", "1");
    w.text(tags::kValueType, "CS", "CONTAINER");
    w.begin_sequence(tags::kConceptNameCodeSequence);
    w.begin_item();
    w.text(tags::kCodeValue, "SH", d.title_value);
    w.text(tags::kCodingSchemeDesignator, "SH", d.title_scheme);
    w.text(tags::kCodeMeaning, "LO", d.title_meaning);
    w.end_item();
    w.end_sequence();
    w.text(tags::kContinuityOfContent, "CS", "SEPARATE");

    // Evidence: studies, their series, their instances, in first-occurrence order.
    w.begin_sequence(tags::kCurrentRequestedProcedureEvidenceSequence);
    std::vector<std::string> studies;
    for (const KoReference& r : d.references)
        if (std::find(studies.begin(), studies.end(), r.study_uid) == studies.end()) studies.push_back(r.study_uid);
    for (const std::string& study : studies) {
        w.begin_item();
        w.begin_sequence(tags::kReferencedSeriesSequence);
        std::vector<std::string> series;
        for (const KoReference& r : d.references)
            if (r.study_uid == study && std::find(series.begin(), series.end(), r.series_uid) == series.end())
                series.push_back(r.series_uid);
        for (const std::string& s : series) {
            w.begin_item();
            if (!d.retrieve_ae_title.empty()) w.text(tags::kRetrieveAETitle, "AE", d.retrieve_ae_title);
            w.begin_sequence(tags::kReferencedSOPSequence);
            std::vector<std::string> seen;
            for (const KoReference& r : d.references) {
                if (r.study_uid != study || r.series_uid != s) continue;
                if (std::find(seen.begin(), seen.end(), r.sop_instance_uid) != seen.end()) continue;
                seen.push_back(r.sop_instance_uid);
                w.begin_item();
                w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
                w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
                w.end_item();
            }
            w.end_sequence();
            w.text(tags::kSeriesInstanceUID, "UI", s);
            if (!d.retrieve_location_uid.empty()) w.text(tags::kRetrieveLocationUID, "UI", d.retrieve_location_uid);
            w.end_item();
        }
        w.end_sequence();
        w.text(tags::kStudyInstanceUID, "UI", study);
        w.end_item();
    }
    w.end_sequence();
    w.text(tags::kCompletionFlag, "CS", "COMPLETE");
    w.text(tags::kVerificationFlag, "CS", "UNVERIFIED");
    w.begin_sequence(tags::kContentTemplateSequence);
    w.begin_item();
    w.text(tags::kMappingResource, "CS", "DCMR");
    w.text(tags::kTemplateIdentifier, "CS", "2010");
    w.end_item();
    w.end_sequence();
    w.begin_sequence(tags::kContentSequence);
    for (const KoReference& r : d.references) {
        w.begin_item();
        w.begin_sequence(tags::kReferencedSOPSequence);
        w.begin_item();
        w.text(tags::kReferencedSOPClassUID, "UI", r.sop_class_uid);
        w.text(tags::kReferencedSOPInstanceUID, "UI", r.sop_instance_uid);
        if (r.frame > 0) w.text(tags::kReferencedFrameNumber, "IS", std::to_string(r.frame));
        w.end_item();
        w.end_sequence();
        w.text(tags::kRelationshipType, "CS", "CONTAINS");
        w.text(tags::kValueType, "CS", "IMAGE");
        w.end_item();
    }
    w.end_sequence();
    return std::move(w.out);
}

namespace {

}  // namespace

KoRead read_ko(std::span<const std::uint8_t> bytes) {
    const Dataset ds = Dataset::borrow(bytes);
    if (!ds.readable()) throw std::runtime_error("read_ko: not a DICOM data set");
    const Elements& top = ds.elements();
    if (std::string(text_of(top, tags::kSOPClassUID)) != kKoClass)
        throw std::runtime_error("read_ko: not a Key Object Selection document");
    KoRead r;
    KoDocument& d = r.document;
    d.patient_name = std::string(text_of(top, tags::kPatientName)), d.patient_id = std::string(text_of(top, tags::kPatientID));
    d.study_uid = std::string(text_of(top, tags::kStudyInstanceUID)), d.study_date = std::string(text_of(top, tags::kStudyDate));
    d.study_time = std::string(text_of(top, tags::kStudyTime));
    d.study_id = std::string(text_of(top, tags::kStudyID)), d.accession_number = std::string(text_of(top, tags::kAccessionNumber));
    d.sop_instance_uid = std::string(text_of(top, tags::kSOPInstanceUID)), d.series_instance_uid = std::string(text_of(top, tags::kSeriesInstanceUID));
    const auto title = items_of(top, tags::kConceptNameCodeSequence);
    if (!title.empty()) {
        d.title_value = std::string(text_of(title[0], tags::kCodeValue));
        d.title_scheme = std::string(text_of(title[0], tags::kCodingSchemeDesignator));
        d.title_meaning = std::string(text_of(title[0], tags::kCodeMeaning));
    }
    // Study and series of every instance from the evidence.
    std::map<std::string, std::pair<std::string, std::string>> where;
    for (const Elements& study : items_of(top, tags::kCurrentRequestedProcedureEvidenceSequence)) {
        const std::string study_uid = std::string(text_of(study, tags::kStudyInstanceUID));
        for (const Elements& series : items_of(study, tags::kReferencedSeriesSequence)) {
            const std::string series_uid = std::string(text_of(series, tags::kSeriesInstanceUID));
            if (d.retrieve_ae_title.empty()) d.retrieve_ae_title = std::string(text_of(series, tags::kRetrieveAETitle));
            if (d.retrieve_location_uid.empty()) d.retrieve_location_uid = std::string(text_of(series, tags::kRetrieveLocationUID));
            for (const Elements& sop : items_of(series, tags::kReferencedSOPSequence))
                where.emplace(std::string(text_of(sop, tags::kReferencedSOPInstanceUID)), std::pair(study_uid, series_uid));
        }
    }
    for (const Elements& content : items_of(top, tags::kContentSequence)) {
        for (const Elements& ref : items_of(content, tags::kReferencedSOPSequence)) {
            KoReference k;
            k.sop_class_uid = std::string(text_of(ref, tags::kReferencedSOPClassUID));
            k.sop_instance_uid = std::string(text_of(ref, tags::kReferencedSOPInstanceUID));
            if (auto it = where.find(k.sop_instance_uid); it != where.end()) k.study_uid = it->second.first, k.series_uid = it->second.second;
            std::vector<std::uint32_t> frames;
            const std::string frame_text = std::string(text_of(ref, tags::kReferencedFrameNumber));
            std::string_view f = frame_text;
            while (!f.empty()) {
                const std::size_t bs = f.find('\\');
                std::string_view v = f.substr(0, bs);
                std::uint32_t n = 0;
                if (std::from_chars(v.data(), v.data() + v.size(), n).ec == std::errc()) frames.push_back(n);
                if (bs == std::string_view::npos) break;
                f.remove_prefix(bs + 1);
            }
            k.frame = frames.empty() ? 0 : frames.front();
            d.references.push_back(std::move(k));
            r.frames.push_back(std::move(frames));
        }
    }
    return r;
}

}  // namespace loamwerk::sr
