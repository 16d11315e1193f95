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
#include "json/reencode.hpp"

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
    const std::size_t group_length = w.ul(0x00020000, 0);
    const std::uint8_t version[2] = {0, 1};
    w.ob(0x00020001, version);
    w.text(0x00020002, "UI", kKoClass);
    w.text(0x00020003, "UI", d.sop_instance_uid);
    w.text(0x00020010, "UI", "1.2.840.10008.1.2.1");
    w.text(0x00020012, "UI", kImplementationClassUid);
    store_le32(w.out.data() + group_length, std::uint32_t(w.out.size() - (group_length + 4)));

    w.text(0x00080005, "CS", "ISO_IR 192");
    w.text(0x00080016, "UI", kKoClass);
    w.text(0x00080018, "UI", d.sop_instance_uid);
    w.text(0x00080020, "DA", d.study_date);
    w.text(0x00080023, "DA", d.study_date);  // content date: the study's
    w.text(0x00080030, "TM", d.study_time);
    w.text(0x00080033, "TM", d.study_time);
    w.text(0x00080050, "SH", d.accession_number);
    w.text(0x00080060, "CS", "KO");
    w.text(0x00080070, "LO", "Tessera");
    // Type 2 attributes of the study and KO series modules, and the template identification that
    // readers use to recognise the document (TID 2010), beyond the minimal layout.
    w.text(0x00080090, "PN", "");
    w.begin_sequence(0x00081111);
    w.end_sequence();
    w.text(0x00100010, "PN", d.patient_name);
    w.text(0x00100020, "LO", d.patient_id);
    w.text(0x00100030, "DA", "");
    w.text(0x00100040, "CS", "");
    w.text(0x0020000D, "UI", d.study_uid);
    w.text(0x0020000E, "UI", d.series_instance_uid);
    w.text(0x00200010, "SH", d.study_id);
    w.text(0x00200011, "IS", "999");
    w.text(0x00200013, "IS", "1");
    w.text(0x0040A040, "CS", "CONTAINER");
    w.begin_sequence(0x0040A043);
    w.begin_item();
    w.text(0x00080100, "SH", d.title_value);
    w.text(0x00080102, "SH", d.title_scheme);
    w.text(0x00080104, "LO", d.title_meaning);
    w.end_item();
    w.end_sequence();
    w.text(0x0040A050, "CS", "SEPARATE");

    // Evidence: studies, their series, their instances, in first-occurrence order.
    w.begin_sequence(0x0040A375);
    std::vector<std::string> studies;
    for (const KoReference& r : d.references)
        if (std::find(studies.begin(), studies.end(), r.study_uid) == studies.end()) studies.push_back(r.study_uid);
    for (const std::string& study : studies) {
        w.begin_item();
        w.begin_sequence(0x00081115);
        std::vector<std::string> series;
        for (const KoReference& r : d.references)
            if (r.study_uid == study && std::find(series.begin(), series.end(), r.series_uid) == series.end())
                series.push_back(r.series_uid);
        for (const std::string& s : series) {
            w.begin_item();
            if (!d.retrieve_ae_title.empty()) w.text(0x00080054, "AE", d.retrieve_ae_title);
            w.begin_sequence(0x00081199);
            std::vector<std::string> seen;
            for (const KoReference& r : d.references) {
                if (r.study_uid != study || r.series_uid != s) continue;
                if (std::find(seen.begin(), seen.end(), r.sop_instance_uid) != seen.end()) continue;
                seen.push_back(r.sop_instance_uid);
                w.begin_item();
                w.text(0x00081150, "UI", r.sop_class_uid);
                w.text(0x00081155, "UI", r.sop_instance_uid);
                w.end_item();
            }
            w.end_sequence();
            w.text(0x0020000E, "UI", s);
            if (!d.retrieve_location_uid.empty()) w.text(0x0040E011, "UI", d.retrieve_location_uid);
            w.end_item();
        }
        w.end_sequence();
        w.text(0x0020000D, "UI", study);
        w.end_item();
    }
    w.end_sequence();
    w.text(0x0040A491, "CS", "COMPLETE");
    w.text(0x0040A493, "CS", "UNVERIFIED");
    w.begin_sequence(0x0040A504);
    w.begin_item();
    w.text(0x00080105, "CS", "DCMR");
    w.text(0x0040DB00, "CS", "2010");
    w.end_item();
    w.end_sequence();
    w.begin_sequence(0x0040A730);
    for (const KoReference& r : d.references) {
        w.begin_item();
        w.begin_sequence(0x00081199);
        w.begin_item();
        w.text(0x00081150, "UI", r.sop_class_uid);
        w.text(0x00081155, "UI", r.sop_instance_uid);
        if (r.frame > 0) w.text(0x00081160, "IS", std::to_string(r.frame));
        w.end_item();
        w.end_sequence();
        w.text(0x0040A010, "CS", "CONTAINS");
        w.text(0x0040A040, "CS", "IMAGE");
        w.end_item();
    }
    w.end_sequence();
    return std::move(w.out);
}

