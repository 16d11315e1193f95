#include "core/charset.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "core/charset_convert.hpp"
#include "core/charset_tables.hpp"
#include "core/dataset.hpp"
#include "core/vr.hpp"
#include "core/tags.hpp"

namespace loamwerk {
namespace {
using namespace charset;

constexpr std::size_t kMaxConverters = 16;
constexpr std::uint8_t kEsc = 0x1B, kSo = 0x0E, kSi = 0x0F;

char upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

bool icontains(std::string_view hay, std::string_view needle) {
    if (needle.empty() || needle.size() > hay.size()) return false;
    for (std::size_t i = 0; i + needle.size() <= hay.size(); ++i)
        if (iequals(hay.substr(i, needle.size()), needle)) return true;
    return false;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\0')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    return s;
}

const TermRow* find_term(std::string_view term) {
    for (std::size_t i = 0; i < kTermCount; ++i)
        if (iequals(kTerms[i].term, term)) return &kTerms[i];
    return nullptr;
}

// Lenient term mapping. The result is built per call: nothing is shared between threads.
const TermRow* normalise_term(std::string_view raw) {
    std::string t;
    t.reserve(std::min<std::size_t>(raw.size(), 127));
    for (char c : raw) {
        const bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
        if (space) {
            if (!t.empty() && t.back() != ' ') t.push_back(' ');
        } else {
            t.push_back(c);
        }
        if (t.size() >= 127) break;
    }
    while (!t.empty() && t.back() == ' ') t.pop_back();
    if (iequals(t, "ISO_IR 6")) return find_term("");
    if (iequals(t, "ISO-8859-1") || iequals(t, "LATIN1") || iequals(t, "LATIN-1")) return find_term("ISO_IR 100");
    if (iequals(t, "UTF8") || iequals(t, "UTF-8")) return find_term("ISO_IR 192");
    static constexpr std::pair<const char*, const char*> kParts[] = {
        {"ISO-8859-2", "ISO_IR 101"}, {"ISO-8859-3", "ISO_IR 109"}, {"ISO-8859-4", "ISO_IR 110"},
        {"ISO-8859-5", "ISO_IR 144"}, {"ISO-8859-6", "ISO_IR 127"}, {"ISO-8859-7", "ISO_IR 126"},
        {"ISO-8859-8", "ISO_IR 138"}, {"ISO-8859-9", "ISO_IR 148"}, {"ISO-8859-15", "ISO_IR 203"}};
    for (const auto& [from, to] : kParts)
        if (iequals(t, from)) return find_term(to);
    auto fold = [](std::string_view s) {
        std::string f(s);
        for (char& c : f) c = (c == '_' || c == '-') ? ' ' : upper(c);
        return f;
    };
    const std::string wanted = fold(t);
    for (std::size_t i = 0; i < kTermCount; ++i)
        if (fold(kTerms[i].term) == wanted) return &kTerms[i];
    return nullptr;
}

const CodePage* find_code_page(std::string_view name) {
    for (std::size_t i = 0; i < kCodePageCount; ++i)
        if (iequals(kCodePages[i].name, name)) return &kCodePages[i];
    return nullptr;
}

enum class Kind { Ascii, Utf8, Table, JisX0201, Library };
// How bytes are prepared before the conversion library sees them: the two-byte ISO 2022
// sets arrive as 7-bit pairs, which are their EUC forms without the high bit.
enum class Prep { None, HighBit, Jis0212 };

struct Converter {
    std::string term;  // owned copy
    std::string name;
    Kind kind = Kind::Ascii;
    const CodePage* table = nullptr;
    std::unique_ptr<LibraryConverter> library;
    int bytes_per_char = 1;
    bool g1 = false;  // an ISO 2022 set designated to G1
    Prep prep = Prep::None;
    bool ascii_backslash = false;  // Shift_JIS: the library's yen and overline are ASCII here
};

bool is_two_byte_term(std::string_view term) {
    return iequals(term, "ISO 2022 IR 58") || iequals(term, "ISO 2022 IR 87") ||
           iequals(term, "ISO 2022 IR 149") || iequals(term, "ISO 2022 IR 159");
}

// The code-extension terms that need an ASCII G0 beside them.
bool is_code_extension_term(std::string_view term) {
    static constexpr const char* kTermsNeedingG0[] = {
        "ISO 2022 IR 13", "ISO 2022 IR 58", "ISO 2022 IR 87", "ISO 2022 IR 100", "ISO 2022 IR 101",
        "ISO 2022 IR 109", "ISO 2022 IR 110", "ISO 2022 IR 126", "ISO 2022 IR 127", "ISO 2022 IR 138",
        "ISO 2022 IR 144", "ISO 2022 IR 148", "ISO 2022 IR 149", "ISO 2022 IR 159", "ISO 2022 IR 166",
        "ISO 2022 IR 203"};
    for (const char* t : kTermsNeedingG0)
        if (iequals(term, t)) return true;
    return false;
}

// Opens the converter for `c.name`; false with the reason when it cannot be opened.
bool open_converter(Converter& c, const char** why) {
    const std::string_view n = c.name;
    c.bytes_per_char = 1;
    const TermRow* own = find_term(c.term);
    const bool native = own && iequals(own->converter, n);  // not replaced by a workaround
    for (std::size_t i = 0; i < kEscapeCount && native; ++i)
        if (iequals(kEscapes[i].term, c.term)) c.g1 = kEscapes[i].g1;
    if (iequals(n, "ASCII")) {
        c.kind = Kind::Ascii;
        return true;
    }
    if (iequals(n, "UTF-8")) {
        c.kind = Kind::Utf8;
        return true;
    }
    if (iequals(n, "JIS_X0201")) {
        c.kind = Kind::JisX0201;
        return true;
    }
    if ((c.table = find_code_page(n))) {
        c.kind = Kind::Table;
        return true;
    }
    std::string_view library_name = n;
    if (iequals(n, "jisx0208:1990")) {
        library_name = "EUC-JP";
        c.prep = Prep::HighBit;
    } else if (iequals(n, "jisx0212")) {
        library_name = "EUC-JP";
        c.prep = Prep::Jis0212;
    } else if (iequals(n, "Shift_JIS")) {
        library_name = "SHIFT_JIS";
        c.ascii_backslash = true;
    }
    if (native && is_two_byte_term(c.term)) {
        c.bytes_per_char = 2;
        if (c.prep == Prep::None) c.prep = Prep::HighBit;
    }
    c.kind = Kind::Library;
    c.library = LibraryConverter::open(library_name);
    if (!c.library) {
        *why = "no conversion to UTF-8";
        return false;
    }
    return true;
}

struct Resolved {
    std::string term;
    std::string converter;  // empty: unknown
    bool iso2022 = false;
};

}  // namespace

struct CharsetDecoder {
    std::string declared;
    unsigned options = 0;
    std::string manufacturer;
    std::vector<Converter> converters;
    bool code_extensions = false;
    charset_log_fn log = nullptr;
    void* log_user = nullptr;
    // Messages from building the converters before a logger was set, delivered by set_logger.
    std::vector<std::pair<int, std::string>> pending;
    bool quiet = false;
    std::string detected_name;
    std::unique_ptr<LibraryConverter> detected;
    std::string scratch;

