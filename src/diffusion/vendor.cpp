#include "diffusion/vendor.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include <zlib.h>

#include "core/tags.hpp"
#include "core/values.hpp"

namespace loamwerk::diffusion {

namespace {


constexpr std::string_view kCsaCreator = "SIEMENS CSA HEADER";
constexpr std::string_view kGeAcquisition = "GEMS_ACQU_01", kGeParameters = "GEMS_PARM_01";
constexpr std::string_view kGeSeries = "GEMS_SERS_01";
constexpr std::string_view kPhilipsImaging = "Philips Imaging DD 001", kPhilipsMr = "Philips MR Imaging DD 001";
constexpr std::string_view kUihCreator = "Image Private Header";
constexpr std::string_view kSiemensSdi = "SIEMENS MR SDI 02";
// A decompressed protocol block is a few kilobytes; anything past this is not one.
constexpr std::size_t kMaxProtocolBytes = 1 << 20;

std::string upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::toupper(c)); });
    return out;
}

std::vector<std::string_view> split(std::string_view s, char sep) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t at = s.find(sep);
        out.push_back(s.substr(0, at));
        if (at == std::string_view::npos) return out;
        s.remove_prefix(at + 1);
    }
}

// Standard b-value and gradient among `es` (an image's top level or an MR Diffusion item).
bool standard_diffusion(const Elements& es, DiffusionEntry& d) {
    const ElementRef* b = find_element(es, tags::kDiffusionBValue);
    const std::vector<double> bv = b ? fd_values(*b) : std::vector<double>{};
    if (bv.empty()) return false;
    d.bvalue = bv[0], d.valid = true, d.source = Source::kStandard, d.frame = DiffusionEntry::Frame::kPatient;
    if (const ElementRef* g = find_element(es, tags::kDiffusionGradientOrientation); g && g->length >= 24) {
        const auto gv = fd_values(*g);
        std::copy(gv.begin(), gv.begin() + 3, d.gradient);
    }
    return true;
}

void siemens(const CsaHeader& csa, DiffusionEntry& d) {
    const auto b = csa.number("B_value");
    if (!b) return;
    d.bvalue = *b, d.valid = true, d.source = Source::kSiemensCsa;
    for (int i = 0; i < 3; ++i) d.gradient[i] = csa.number("DiffusionGradientDirection", i).value_or(0);
    if (const auto* m = csa.values("B_matrix"); m && m->size() == 6) {
        d.has_bmatrix = true;
        for (int i = 0; i < 6; ++i) d.bmatrix[i] = csa.number("B_matrix", std::size_t(i)).value_or(0);
    }
}

void ge(const Elements& top, DiffusionEntry& d) {
    const std::vector<double> b = ds_values(find_private(top, 0x0043, kGeParameters, 0x39));
    if (b.empty()) return;
    // Some software versions add 10^9 (or multiples of 10^4 for multiple shells) to the b-value.
    double value = b[0];
    if (value >= 1e9) value = std::fmod(value, 1e9);
    d.bvalue = value, d.valid = true, d.source = Source::kGe;
    // GE states gradients on the logical (frequency, phase, slice) axes of the acquisition.
    d.frame = DiffusionEntry::Frame::kLogical;
    const std::uint8_t lows[3] = {0xBB, 0xBC, 0xBD};
    for (int i = 0; i < 3; ++i) {
        const std::vector<double> g = ds_values(find_private(top, 0x0019, kGeAcquisition, lows[i]));
        d.gradient[i] = g.empty() ? 0 : g[0];
    }
}

void philips(const Elements& top, DiffusionEntry& d) {
    const ElementRef* b = find_private(top, 0x2001, kPhilipsImaging, 0x03);
    const std::vector<double> bv = b ? fl_values(*b) : std::vector<double>{};
    if (bv.empty()) return;
    d.bvalue = bv[0], d.valid = true, d.source = Source::kPhilips, d.frame = DiffusionEntry::Frame::kPatient;
    const std::uint8_t lows[3] = {0xB0, 0xB1, 0xB2};  // RL, AP, FH: the patient axes
    for (int i = 0; i < 3; ++i) {
        const ElementRef* g = find_private(top, 0x2005, kPhilipsMr, lows[i]);
        const std::vector<double> gv = g ? fl_values(*g) : std::vector<double>{};
        d.gradient[i] = gv.empty() ? 0 : gv[0];
    }
    // "I": the isotropic image the scanner derives from the directions of a shell.
    const ElementRef* label = find_private(top, 0x2001, kPhilipsImaging, 0x04);
    d.isotropic = label && value_text(*label) == "I" && d.bvalue > 0;
}

