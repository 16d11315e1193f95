#include "core/dictionary.hpp"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <vector>

namespace loamwerk {

namespace {
// Bit i of kVrBits[c1 - 'A'] is set when the code (c1, 'A' + i) is a VR.
struct VrSets {
    std::uint32_t valid[26] = {};
    std::uint32_t long_len[26] = {};
    std::uint32_t text[26] = {};
};

constexpr VrSets make_vr_sets() {
    VrSets s;
    constexpr const char* all[] = {"AE", "AS", "AT", "CS", "DA", "DS", "DT", "FD", "FL", "IS", "LO", "LT",
                                   "OB", "OD", "OF", "OL", "OV", "OW", "PN", "SH", "SL", "SQ", "SS", "ST",
                                   "SV", "TM", "UC", "UI", "UL", "UN", "UR", "US", "UT", "UV"};
    constexpr const char* lng[] = {"OB", "OD", "OF", "OL", "OV", "OW", "SQ", "SV", "UC", "UN", "UR", "UT", "UV"};
    for (const char* v : all) s.valid[v[0] - 'A'] |= 1u << (v[1] - 'A');
    constexpr const char* txt[] = {"AE", "AS", "CS", "DA", "DS", "DT", "IS", "LO", "LT", "PN", "SH", "ST",
                                   "TM", "UC", "UI", "UR", "UT"};
    for (const char* v : lng) s.long_len[v[0] - 'A'] |= 1u << (v[1] - 'A');
    for (const char* v : txt) s.text[v[0] - 'A'] |= 1u << (v[1] - 'A');
    return s;
}
constexpr VrSets kVrSets = make_vr_sets();

bool vr_bit(const std::uint32_t* set, VR v) {
    const unsigned a = (v & 0xFF) - 'A', b = (v >> 8) - 'A';
    return a < 26 && b < 26 && ((set[a] >> b) & 1u);
}
}  // namespace

bool is_vr(VR v) { return vr_bit(kVrSets.valid, v); }
bool has_long_length(VR v) { return vr_bit(kVrSets.long_len, v); }
bool is_text_vr(VR v) { return vr_bit(kVrSets.text, v); }

std::string_view vr_text(VR v) {
    if (!is_vr(v)) return {};
    for (const auto& code : dict::tables::kVrCodes)
        if (make_vr(code[0], code[1]) == v) return std::string_view(code, 2);
    return {};
}

}  // namespace loamwerk

