#include "deident/session.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <tuple>

#include "core/bytes.hpp"
#include "core/dictionary.hpp"
#include "core/keyed_hash.hpp"
#include "core/tags.hpp"
#include "core/uid.hpp"
#include "core/values.hpp"
#include "core/writer.hpp"
#include "deident/actions.hpp"
#include "deident/pixanon.hpp"
#include "iod/validate.hpp"

namespace loamwerk::deident {

const ActionRow* find_action(std::uint32_t tag) {
    const ActionRow* end = kActions + kActionCount;
    const ActionRow* row = std::lower_bound(kActions, end, tag, [](const ActionRow& r, std::uint32_t t) { return r.tag < t; });
    return row != end && row->tag == tag ? row : nullptr;
}

std::string message(int code) {
    if (code >= run_result::kPixelCleaning) return "clean_pixel: " + std::string(pixanon::message(code - run_result::kPixelCleaning));
    switch (code) {
    case run_result::kNotPart10: return "not a valid Part-10 file";
    case run_result::kNotByteWalkable: return "transfer syntax not byte-walkable (big-endian / deflated)";
    default: return "unknown error";
    }
}

namespace {

constexpr std::uint32_t kUndefined = 0xFFFFFFFFu;

// Days from 1970-01-01 in the proleptic Gregorian calendar, and back.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + std::int64_t(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = unsigned(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = std::int64_t(yoe) + era * 400 + (m <= 2);
}

bool leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::string shift_component(std::string_view c, int days) {
    while (!c.empty() && std::uint8_t(c.back()) < 0x21) c.remove_suffix(1);
    const bool negative = !c.empty() && c.front() == '-';
    const std::string_view digits = negative ? c.substr(1) : c;
    if (digits.size() < 8 || digits.substr(0, 8).find_first_not_of("0123456789") != std::string_view::npos) return "";
    std::int64_t y = std::stoll(std::string(digits.substr(0, 4)));
    if (negative) y = -y;
    const unsigned m = unsigned(std::stoul(std::string(digits.substr(4, 2))));
    const unsigned d = unsigned(std::stoul(std::string(digits.substr(6, 2))));
    static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap(y))) return "";
    std::int64_t ny;
    unsigned nm, nd;
    civil_from_days(days_from_civil(y, m, d) + days, ny, nm, nd);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02u%02u", int(ny), nm, nd);
    return std::string(buf) + std::string(digits.substr(8));
}

std::string trimmed(std::string_view v) {
    while (!v.empty() && std::uint8_t(v.back()) < 0x21) v.remove_suffix(1);
    return std::string(v);
}

void pad(VR vr, std::string& v) {
    if (v.size() & 1) v.push_back(vr == vr::UI ? '\0' : ' ');
}

void put_text(std::vector<std::uint8_t>& out, Encoding enc, Tag tag, VR vr, std::string v) {
    pad(vr, v);
    append_element(out, enc, tag, vr, reinterpret_cast<const std::uint8_t*>(v.data()), v.size());
}

bool is_date(VR v) { return v == vr::DA || v == vr::DT; }

// UIDs that name a definition (a class, a syntax, a coding scheme, a template), not an
// instance: they identify nobody and readers need them as they are.
bool names_a_definition(Tag t, std::string_view value) {
    static constexpr Tag kDefinitionTags[] = {
        tags::kMediaStorageSOPClassUID, tags::kTransferSyntaxUID, tags::kReferencedSOPClassUIDInFile,
        tags::kReferencedTransferSyntaxUIDInFile, tags::kSOPClassUID, tags::kRelatedGeneralSOPClassUID,
        tags::kOriginalSpecializedSOPClassUID, tags::kSOPClassesInStudy, tags::kCodingSchemeUID,
        tags::kContextGroupExtensionCreatorUID, tags::kContextUID, tags::kMappingResourceUID,
        tags::kReferencedSOPClassUID, tags::kTemplateExtensionOrganizationUID, tags::kTemplateExtensionCreatorUID,
        tags::kMACCalculationTransferSyntaxUID};
    if (std::find(std::begin(kDefinitionTags), std::end(kDefinitionTags), t) != std::end(kDefinitionTags)) return true;
    return trim_padding(value).starts_with("1.2.840.10008.");
}