    bool has(unsigned bit) const { return (options & bit) != 0; }

    [[gnu::format(printf, 3, 4)]] void logf(int level, const char* fmt, ...) {
        if (quiet) return;
        char buf[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        va_end(ap);
        if (log)
            log(level, buf, log_user);
        else
            pending.emplace_back(level, buf);
    }

    BadBytes policy() const {
        return has(kCharsetDiscard) ? BadBytes::Discard : has(kCharsetReplace) ? BadBytes::Replace : BadBytes::Fail;
    }

    Resolved resolve(std::string_view value);
    int build();
    int add_converter(std::string term, std::string name);
    Converter* find_converter(std::string_view term);

    int convert(Converter& c, const std::uint8_t* v, std::size_t n, std::string& out, bool to_g1_range = false);
    int bad_byte(std::uint8_t b, std::string& out);
    int ascii_path(const std::uint8_t* v, std::size_t n, std::string& out, bool single);
    int single_set(const std::uint8_t* v, std::size_t n, std::string& out);
    int iso2022(const std::uint8_t* v, std::size_t n, const char* delimiters, std::string& out);
    int decode(const std::uint8_t* v, std::size_t n, const char* delimiters, bool ascii_only, bool single,
               std::string& out);
};

Resolved CharsetDecoder::resolve(std::string_view value) {
    Resolved r;
    r.term = std::string(value);
    const TermRow* row = find_term(value);
    if (!row && has(kCharsetLenient)) {
        row = normalise_term(value);
        if (row) logf(kLogRepair, "Charset '%.*s' mapped to '%s'", int(value.size()), value.data(), row->term);
    }
    if (row) {
        r.term = row->term;
        r.converter = row->converter;
        r.iso2022 = row->iso2022;
        if (has(kCharsetVendor) && !manufacturer.empty()) {
            for (std::size_t i = 0; i < kVendorRowCount; ++i) {
                const VendorRow& w = kVendorRows[i];
                if (iequals(w.term, r.term) && icontains(manufacturer, w.pattern)) {
                    r.converter = w.converter;
                    logf(kLogRepair, "Vendor workaround: '%s' -> '%s'", r.term.c_str(), w.converter);
                    break;
                }
            }
        }
    }
    return r;
}

int CharsetDecoder::add_converter(std::string term, std::string name) {
    Converter c;
    c.term = std::move(term);
    c.name = std::move(name);
    const char* why = "";
    if (!open_converter(c, &why)) {
        if (has(kCharsetLenient) || has(kCharsetTolerant)) {
            logf(kLogWarning, "Failed to open converter for '%s' (%s), skipping", c.term.c_str(), why);
            return kCharsetOk;
        }
        return kCharsetCannotOpen;
    }
    converters.push_back(std::move(c));
    return kCharsetOk;
}

Converter* CharsetDecoder::find_converter(std::string_view term) {
    for (Converter& c : converters)
        if (iequals(c.term, term)) return &c;
    return nullptr;
}

int CharsetDecoder::build() {
    converters.clear();
    code_extensions = false;
    const std::string_view text = trim(declared);
    std::vector<std::string> values;
    if (text.empty()) {
        values.emplace_back();
    } else {
        std::size_t start = 0;
        for (std::size_t i = 0; values.size() < kMaxConverters; ++i) {
            if (i < text.size() && text[i] != '\\') continue;
            const std::string_view v = trim(text.substr(start, i - start));
            if (!v.empty()) {
                values.emplace_back(v);
            } else if (start == 0) {
                logf(kLogInfo, "Empty first value, assuming ISO 2022 IR 6");
                values.emplace_back("ISO 2022 IR 6");
            }
            if (i >= text.size()) break;
            start = i + 1;
        }
        code_extensions = text.find('\\') != std::string_view::npos;
    }

    bool needs_g0 = false, has_ascii = false;
    for (const std::string& v : values) {
        Resolved r = resolve(v);
        if (r.converter.empty()) {
            if (LibraryConverter::open(v)) {
                r.converter = v;  // the value itself names an encoding the library knows
            } else if (has(kCharsetLenient)) {
                logf(kLogWarning, "Unsupported charset '%s', falling back to ASCII", v.c_str());
                r.converter = "ASCII";
            } else {
                return kCharsetCannotOpen;
            }
        }
        code_extensions = code_extensions || r.iso2022;
        needs_g0 = needs_g0 || is_code_extension_term(r.term);
        has_ascii = has_ascii || iequals(r.term, "ISO 2022 IR 6") || iequals(r.converter, "ASCII");
        if (int rc = add_converter(std::move(r.term), std::move(r.converter)); rc != kCharsetOk) return rc;
    }
    if (needs_g0 && !has_ascii && converters.size() < kMaxConverters) {
        logf(kLogInfo, "Adding ASCII converter for G0");
        add_converter("ISO 2022 IR 6", "ASCII");
    }
    if (converters.empty()) {
        logf(kLogWarning, "No valid converters could be created");
        return kCharsetCannotOpen;
    }
    const bool has13 = find_converter("ISO 2022 IR 13"), has14 = find_converter("ISO 2022 IR 14");
    if (has14 && !has13 && converters.size() < kMaxConverters) {
        logf(kLogInfo, "Adding IR 13 (JIS X 0201 Katakana) as pair for IR 14");
        add_converter("ISO 2022 IR 13", "JIS_X0201");
    } else if (has13 && !has14 && converters.size() < kMaxConverters) {
        logf(kLogInfo, "Adding IR 14 (JIS X 0201 Romaji) as pair for IR 13");
        add_converter("ISO 2022 IR 14", "JIS_X0201");
    }
    return kCharsetOk;
}

namespace {

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

std::size_t utf8_sequence(const std::uint8_t* v, std::size_t n, std::size_t i) {
    return charset::utf8_sequence_length(v + i, n - i);
}

bool valid_utf8(const std::uint8_t* v, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const std::size_t len = utf8_sequence(v, n, i);
        if (!len) return false;
        i += len;
    }
    return true;
}

struct HighStats {
    std::size_t high = 0, c0_df = 0, e0_ff = 0, b80_bf = 0, ge_c0 = 0, e0_fa = 0, adjacent = 0;
};

HighStats high_stats(const std::uint8_t* v, std::size_t n) {
    HighStats s;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint8_t b = v[i];
        if (b < 0x80) continue;
        ++s.high;
        if (b <= 0xBF) ++s.b80_bf;
        else if (b <= 0xDF) ++s.c0_df;
        else ++s.e0_ff;
        if (b >= 0xC0) ++s.ge_c0;
        if (b >= 0xE0 && b <= 0xFA) ++s.e0_fa;
        if ((i > 0 && v[i - 1] >= 0x80) || (i + 1 < n && v[i + 1] >= 0x80)) ++s.adjacent;
    }
    return s;
}

// The bytes read as a whole sequence of double-byte pairs, at least two of them and not all
// looking like an accented Latin letter followed by an ASCII letter.
bool reads_as_pairs(const std::uint8_t* v, std::size_t n, bool second_pass) {
    std::size_t pairs = 0;
    bool all_latin = true;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = v[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b == 0x80 || b == 0xFF || i + 1 >= n) return false;
        const std::uint8_t t = v[i + 1];
        const bool ok = (t >= 0x40 && t <= 0x7E) || (second_pass ? (t >= 0xA1 && t <= 0xFE) : (t >= 0x80 && t <= 0xFE));
        if (!ok) return false;
        ++pairs;
        const bool letter = (t >= 'A' && t <= 'Z') || (t >= 'a' && t <= 'z');
        all_latin = all_latin && b >= 0xC0 && letter;
        i += 2;
    }
    return pairs >= 2 && !all_latin;
}

