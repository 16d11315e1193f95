#include "fileset/dicomdir.hpp"

#include <array>
#include <map>
#include <memory>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/uid.hpp"
#include "core/writer.hpp"
#include "core/wyhash.hpp"
#include "core/tags.hpp"

namespace loamwerk::dicomdir {

namespace {

struct Key {
    Tag tag;
    VR vr;
};
constexpr std::array kPatientKeys{Key{tags::kPatientName, vr::PN}, Key{tags::kPatientID, vr::LO}};
constexpr std::array kStudyKeys{Key{tags::kStudyDate, vr::DA},         Key{tags::kStudyTime, vr::TM},
                                Key{tags::kAccessionNumber, vr::SH},   Key{tags::kStudyDescription, vr::LO},
                                Key{tags::kStudyInstanceUID, vr::UI}, Key{tags::kStudyID, vr::SH}};
constexpr std::array kSeriesKeys{Key{tags::kModality, vr::CS}, Key{tags::kSeriesInstanceUID, vr::UI},
                                 Key{tags::kSeriesNumber, vr::IS}};
constexpr std::array kLeafKeys{Key{tags::kInstanceNumber, vr::IS}};

struct KeyValue {
    Key key;
    std::string value;
};

struct Node {
    std::string_view type;
    bool leaf = false;
    std::string file_id, sop_class, sop_instance, transfer_syntax;
    std::string charset;
    bool has_charset = false;
    std::vector<KeyValue> keys;
    std::vector<std::unique_ptr<Node>> children;
    std::map<std::string, std::size_t, std::less<>> index;  // child key -> position
    std::size_t offset = 0, next_at = 0, lower_at = 0;
};

// Top-level values of one input, padding removed.
class Values {
public:
    Values(const std::vector<ElementRef>& elements) : elements_(elements) {}
    std::string get(Tag tag) const {
        for (const ElementRef& e : elements_)
            if (e.tag == tag) return std::string(trim_padding(as_text(e.value, std::size_t(e.length))));
        return {};
    }
    bool has(Tag tag) const {
        for (const ElementRef& e : elements_)
            if (e.tag == tag) return true;
        return false;
    }

private:
    const std::vector<ElementRef>& elements_;
};

template <std::size_t N>
std::unique_ptr<Node> make_node(std::string_view type, const std::array<Key, N>& keys, const Values& v) {
    auto node = std::make_unique<Node>();
    node->type = type;
    for (const Key& k : keys) node->keys.push_back({k, v.get(k.tag)});
    if (v.has(tags::kSpecificCharacterSet))
        node->has_charset = true, node->charset = v.get(tags::kSpecificCharacterSet);
    return node;
}

template <std::size_t N>
Node& child(Node& parent, const std::string& id, std::string_view type, const std::array<Key, N>& keys,
            const Values& v, bool& created) {
    created = false;
    if (auto it = parent.index.find(id); it != parent.index.end()) return *parent.children[it->second];
    parent.index.emplace(id, parent.children.size());
    parent.children.push_back(make_node(type, keys, v));
    created = true;
    return *parent.children.back();
}

// ---- Type 1 keys an input lacks ---------------------------------------------------------------
// Readers reject records with an empty Type 1 key, so one is invented from the input that
// creates the record: a date or time from the instance's other dates, a modality from its SOP
// class, identifiers from its UIDs, numbers from the record's place; the same inputs give the
// same values.

bool type1(std::string_view record, Tag tag) {
    if (record == "PATIENT") return tag == tags::kPatientID;
    if (record == "STUDY")
        return tag == tags::kStudyDate || tag == tags::kStudyTime || tag == tags::kStudyInstanceUID ||
               tag == tags::kStudyID;
    if (record == "SERIES") return tag == tags::kModality || tag == tags::kSeriesInstanceUID || tag == tags::kSeriesNumber;
    return tag == tags::kInstanceNumber;
}

std::string first_of(const Values& v, std::initializer_list<Tag> candidates, std::string_view otherwise) {
    for (Tag t : candidates)
        if (std::string value = v.get(t); !value.empty()) return value;
    return std::string(otherwise);
}

std::string modality_for(std::string_view sop_class) {
    constexpr std::string_view P = "1.2.840.10008.5.1.4.1.1.";
    if (!sop_class.starts_with(P)) return "OT";
    const std::string_view s = sop_class.substr(P.size());
    struct Prefix {
        std::string_view prefix, modality;
    };
    // Longest prefixes first; a prefix matches the whole next component or the class itself.
    static constexpr Prefix kTable[] = {
        {"481.1", "RTIMAGE"}, {"481.2", "RTDOSE"}, {"481.3", "RTSTRUCT"}, {"481.5", "RTPLAN"}, {"481.8", "RTPLAN"},
        {"481", "RTRECORD"},  {"88.59", "KO"},     {"88", "SR"},         {"66.1", "REG"},    {"66.2", "FID"},
        {"66.3", "REG"},      {"66.4", "SEG"},     {"66.5", "SEG"},      {"66", "OT"},       {"11", "PR"},
        {"104.3", "M3D"},     {"104.4", "M3D"},    {"104.5", "M3D"},     {"104", "DOC"},     {"128", "PT"},
        {"130", "PT"},        {"20", "NM"},        {"12.1", "XA"},       {"12.2", "RF"},     {"1.1", "DX"},
        {"1.2", "MG"},        {"1.3", "IO"},       {"1", "CR"},          {"2", "CT"},        {"4", "MR"},
        {"3.1", "US"},        {"6", "US"},         {"77.1.1", "ES"},     {"77.1.2", "GM"},   {"77.1.3", "SM"},
        {"77.1.4", "XC"},     {"77.1.5", "OP"},    {"77.1.6", "SM"},     {"9.1", "ECG"},     {"9.2", "HD"},
        {"9.3", "EPS"},       {"9.4", "AU"},
    };
    for (const Prefix& p : kTable)
        if (s.starts_with(p.prefix) && (s.size() == p.prefix.size() || s[p.prefix.size()] == '.')) return std::string(p.modality);
    return "OT";
}

std::string hex_id(std::string_view prefix, std::string_view seed, std::size_t digits) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::uint64_t h = wyhash(seed.data(), seed.size());
    std::string out(prefix);
    for (std::size_t i = 0; i < digits; ++i, h >>= 4) out.push_back(kHex[h & 15]);
    return out;
}

struct Origin {
    const Values& v;
    std::string_view sop_class, sop_instance, file_id;
    std::size_t place;  // 1-based place of the record among its siblings
};

std::string invent(Tag tag, const Origin& o) {
    const std::string instance(o.sop_instance);
    if (tag == tags::kPatientID) return hex_id("LOAM", "patient\n" + instance, 12);
    if (tag == tags::kStudyID) return hex_id("S", "study\n" + o.v.get(tags::kStudyInstanceUID) + instance, 8);
    if (tag == tags::kStudyInstanceUID) return uid::mint("dicomdir study\n" + instance, kUidRoot);
    if (tag == tags::kSeriesInstanceUID) return uid::mint("dicomdir series\n" + instance, kUidRoot);
    if (tag == tags::kStudyDate)
        return first_of(o.v, {tags::kSeriesDate, tags::kAcquisitionDate, tags::kContentDate, tags::kInstanceCreationDate},
                        "19000101");
    if (tag == tags::kStudyTime)
        return first_of(o.v, {tags::kSeriesTime, tags::kAcquisitionTime, tags::kContentTime, tags::kInstanceCreationTime},
                        "000000");
    if (tag == tags::kModality) return modality_for(o.sop_class);
    return std::to_string(o.place);  // Series Number, Instance Number
}

void fill_type1(Node& node, const Origin& o, Result& r) {
    for (KeyValue& k : node.keys) {
        if (!k.value.empty() || !type1(node.type, k.key.tag)) continue;
        k.value = invent(k.key.tag, o);
        r.invented.push_back({std::string(o.file_id), node.type, k.key.tag, k.value});
    }
}

std::string media_file_id(std::string_view path) {
    std::string id(path);
    for (char& c : id)
        if (c == '/') c = '\\';
    id.erase(0, id.find_first_not_of('\\') == std::string::npos ? id.size() : id.find_first_not_of('\\'));
    return id;
}

constexpr std::string_view kMediaStorageDirectory = "1.2.840.10008.1.3.10";

// The output file: elements, raw tags and places to patch later.
class Out {
public:
    std::vector<std::uint8_t> bytes;
    Out() { bytes.reserve(4096); }
    void text(Tag tag, VR vr, std::string value) {
        pad_value(vr, value);
        EvrElementWriter(bytes).append(tag_group(tag), tag_element(tag), vr,
                                       reinterpret_cast<const std::uint8_t*>(value.data()), value.size());
    }
    std::size_t ul(Tag tag, std::uint32_t value) {
        std::uint8_t v[4];
        store_le32(v, value);
        EvrElementWriter(bytes).append(tag_group(tag), tag_element(tag), vr::UL, v, 4);
        return bytes.size() - 4;
    }
    void us(Tag tag, std::uint16_t value) {
        std::uint8_t v[2];
        store_le16(v, value);
        EvrElementWriter(bytes).append(tag_group(tag), tag_element(tag), vr::US, v, 2);
    }
    void raw_tag(Tag tag, std::uint32_t length) {
        std::uint8_t h[8];
        store_le16(h, tag_group(tag));
        store_le16(h + 2, tag_element(tag));
        store_le32(h + 4, length);
        bytes.insert(bytes.end(), h, h + 8);
    }
    void patch(std::size_t at, std::size_t value) { store_le32(bytes.data() + at, std::uint32_t(value)); }
};

void write_record(Out& out, Node& node) {
    node.offset = out.bytes.size();
    out.raw_tag(tags::kItem, 0xFFFFFFFFu);
    node.next_at = out.ul(tags::kOffsetOfTheNextDirectoryRecord, 0);
    out.us(tags::kRecordInUseFlag, 0xFFFF);
    node.lower_at = out.ul(tags::kOffsetOfReferencedLowerLevelDirectoryEntity, 0);
    out.text(tags::kDirectoryRecordType, vr::CS, std::string(node.type));
    if (node.leaf) {
        out.text(tags::kReferencedFileID, vr::CS, node.file_id);
        out.text(tags::kReferencedSOPClassUIDInFile, vr::UI, node.sop_class);
        out.text(tags::kReferencedSOPInstanceUIDInFile, vr::UI, node.sop_instance);
        out.text(tags::kReferencedTransferSyntaxUIDInFile, vr::UI, node.transfer_syntax);
    }
    if (node.has_charset) out.text(tags::kSpecificCharacterSet, vr::CS, node.charset);
    for (const KeyValue& k : node.keys) out.text(k.key.tag, k.key.vr, k.value);
    out.raw_tag(tags::kItemDelimitationItem, 0);
    for (auto& c : node.children) write_record(out, *c);
}

void patch_offsets(Out& out, Node& node) {
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        Node& c = *node.children[i];
        if (i + 1 < node.children.size()) out.patch(c.next_at, node.children[i + 1]->offset);
        if (!c.children.empty()) out.patch(c.lower_at, c.children.front()->offset);
        patch_offsets(out, c);
    }
}