std::string hex_upper(const keyed::Digest& d, std::size_t width) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; out.size() < width && i < d.size(); ++i) {
        out.push_back(kHex[d[i] >> 4]);
        if (out.size() < width) out.push_back(kHex[d[i] & 15]);
    }
    return out;
}

}  // namespace

std::string shift_dates(std::string_view value, int days) {
    std::string out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(value.find('\\', start), value.size());
        if (start) out.push_back('\\');
        out += shift_component(value.substr(start, end - start), days);
        if (end >= value.size()) return out;
        start = end + 1;
    }
}

FiledUnder filed_under(std::span<const std::uint8_t> part10) {
    FiledUnder f;
    const Dataset ds = Dataset::borrow(part10);
    if (!ds.layout().byte_walkable()) return f;
    auto text = [&](Tag t) { return std::string(ds.text(t)); };
    f.patient_id = text(tags::kPatientID);
    f.study_uid = text(tags::kStudyInstanceUID);
    f.series_uid = text(tags::kSeriesInstanceUID);
    f.sop_instance_uid = text(tags::kSOPInstanceUID);
    return f;
}

Session::Session(DeidentOptions options) : opt_(std::move(options)) {
    if (!opt_.unkeyed && opt_.key.empty()) opt_.key = keyed::random_key();
}

char Session::action(Tag t, VR v, std::string_view value) const {
    if (opt_.remove.count(t)) return 'X';
    if (opt_.replace.count(t)) return 'D';
    if (tag_element(t) == 0 && tag_group(t) != 0x0002) return 'X';
    const std::uint16_t g = tag_group(t), el = tag_element(t);
    const ActionRow* row = find_action(t);
    // A UID the profile does not list (Creator-Version UID, say) can still name an instance
    // or a site: replaced like the listed ones unless it names a definition.
    const bool unlisted_instance_uid =
        !row && !(g & 1) && v == vr::UI && !opt_.retain_uids && !names_a_definition(t, value);
    if (opt_.profile_none) return (row && row->action == 'U' && !opt_.retain_uids) || unlisted_instance_uid ? 'U' : 'K';
    if (t == tags::kPatientIdentityRemoved || t == tags::kDeidentificationMethod ||
        t == tags::kDeidentificationMethodCodeSequence)
        return 'X';  // written anew
    if (t == tags::kPatientName || t == tags::kPatientID) return 'D';
    if ((g >= 0x6000 && g <= 0x60FF && (el == 0x3000 || el == 0x4000)) || (g >= 0x5000 && g <= 0x50FF))
        return opt_.clean_graphics ? 'Z' : 'X';
    // An overlay whose data is removed is removed whole: its description alone is an
    // incomplete module.
    if (g >= 0x6000 && g <= 0x60FF && !(g & 1) && !opt_.clean_graphics) return 'X';
    if (unlisted_instance_uid) return 'U';
    if (!row) return (g & 1) && !opt_.retain_safe_private ? 'X' : 'K';
    const std::uint16_t f = row->flags;
    // Image references (X/Z/U*): kept with their UIDs replaced, so that each frame still
    // names its source slice.
    if (row->action == 'X' && (f & flag::kRetainUids) && v == vr::SQ) return 'K';
    if ((opt_.retain_uids && (f & flag::kRetainUids)) || (opt_.retain_device_id && (f & flag::kRetainDevice)) ||
        (opt_.retain_institution_id && (f & flag::kRetainInstitution)) ||
        (opt_.retain_patient_chars && (f & flag::kRetainPatientChars)))
        return 'K';
    char a = row->action;
    if (opt_.retain_dates && (f & flag::kRetainDates)) a = 'K';
    else if (shifting_dates() && (f & flag::kShiftDates)) a = 'M';
    if ((opt_.clean_struct_content && (f & flag::kCleanStructContent)) ||
        (opt_.clean_descriptors && (f & flag::kCleanDescriptors)) ||
        (opt_.retain_patient_chars && (f & flag::kCleanPatientChars)) ||
        (opt_.retain_device_id && (f & flag::kCleanDevice)) || (t == tags::kGraphicAnnotationSequence && opt_.clean_graphics))
        a = 'Z';
    // What the object's IOD requires stays present: an empty value where it may be empty (Type
    // 2), a dummy where it must have one (Type 1). Neither carries anything of the original.
    if (a == 'X' || a == 'Z') {
        const std::uint8_t type = required_.type_of(t);
        if (type == 1) a = 'D';
        else if (type == 2) a = 'Z';
    }
    return a;
}

