#include "iod/elements.hpp"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <string_view>

#include "core/dictionary.hpp"
#include "core/tags.hpp"
#include "core/values.hpp"

namespace loamwerk::iod {

namespace {

using Elements = std::vector<ElementRef>;
constexpr int kMaxDepth = 64;

std::string hex_tag(Tag tag) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "(%04X,%04X)", unsigned(tag_group(tag)), unsigned(tag_element(tag)));
    return hex;
}

std::string word_of(Tag tag) {
    if (tag_element(tag) == 0) return hex_tag(tag);  // a group length: the group says which
    const dict::TagInfo info = dict::lookup_tag(tag);
    return info.keyword.empty() ? hex_tag(tag) : std::string(info.keyword);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool all_digits(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), is_digit); }

int number_at(std::string_view s, std::size_t pos, std::size_t n) {
    int v = 0;
    for (std::size_t i = pos; i < pos + n; ++i) v = v * 10 + (s[i] - '0');
    return v;
}

bool valid_date(std::string_view s) {
    if (s.size() != 8 || !all_digits(s)) return false;
    const int m = number_at(s, 4, 2), d = number_at(s, 6, 2);
    return m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

// HH, HHMM, HHMMSS or HHMMSS.F to HHMMSS.FFFFFF.
bool valid_time(std::string_view s) {
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    if (!all_digits(whole) || (whole.size() != 2 && whole.size() != 4 && whole.size() != 6)) return false;
    if (dot != std::string_view::npos) {
        const std::string_view frac = s.substr(dot + 1);
        if (whole.size() != 6 || frac.empty() || frac.size() > 6 || !all_digits(frac)) return false;
    }
    if (number_at(whole, 0, 2) > 23) return false;
    if (whole.size() >= 4 && number_at(whole, 2, 2) > 59) return false;
    return whole.size() < 6 || number_at(whole, 4, 2) <= 60;  // 60: a leap second
}

// YYYY[MM[DD[HH[MM[SS[.F{1,6}]]]]]] with an optional &ZZXX offset.
bool valid_datetime(std::string_view s) {
    const std::size_t sign = s.find_first_of("+-");
    if (sign != std::string_view::npos) {
        const std::string_view zone = s.substr(sign + 1);
        if (zone.size() != 4 || !all_digits(zone) || number_at(zone, 0, 2) > 14 || number_at(zone, 2, 2) > 59)
            return false;
        s = s.substr(0, sign);
    }
    const std::size_t dot = s.find('.');
    const std::string_view whole = s.substr(0, dot);
    if (!all_digits(whole) || whole.size() < 4 || whole.size() > 14 || whole.size() % 2) return false;
    if (whole.size() >= 6 && (number_at(whole, 4, 2) < 1 || number_at(whole, 4, 2) > 12)) return false;
    if (whole.size() >= 8 && (number_at(whole, 6, 2) < 1 || number_at(whole, 6, 2) > 31)) return false;
    if (whole.size() > 8 && !valid_time(s.substr(8))) return false;
    return dot == std::string_view::npos || whole.size() == 14;
}

// A decimal string: [+-] digits with an optional fraction and exponent.
bool valid_decimal(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) ++i, ++digits;
    }
    if (!digits) return false;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        if (i == s.size() || !is_digit(s[i])) return false;
        while (i < s.size() && is_digit(s[i])) ++i;
    }
    return i == s.size();
}

bool valid_integer(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    long long v = 0;
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && (s.empty() || s.front() != '-' || s.size() > 1) &&
           v >= std::numeric_limits<std::int32_t>::min() && v <= std::numeric_limits<std::int32_t>::max();
}