bool cyrillic_like(const HighStats& s) {
    return s.high >= 3 && s.c0_df > 0 && s.b80_bf == 0 && s.e0_ff * 3 >= s.high * 2;
}

std::string family(std::string_view name) {
    std::string u(name);
    for (char& c : u) c = upper(c);
    if (u == "GB18030") return "GBK";
    if (u == "JISX0208:1990" || u == "JISX0212") return "EUC-JP";
    return u;
}

bool declaration_reasonable(std::string_view name, const std::uint8_t* v, std::size_t n) {
    const std::string f = family(name);
    if (f == "UTF-8") return valid_utf8(v, n);
    const HighStats s = high_stats(v, n);
    if (f == "ASCII") return s.high == 0;
    if (f == "GBK") return reads_as_pairs(v, n, false);
    if (f == "ISO-8859-1" || f == "WINDOWS-1252") {
        if (s.high > 0 && valid_utf8(v, n)) return false;
        if (s.high >= 4 && (reads_as_pairs(v, n, false) || reads_as_pairs(v, n, true))) return false;
        return !cyrillic_like(s);
    }
    return true;
}

// Multi-byte pattern tests of the detector. Each walks the bytes as that encoding's
// sequences; `lead_hits` counts lead bytes in the range the caller cares about.
struct PairScan {
    bool whole = false;
    std::size_t pairs = 0, hits = 0, low_trail = 0, gbk_lead = 0;
};