std::string Session::replace_uid(std::string_view uid) {
    const std::string found = trimmed(uid);
    if (found.empty()) return opt_.uid_root + ".0";
    auto it = uid_map_.find(found);
    if (it != uid_map_.end()) return it->second;
    std::string minted = opt_.unkeyed ? uid::mint(found, opt_.uid_root) : uid::keyed(opt_.key, found, opt_.uid_root);
    uid_map_.emplace(found, minted);
    return minted;
}

const Patient& Session::patient_of(const std::vector<ElementRef>& level, const Patient* outer) {
    auto text = [&](Tag t) {
        const ElementRef* e = find_element(level, t);
        return e && e->value ? std::string(value_text(*e)) : std::string();
    };
    const std::string id = text(tags::kPatientID);
    if (id.empty() && outer) return *outer;
    const std::string name = text(tags::kPatientName);
    std::string identity = id.empty() ? "name:" + name + '\0' + text(tags::kPatientBirthDate)
                                      : "id:" + id + '\0' + text(tags::kIssuerOfPatientID);
    auto [it, fresh] = patients_.try_emplace(identity);
    Patient& p = it->second;
    if (!fresh) return p;
    p.identity = std::move(identity);
    p.original_id = id, p.original_name = name;
    const std::string code = opt_.unkeyed ? "" : hex_upper(keyed::hmac(opt_.key, "patient", p.identity), 16);
    p.id = opt_.patient_id ? *opt_.patient_id : opt_.unkeyed ? "ANON0001" : code;
    p.name = opt_.patient_name ? *opt_.patient_name : opt_.unkeyed ? "Anonymous" : "Anonymous^" + code;
    p.date_shift = opt_.shift_dates_days;
    if (opt_.shift_dates_per_patient > 0)
        p.date_shift -= 1 + int(keyed::leading_u64(keyed::hmac(opt_.key, "date shift", p.identity)) %
                                std::uint64_t(opt_.shift_dates_per_patient));
    return p;
}

std::string Session::pseudonym(std::string_view kind, const Patient& patient, std::string_view original,
                               std::size_t width) {
    auto [it, fresh] = other_.try_emplace({std::string(kind), patient.identity, std::string(original)});
    if (fresh) it->second = hex_upper(keyed::hmac(opt_.key, kind, patient.identity + '\0' + std::string(original)), width);
    return it->second;
}

std::vector<LookupRow> Session::lookup() const {
    std::vector<LookupRow> rows;
    for (const auto& [found, replacement] : uid_map_) rows.push_back({"uid", found, replacement});
    for (const auto& [identity, p] : patients_) {
        if (!p.original_id.empty()) rows.push_back({"patient_id", p.original_id, p.id});
        if (!p.original_name.empty()) rows.push_back({"patient_name", p.original_name, p.name});
        if (shifting_dates()) rows.push_back({"date_shift_days", p.original_id.empty() ? p.original_name : p.original_id,
                                              std::to_string(p.date_shift)});
    }
    for (const auto& [key, replacement] : other_) rows.push_back({std::get<0>(key), std::get<2>(key), replacement});
    std::sort(rows.begin(), rows.end(), [](const LookupRow& a, const LookupRow& b) {
        return std::tie(a.kind, a.original, a.replacement) < std::tie(b.kind, b.original, b.replacement);
    });
    return rows;
}