void write_file(Out& out, Node& root, std::string_view file_set_id, const std::string& instance_uid) {
    out.bytes.assign(128, 0);
    out.bytes.insert(out.bytes.end(), {'D', 'I', 'C', 'M'});
    const std::size_t group_length_at = out.ul(tags::kFileMetaInformationGroupLength, 0);
    const std::uint8_t version[2] = {0, 1};
    EvrElementWriter(out.bytes).append(0x0002, 0x0001, vr::OB, version, 2);
    out.text(tags::kMediaStorageSOPClassUID, vr::UI, std::string(kMediaStorageDirectory));
    out.text(tags::kMediaStorageSOPInstanceUID, vr::UI, instance_uid);
    out.text(tags::kTransferSyntaxUID, vr::UI, "1.2.840.10008.1.2.1");
    out.text(tags::kImplementationClassUID, vr::UI, std::string(kImplementationClassUid));
    out.patch(group_length_at, out.bytes.size() - (group_length_at + 4));

    out.text(tags::kFileSetID, vr::CS, std::string(file_set_id));
    const std::size_t first_at = out.ul(tags::kOffsetOfTheFirstDirectoryRecordOfTheRootDirectoryEntity, 0);
    const std::size_t last_at = out.ul(tags::kOffsetOfTheLastDirectoryRecordOfTheRootDirectoryEntity, 0);
    out.us(tags::kFileSetConsistencyFlag, 0);
    const std::uint8_t sq[12] = {0x04, 0x00, 0x20, 0x12, 'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    out.bytes.insert(out.bytes.end(), sq, sq + 12);
    for (auto& patient : root.children) write_record(out, *patient);
    out.raw_tag(tags::kSequenceDelimitationItem, 0);

    patch_offsets(out, root);
    out.patch(first_at, root.children.front()->offset);
    out.patch(last_at, root.children.back()->offset);
}

Encoding dataset_encoding(std::string_view ts) {
    return ts == "1.2.840.10008.1.2" ? Encoding::ImplicitLE : Encoding::ExplicitLE;
}

}  // namespace