PairScan scan_pairs(const std::uint8_t* v, std::size_t n, std::uint8_t lead_lo, std::uint8_t lead_hi,
                    bool low_trails, std::uint8_t hit_lo, std::uint8_t hit_hi) {
    PairScan s;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = v[i];
        if (b < 0x80) {
            ++i;
            continue;
        }
        if (b < lead_lo || b > lead_hi || i + 1 >= n) return s;
        const std::uint8_t t = v[i + 1];
        const bool low = low_trails && t >= 0x40 && t <= 0x7E;
        if (!low && !(t >= 0xA1 && t <= 0xFE) && !(low_trails && t >= 0x80 && t <= 0xA0 && lead_lo == 0x81))
            return s;
        ++s.pairs;
        s.low_trail += low || t < 0xA1;
        s.gbk_lead += b < 0xA1;
        s.hits += b >= hit_lo && b <= hit_hi;
        i += 2;
    }
    s.whole = s.pairs >= 2;
    return s;
}

bool shift_jis_like(const std::uint8_t* v, std::size_t n) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < n;) {
        const std::uint8_t b = v[i];
        if (b < 0x80) {
            ++i;
        } else if (b >= 0xA1 && b <= 0xDF) {
            ++i, ++chars;  // half-width katakana
        } else if ((b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC)) {
            if (i + 1 >= n) return false;
            const std::uint8_t t = v[i + 1];
            if (!((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC))) return false;
            i += 2, ++chars;
        } else {
            return false;
        }
    }
    return chars >= 2;
}

// Share of high bytes inside a set of ranges.
template <std::size_t N>
bool mostly_in(const std::uint8_t* v, std::size_t n, const std::pair<std::uint8_t, std::uint8_t> (&ranges)[N],
               std::size_t percent) {
    std::size_t high = 0, in = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (v[i] < 0x80) continue;
        ++high;
        for (const auto& [lo, hi] : ranges)
            if (v[i] >= lo && v[i] <= hi) {
                ++in;
                break;
            }
    }
    return high > 0 && in * 100 >= high * percent;
}

const char* detect_encoding(const std::uint8_t* v, std::size_t n) {
    const HighStats s = high_stats(v, n);
    if (s.high == 0) return "ASCII";
    if (valid_utf8(v, n)) return "UTF-8";
    const bool cyrillic_upper_lower =
        s.high >= 4 && s.c0_df > 0 && s.b80_bf == 0 && s.e0_ff * 3 > s.high * 2;
    // Cyrillic words are runs of high bytes; accented Latin letters mostly stand alone.
    const bool cyrillic_runs = s.high >= 2 && s.ge_c0 * 4 >= s.high * 3 && (s.c0_df > 0 || s.e0_fa > 0) &&
                               s.adjacent * 2 >= s.high && s.b80_bf * 8 <= s.high;
    if (cyrillic_upper_lower || cyrillic_runs) return "WINDOWS-1251";
    if (s.high < 4) return "ISO-8859-1";

    const PairScan euc = scan_pairs(v, n, 0xA1, 0xFE, false, 0xA4, 0xA5);
    const bool kana = euc.whole && euc.hits * 10 >= euc.pairs * 3;
    const PairScan hangul = scan_pairs(v, n, 0xA1, 0xFE, false, 0xB0, 0xC8);
    const bool korean = hangul.whole && hangul.hits * 10 >= hangul.pairs * 9;
    const PairScan gbk = scan_pairs(v, n, 0x81, 0xFE, true, 0xB0, 0xF7);
    if (gbk.whole && !kana && !korean && (gbk.low_trail == 0 || gbk.gbk_lead > 0)) return "GBK";
    const PairScan big5 = scan_pairs(v, n, 0xA1, 0xF9, true, 0xA4, 0xF9);
    if (big5.whole && big5.low_trail > 0) return "BIG5";
    if (kana) return "EUC-JP";
    if (shift_jis_like(v, n)) return "SHIFT_JIS";
    if (euc.whole) return "EUC-KR";

    static constexpr std::pair<std::uint8_t, std::uint8_t> kHebrew[] = {{0xE0, 0xFA}};
    static constexpr std::pair<std::uint8_t, std::uint8_t> kArabic[] = {{0xAC, 0xAC}, {0xBB, 0xBB}, {0xBF, 0xBF},
                                                                       {0xC1, 0xDA}, {0xE0, 0xF2}};
    static constexpr std::pair<std::uint8_t, std::uint8_t> kGreek[] = {{0xB6, 0xB6}, {0xB8, 0xBA}, {0xBC, 0xBC},
                                                                      {0xBE, 0xD1}, {0xD3, 0xFE}};
    static constexpr std::pair<std::uint8_t, std::uint8_t> kCyrillic[] = {{0xB0, 0xEF}};
    if (s.c0_df == 0 && mostly_in(v, n, kHebrew, 90)) return "ISO-8859-8";
    if (s.c0_df > 0 && mostly_in(v, n, kArabic, 95)) return "ISO-8859-6";
    if (mostly_in(v, n, kGreek, 95) && s.e0_ff > 0) return "ISO-8859-7";
    if (mostly_in(v, n, kCyrillic, 90)) return "ISO-8859-5";
    return "ISO-8859-1";
}