void Session::note_burned_in(const std::vector<ElementRef>& top) {
    const ElementRef* burned = find_element(top, tags::kBurnedInAnnotation);
    if (burned && burned->value && value_text(*burned) == "YES") {
        burned_in_note_ = "Burned In Annotation is YES";
        return;
    }
    const std::string signature = pixanon::matching_signature(top);
    if (!signature.empty()) burned_in_note_ = "a device known to burn in text (" + signature + ")";
}

void Session::apply(const ElementRef& e, std::vector<std::uint8_t>& out, int depth, bool top, const Patient& patient) {
    const Tag t = e.tag;
    const VR known = dict::implicit_vr(tag_group(t), tag_element(t));
    const VR wire = e.vr ? e.vr : known;
    // A standard attribute stored as UN is judged, and rewritten, by its own VR; kept as found.
    const VR v = wire == vr::UN && known && known != vr::UN && known != vr::SQ ? known : wire;
    const bool pixels = t == tags::kFloatPixelData || t == tags::kDoubleFloatPixelData || t == tags::kPixelData;
    const std::string_view raw = e.value ? as_text(e.value, std::size_t(e.length)) : std::string_view();
    char a = pixels ? 'K' : action(t, v, raw);
    if (top && t == tags::kSOPInstanceUID && a == 'X') sop_instance_.clear(), sop_recorded_ = false;
    if (top && t == tags::kSOPClassUID && e.value) sop_class_in_data_ = trimmed(raw);
    // Identifiers that link a patient's studies get a keyed pseudonym instead of nothing.
    if ((a == 'Z' || a == 'D') && (t == tags::kAccessionNumber || t == tags::kStudyID) && !opt_.unkeyed &&
        !opt_.replace.count(t) && !trim_padding(raw).empty()) {
        put_text(out, out_enc_, t, v,
                 pseudonym(t == tags::kStudyID ? "study_id" : "accession_number", patient, trim_padding(raw), 16));
        return;
    }
    // A dummy UID is a replaced one: still unique, still consistent.
    if (a == 'D' && v == vr::UI && !opt_.replace.count(t)) a = 'U';
    switch (a) {
    case 'X':
        return;
    case 'Z':
        append_element(out, out_enc_, t, v, nullptr, 0);
        return;
    case 'D': {
        // A sequence to be replaced keeps its items, each made anonymous by the same rules: an
        // empty one would leave the object without content it must have.
        if (v == vr::SQ && !opt_.replace.count(t)) break;
        std::string value;
        if (auto it = opt_.replace.find(t); it != opt_.replace.end()) value = it->second;
        else if (t == tags::kPatientName) value = patient.name;
        else if (t == tags::kPatientID) value = patient.id;
        else if (v == vr::DA) value = "20000101";
        else if (v == vr::TM) value = "000000";
        else if (v == vr::DT) value = "20000101000000";
        else if (v == vr::PN) value = "Anonymous";
        else if (v == vr::DS || v == vr::IS) value = "0";
        else if (v == vr::AE || v == vr::CS || v == vr::LO || v == vr::SH || v == vr::ST || v == vr::LT ||
                 v == vr::UT || v == vr::UC)
            value = "ANONYMIZED";  // a value of its own where the object must have one
        if (!is_text_vr(v)) value.clear();
        if (top && t == tags::kSOPInstanceUID) sop_instance_ = trimmed(value), sop_recorded_ = true;
        put_text(out, out_enc_, t, v, value);
        return;
    }
    case 'U': {
        const std::string value = replace_uid(raw);
        if (top && t == tags::kSOPInstanceUID) sop_instance_ = value, sop_recorded_ = true;
        put_text(out, out_enc_, t, v == 0 ? vr::UI : v, value);
        return;
    }
    case 'M':
        if (is_date(v)) {
            put_text(out, out_enc_, t, v, shift_dates(raw, patient.date_shift));
            return;
        }
        break;  // other VRs are kept
    default:
        break;
    }
    // K: copied; sequences walked and re-emitted with undefined lengths.
    if (top && t == tags::kSOPInstanceUID) sop_instance_ = trimmed(raw), sop_recorded_ = true;
    // An undefined-length UN is a sequence whose items are implicit VR: re-encoded like any other.
    if ((wire == vr::SQ || (wire == vr::UN && has_undefined_length(e))) && !pixels) {
        append_undefined_header(out, out_enc_, t, vr::SQ);
        std::vector<ElementRef> items;
        if (e.value) dataset::parse(e.value, std::size_t(e.length), e.encoding, items);
        for (const ElementRef& item : items) {
            if (item.tag != tags::kItem) continue;
            append_delimiter(out, 0xE000, kUndefined);
            if (item.value) walk(item.value, std::size_t(item.length), e.encoding, out, depth + 1, false, &patient);
            append_delimiter(out, 0xE00D);
        }
        append_delimiter(out, 0xE0DD);
        return;
    }
    if (pixels && has_undefined_length(e)) {
        append_undefined_header(out, out_enc_, t, wire ? wire : vr::OB);
        out.insert(out.end(), e.value, e.value + e.length);
        append_delimiter(out, 0xE0DD);
        return;
    }
    append_element(out, out_enc_, t, wire, e.value, std::size_t(e.length));
}