std::string_view leaf_record_type(std::string_view uid) {
    constexpr std::string_view P = "1.2.840.10008.5.1.4.1.1.";
    if (!uid.starts_with(P)) return "IMAGE";
    const std::string_view s = uid.substr(P.size());
    if (s == "88.59") return "KEY OBJECT DOC";
    if (s.starts_with("88.")) return "SR DOCUMENT";
    if (s.starts_with("11.")) return "PRESENTATION";
    if (s.starts_with("9.")) return "WAVEFORM";
    if (s == "481.3") return "RT STRUCTURE SET";
    if (s == "481.5" || s == "481.8") return "RT PLAN";
    if (s == "481.2") return "RT DOSE";
    if (s == "481.4" || s == "481.6" || s == "481.7" || s == "481.9") return "RT TREAT RECORD";
    if (s.starts_with("104.")) return "ENCAP DOC";
    if (s == "4.2") return "SPECTROSCOPY";
    if (s == "66.1" || s == "66.3") return "REGISTRATION";
    if (s == "66.2") return "FIDUCIAL";
    if (s.starts_with("66")) return "RAW DATA";
    return "IMAGE";
}

Result build(std::span<const Input> inputs, std::string_view file_set_id) {
    Result r;
    if (inputs.empty()) return r.status = status::kNoInputs, r;
    Node root;
    std::string uid_seed;
    std::vector<ElementRef> elements;
    for (const Input& in : inputs) {
        const FileMetaInfo meta = read_meta_strict(in.part10.data(), in.part10.size());
        const std::string_view ts = meta.transfer_syntax;
        // A DICOMDIR among the inputs describes a file set; it is not a member of one.
        if (!meta.ok() || ts == "1.2.840.10008.1.2.1.99" || ts == "1.2.840.10008.1.2.2" ||
            meta.sop_class == kMediaStorageDirectory) {
            ++r.skipped;
            continue;
        }
        elements.clear();
        const std::size_t off = meta.dataset_offset;
        dataset::parse(in.part10.data() + off, in.part10.size() - off, dataset_encoding(ts), elements);
        const Values v(elements);
        const std::string instance(meta.sop_instance);
        Origin origin{v, meta.sop_class, instance, in.file_id, 0};
        bool created = false;
        auto place = [&](Node& node, const Node& parent) {
            if (!created) return;
            origin.place = parent.children.size();
            fill_type1(node, origin, r);
        };
        Node& patient = child(root, v.get(tags::kPatientID), "PATIENT", kPatientKeys, v, created);
        place(patient, root);
        Node& study = child(patient, v.get(tags::kStudyInstanceUID), "STUDY", kStudyKeys, v, created);
        place(study, patient);
        Node& series = child(study, v.get(tags::kSeriesInstanceUID), "SERIES", kSeriesKeys, v, created);
        place(series, study);
        if (series.index.contains(instance)) continue;  // the first occurrence wins
        Node& leaf = child(series, instance, leaf_record_type(meta.sop_class), kLeafKeys, v, created);
        place(leaf, series);
        leaf.leaf = true;
        leaf.file_id = media_file_id(in.file_id);
        leaf.sop_class = meta.sop_class;
        leaf.sop_instance = instance;
        leaf.transfer_syntax = ts;
        uid_seed.append(instance).push_back('\n');
        uid_seed.append(leaf.file_id).push_back('\n');
    }
    if (root.children.empty()) return r.status = status::kNothingParseable, r;
    for (const auto& p : root.children) {
        for (const auto& st : p->children) {
            r.series += st->children.size();
            for (const auto& se : st->children) r.instances += se->children.size();
        }
        r.studies += p->children.size();
    }
    r.patients = root.children.size();
    Out out;
    write_file(out, root, file_set_id, uid::mint("dicomdir\n" + uid_seed, kUidRoot));
    r.bytes = std::move(out.bytes);
    r.ok = true;
    return r;
}

}  // namespace loamwerk::dicomdir