namespace loamwerk::dict {

using namespace tables;

namespace {

// Byte-wise comparison where a common prefix puts the shorter string first.
int compare_bytes(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = std::uint8_t(a[i]), y = std::uint8_t(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

TagInfo info_of(std::string_view kw, std::string_view name, std::string_view vr, std::string_view vm,
                bool retired) {
    return TagInfo{kw, name, vr, vm, retired, true};
}

// Creator comparison that ignores case, leading blanks and NULs, collapses inner runs of
// blanks/NULs to one space and drops trailing ones.
int compare_creator_normalised(std::string_view a, std::string_view b) {
    auto blank = [](char c) { return c == ' ' || c == '\0'; };
    auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; };
    std::size_t i = 0, j = 0;
    while (i < a.size() && blank(a[i])) ++i;
    while (j < b.size() && blank(b[j])) ++j;
    for (;;) {
        // Each side yields the next normalised character, or -1 at its end.
        auto next = [&](std::string_view s, std::size_t& k) -> int {
            if (k >= s.size()) return -1;
            if (blank(s[k])) {
                while (k < s.size() && blank(s[k])) ++k;
                return k >= s.size() ? -1 : ' ';
            }
            return std::uint8_t(upper(s[k++]));
        };
        const int x = next(a, i), y = next(b, j);
        if (x != y) return x < y ? -1 : 1;
        if (x < 0) return 0;
    }
}

const std::vector<const TagDictionaryEntry*>& keyword_index() {
    static std::once_flag once;
    static std::vector<const TagDictionaryEntry*> index;
    std::call_once(once, [] {
        index.reserve(kTagCount);
        for (std::size_t i = 0; i < kTagCount; ++i)
            if (!kTags[i].keyword.empty()) index.push_back(&kTags[i]);
        std::stable_sort(index.begin(), index.end(), [](auto* x, auto* y) {
            return compare_bytes(x->keyword, y->keyword) < 0;
        });
    });
    return index;
}

int compare_private_key(const PrivateDictionaryEntry& e, std::string_view creator, std::uint16_t group,
                        std::uint8_t elem, bool normalised) {
    const int c = normalised ? compare_creator_normalised(e.creator, creator) : compare_bytes(e.creator, creator);
    if (c) return c;
    if (e.group != group) return e.group < group ? -1 : 1;
    if (e.element != elem) return e.element < elem ? -1 : 1;
    return 0;
}

const std::vector<const PrivateDictionaryEntry*>& tolerant_private_index() {
    static std::once_flag once;
    static std::vector<const PrivateDictionaryEntry*> index;
    std::call_once(once, [] {
        index.reserve(kPrivateCount);
        for (std::size_t i = 0; i < kPrivateCount; ++i) index.push_back(&kPrivate[i]);
        std::stable_sort(index.begin(), index.end(), [](auto* x, auto* y) {
            return compare_private_key(*x, y->creator, y->group, y->element, true) < 0;
        });
    });
    return index;
}

TagInfo private_info(const PrivateDictionaryEntry& e) {
    return info_of(e.keyword, e.name, e.vr, e.vm, e.retired != 0);
}

// Binary search of a sorted element list.
bool contains_sorted(const std::uint16_t* first, std::size_t n, std::uint16_t value, std::size_t* at) {
    const std::uint16_t* it = std::lower_bound(first, first + n, value);
    if (it == first + n || *it != value) return false;
    if (at) *at = std::size_t(it - first);
    return true;
}

const ImplicitGroup* find_group(const ImplicitGroup* groups, std::size_t n, std::uint16_t group) {
    const ImplicitGroup* it =
        std::lower_bound(groups, groups + n, group, [](const ImplicitGroup& g, std::uint16_t v) { return g.group < v; });
    return (it != groups + n && it->group == group) ? it : nullptr;
}

}  // namespace

TagInfo lookup_tag(Tag tag) {
    const TagDictionaryEntry* end = kTags + kTagCount;
    const TagDictionaryEntry* it =
        std::lower_bound(kTags, end, tag, [](const TagDictionaryEntry& e, Tag t) { return e.tag < t; });
    if (it != end && it->tag == tag) return info_of(it->keyword, it->name, it->vr, it->vm, it->retired != 0);
    if (tag_element(tag) == 0) return info_of("GroupLength", "Group Length", "UL", "1", false);
    if (is_private_group(tag_group(tag))) return {};
    for (std::size_t i = 0; i < kRepeatingCount; ++i) {
        const RepeatingTagEntry& r = kRepeating[i];
        if ((tag & r.mask) == r.value) return info_of(r.keyword, r.name, r.vr, r.vm, r.retired != 0);
    }
    return {};
}

std::optional<Tag> tag_for_keyword(std::string_view keyword) {
    if (keyword.empty()) return std::nullopt;
    const auto& index = keyword_index();
    auto it = std::lower_bound(index.begin(), index.end(), keyword, [](const TagDictionaryEntry* e, std::string_view k) {
        return compare_bytes(e->keyword, k) < 0;
    });
    if (it != index.end() && (*it)->keyword == keyword) return (*it)->tag;
    return std::nullopt;
}

TagInfo lookup_private(std::string_view creator, std::uint16_t group, std::uint8_t elem_low) {
    const PrivateDictionaryEntry* end = kPrivate + kPrivateCount;
    const PrivateDictionaryEntry* it = std::lower_bound(kPrivate, end, 0, [&](const PrivateDictionaryEntry& e, int) {
        return compare_private_key(e, creator, group, elem_low, false) < 0;
    });
    if (it != end && compare_private_key(*it, creator, group, elem_low, false) == 0) return private_info(*it);
    if (creator.empty()) return {};
    const auto& index = tolerant_private_index();
    auto jt = std::lower_bound(index.begin(), index.end(), 0, [&](const PrivateDictionaryEntry* e, int) {
        return compare_private_key(*e, creator, group, elem_low, true) < 0;
    });
    if (jt != index.end() && compare_private_key(**jt, creator, group, elem_low, true) == 0) return private_info(**jt);
    return {};
}

const UidDictionaryEntry* lookup_uid(std::string_view uid) {
    // Bounds are 16-bit: the registry is far below 65,536 rows.
    std::uint16_t lo = 0, hi = std::uint16_t(kUidCount);
    while (lo < hi) {
        const std::uint16_t mid = std::uint16_t(lo + (hi - lo) / 2);
        if (compare_bytes(kUids[mid].uid, uid) < 0) lo = std::uint16_t(mid + 1);
        else hi = mid;
    }
    return (lo < kUidCount && kUids[lo].uid == uid) ? &kUids[lo] : nullptr;
}

std::string_view uid_for_keyword(std::string_view keyword) {
    if (keyword.empty()) return {};
    for (std::size_t i = 0; i < kUidCount; ++i)
        if (kUids[i].keyword == keyword) return kUids[i].uid;
    return {};
}

std::size_t uid_count() { return kUidCount; }
const UidDictionaryEntry& uid_row(std::size_t index) { return kUids[index]; }

bool is_private_sequence(std::string_view creator, std::uint16_t group, std::uint8_t elem_low) {
    while (!creator.empty() && (creator.back() == '\0' || creator.back() == ' ')) creator.remove_suffix(1);
    if (creator.empty() || creator.size() > 64) return false;
    const std::string_view* cend = kSeqCreators + kSeqCreatorCount;
    const std::string_view* c = std::lower_bound(kSeqCreators, cend, creator,
                                                 [](std::string_view x, std::string_view y) { return compare_bytes(x, y) < 0; });
    if (c == cend || *c != creator) return false;
    const auto number = std::uint16_t(c - kSeqCreators + 1);
    const PrivateSeqKey* kend = kSeqKeys + kSeqKeyCount;
    const PrivateSeqKey* k = std::lower_bound(kSeqKeys, kend, 0, [&](const PrivateSeqKey& key, int) {
        return key.creator_number != number ? key.creator_number < number : key.group < group;
    });
    if (k == kend || k->creator_number != number || k->group != group) return false;
    return std::binary_search(kSeqElements + k->start, kSeqElements + k->start + k->count, elem_low);
}

VR implicit_vr(std::uint16_t group, std::uint16_t element) {
    if (is_private_group(group) && element >= 0x0010 && element <= 0x00FF) return vr::LO;
    if (const ImplicitGroup* g = find_group(kImplicitSqGroups, kImplicitSqGroupCount, group))
        if (contains_sorted(kImplicitSqElements + g->start, g->count, element, nullptr)) return vr::SQ;
    if (const ImplicitGroup* g = find_group(kImplicitVrGroups, kImplicitVrGroupCount, group)) {
        std::size_t at = 0;
        if (contains_sorted(kImplicitVrElements + g->start, g->count, element, &at)) {
            const char* code = kVrCodes[kImplicitVrIndex[g->start + at]];
            return make_vr(code[0], code[1]);
        }
    }
    return 0;
}

VR dictionary_vr(Tag tag) {
    const TagInfo info = lookup_tag(tag);
    if (!info.found) return 0;
    if (info.vr.size() == 2) return make_vr(info.vr);
    if (info.vr.substr(0, 8) == "US or SS" && info.vr.size() == 8) return vr::US;
    if (info.vr.find("OW") != std::string_view::npos) return vr::OW;
    return 0;
}

std::string tag_text(Tag tag) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "(%04X,%04X)", unsigned(tag_group(tag)), unsigned(tag_element(tag)));
    const TagInfo info = lookup_tag(tag);
    const std::string_view word = !info.keyword.empty() ? info.keyword : info.name;
    return word.empty() ? std::string(hex) : std::string(word) + " " + hex;
}

}  // namespace loamwerk::dict