void Session::write_method(Encoding enc, std::vector<std::uint8_t>& out) {
    put_text(out, enc, tags::kPatientIdentityRemoved, vr::CS, "YES");
    std::string text = "loamwerk PS3.15 Basic Profile";
    const std::pair<bool, const char*> names[] = {
        {opt_.retain_dates, "Retain Longitudinal Full Dates"},
        {!opt_.retain_dates && shifting_dates(), "Retain Modified Dates"},
        {opt_.retain_safe_private, "Private Retained (unvetted)"},
        {opt_.retain_uids, "Retain UIDs"},
        {opt_.retain_device_id, "Retain Device Identity"},
        {opt_.retain_institution_id, "Retain Institution Identity"},
        {opt_.retain_patient_chars, "Retain Patient Characteristics"},
        {opt_.clean_descriptors, "Clean Descriptors"},
        {opt_.clean_graphics, "Clean Graphics"},
        {opt_.clean_struct_content, "Clean Structured Content"},
        {opt_.clean_pixel, "Clean Pixel Data"}};
    for (const auto& [on, name] : names)
        if (on) text += std::string("\\") + name;
    put_text(out, enc, tags::kDeidentificationMethod, vr::LO, text);
    const std::pair<bool, std::pair<const char*, const char*>> codes[] = {
        {true, {"113100", "Basic Application Confidentiality Profile"}},
        {opt_.retain_dates, {"113106", "Retain Longitudinal Temporal Information Full Dates Option"}},
        {!opt_.retain_dates && shifting_dates(),
         {"113107", "Retain Longitudinal Temporal Information Modified Dates Option"}},
        {opt_.retain_patient_chars, {"113108", "Retain Patient Characteristics Option"}},
        {opt_.retain_device_id, {"113109", "Retain Device Identity Option"}},
        {opt_.retain_uids, {"113110", "Retain UIDs Option"}},
        {opt_.retain_institution_id, {"113112", "Retain Institution Identity Option"}},
        {opt_.clean_graphics, {"113103", "Clean Graphics Option"}},
        {opt_.clean_struct_content, {"113104", "Clean Structured Content Option"}},
        {opt_.clean_descriptors, {"113105", "Clean Descriptors Option"}},
        {opt_.clean_pixel, {"113101", "Clean Pixel Data Option"}}};
    append_undefined_header(out, enc, tags::kDeidentificationMethodCodeSequence, vr::SQ);
    for (const auto& [on, code] : codes) {
        if (!on) continue;
        append_delimiter(out, 0xE000, kUndefined);
        put_text(out, enc, tags::kCodeValue, vr::SH, code.first);
        put_text(out, enc, tags::kCodingSchemeDesignator, vr::SH, "DCM");
        put_text(out, enc, tags::kCodeMeaning, vr::LO, code.second);
        append_delimiter(out, 0xE00D);
    }
    append_delimiter(out, 0xE0DD);
}