// Shift_JIS libraries give 5C and 7E as yen sign and overline; DICOM values use them as
// backslash (the delimiter) and tilde.
void ascii_backslash_tilde(std::string& s, std::size_t from) {
    std::string fixed;
    fixed.reserve(s.size() - from);
    for (std::size_t i = from; i < s.size();) {
        if (s.compare(i, 2, "\xC2\xA5") == 0) {
            fixed.push_back('\\');
            i += 2;
        } else if (s.compare(i, 3, "\xE2\x80\xBE") == 0) {
            fixed.push_back('~');
            i += 3;
        } else {
            fixed.push_back(s[i++]);
        }
    }
    s.resize(from);
    s += fixed;
}

}  // namespace

int CharsetDecoder::bad_byte(std::uint8_t b, std::string& out) {
    switch (policy()) {
    case BadBytes::Discard:
        logf(kLogRepair, "Discarded undefined byte 0x%02X", b);
        return kCharsetOk;
    case BadBytes::Replace:
        out.push_back('?');
        return kCharsetOk;
    default:
        return kCharsetBadByte;
    }
}

// Converts one run with one converter. `to_g1_range` sets the high bit first: 7-bit bytes
// shifted into G1 stand for the set's GR bytes.
int CharsetDecoder::convert(Converter& c, const std::uint8_t* v, std::size_t n, std::string& out, bool to_g1_range) {
    std::string shifted;
    if (to_g1_range) {
        shifted.assign(reinterpret_cast<const char*>(v), n);
        for (char& ch : shifted) ch = char(std::uint8_t(ch) | 0x80);
        v = reinterpret_cast<const std::uint8_t*>(shifted.data());
    }
    switch (c.kind) {
    case Kind::Ascii:
        for (std::size_t i = 0; i < n; ++i) {
            if (v[i] < 0x80) out.push_back(char(v[i]));
            else if (int rc = bad_byte(v[i], out)) return rc;
        }
        return kCharsetOk;
    case Kind::Utf8:
        for (std::size_t i = 0; i < n;) {
            const std::size_t len = utf8_sequence(v, n, i);
            if (len) {
                out.append(reinterpret_cast<const char*>(v + i), len);
                i += len;
            } else {
                if (int rc = bad_byte(v[i], out)) return rc;
                ++i;
            }
        }
        return kCharsetOk;
    case Kind::Table:
        for (std::size_t i = 0; i < n; ++i) {
            if (v[i] < 0x80) {
                out.push_back(char(v[i]));
                continue;
            }
            const std::uint16_t cp = c.table->high[v[i] - 0x80];
            if (cp != 0xFFFF) put_utf8(out, cp);
            else if (int rc = bad_byte(v[i], out)) return rc;
        }
        return kCharsetOk;
    case Kind::JisX0201:
        for (std::size_t i = 0; i < n; ++i) {
            if (v[i] < 0x80) out.push_back(char(v[i]));
            else if (v[i] >= 0xA1 && v[i] <= 0xDF) put_utf8(out, 0xFF61u + (v[i] - 0xA1u));
            else if (int rc = bad_byte(v[i], out)) return rc;
        }
        return kCharsetOk;
    case Kind::Library:
        break;
    }
    std::string prepared;
    if (c.prep == Prep::HighBit && !to_g1_range) {
        prepared.assign(reinterpret_cast<const char*>(v), n);
        for (char& ch : prepared) ch = char(std::uint8_t(ch) | 0x80);
    } else if (c.prep == Prep::Jis0212) {
        for (std::size_t i = 0; i < n; i += 2) {
            prepared.push_back(char(0x8F));
            prepared.push_back(char(v[i] | 0x80));
            if (i + 1 < n) prepared.push_back(char(v[i + 1] | 0x80));
        }
    }
    if (!prepared.empty()) v = reinterpret_cast<const std::uint8_t*>(prepared.data()), n = prepared.size();
    const std::size_t from = out.size();
    auto on_bad = [](void* self, std::uint8_t b) {
        auto* d = static_cast<CharsetDecoder*>(self);
        if (d->policy() == BadBytes::Discard) d->logf(kLogRepair, "Discarded undefined byte 0x%02X", b);
    };
    const bool ok = c.library->convert(v, n, out, policy(), on_bad, this);
    if (c.ascii_backslash) ascii_backslash_tilde(out, from);
    return ok ? kCharsetOk : kCharsetBadByte;
}

int CharsetDecoder::ascii_path(const std::uint8_t* v, std::size_t n, std::string& out, bool single) {
    bool logged = false;
    for (std::size_t i = 0; i < n; ++i) {
        if (v[i] < 0x80) {
            out.push_back(char(v[i]));
            continue;
        }
        if (single || !(has(kCharsetDiscard) || has(kCharsetReplace))) return kCharsetBadByte;
        if (!logged) logf(kLogRepair, "Non-ASCII byte in ASCII-only VR");
        logged = true;
        if (!has(kCharsetDiscard)) out.push_back('?');
    }
    return kCharsetOk;
}