namespace {

using Elements = std::vector<ElementRef>;

std::string text(const Elements& es, Tag t) {
    const ElementRef* e = find_element(es, t);
    return e ? std::string(value_text(*e)) : std::string();
}

}  // namespace

KoRead read_ko(std::span<const std::uint8_t> bytes) {
    std::vector<std::uint8_t> owned;
    const auto parsed = bridge::little_endian_top_level(bytes, owned);
    if (!parsed) throw std::runtime_error("read_ko: not a DICOM data set");
    const Elements& top = *parsed;
    if (text(top, 0x00080016) != kKoClass) throw std::runtime_error("read_ko: not a Key Object Selection document");
    KoRead r;
    KoDocument& d = r.document;
    d.patient_name = text(top, 0x00100010), d.patient_id = text(top, 0x00100020);
    d.study_uid = text(top, 0x0020000D), d.study_date = text(top, 0x00080020), d.study_time = text(top, 0x00080030);
    d.study_id = text(top, 0x00200010), d.accession_number = text(top, 0x00080050);
    d.sop_instance_uid = text(top, 0x00080018), d.series_instance_uid = text(top, 0x0020000E);
    const auto title = sequence_items(find_element(top, 0x0040A043));
    if (!title.empty()) {
        d.title_value = text(title[0], 0x00080100);
        d.title_scheme = text(title[0], 0x00080102);
        d.title_meaning = text(title[0], 0x00080104);
    }
    // Study and series of every instance from the evidence.
    std::map<std::string, std::pair<std::string, std::string>> where;
    for (const Elements& study : sequence_items(find_element(top, 0x0040A375))) {
        const std::string study_uid = text(study, 0x0020000D);
        for (const Elements& series : sequence_items(find_element(study, 0x00081115))) {
            const std::string series_uid = text(series, 0x0020000E);
            if (d.retrieve_ae_title.empty()) d.retrieve_ae_title = text(series, 0x00080054);
            if (d.retrieve_location_uid.empty()) d.retrieve_location_uid = text(series, 0x0040E011);
            for (const Elements& sop : sequence_items(find_element(series, 0x00081199)))
                where.emplace(text(sop, 0x00081155), std::pair(study_uid, series_uid));
        }
    }
    for (const Elements& content : sequence_items(find_element(top, 0x0040A730))) {
        for (const Elements& ref : sequence_items(find_element(content, 0x00081199))) {
            KoReference k;
            k.sop_class_uid = text(ref, 0x00081150);
            k.sop_instance_uid = text(ref, 0x00081155);
            if (auto it = where.find(k.sop_instance_uid); it != where.end()) k.study_uid = it->second.first, k.series_uid = it->second.second;
            std::vector<std::uint32_t> frames;
            const std::string frame_text = text(ref, 0x00081160);
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