// Why a UID is malformed, or null.
const char* uid_problem(std::string_view s) {
    if (s.size() > 64) return "is longer than 64 characters";
    for (char c : s)
        if (!is_digit(c) && c != '.') return "has a character other than digits and '.'";
    std::size_t start = 0;
    for (;;) {
        const std::size_t dot = s.find('.', start);
        const std::string_view part = s.substr(start, dot == std::string_view::npos ? s.npos : dot - start);
        if (part.empty()) return "has an empty component";
        if (part.size() > 1 && part.front() == '0') return "has a component with a leading zero";
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    if (s.find_first_not_of("0.") == std::string_view::npos) return "has nothing but zero components";
    return nullptr;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7F; }

// Longest value, in characters; 0: no limit.
std::size_t max_length(VR v) {
    switch (v) {
    case vr::AE: case vr::CS: case vr::DS: case vr::SH: return 16;
    case vr::AS: return 4;
    case vr::DA: return 8;
    case vr::DT: return 26;
    case vr::IS: return 12;
    case vr::LO: case vr::UI: case vr::PN: return 64;  // PN: per component group
    case vr::TM: return 14;
    case vr::ST: return 1024;
    case vr::LT: return 10240;
    default: return 0;
    }
}

bool single_valued(VR v) { return v == vr::LT || v == vr::ST || v == vr::UT || v == vr::UR; }

std::size_t binary_width(VR v) {
    switch (v) {
    case vr::SS: case vr::US: case vr::OW: return 2;
    case vr::AT: case vr::FL: case vr::SL: case vr::UL: case vr::OF: case vr::OL: return 4;
    case vr::FD: case vr::SV: case vr::UV: case vr::OD: case vr::OV: return 8;
    default: return 0;
    }
}

struct VmRange {
    std::size_t min = 1, max = 1, step = 1;  // max 0: no upper bound
};

// "1", "1-3", "1-n", "2-2n", "3-3n" ... ; false for a form with no fixed rule.
bool parse_vm(std::string_view vm, VmRange& r) {
    const std::size_t dash = vm.find('-');
    auto num = [](std::string_view s, std::size_t& v) {
        return std::from_chars(s.data(), s.data() + s.size(), v).ptr == s.data() + s.size() && !s.empty();
    };
    if (dash == std::string_view::npos) return num(vm, r.min) && (r.max = r.min, true);
    const std::string_view lo = vm.substr(0, dash), hi = vm.substr(dash + 1);
    if (!num(lo, r.min)) return false;
    if (hi == "n") return r.max = 0, true;
    if (hi.size() > 1 && hi.back() == 'n') {  // "2-2n": multiples of 2
        if (!num(hi.substr(0, hi.size() - 1), r.step) || r.step == 0) return false;
        return r.max = 0, true;
    }
    return num(hi, r.max);
}

struct Creator {
    Tag tag;
    std::string_view name;
};

const Creator* creator_of(const std::vector<Creator>& creators, Tag tag) {
    for (const Creator& c : creators)
        if (c.tag == tag) return &c;
    return nullptr;
}

class Walker {
public:
    Walker(std::vector<Finding>& out) : out_(out) {}

    void walk(const Elements& item, int depth) {
        if (depth > kMaxDepth) return;
        const std::vector<Creator> creators = private_creators(item);
        for (const ElementRef& e : item) {
            element(e, creators);
            if (e.vr != vr::SQ) continue;
            const Items items = sequence_items(&e);
            for (std::size_t i = 0; i < items.size(); ++i) {
                above_.push_back({e.tag, i});
                walk(items[i], depth + 1);
                above_.pop_back();
            }
        }
    }

private:
    void add(Severity s, const char* layer, Tag tag, std::string message) {
        out_.push_back({s, tag, layer, std::move(message), path_text(above_, tag)});
    }
    std::string where(Tag tag, std::size_t index) const {
        return tag_text(tag) + (index ? " value " + std::to_string(index) : std::string());
    }

    void element(const ElementRef& e, const std::vector<Creator>& creators) {
        const std::uint16_t group = tag_group(e.tag), elem = tag_element(e.tag);
        if (group == 0xFFFE) return;
        if (is_private_group(group)) {
            private_element(e, creators);
            if (elem >= 0x0010 && elem <= 0x00FF) return;  // creators: checked with their group
        } else {
            retired(e);
        }
        if (e.tag == tags::kPixelData && has_undefined_length(e) && e.vr != vr::OB)
            add(Severity::kError, "vr", e.tag,
                "encapsulated " + tag_text(e.tag) + " has VR " + std::string(vr_text(e.vr)) + ", not OB");
        if (e.encoding != Encoding::ImplicitLE) dictionary_vr(e, creators);
        if (!e.value || e.length == 0 || e.vr == vr::UN || e.vr == vr::SQ || !is_vr(e.vr)) return;
        if (is_text_vr(e.vr))
            text_element(e);
        else
            binary_element(e);
    }

    // An explicit VR the dictionary, or the private dictionary of the element's creator, does
    // not give the attribute ("US or SS" gives either).
    void dictionary_vr(const ElementRef& e, const std::vector<Creator>& creators) {
        if (e.vr == vr::UN || !is_vr(e.vr)) return;
        const std::uint16_t group = tag_group(e.tag), elem = tag_element(e.tag);
        dict::TagInfo info;
        if (!is_private_group(group)) {
            info = dict::lookup_tag(e.tag);
        } else if (elem > 0x00FF) {
            const Creator* c = creator_of(creators, make_tag(group, elem >> 8));
            if (c) info = dict::lookup_private(c->name, group, std::uint8_t(elem & 0xFF));
            if (info.name == "Unknown") return;  // an entry that records what one file held, not a definition
        }
        if (!info.found || info.vr.empty() || info.vr.find(vr_text(e.vr)) != std::string_view::npos) return;
        add(Severity::kWarning, "vr", e.tag,
            tag_text(e.tag) + " is encoded as " + std::string(vr_text(e.vr)) + "; the dictionary gives " +
                std::string(info.vr));
    }

    void retired(const ElementRef& e) {
        const std::uint16_t group = tag_group(e.tag);
        if (tag_element(e.tag) == 0 && group != 0x0002 && group != 0x0000) {
            add(Severity::kWarning, "retired", e.tag,
                "group length " + hex_tag(e.tag) + " is retired outside the file meta and command sets");
            return;
        }
        const dict::TagInfo info = dict::lookup_tag(e.tag);
        if (info.found && info.retired) add(Severity::kWarning, "retired", e.tag, tag_text(e.tag) + " is retired");
    }

    // This item's private creators, each naming a block of its group.
    std::vector<Creator> private_creators(const Elements& item) {
        std::vector<Creator> creators;
        for (const ElementRef& e : item) {
            const std::uint16_t group = tag_group(e.tag), elem = tag_element(e.tag);
            if (!is_private_group(group) || elem < 0x0010 || elem > 0x00FF) continue;
            if (e.vr != vr::LO && e.vr != vr::UN)
                add(Severity::kError, "private", e.tag,
                    "private creator " + hex_tag(e.tag) + " has VR " + std::string(vr_text(e.vr)) + ", not LO");
            if (value_text(e).empty())
                add(Severity::kError, "private", e.tag, "private creator " + hex_tag(e.tag) + " is empty");
            else
                creators.push_back({e.tag, value_text(e)});
        }
        return creators;
    }

    void private_element(const ElementRef& e, const std::vector<Creator>& creators) {
        const std::uint16_t group = tag_group(e.tag), elem = tag_element(e.tag);
        if (group <= 0x0007 || group == 0xFFFF) {
            add(Severity::kError, "private", e.tag, hex_tag(e.tag) + " is in a group no data set may use");
            return;
        }
        if (elem == 0) {
            add(Severity::kWarning, "retired", e.tag, "group length " + hex_tag(e.tag) + " is retired");
            return;
        }
        if (elem < 0x0010) {
            add(Severity::kError, "private", e.tag, hex_tag(e.tag) + " is not a legal private element");
            return;
        }
        if (elem <= 0x00FF) return;
        const Tag creator = make_tag(group, elem >> 8);
        if (!creator_of(creators, creator))
            add(Severity::kWarning, "private", e.tag,
                "private element " + hex_tag(e.tag) + " has no private creator " + hex_tag(creator));
    }

    void text_element(const ElementRef& e) {
        std::string_view raw = as_text(e.value, std::size_t(e.length));
        // Padding: a trailing NUL for UI, a trailing space for the others.
        if (!raw.empty() && raw.back() == '\0') {
            if (e.vr != vr::UI)
                add(Severity::kError, "vr", e.tag,
                    tag_text(e.tag) + " is padded with a NUL byte; only UI values are padded with NUL");
            raw.remove_suffix(1);
        }
        while (!raw.empty() && raw.back() == ' ') raw.remove_suffix(1);
        const bool multi = !single_valued(e.vr);
        std::size_t index = 0, start = 0, count = 0;
        for (;;) {
            const std::size_t bs = multi ? raw.find('\\', start) : std::string_view::npos;
            const std::string_view value = raw.substr(start, bs == std::string_view::npos ? raw.npos : bs - start);
            ++index, ++count;
            text_value(e, value, count > 1 || bs != std::string_view::npos ? index : 0);
            if (bs == std::string_view::npos) break;
            start = bs + 1;
        }
        multiplicity(e, count);
    }

    void text_value(const ElementRef& e, std::string_view v, std::size_t index) {
        const VR code = e.vr;
        auto bad = [&](const std::string& why) {
            add(Severity::kError, "vr", e.tag,
                where(e.tag, index) + " \"" + printable(v) + "\" is not a valid " + std::string(vr_text(code)) +
                    ": " + why);
        };
        const bool ascii = std::none_of(v.begin(), v.end(), [](char c) { return (unsigned char)c >= 0x80 || c == 0x1B; });
        const bool text = code == vr::LT || code == vr::ST || code == vr::UT;
        for (char c : v) {
            const unsigned char u = (unsigned char)c;
            if (is_control(u) && u != 0x1B && !(text && (u == 0x09 || u == 0x0A || u == 0x0C || u == 0x0D)))
                return bad("control character " + hex_byte(u));
        }
        std::string_view trimmed = v;
        while (!trimmed.empty() && trimmed.front() == ' ') trimmed.remove_prefix(1);
        while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
        if (const std::size_t limit = max_length(code); limit && code != vr::PN && ascii && v.size() > limit)
            return bad("longer than " + std::to_string(limit) + " characters");
        if (trimmed.empty()) return;
        switch (code) {
        case vr::AS:
            if (v.size() != 4 || !all_digits(v.substr(0, 3)) || std::string_view("DWMY").find(v[3]) == v.npos)
                bad("not nnnD, nnnW, nnnM or nnnY");
            break;
        case vr::CS:
            for (char c : trimmed)
                if (!(c >= 'A' && c <= 'Z') && !is_digit(c) && c != ' ' && c != '_')
                    return bad("only upper-case letters, digits, space and underscore are allowed");
            break;
        case vr::DA:
            if (!valid_date(trimmed)) bad("not a date YYYYMMDD");
            break;
        case vr::TM:
            if (!valid_time(trimmed)) bad("not a time HHMMSS.FFFFFF");
            break;
        case vr::DT:
            if (!valid_datetime(trimmed)) bad("not a date-time YYYYMMDDHHMMSS.FFFFFF&ZZXX");
            break;
        case vr::DS:
            if (!valid_decimal(trimmed)) bad("not a decimal number");
            break;
        case vr::IS:
            if (!valid_integer(trimmed)) bad("not an integer from -2^31 to 2^31-1");
            break;
        case vr::UI:
            if (const char* why = uid_problem(v)) bad(why);
            break;
        case vr::AE:
            if (v.find('\\') != v.npos) bad("backslash");
            break;
        case vr::PN: person_name(e, v, index, ascii, bad); break;
        default: break;
        }
    }

    template <class Bad>
    void person_name(const ElementRef&, std::string_view v, std::size_t, bool ascii, Bad bad) {
        std::size_t groups = 0, start = 0;
        for (;;) {
            const std::size_t eq = v.find('=', start);
            const std::string_view group = v.substr(start, eq == v.npos ? v.npos : eq - start);
            ++groups;
            if (ascii && group.size() > 64) return bad("a component group is longer than 64 characters");
            if (std::count(group.begin(), group.end(), '^') > 4) return bad("more than five components");
            if (eq == v.npos) break;
            start = eq + 1;
        }
        if (groups > 3) bad("more than three component groups");
    }

    void binary_element(const ElementRef& e) {
        const std::size_t width = binary_width(e.vr);
        if (width && e.length % width) {
            add(Severity::kError, "vr", e.tag,
                tag_text(e.tag) + " has " + std::to_string(e.length) + " bytes, not a multiple of " +
                    std::to_string(width) + " as " + std::string(vr_text(e.vr)) + " needs");
            return;
        }
        const bool words = e.vr == vr::OB || e.vr == vr::OW || e.vr == vr::OF || e.vr == vr::OD ||
                           e.vr == vr::OL || e.vr == vr::OV;
        if (width && !words) multiplicity(e, std::size_t(e.length / width));
    }

    void multiplicity(const ElementRef& e, std::size_t count) {
        if (is_private_group(tag_group(e.tag)) || single_valued(e.vr)) return;
        const dict::TagInfo info = dict::lookup_tag(e.tag);
        VmRange r;
        if (!info.found || !parse_vm(info.vm, r)) return;
        const bool ok = count >= r.min && (r.max == 0 || count <= r.max) && (r.step <= 1 || count % r.step == 0);
        if (!ok)
            add(Severity::kError, "vm", e.tag,
                tag_text(e.tag) + " has " + std::to_string(count) + " value(s); the dictionary gives VM " +
                    std::string(info.vm));
    }

    static std::string hex_byte(unsigned char c) {
        char b[8];
        std::snprintf(b, sizeof b, "0x%02X", unsigned(c));
        return b;
    }
    static std::string printable(std::string_view v) {
        std::string out;
        for (char c : v.substr(0, 80)) out += is_control((unsigned char)c) ? '?' : c;
        return v.size() > 80 ? out + "..." : out;
    }

    std::vector<Finding>& out_;
    TagPath above_;
};

void file_meta(const Dataset& ds, std::vector<Finding>& out) {
    const DatasetLayout& layout = ds.layout();
    if (!layout.has_meta) return;
    const FileMetaInfo& meta = layout.meta;
    auto compare = [&](std::string_view in_meta, Tag meta_tag, Tag tag) {
        const ElementRef* e = ds.find(tag);
        if (!e || in_meta.empty()) return;
        const std::string_view value = value_text(*e);
        if (value != in_meta)
            out.push_back({Severity::kError, meta_tag, "file-meta",
                           tag_text(meta_tag) + " \"" + std::string(in_meta) + "\" differs from " + tag_text(tag) +
                               " \"" + std::string(value) + "\"",
                           path_text({}, meta_tag)});
    };
    compare(meta.sop_class, tags::kMediaStorageSOPClassUID, tags::kSOPClassUID);
    compare(meta.sop_instance, tags::kMediaStorageSOPInstanceUID, tags::kSOPInstanceUID);
}

}  // namespace

std::string path_text(const TagPath& above, Tag tag) {
    std::string out;
    for (const auto& [seq, index] : above) out += word_of(seq) + "[" + std::to_string(index) + "].";
    return out + word_of(tag);
}

void check_elements(const Dataset& ds, const std::vector<ElementRef>& meta, std::vector<Finding>& out) {
    file_meta(ds, out);
    Walker walker(out);
    walker.walk(meta, 0);
    walker.walk(ds.elements(), 0);
}

}  // namespace loamwerk::iod