int CharsetDecoder::single_set(const std::uint8_t* v, std::size_t n, std::string& out) {
    Converter& first = converters.front();
    const bool all_ascii = std::none_of(v, v + n, [](std::uint8_t b) { return b >= 0x80; });
    const std::string_view name = first.name;
    const bool ascii_unsafe = iequals(name, "Shift_JIS") || iequals(name, "JIS_X0201") || icontains(name, "UTF-16") ||
                              icontains(name, "UTF-32") || icontains(name, "UCS-2") || icontains(name, "UCS-4");
    if (all_ascii && !ascii_unsafe) {
        out.append(reinterpret_cast<const char*>(v), n);
        return kCharsetOk;
    }
    if (has(kCharsetDetect)) {
        if (declaration_reasonable(name, v, n)) {
            logf(kLogDetail, "Charset declaration '%s' appears reasonable, trusting it", declared.c_str());
        } else {
            const char* found = detect_encoding(v, n);
            if (family(found) != family(name) && !iequals(found, "GB18030")) {
                if (iequals(found, "WINDOWS-1251") || iequals(found, "UTF-8")) {
                    logf(kLogRepair, "Detected %s instead of '%s' (declaration unreasonable)",
                         iequals(found, "UTF-8") ? "UTF-8" : "Windows-1251", declared.c_str());
                    Converter c;
                    c.name = found;
                    const char* why = "";
                    open_converter(c, &why);  // built in: cannot fail
                    return convert(c, v, n, out);
                }
                if (detected_name != found) {
                    detected = LibraryConverter::open(found);
                    detected_name = detected ? found : "";
                }
                if (detected) {
                    logf(kLogRepair, "Using detected '%s' instead of '%s' (declaration unreasonable)", found,
                         declared.c_str());
                    Converter c;
                    c.name = found;
                    c.kind = Kind::Library;
                    c.library = std::move(detected);
                    const int rc = convert(c, v, n, out);
                    detected = std::move(c.library);  // stays cached in the decoder
                    return rc;
                }
            }
        }
    }
    return convert(first, v, n, out);
}

int CharsetDecoder::iso2022(const std::uint8_t* v, std::size_t n, const char* delimiters, std::string& out) {
    const bool has_esc = n && std::memchr(v, kEsc, n);
    if (has(kCharsetDetect) && !has_esc && !declaration_reasonable(converters.front().name, v, n))
        return single_set(v, n, out);

    // The initial state: G0 is the first converter, unless that is a G1 or two-byte set, in
    // which case ASCII is G0 and a G1 set stays invoked for the 8-bit bytes. Converters are
    // only ever appended, so the sets are held as indexes.
    constexpr std::size_t kNone = std::size_t(-1);
    std::size_t initial_g0 = 0, initial_g1 = kNone;
    const Converter& first = converters.front();
    if (first.g1 || first.bytes_per_char == 2) {
        for (std::size_t k = 0; k < converters.size(); ++k)
            if (iequals(converters[k].term, "ISO 2022 IR 6")) initial_g0 = k;
        if (first.g1) initial_g1 = 0;
    }
    std::size_t g0 = initial_g0, g1 = initial_g1;
    bool shifted = false;
    bool first_group = delimiters && std::strchr(delimiters, '=');  // inside a PN's first group
    // The set that converts a byte: 8-bit bytes go to G1 when one is designated; 7-bit bytes
    // to G0, or to G1 while shifted out.
    auto set_for = [&](bool high) { return (high || shifted) && g1 != kNone ? g1 : g0; };

    auto flush = [&](std::size_t from, std::size_t to) -> int {
        while (from < to) {
            const bool high = v[from] >= 0x80;
            std::size_t end = from;
            while (end < to && (v[end] >= 0x80) == high) ++end;
            const std::size_t c = set_for(high);
            if (int rc = convert(converters[c], v + from, end - from, out, !high && c == g1)) return rc;
            from = end;
        }
        return kCharsetOk;
    };

    std::size_t start = 0, i = 0;
    while (i < n) {
        const std::uint8_t b = v[i];
        const bool single_byte_g0 = converters[set_for(false)].bytes_per_char == 1;
        const bool control_reset = b == '\t' || b == '\n' || b == '\f' || b == '\r';
        const bool delimiter_reset = single_byte_g0 && b != 0 && delimiters && std::strchr(delimiters, b);
        if (control_reset || delimiter_reset) {
            if (int rc = flush(start, i)) return rc;
            out.push_back(char(b));
            g0 = initial_g0, g1 = initial_g1, shifted = false;
            if (b == '=') first_group = false;
            start = ++i;
            continue;
        }
        if (b == kSo || b == kSi) {
            if (int rc = flush(start, i)) return rc;
            if (b == kSo && g1 == kNone) logf(kLogRepair, "SO without G1 charset");
            shifted = b == kSo;
            start = ++i;
            continue;
        }
        if (b != kEsc) {
            // An ordinary byte; a two-byte set takes its pair whole.
            i += (converters[set_for(b >= 0x80)].bytes_per_char == 2 && i + 1 < n) ? 2 : 1;
            continue;
        }
        if (int rc = flush(start, i)) return rc;
        if (first_group) logf(kLogRepair, "ESC in first PN component group");
        const std::size_t rem = n - i - 1;
        const std::uint8_t* seq = v + i + 1;
        const bool three_byte_form = rem >= 2 && seq[0] == '$' && (seq[1] == '(' || seq[1] == ')');
        if (rem < 2 || (three_byte_form && rem < 3)) {
            if (!has(kCharsetTolerant)) return kCharsetBadEscape;
            logf(kLogRepair, "Incomplete ESC at pos %zu", i);
            return kCharsetOk;
        }
        const EscapeRow* row = nullptr;
        for (std::size_t k = 0; k < kEscapeCount && !row; ++k) {
            const std::size_t len = std::strlen(kEscapes[k].sequence);
            if (len <= rem && std::memcmp(seq, kEscapes[k].sequence, len) == 0) row = &kEscapes[k];
        }
        if (!row) {
            if (!has(kCharsetTolerant)) return kCharsetBadEscape;
            logf(kLogRepair, "Unknown ESC at pos %zu", i);
            // Only "$" with an intermediate byte makes a three-byte designation; skipping more
            // would swallow a character of the value.
            const bool three = seq[0] == '$' && std::strchr("()*+-./", seq[1]) && rem >= 3;
            start = i += 1 + (three ? 3 : 2);
            continue;
        }
        const std::size_t len = std::strlen(row->sequence);
        std::size_t target = kNone;
        for (std::size_t k = 0; k < converters.size() && target == kNone; ++k)
            if (iequals(converters[k].term, row->term)) target = k;
        if (target == kNone) {
            if (!has(kCharsetTolerant)) return kCharsetUndeclaredEscape;
            const std::size_t before = converters.size();
            if (before < kMaxConverters) {
                logf(kLogRepair, "Dynamically adding undeclared charset '%s' at pos %zu", row->term, i);
                add_converter(row->term, find_term(row->term)->converter);
            } else {
                logf(kLogRepair, "Undeclared charset '%s' at pos %zu, skipping", row->term, i);
            }
            if (converters.size() > before) target = before;
        }
        if (target != kNone) (row->g1 ? g1 : g0) = target;
        start = i += 1 + len;
    }
    return flush(start, n);
}

