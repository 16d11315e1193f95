#include "fileset/index.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <exception>
#include <type_traits>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/dictionary.hpp"
#include "core/file_io.hpp"
#include "core/tree.hpp"
#include "core/utf8.hpp"

namespace loamwerk::fileset {

namespace {

// Character-string VRs whose values are separated by backslashes, and those whose leading
// spaces carry no meaning (the same rules as the Python Dataset's values).
bool is_multi_text(VR v) {
    switch (v) {
        case vr::AE: case vr::AS: case vr::CS: case vr::DA: case vr::DS: case vr::DT: case vr::IS:
        case vr::LO: case vr::PN: case vr::SH: case vr::TM: case vr::UC: case vr::UI:
            return true;
        default:
            return false;
    }
}

bool trims_leading(VR v) { return is_multi_text(v) && v != vr::PN && v != vr::UC; }

// Bytes that are not UTF-8 become U+FFFD, as Python's "replace" decoding does.
std::string valid_utf8(std::string s) {
    if (is_utf8(s)) return s;
    std::string out;
    out.reserve(s.size() + 16);
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = utf8_sequence(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

std::string_view trim(std::string_view s, bool leading) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.remove_suffix(1);
    while (leading && !s.empty() && s.front() == ' ') s.remove_prefix(1);
    return s;
}

// The text values of a character-string element, padding removed.
std::vector<std::string_view> text_parts(const tree::Node& n, std::string& holder) {
    holder = n.decoded ? n.text : as_utf8(as_text(n.value.data(), n.value.size()));
    std::string_view all = trim(holder, false);
    std::vector<std::string_view> parts;
    if (all.empty()) return parts;
    if (!is_multi_text(n.vr)) {
        parts.push_back(all);
        return parts;
    }
    for (std::size_t start = 0;;) {
        const std::size_t end = all.find('\\', start);
        std::string_view part = trim(all.substr(start, end == std::string_view::npos ? all.npos : end - start),
                                     trims_leading(n.vr));
        // Empty trailing component groups of a name say nothing ("Wang^XiaoDong=王^小東=").
        if (n.vr == vr::PN)
            while (!part.empty() && part.back() == '=') part.remove_suffix(1);
        parts.push_back(part);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }
    return parts;
}

std::optional<double> parse_real(std::string_view s) {
    s = trim(s, true);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<std::int64_t> parse_integer(std::string_view s) {
    s = trim(s, true);
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (!s.empty() && ec == std::errc() && end == s.data() + s.size()) return v;
    // "12.0" is written by some devices for an IS; a fraction is not an integer.
    const std::optional<double> real = parse_real(s);
    if (real && *real == std::floor(*real) && std::fabs(*real) < 9.0e15) return std::int64_t(*real);
    return std::nullopt;
}

bool all_digits(std::string_view s) {
    for (const char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int number(std::string_view s) {
    int v = 0;
    for (const char c : s) v = v * 10 + (c - '0');
    return v;
}

// Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
std::int64_t days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return std::int64_t(era) * 146097 + doe - 719468;
}

// "YYYYMMDD", or the ACR-NEMA "YYYY.MM.DD"; a date that does not exist is not read.
std::optional<std::int64_t> parse_date(std::string_view s) {
    std::string digits;
    if (s.size() == 10 && s[4] == '.' && s[7] == '.')
        digits = std::string(s.substr(0, 4)) + std::string(s.substr(5, 2)) + std::string(s.substr(8, 2));
    else
        digits = std::string(s);
    if (digits.size() != 8 || !all_digits(digits)) return std::nullopt;
    const int y = number(std::string_view(digits).substr(0, 4)), m = number(std::string_view(digits).substr(4, 2)),
              d = number(std::string_view(digits).substr(6, 2));
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    if (y < 1 || m < 1 || m > 12 || d < 1 || d > kDays[m - 1] + (m == 2 && leap)) return std::nullopt;
    return days_from_civil(y, m, d);
}

// "HH", "HHMM", "HHMMSS", "HHMMSS.F" to six fraction digits, or the ACR-NEMA "HH:MM:SS".
std::optional<std::int64_t> parse_time(std::string_view s) {
    std::string text(s);
    if (text.size() >= 8 && text[2] == ':' && text[5] == ':') text.erase(5, 1), text.erase(2, 1);
    std::string_view t = text, fraction;
    if (const std::size_t dot = t.find('.'); dot != t.npos) {
        fraction = t.substr(dot + 1);
        t = t.substr(0, dot);
        if (t.size() != 6 || fraction.empty() || fraction.size() > 6 || !all_digits(fraction)) return std::nullopt;
    }
    if ((t.size() != 2 && t.size() != 4 && t.size() != 6) || !all_digits(t)) return std::nullopt;
    const int h = number(t.substr(0, 2)), m = t.size() >= 4 ? number(t.substr(2, 2)) : 0,
              sec = t.size() == 6 ? number(t.substr(4, 2)) : 0;
    if (h > 23 || m > 59 || sec > 59) return std::nullopt;
    std::int64_t micros = 0;
    for (std::size_t k = 0; k < 6; ++k) micros = micros * 10 + (k < fraction.size() ? fraction[k] - '0' : 0);
    return ((std::int64_t(h) * 60 + m) * 60 + sec) * 1000000 + micros;
}

// The binary numbers of a value, little endian.
template <class T>
void each_binary(std::span<const std::uint8_t> v, auto each) {
    for (std::size_t k = 0; k + sizeof(T) <= v.size(); k += sizeof(T)) {
        T x;
        std::memcpy(&x, v.data() + k, sizeof(T));
        each(x);
    }
}

class ColumnWriter {
public:
    ColumnWriter(const ColumnSpec& spec, ColumnData& data) : spec_(spec), d_(data) {}

    void absent() { end_row(false); }

    void add(const tree::Node& n) {
        const std::size_t before = count();
        if (is_text_vr(n.vr)) {
            std::string holder;
            for (const std::string_view part : text_parts(n, holder)) {
                if (!spec_.multi && count() > before) break;
                text_value(part);
            }
        } else {
            binary_values(n);
        }
        end_row(count() > before);
    }

private:
    std::size_t count() const { return d_.item_valid.size(); }

    void text_value(std::string_view part) {
        switch (spec_.kind) {
            case ColumnKind::kText: push_text(std::string(part), true); break;
            case ColumnKind::kInteger: push_integer(parse_integer(part)); break;
            case ColumnKind::kReal: push_real(parse_real(part)); break;
            case ColumnKind::kDate: push_integer(parse_date(part)); break;
            case ColumnKind::kTime: push_integer(parse_time(part)); break;
        }
    }

    template <class T>
    void binary(std::span<const std::uint8_t> v) {
        const std::size_t before = count();
        each_binary<T>(v, [&](T x) {
            if (!spec_.multi && count() > before) return;
            if (spec_.kind == ColumnKind::kInteger) {
                if constexpr (std::is_floating_point_v<T>)
                    push_integer(x == std::floor(x) && std::fabs(x) < 9.0e15 ? std::optional<std::int64_t>(std::int64_t(x))
                                                                             : std::nullopt);
                else
                    push_integer(std::int64_t(x));
            } else if (spec_.kind == ColumnKind::kReal) {
                push_real(double(x));
            } else if (spec_.kind == ColumnKind::kText) {
                push_text(std::to_string(x), true);
            }
        });
    }

    void binary_values(const tree::Node& n) {
        if (spec_.kind == ColumnKind::kDate || spec_.kind == ColumnKind::kTime) return;
        switch (n.vr) {
            case vr::US: binary<std::uint16_t>(n.value); break;
            case vr::SS: binary<std::int16_t>(n.value); break;
            case vr::UL: binary<std::uint32_t>(n.value); break;
            case vr::SL: binary<std::int32_t>(n.value); break;
            case vr::FL: binary<float>(n.value); break;
            case vr::FD: binary<double>(n.value); break;
            case vr::SV: binary<std::int64_t>(n.value); break;
            case vr::UV: binary<std::uint64_t>(n.value); break;
            case vr::AT: {
                const std::size_t before = count();
                each_binary<std::uint32_t>(n.value, [&](std::uint32_t x) {
                    if (spec_.multi || count() == before)
                        push_integer(std::int64_t((std::uint32_t(x & 0xFFFF) << 16) | (x >> 16)));
                });
                break;
            }
            default: break;  // bytes of no number VR give no values
        }
    }

    void push_text(std::string s, bool valid) {
        d_.texts.push_back(std::move(s));
        d_.item_valid.push_back(valid);
    }
    void push_integer(std::optional<std::int64_t> v) {
        d_.integers.push_back(v.value_or(0));
        d_.item_valid.push_back(v.has_value());
    }
    void push_real(std::optional<double> v) {
        d_.reals.push_back(v.value_or(0.0));
        d_.item_valid.push_back(v.has_value());
    }

    void end_row(bool any) {
        // A scalar row whose one value could not be read is null, like an absent one.
        if (!spec_.multi && any && !d_.item_valid.back()) {
            d_.item_valid.pop_back();
            if (spec_.kind == ColumnKind::kText) d_.texts.pop_back();
            else if (spec_.kind == ColumnKind::kReal) d_.reals.pop_back();
            else d_.integers.pop_back();
            any = false;
        }
        d_.present.push_back(any);
        d_.offsets.push_back(std::int64_t(count()));
    }

    const ColumnSpec& spec_;
    ColumnData& d_;
};

const tree::Node* find_node(const std::vector<tree::Node>& nodes, Tag tag) {
    for (const tree::Node& n : nodes)
        if (n.tag == tag) return &n;
    return nullptr;
}

// The data set's JSON from the header bytes, cut before the pixel data when the body was
// walked in place (the prefix read may end inside it).
std::string header_json(const Dataset& ds, HeaderJson json) {
    std::span<const std::uint8_t> bytes = ds.bytes();
    if (!ds.converted())
        for (const ElementRef& e : ds.elements())
            if (tree::is_pixel_tag(e.tag) && e.header >= bytes.data() && e.header <= bytes.data() + bytes.size()) {
                bytes = bytes.first(std::size_t(e.header - bytes.data()));
                break;
            }
    return valid_utf8(json(bytes));
}

}  // namespace

std::optional<ColumnSpec> column_spec(std::string_view keyword) {
    const std::optional<Tag> tag = dict::tag_for_keyword(keyword);
    if (!tag) return std::nullopt;
    const dict::TagInfo info = dict::lookup_tag(*tag);
    if (!info.found || info.vr.size() < 2) return std::nullopt;
    ColumnSpec spec;
    spec.tag = *tag;
    spec.multi = info.vm != "1";
    const VR v = make_vr(info.vr.substr(0, 2));
    switch (v) {
        case vr::IS: case vr::US: case vr::SS: case vr::UL: case vr::SL: case vr::AT: case vr::SV: case vr::UV:
            spec.kind = ColumnKind::kInteger;
            break;
        case vr::DS: case vr::FL: case vr::FD:
            spec.kind = ColumnKind::kReal;
            break;
        case vr::DA: spec.kind = ColumnKind::kDate; break;
        case vr::TM: spec.kind = ColumnKind::kTime; break;
        default:
            if (!is_text_vr(v)) return std::nullopt;
            spec.kind = ColumnKind::kText;
    }
    return spec;
}

namespace {

// Appends a row: its error (none when `ds` was read), size, JSON and column values.
void append_row(const Dataset* ds, const tree::Tree& tree, std::string error, std::int64_t size,
                std::span<const ColumnSpec> columns, HeaderJson json, IndexBatch& out) {
    if (ds && error.empty()) {
        if (!ds->layout().recognised) error = "not a DICOM file: no file meta and no recognisable data set";
        else if (!ds->readable()) error = "the data set cannot be read: its transfer syntax's body could not be decoded";
    }
    const bool read = error.empty();
    out.columns.resize(columns.size());
    out.sizes.push_back(size);
    out.json.push_back(read && json ? header_json(*ds, json) : std::string());
    out.errors.push_back(std::move(error));
    for (std::size_t c = 0; c < columns.size(); ++c) {
        ColumnWriter w(columns[c], out.columns[c]);
        const bool meta = (columns[c].tag >> 16) == 0x0002;
        const tree::Node* n = read ? find_node(meta ? tree.meta : tree.body, columns[c].tag) : nullptr;
        if (n && n->vr != vr::SQ) w.add(*n);
        else w.absent();
    }
}

}  // namespace

IndexBatch index_files(std::span<const std::string> paths, std::span<const ColumnSpec> columns, HeaderJson json) {
    IndexBatch out;
    out.columns.resize(columns.size());
    for (const std::string& path : paths) {
        tree::Tree tree;
        std::size_t size = 0;
        std::optional<Dataset> ds;
        std::string error;
        try {
            ds.emplace(tree::read_header(path, tree, &size));
        } catch (const OpenError& e) {
            error = e.what();
        } catch (const std::exception& e) {
            error = std::string("cannot read the file: ") + e.what();
        }
        append_row(ds ? &*ds : nullptr, tree, std::move(error), ds ? std::int64_t(size) : -1, columns, json, out);
    }
    return out;
}

void index_buffer(std::span<const std::uint8_t> bytes, std::int64_t size, std::span<const ColumnSpec> columns,
                  HeaderJson json, IndexBatch& batch) {
    const Dataset ds = Dataset::borrow(bytes);
    tree::Tree tree;
    if (ds.readable()) tree = tree::read(ds, true, tree::Sequences::kLeave);
    append_row(&ds, tree, "", size, columns, json, batch);
}

}  // namespace loamwerk::fileset