void uih(const Elements& top, DiffusionEntry& d) {
    const ElementRef* b = find_private(top, 0x0065, kUihCreator, 0x09);
    const std::vector<double> bv = b ? fd_values(*b) : std::vector<double>{};
    if (bv.empty()) return;
    d.bvalue = bv[0], d.valid = true, d.source = Source::kUih, d.frame = DiffusionEntry::Frame::kPatient;
    if (const ElementRef* g = find_private(top, 0x0065, kUihCreator, 0x37); g && g->length >= 24) {
        const auto gv = fd_values(*g);
        std::copy(gv.begin(), gv.begin() + 3, d.gradient);
    }
}

bool parse_int(std::string_view s, int& out) {
    return !s.empty() && std::from_chars(s.data(), s.data() + s.size(), out).ptr == s.data() + s.size();
}

// Days since 1970-01-01 of a proleptic Gregorian date.
long days_from_civil(int y, int m, int d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = unsigned(y - era * 400);
    const unsigned doy = unsigned((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1);
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + long(doe) - 719468;
}

}  // namespace

Vendor vendor_of(std::string_view manufacturer) {
    const std::string m = upper(manufacturer);
    if (m.starts_with("SIEMENS")) return Vendor::kSiemens;
    if (m.starts_with("GE ") || m == "GE" || m.find("GE MEDICAL") != std::string::npos ||
        m.find("GE HEALTHCARE") != std::string::npos)
        return Vendor::kGe;
    if (m.find("PHILIPS") != std::string::npos) return Vendor::kPhilips;
    if (m.find("CANON") != std::string::npos || m.find("TOSHIBA") != std::string::npos) return Vendor::kCanon;
    if (m.find("UIH") != std::string::npos || m.find("UNITED IMAGING") != std::string::npos) return Vendor::kUih;
    return Vendor::kOther;
}

std::string_view vendor_label(Vendor vendor) {
    switch (vendor) {
    case Vendor::kSiemens: return "Siemens";
    case Vendor::kGe: return "GE";
    case Vendor::kPhilips: return "Philips";
    case Vendor::kCanon: return "Canon";
    case Vendor::kUih: return "UIH";
    default: return "";
    }
}

std::string_view source_name(Source source) {
    switch (source) {
    case Source::kStandard: return "standard";
    case Source::kSiemensCsa: return "Siemens CSA";
    case Source::kGe: return "GE";
    case Source::kPhilips: return "Philips";
    case Source::kUih: return "UIH";
    default: return "";
    }
}

CsaHeader csa_image_header(const Elements& top) {
    const ElementRef* e = find_private(top, 0x0029, kCsaCreator, 0x10);
    return e && e->value ? CsaHeader::parse({e->value, std::size_t(e->length)}) : CsaHeader{};
}

std::optional<SiemensCsaValues> siemens_csa_values(std::span<const std::uint8_t> buffer) {
    const Dataset ds = Dataset::borrow(buffer);
    if (!ds.readable()) throw std::invalid_argument("siemens_diffusion: not a DICOM data set");
    const CsaHeader csa = csa_image_header(ds.elements());
    if (csa.empty()) return std::nullopt;
    auto vector = [&](const char* name, std::size_t n) {
        std::vector<double> out;
        const auto* v = csa.values(name);
        if (!v || v->size() != n) return out;
        for (std::size_t i = 0; i < n; ++i) out.push_back(csa.number(name, i).value_or(NAN) + 0.0);
        return out;
    };
    SiemensCsaValues out;
    out.b_value = csa.number("B_value");
    out.gradient = vector("DiffusionGradientDirection", 3);
    out.b_matrix = vector("B_matrix", 6);
    out.slice_normal = vector("SliceNormalVector", 3);
    if (const auto positive = csa.number("PhaseEncodingDirectionPositive")) out.phase_encoding_positive = *positive > 0.5;
    out.bandwidth_per_pixel_phase_encode = csa.number("BandwidthPerPixelPhaseEncode");
    if (const auto tiles = csa.number("NumberOfImagesInMosaic")) out.mosaic_tiles = std::lround(*tiles);
    if (const auto* t = csa.values("MosaicRefAcqTimes"))
        for (std::size_t i = 0; i < t->size(); ++i)
            out.slice_times.push_back(csa.number("MosaicRefAcqTimes", i).value_or(NAN) / 1000);
    return out;
}