int CharsetDecoder::decode(const std::uint8_t* v, std::size_t n, const char* delimiters, bool ascii_only, bool single,
                           std::string& out) {
    out.clear();
    if (ascii_only) return ascii_path(v, n, out, single);
    if (code_extensions || (n && std::memchr(v, kEsc, n))) return iso2022(v, n, delimiters, out);
    return single_set(v, n, out);
}

namespace {

// Copies `text` with its terminator into the caller's buffer; a short buffer gets what fits,
// cut at a character boundary.
int emit(const std::string& text, char* out, std::size_t capacity, std::size_t* out_length, int rc) {
    if (!out || !capacity) return kCharsetMissingArgument;
    std::size_t n = text.size();
    if (n + 1 > capacity) {
        n = capacity - 1;
        while (n > 0 && (std::uint8_t(text[n]) & 0xC0) == 0x80) --n;
        if (rc == kCharsetOk) rc = kCharsetOutputTooSmall;
    }
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    if (out_length) *out_length = n + 1;
    return rc;
}

}  // namespace

CharsetDecoder* charset_decoder_open(const char* specific_charset, unsigned options) {
    try {
        auto d = std::make_unique<CharsetDecoder>();
        d->declared = specific_charset ? specific_charset : "";
        d->options = options;
        if (d->build() != kCharsetOk) return nullptr;
        return d.release();  // the caller owns it until charset_decoder_close
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void charset_decoder_close(CharsetDecoder* decoder) { std::unique_ptr<CharsetDecoder> owned(decoder); }

int set_manufacturer(CharsetDecoder* d, const char* manufacturer) {
    if (!d) return kCharsetMissingArgument;
    const std::string next = manufacturer ? std::string(trim(manufacturer)) : std::string();
    if (next == d->manufacturer) return kCharsetOk;
    // Rebuild only when the effective converters change.
    CharsetDecoder probe;
    probe.declared = d->declared, probe.options = d->options, probe.manufacturer = next, probe.quiet = true;
    const int rc = probe.build();
    d->manufacturer = next;
    auto names = [](const CharsetDecoder& x) {
        std::vector<std::string> n;
        for (const Converter& c : x.converters) n.push_back(c.name);
        return n;
    };
    if (rc != kCharsetOk || names(probe) == names(*d)) return kCharsetOk;
    return d->build();
}

int set_logger(CharsetDecoder* d, charset_log_fn log, void* user) {
    if (!d) return kCharsetMissingArgument;
    d->log = log, d->log_user = user;
    if (log) {
        for (const auto& [level, message] : d->pending) log(level, message.c_str(), user);
        d->pending.clear();
    }
    return kCharsetOk;
}

int decode_value(CharsetDecoder* d, const std::uint8_t* value, std::size_t length, char* out, std::size_t capacity,
                 std::size_t* out_length, const char* delimiters) {
    if (!d || (!value && length) || !out || !out_length) return kCharsetMissingArgument;
    const int rc = d->decode(value, length, delimiters, false, false, d->scratch);
    return emit(d->scratch, out, capacity, out_length, rc);
}

int decode_text(CharsetDecoder* d, const std::uint8_t* value, std::size_t length, const char* delimiters,
                std::string& out) {
    if (!d || (!value && length)) return kCharsetMissingArgument;
    return d->decode(value, length, delimiters, false, false, out);
}

int decode_single(const char* specific_charset, const std::uint8_t* value, std::size_t length, char* out,
                  std::size_t capacity, std::size_t* out_length, std::uint16_t vr) {
    if ((!value && length) || !out || !out_length) return kCharsetMissingArgument;
    std::unique_ptr<CharsetDecoder> d(charset_decoder_open(specific_charset, kCharsetSingleValue));
    if (!d) return kCharsetCannotOpen;
    const char* delimiters = charset::vr_delimiters(vr);
    const int rc = d->decode(value, length, delimiters, !charset::applies_to(vr), true, d->scratch);
    return emit(d->scratch, out, capacity, out_length, rc);
}

bool is_known_charset(const char* specific_charset) {
    const std::string_view text = specific_charset ? specific_charset : "";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = std::min(text.find('\\', start), text.size());
        std::string_view v = text.substr(start, end - start);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        if (v.size() > 63 || !find_term(v)) return false;
        if (end >= text.size()) return true;
        start = end + 1;
    }
}

struct TextDecoder {
    std::unique_ptr<CharsetDecoder> decoder;
    std::string arena;
    std::vector<CharsetResult> results;
    std::vector<std::size_t> offsets;
};

TextDecoder* text_decoder_open(const char* specific_charset, const char* manufacturer, charset_log_fn log,
                               void* user) {
    try {
        auto t = std::make_unique<TextDecoder>();
        t->decoder.reset(charset_decoder_open(specific_charset, kCharsetBatchOptions));
        if (!t->decoder) return nullptr;
        set_logger(t->decoder.get(), log, user);
        if (manufacturer && *manufacturer) set_manufacturer(t->decoder.get(), manufacturer);
        t->arena.reserve(0x10000);
        t->results.reserve(1024);
        return t.release();  // the caller owns it until text_decoder_close
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void text_decoder_close(TextDecoder* decoder) { std::unique_ptr<TextDecoder> owned(decoder); }

int decode_elements(TextDecoder* t, const CharsetElement* elements, std::size_t count, const CharsetResult** results,
                    std::size_t* result_count) {
    if (!t || (!elements && count) || !results || !result_count) return kCharsetMissingArgument;
    try {
        t->arena.clear(), t->results.clear(), t->offsets.clear();
        std::string& scratch = t->decoder->scratch;
        for (std::size_t i = 0; i < count; ++i) {
            const CharsetElement& e = elements[i];
            const int rc = t->decoder->decode(e.value, e.length, charset::vr_delimiters(e.vr),
                                              !charset::applies_to(e.vr), false, scratch);
            t->offsets.push_back(t->arena.size());
            t->arena.append(scratch).push_back('\0');
            t->results.push_back(CharsetResult{e.tag, nullptr, scratch.size(), rc});
        }
        // The arena has stopped growing: the texts can be pointed at now.
        for (std::size_t i = 0; i < t->results.size(); ++i) t->results[i].text = t->arena.data() + t->offsets[i];
    } catch (const std::bad_alloc&) {
        return kCharsetOutOfMemory;
    }
    *results = t->results.data();
    *result_count = t->results.size();
    return kCharsetOk;
}

namespace charset {

std::size_t utf8_sequence_length(const std::uint8_t* p, std::size_t n) {
    if (n == 0) return 0;
    const std::uint8_t b = p[0];
    if (b < 0x80) return 1;
    std::size_t len;
    std::uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) len = 2, cp = b & 0x1F;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, cp = b & 0x0F;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, cp = b & 0x07;
    else return 0;
    if (len > n) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (p[k] & 0x3F);
    }
    // No overlong forms, no surrogates, nothing above U+10FFFF.
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return len;
}

const char* vr_delimiters(std::uint16_t v) {
    if (v == vr::PN) return "\\^=";
    if (v == vr::ST || v == vr::LT || v == vr::UT) return "";
    if (!applies_to(v)) return "";
    return "\\";
}

bool applies_to(std::uint16_t v) {
    for (VR a : {vr::AE, vr::AS, vr::CS, vr::DA, vr::DS, vr::DT, vr::IS, vr::TM, vr::UI, vr::UR})
        if (v == a) return false;
    return true;
}

std::vector<DecodedText> decode_dataset_text(const Dataset& dataset, charset_log_fn log, void* user) {
    auto top_text = [&](Tag tag) {
        const ElementRef* e = dataset.find(tag);
        if (!e || !e->value) return std::string();
        return std::string(trim(as_text(e->value, std::min<std::uint64_t>(e->length, 127))));
    };
    const std::string declared = top_text(tags::kSpecificCharacterSet), manufacturer = top_text(tags::kManufacturer);
    std::vector<CharsetElement> input;
    for (const ElementRef& e : dataset.elements())
        if (is_text_vr(e.vr) && e.value) input.push_back(CharsetElement{e.tag, e.vr, e.value, std::size_t(e.length)});
    std::unique_ptr<TextDecoder> t(text_decoder_open(declared.c_str(), manufacturer.c_str(), log, user));
    std::vector<DecodedText> out;
    const CharsetResult* results = nullptr;
    std::size_t n = 0;
    if (!t || decode_elements(t.get(), input.data(), input.size(), &results, &n) != kCharsetOk) return out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(DecodedText{results[i].tag, std::string(results[i].text, results[i].length), results[i].status});
    return out;
}

}  // namespace charset
}  // namespace loamwerk