void Session::walk(const std::uint8_t* p, std::size_t n, Encoding enc, std::vector<std::uint8_t>& out, int depth,
                   bool top, const Patient* outer) {
    if (depth > 64) return;
    std::vector<ElementRef> elements;
    dataset::parse(p, n, enc, elements);
    const Patient& patient = patient_of(elements, outer);
    if (top) {
        if (!opt_.clean_pixel) note_burned_in(elements);
        const ElementRef* sop = find_element(elements, tags::kSOPClassUID);
        required_ = iod::RequiredAttributes(sop && sop->value ? value_text(*sop) : std::string_view(meta_sop_class_));
    }
    bool method_written = opt_.profile_none || !top;
    auto inserts = opt_.replace.begin();
    auto insert_before = [&](Tag tag) {
        if (!top) return;
        for (; inserts != opt_.replace.end() && inserts->first < tag; ++inserts) {
            const bool present = std::any_of(elements.begin(), elements.end(),
                                             [&](const ElementRef& x) { return x.tag == inserts->first; });
            if (present || opt_.remove.count(inserts->first)) continue;
            const VR v = dict::implicit_vr(tag_group(inserts->first), tag_element(inserts->first));
            put_text(out, out_enc_, inserts->first, v ? v : vr::UN, is_text_vr(v) || !v ? inserts->second : std::string());
        }
    };
    for (const ElementRef& e : elements) {
        if (tag_group(e.tag) == 0xFFFE || (top && tag_group(e.tag) == 0x0002)) continue;
        if (!method_written && e.tag > tags::kDeidentificationMethodCodeSequence) {
            insert_before(tags::kPatientIdentityRemoved);
            write_method(out_enc_, out);
            method_written = true;
        }
        insert_before(e.tag);
        if (inserts != opt_.replace.end() && inserts->first == e.tag) ++inserts;
        apply(e, out, depth, top, patient);
    }
    if (!method_written) {
        insert_before(tags::kPatientIdentityRemoved);
        write_method(out_enc_, out);
    }
    insert_before(0xFFFFFFFF);
}

int Session::run(std::span<const std::uint8_t> input, std::vector<std::uint8_t>& out) {
    const DatasetLayout layout = detect_layout(input.data(), input.size());
    if (!layout.has_meta) return run_result::kNotPart10;
    const FileMetaInfo& meta = layout.meta;
    const std::string_view ts = trim_padding(meta.transfer_syntax);
    if (!layout.byte_walkable()) return run_result::kNotByteWalkable;
    // The header encoding comes from the transfer-syntax table (a missing UID is sniffed).
    const Encoding enc = layout.encoding;
    out_enc_ = enc;
    sop_instance_.clear(), sop_class_in_data_.clear();
    sop_recorded_ = false;
    burned_in_note_.clear();
    meta_sop_class_ = std::string(trim_padding(meta.sop_class));
    std::vector<std::uint8_t> body;
    body.reserve(input.size());
    walk(input.data() + meta.dataset_offset, input.size() - meta.dataset_offset, enc, body, 0, true, nullptr);
    const std::string instance = sop_recorded_ ? sop_instance_ : replace_uid(meta.sop_instance);
    // A meta group without the SOP UIDs or the transfer syntax borrows them from the data set
    // and the walked encoding.
    const std::string sop_class = meta.sop_class.empty() ? sop_class_in_data_ : std::string(meta.sop_class);
    const std::string_view wrap_ts = ts.empty() ? encoding_uid(enc) : ts;
    if (Part10Wrap(sop_class, instance, body, wrap_ts, out) != wrap_result::kOk) return run_result::kNotPart10;
    if (opt_.clean_pixel) {
        std::vector<std::uint8_t> cleaned;
        // Signatures name attributes the profile may just have removed: match the original.
        const int rc = pixanon::clean(out, {}, true, false, cleaned, input);
        if (rc == pixanon::result::kOk) out = std::move(cleaned);
        else if (rc != pixanon::result::kNoFrames) return run_result::kPixelCleaning + rc;  // no frames: nothing to clean
    }
    return run_result::kOk;
}

}  // namespace loamwerk::deident