DiffusionEntry object_diffusion(const Elements& top, Vendor vendor, const CsaHeader& csa) {
    DiffusionEntry d;
    switch (vendor) {
    case Vendor::kSiemens: siemens(csa, d); break;
    case Vendor::kGe: ge(top, d); break;
    case Vendor::kPhilips: philips(top, d); break;
    case Vendor::kUih: uih(top, d); break;
    default: break;
    }
    if (!d.valid && !standard_diffusion(top, d)) {
        for (const auto& it : sequence_items(find_element(top, tags::kMRDiffusionSequence)))
            if (standard_diffusion(it, d)) break;
    }
    if (const auto* sn = csa.values("SliceNormalVector"); sn && sn->size() == 3) {
        d.has_slice_normal = true;
        for (int i = 0; i < 3; ++i) d.slice_normal[i] = csa.number("SliceNormalVector", std::size_t(i)).value_or(0);
    }
    if (const ElementRef* p = find_element(top, tags::kInPlanePhaseEncodingDirection)) {
        const std::string_view v = value_text(*p);
        d.phase_direction = v == "ROW" ? 'R' : (v == "COL" || v == "COLUMN") ? 'C' : 0;
    }
    return d;
}

std::vector<std::pair<std::string, std::string>> ge_protocol(const Elements& top) {
    std::vector<std::pair<std::string, std::string>> out;
    const ElementRef* e = find_private(top, 0x0025, kGeSeries, 0x1B);
    if (!e || !e->value || e->length < 8) return out;
    z_stream s{};
    if (inflateInit2(&s, 15 + 32) != Z_OK) return out;
    s.next_in = const_cast<Bytef*>(e->value + 4);
    s.avail_in = uInt(std::min<std::uint64_t>(e->length - 4, 0x7FFFFFFF));
    std::string text;
    char chunk[1 << 14];
    int rc = Z_OK;
    while (rc == Z_OK && text.size() < kMaxProtocolBytes) {
        s.next_out = reinterpret_cast<Bytef*>(chunk);
        s.avail_out = sizeof chunk;
        rc = inflate(&s, Z_NO_FLUSH);
        text.append(chunk, sizeof chunk - s.avail_out);
        if (rc == Z_OK && s.avail_in == 0 && s.avail_out != 0) break;
    }
    inflateEnd(&s);
    // Lines of the form: KEY "value"
    for (std::string_view line : split(text, '\n')) {
        const std::size_t q = line.find('"');
        if (q == std::string_view::npos || q == 0) continue;
        std::string_view key = line.substr(0, q), value = line.substr(q + 1);
        while (!key.empty() && (key.back() == ' ' || key.back() == '\t')) key.remove_suffix(1);
        const std::size_t end = value.rfind('"');
        if (end == std::string_view::npos) continue;
        out.emplace_back(std::string(key), std::string(value.substr(0, end)));
    }
    return out;
}

std::optional<std::string> protocol_value(const std::vector<std::pair<std::string, std::string>>& protocol,
                                          std::string_view key) {
    for (const auto& [k, v] : protocol)
        if (k == key) return v;
    return std::nullopt;
}

std::uint8_t complex_part(std::string_view image_type, Vendor vendor, const Elements& top) {
    if (vendor == Vendor::kGe) {
        // GE's private image type (0043,xx2F): 0 magnitude, 1 phase, 2 real, 3 imaginary.
        if (const ElementRef* e = find_private(top, 0x0043, kGeParameters, 0x2F); e && e->value && e->length >= 2) {
            const std::int16_t v = std::int16_t(load_le16(e->value));
            if (v >= 0 && v <= 3) return std::uint8_t(v);
        }
    }
    for (std::string_view v : split(image_type, '\\')) {
        while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
        if (v == "P" || v == "PHASE" || (vendor == Vendor::kPhilips && v.starts_with("P_"))) return 1;
        if (v == "R" || v == "REAL" || (vendor == Vendor::kPhilips && v.starts_with("R_"))) return 2;
        if (v == "I" || v == "IMAGINARY" || (vendor == Vendor::kPhilips && v.starts_with("I_"))) return 3;
    }
    return 0;
}

std::string_view complex_part_name(std::uint8_t part) {
    static constexpr std::string_view kNames[] = {"MAGNITUDE", "PHASE", "REAL", "IMAGINARY"};
    return part < 4 ? kNames[part] : kNames[0];
}

std::optional<double> time_of_day(std::string_view tm) {
    while (!tm.empty() && tm.back() == ' ') tm.remove_suffix(1);
    // The older "HH:MM:SS.frac" form is read too.
    std::string digits;
    for (char c : tm)
        if (c != ':') digits += c;
    const std::size_t dot = digits.find('.');
    const std::string whole = digits.substr(0, dot);
    if (whole.size() < 2 || whole.size() > 6 || whole.size() % 2) return std::nullopt;
    int hh = 0, mm = 0, ss = 0;
    if (!parse_int(std::string_view(whole).substr(0, 2), hh)) return std::nullopt;
    if (whole.size() >= 4 && !parse_int(std::string_view(whole).substr(2, 2), mm)) return std::nullopt;
    if (whole.size() >= 6 && !parse_int(std::string_view(whole).substr(4, 2), ss)) return std::nullopt;
    if (hh > 23 || mm > 59 || ss > 60) return std::nullopt;
    double frac = 0;
    if (dot != std::string::npos) {
        std::string f = digits.substr(dot);
        f.insert(f.begin(), '0');
        if (std::from_chars(f.data(), f.data() + f.size(), frac).ptr != f.data() + f.size()) return std::nullopt;
    }
    return hh * 3600.0 + mm * 60.0 + ss + frac;
}

std::optional<double> datetime_seconds(std::string_view dt) {
    while (!dt.empty() && dt.back() == ' ') dt.remove_suffix(1);
    // An offset from UTC (+HHMM) changes nothing within one series.
    if (const std::size_t sign = dt.find_first_of("+-", 8); sign != std::string_view::npos) dt = dt.substr(0, sign);
    if (dt.size() < 8) return std::nullopt;
    int y = 0, m = 0, d = 0;
    if (!parse_int(dt.substr(0, 4), y) || !parse_int(dt.substr(4, 2), m) || !parse_int(dt.substr(6, 2), d) || m < 1 ||
        m > 12 || d < 1 || d > 31)
        return std::nullopt;
    const double day = double(days_from_civil(y, m, d)) * 86400.0;
    if (dt.size() == 8) return day;
    const auto t = time_of_day(dt.substr(8));
    if (!t) return std::nullopt;
    return day + *t;
}

std::optional<double> siemens_ice_echo(const Elements& es) {
    const ElementRef* e = find_private(es, 0x0021, kSiemensSdi, 0x06);
    if (!e) return std::nullopt;
    const std::string_view v = value_text(*e);
    if (!v.starts_with("X_")) return std::nullopt;
    const std::vector<std::string_view> parts = split(v, '_');
    int echo = 0;
    if (parts.size() < 2 || !parse_int(parts[1], echo) || echo < 1) return std::nullopt;
    return double(echo);
}

std::optional<double> siemens_time_after_start(const Elements& es) {
    const std::vector<double> v = ds_values(find_private(es, 0x0021, kSiemensSdi, 0x04));
    if (v.empty() || !std::isfinite(v[0])) return std::nullopt;
    return v[0];
}

std::optional<double> philips_scale_slope(const Elements& top) {
    const ElementRef* e = find_private(top, 0x2005, kPhilipsMr, 0x0E);
    if (!e) return std::nullopt;
    const std::vector<double> v = fl_values(*e);
    if (v.empty() || !std::isfinite(v[0]) || v[0] == 0) return std::nullopt;
    return v[0];
}

}  // namespace loamwerk::diffusion
