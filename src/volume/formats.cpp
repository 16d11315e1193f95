#include "volume/formats.hpp"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>

#include <cerrno>

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include "core/bytes.hpp"
#include "core/file_io.hpp"
#include "core/limits.hpp"
#include "core/parallel.hpp"

namespace loamwerk::volume {

namespace {

constexpr std::size_t kNrrdHeaderMax = 1024;
constexpr std::size_t kMetaHeaderMax = 1280;
constexpr int kLevel = 6;

using file_result::kCompress, file_result::kFormat, file_result::kIo, file_result::kMemory, file_result::kOk,
    file_result::kType;

struct Compressor {
    libdeflate_compressor* c = libdeflate_alloc_compressor(kLevel);
    ~Compressor() {
        if (c) libdeflate_free_compressor(c);
    }
};

// gzip (or zlib) of `data`; empty on failure.
std::vector<std::uint8_t> compress(const void* data, std::size_t n, bool gzip) {
    Compressor z;
    if (!z.c) return {};
    const std::size_t bound = gzip ? libdeflate_gzip_compress_bound(z.c, n) : libdeflate_zlib_compress_bound(z.c, n);
    std::vector<std::uint8_t> out;
    try {
        out.resize(bound);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const std::size_t got = gzip ? libdeflate_gzip_compress(z.c, data, n, out.data(), out.size())
                                 : libdeflate_zlib_compress(z.c, data, n, out.data(), out.size());
    out.resize(got);
    return out;
}

// gzip of the segments, as independent members of at most kMemberBytes input each, compressed
// on worker threads: a concatenation of members is one gzip stream to every reader.
constexpr std::size_t kMemberBytes = std::size_t(4) << 20;

std::vector<std::uint8_t> gzip_members(const std::vector<std::pair<const std::uint8_t*, std::size_t>>& segments) {
    std::vector<std::pair<const std::uint8_t*, std::size_t>> pieces;
    for (const auto& [p, n] : segments)
        for (std::size_t at = 0; at < n; at += kMemberBytes) pieces.push_back({p + at, std::min(kMemberBytes, n - at)});
    std::vector<std::vector<std::uint8_t>> packed(pieces.size());
    std::atomic<bool> failed{false};
    parallel_for(pieces.size(), [&](std::size_t i) {
        packed[i] = compress(pieces[i].first, pieces[i].second, true);
        if (packed[i].empty()) failed = true;
    });
    std::vector<std::uint8_t> out;
    if (failed) return out;
    std::size_t total = 0;
    for (const auto& m : packed) total += m.size();
    out.reserve(total);
    for (const auto& m : packed) out.insert(out.end(), m.begin(), m.end());
    return out;
}

// The first `want` bytes of a gzip stream (its members joined), or all of it when shorter: true when
// they were had or the stream ended cleanly. Nothing past `want` is inflated.
// A single-member gzip file whose trailer says it holds at least `want` bytes, in one pass of
// libdeflate (several times zlib's speed); false leaves `out` empty for the streaming reader.
bool gunzip_whole(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out, std::size_t want) {
    if (n < 18) return false;
    const std::size_t size = load_le32(data + n - 4);  // the member's length, modulo 2^32
    if (size < want || size > want + (std::size_t(1) << 20)) return false;
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (!d) return false;
    out.resize(size);
    std::size_t in_used = 0, produced = 0;
    const libdeflate_result r = libdeflate_gzip_decompress_ex(d, data, n, out.data(), out.size(), &in_used, &produced);
    libdeflate_free_decompressor(d);
    if (r != LIBDEFLATE_SUCCESS || produced < want) {
        out.clear();
        return false;
    }
    out.resize(want);
    return true;
}

bool gunzip(const std::uint8_t* data, std::size_t n, std::vector<std::uint8_t>& out, std::size_t want) {
    z_stream s{};
    if (inflateInit2(&s, 15 + 32) != Z_OK) return false;
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = uInt(std::min<std::size_t>(n, 0x7FFFFFFF));
    std::size_t consumed_total = 0;
    std::uint8_t chunk[1 << 16];
    int rc = Z_OK;
    while (out.size() < want) {
        s.next_out = chunk;
        s.avail_out = uInt(std::min<std::size_t>(sizeof chunk, want - out.size()));
        const std::size_t room = s.avail_out;
        rc = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (room - s.avail_out));
        if (out.size() >= want) {
            rc = Z_STREAM_END;
            break;
        }
        if (rc == Z_STREAM_END) {
            // Concatenated members continue the stream.
            consumed_total += std::size_t(s.next_in - (data + consumed_total));
            if (consumed_total >= n || data[consumed_total] != 0x1F) break;
            inflateReset(&s);
            s.next_in = const_cast<Bytef*>(data + consumed_total);
            s.avail_in = uInt(std::min<std::size_t>(n - consumed_total, 0x7FFFFFFF));
            continue;
        }
        if (rc != Z_OK) break;
        if (s.avail_in == 0 && s.avail_out != 0) break;
    }
    inflateEnd(&s);
    return rc == Z_STREAM_END;
}

void put_i16(std::uint8_t* h, std::size_t at, int v) { store_le16(h + at, std::uint16_t(std::int16_t(v))); }
void put_f32(std::uint8_t* h, std::size_t at, double v) {
    const float f = float(v);
    std::memcpy(h + at, &f, 4);
}
float get_f32(const std::uint8_t* h, std::size_t at) {
    float f;
    std::memcpy(&f, h + at, 4);
    return f;
}
std::int16_t get_i16(const std::uint8_t* h, std::size_t at) { return std::int16_t(load_le16(h + at)); }

double column_length(const double* a, int c) {
    return std::sqrt(a[4 * c] * a[4 * c] + a[4 * c + 1] * a[4 * c + 1] + a[4 * c + 2] * a[4 * c + 2]);
}

struct NiftiType {
    std::int16_t datatype, bitpix;
};
constexpr NiftiType kNiftiTypes[] = {{2, 8}, {512, 16}, {4, 16}, {16, 32}, {128, 24}};
constexpr const char* kNrrdTypes[] = {"uchar", "ushort", "short", "float"};
constexpr const char* kMetaTypes[] = {"MET_UCHAR", "MET_USHORT", "MET_SHORT", "MET_FLOAT"};

// The quaternion (b, c, d) and qfac of the column-normalised RAS rotation.
void quaternion(const double r_in[3][3], double& b, double& c, double& d, double& qfac) {
    double r[3][3];
    std::memcpy(r, r_in, sizeof r);
    const double det = r[0][0] * (r[1][1] * r[2][2] - r[1][2] * r[2][1]) -
                       r[0][1] * (r[1][0] * r[2][2] - r[1][2] * r[2][0]) +
                       r[0][2] * (r[1][0] * r[2][1] - r[1][1] * r[2][0]);
    qfac = 1;
    if (det < 0) {
        for (int i = 0; i < 3; ++i) r[i][2] = -r[i][2];
        qfac = -1;
    }
    double a;
    const double s = r[0][0] + r[1][1] + r[2][2] + 1;
    if (s > 0.5) {
        a = std::sqrt(s) / 2;
        b = (r[2][1] - r[1][2]) / (4 * a);
        c = (r[0][2] - r[2][0]) / (4 * a);
        d = (r[1][0] - r[0][1]) / (4 * a);
        return;
    }
    const double x = 1 + r[0][0] - (r[1][1] + r[2][2]);
    const double y = 1 + r[1][1] - (r[0][0] + r[2][2]);
    if (x > 1) {
        b = std::sqrt(x) / 2;
        c = (r[0][1] + r[1][0]) / (4 * b);
        d = (r[0][2] + r[2][0]) / (4 * b);
        a = (r[2][1] - r[1][2]) / (4 * b);
    } else if (y > 1) {
        c = std::sqrt(y) / 2;
        b = (r[0][1] + r[1][0]) / (4 * c);
        d = (r[1][2] + r[2][1]) / (4 * c);
        a = (r[0][2] - r[2][0]) / (4 * c);
    } else {
        const double z = 1 + r[2][2] - (r[0][0] + r[1][1]);
        d = std::sqrt(z) / 2;
        b = (r[0][2] + r[2][0]) / (4 * d);
        c = (r[1][2] + r[2][1]) / (4 * d);
        a = (r[1][0] - r[0][1]) / (4 * d);
    }
    if (a < 0) b = -b, c = -c, d = -d;
}

std::string vector_text(double x, double y, double z) {
    std::string out = "(";
    out.append(format_number(x)).append(",").append(format_number(y)).append(",").append(format_number(z)).append(")");
    return out;
}

}  // namespace

AtomicFile::AtomicFile(const std::string& path) : path_(path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::random_device entropy;
    // Created with mode 0666 so that the umask applies, as for any file the caller writes.
    for (int attempt = 0; attempt < 16 && !file_; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", unsigned(entropy()));
        temp_ = dir + "." + base + suffix + ".tmp";
        const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno != EEXIST) break;
            continue;
        }
        file_ = ::fdopen(fd, "wb");
        if (!file_) ::close(fd), std::remove(temp_.c_str());
    }
    if (!file_) temp_.clear();
}

AtomicFile::~AtomicFile() {
    if (file_) std::fclose(file_);
    if (!committed_ && !temp_.empty()) std::remove(temp_.c_str());
}

void AtomicFile::write(const void* data, std::size_t n) {
    if (file_ && n && std::fwrite(data, 1, n, file_) != n) failed_ = true;
}

void AtomicFile::write_at(std::size_t offset, const void* data, std::size_t n) {
    if (!file_) return;
    const int fd = ::fileno(file_);
    const auto* p = static_cast<const std::uint8_t*>(data);
    for (std::size_t at = 0; at < n;) {
        const ssize_t w = ::pwrite(fd, p + at, n - at, off_t(offset + at));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            failed_ = true;  // read by commit() after the writers have joined
            return;
        }
        at += std::size_t(w);
    }
}

void AtomicFile::flush() {
    if (file_ && std::fflush(file_) != 0) failed_ = true;
}

void AtomicFile::restart() {
    if (!file_) return;
    if (std::fflush(file_) != 0 || ::ftruncate(::fileno(file_), 0) != 0 || std::fseek(file_, 0, SEEK_SET) != 0)
        failed_ = true;
}

int AtomicFile::commit() {
    if (!file_) return kIo;
    const bool flushed = std::fflush(file_) == 0;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (failed_ || !flushed || !closed || std::rename(temp_.c_str(), path_.c_str()) != 0) return kIo;
    committed_ = true;
    return kOk;
}

std::size_t element_bytes(int type) {
    static constexpr std::size_t kBytes[] = {1, 2, 2, 4, 3};
    return type >= 0 && type <= kRgb24 ? kBytes[type] : 0;
}

bool encode_stored(const float* values, std::size_t count, float slope, float intercept, int type, void* out) {
    if (type < 0 || type > 2 || !(slope != 0) || !std::isfinite(slope) || !std::isfinite(intercept)) return false;
    const double lo = type == 2 ? -32768 : 0, hi = type == 0 ? 255 : type == 1 ? 65535 : 32767;
    const double inverse = 1.0 / double(slope);
    constexpr std::size_t kChunk = std::size_t(1) << 18;
    std::atomic<bool> exact{true};
    parallel_for((count + kChunk - 1) / kChunk, [&](std::size_t c) {
        if (!exact.load(std::memory_order_relaxed)) return;
        const std::size_t begin = c * kChunk, end = std::min(count, begin + kChunk);
        bool bad = false;
        for (std::size_t i = begin; i < end; ++i) {
            // Clamped (NaN to lo) so the conversion below is defined; the check rejects anything clamped.
            double stored = std::nearbyint((double(values[i]) - intercept) * inverse);
            if (!(stored >= lo)) stored = lo;
            if (!(stored <= hi)) stored = hi;
            // The decoder computed float(stored) * slope + intercept in single precision.
            bad |= float(stored) * slope + intercept != values[i];
            if (type == 0) static_cast<std::uint8_t*>(out)[i] = std::uint8_t(stored);
            else if (type == 1) static_cast<std::uint16_t*>(out)[i] = std::uint16_t(stored);
            else static_cast<std::int16_t*>(out)[i] = std::int16_t(stored);
        }
        if (bad) exact = false;
    });
    return exact;
}

std::string format_number(double v) {
    char buf[64];
    for (int precision : {15, 16}) {
        std::snprintf(buf, sizeof buf, "%.*g", precision, v);
        if (!std::isnan(v) && std::strtod(buf, nullptr) == v) return buf;
    }
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

std::array<std::uint8_t, 352> nifti_header(std::size_t w, std::size_t h, std::size_t d, std::size_t v,
                                           const float affine_f[16], int type, float scl_slope, float scl_inter,
                                           double repetition_time) {
    const std::size_t vols = std::max<std::size_t>(v, 1);
    double a[16];
    for (int i = 0; i < 16; ++i) a[i] = affine_f[i];
    std::array<std::uint8_t, 352> buf{};
    std::uint8_t* hdr = buf.data();
    store_le32(hdr, 348);
    put_i16(hdr, 40, vols < 2 ? 3 : 4);
    put_i16(hdr, 42, int(w)), put_i16(hdr, 44, int(h)), put_i16(hdr, 46, int(d)), put_i16(hdr, 48, int(vols));
    put_i16(hdr, 70, kNiftiTypes[type].datatype);
    put_i16(hdr, 72, kNiftiTypes[type].bitpix);
    // RAS: rows 0 and 1 of the LPS affine negated.
    double ras[3][4];
    for (int c = 0; c < 4; ++c)
        for (int r = 0; r < 3; ++r) ras[r][c] = (r < 2 ? -1 : 1) * a[4 * c + r];
    const double dx = column_length(a, 0), dy = column_length(a, 1), dz = column_length(a, 2);
    double qb = 0, qc = 0, qd = 0, qfac = 1;
    const bool qform = dx != 0 && dy != 0 && dz != 0;
    if (qform) {
        double rot[3][3];
        const double len[3] = {dx, dy, dz};
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) rot[r][c] = ras[r][c] / len[c];
        quaternion(rot, qb, qc, qd, qfac);
    }
    put_f32(hdr, 76, qfac);
    const bool timed = repetition_time > 0 && std::isfinite(repetition_time);
    put_f32(hdr, 80, dx), put_f32(hdr, 84, dy), put_f32(hdr, 88, dz), put_f32(hdr, 92, timed ? repetition_time : 1.0);
    put_f32(hdr, 108, 352.0);
    put_f32(hdr, 112, scl_slope), put_f32(hdr, 116, scl_inter);
    hdr[123] = timed ? 2 | 8 : 2;  // millimetres, and seconds when the repetition time is known
    put_i16(hdr, 252, qform ? 1 : 0);
    put_i16(hdr, 254, 1);
    if (qform) {
        put_f32(hdr, 256, qb), put_f32(hdr, 260, qc), put_f32(hdr, 264, qd);
        put_f32(hdr, 268, ras[0][3]), put_f32(hdr, 272, ras[1][3]), put_f32(hdr, 276, ras[2][3]);
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) put_f32(hdr, 280 + 16 * r + 4 * c, ras[r][c]);
    std::memcpy(hdr + 344, "n+1", 4);
    return buf;
}

int dcm_nifti_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                       std::size_t v, const float affine_f[16], int type, float scl_slope, float scl_inter,
                       double repetition_time) {
    if (path.empty() || !data || !affine_f) return kIo;
    const std::size_t vols = std::max<std::size_t>(v, 1);
    if (type < 0 || type > kRgb24 || w >= 32768 || h >= 32768 || d >= 32768 || vols >= 32768) return kType;
    const std::size_t bytes = w * h * d * vols * element_bytes(type);
    const bool gz = path.size() > 3 && path.compare(path.size() - 3, 3, ".gz") == 0;
    const auto buf = nifti_header(w, h, d, v, affine_f, type, scl_slope, scl_inter, repetition_time);
    AtomicFile f(path);
    if (!f.ok()) return kIo;
    if (gz) {
        std::vector<std::uint8_t> packed;
        try {
            packed = gzip_members({{buf.data(), buf.size()}, {static_cast<const std::uint8_t*>(data), bytes}});
        } catch (const std::bad_alloc&) {
            return kMemory;
        }
        if (packed.empty()) return kCompress;
        f.write(packed.data(), packed.size());
    } else {
        f.write(buf.data(), 352);
        f.write(data, bytes);
    }
    return f.commit();
}

namespace {
// Where a NIfTI-1 header says its voxels end (vox_offset plus the dimensions' bytes), saturating.
std::uint64_t nifti_data_end(const std::uint8_t* h) {
    const int dim0 = get_i16(h, 40);
    std::uint64_t count = 1;
    for (int i = 1; i <= 4; ++i) {
        const int v = get_i16(h, 40 + 2 * i);
        if (dim0 >= i && v >= 1) count *= std::uint64_t(v);
    }
    std::uint64_t bpv = 4;
    switch (get_i16(h, 70)) {
    case 2: case 256: bpv = 1; break;
    case 4: case 512: bpv = 2; break;
    case 128: bpv = 3; break;
    default: break;
    }
    const float vox = get_f32(h, 108);
    const std::uint64_t offset = vox > 0 && vox < 1e9f ? std::uint64_t(vox) : 352;
    return offset + count * bpv;
}
}  // namespace

int dcm_nifti_read(const std::string& path, NiftiVolume& out) {
    if (path.empty()) return kIo;
    OwnedBuffer file;
    try {
        file = read_whole_file(path);
    } catch (const std::bad_alloc&) {
        return kMemory;
    } catch (const std::exception&) {
        return kIo;
    }
    std::vector<std::uint8_t> inflated;
    const std::uint8_t* p = file.data();
    std::size_t n = file.size();
    if (n >= 2 && p[0] == 0x1F && p[1] == 0x8B) {
        // The header first, then only as much as it says the file holds: data after that is never
        // inflated (a small file can inflate to gigabytes).
        try {
            if (!gunzip(p, n, inflated, 352)) return kCompress;
            std::size_t want = 352;
            if (inflated.size() >= 352 && load_le32(inflated.data()) == 348) {
                const std::uint64_t need = nifti_data_end(inflated.data());
                if (need > limits::allowed(n)) return kMemory;
                want = std::size_t(need);
            }
            inflated.clear();
            if (!gunzip_whole(p, n, inflated, want) && !gunzip(p, n, inflated, want)) return kCompress;
        } catch (const std::bad_alloc&) {
            return kMemory;
        }
        p = inflated.data(), n = inflated.size();
    }
    if (n < 18 || n <= 351 || load_le32(p) != 348 || std::memcmp(p + 344, "n+1", 4) != 0) return kFormat;
    const int dim0 = get_i16(p, 40);
    auto dim = [&](int i) {
        const int v = get_i16(p, 40 + 2 * i);
        return dim0 >= i && v >= 1 ? std::size_t(v) : std::size_t(1);
    };
    out.w = dim(1), out.h = dim(2), out.d = dim(3), out.t = dim(4);
    out.datatype = get_i16(p, 70);
    std::size_t bpv = 0;
    switch (out.datatype) {
    case 2: case 256: bpv = 1; break;
    case 4: case 512: bpv = 2; break;
    case 8: case 16: case 768: bpv = 4; break;
    case 128: bpv = 3; break;
    default: return kType;
    }
    const float vox = get_f32(p, 108);
    // vox_offset is a float: one past the file (or infinite) must not reach the integer conversion.
    if (vox >= float(n)) return kFormat;
    const std::size_t offset = vox > 0 ? std::size_t(vox) : 352;
    const std::size_t bytes = out.w * out.h * out.d * out.t * bpv;
    if (offset > n || bytes > n - offset) return kFormat;
    if (out.datatype == 128) return kType;
    try {
        out.data.assign(p + offset, p + offset + bytes);
    } catch (const std::bad_alloc&) {
        return kMemory;
    }
    const double pix[4] = {get_f32(p, 76), get_f32(p, 80), get_f32(p, 84), get_f32(p, 88)};
    out.spacing[0] = pix[3], out.spacing[1] = pix[2], out.spacing[2] = pix[1];
    const float slope = get_f32(p, 112);
    out.scl_slope = slope == 0 ? 1.0 : slope;
    out.scl_inter = get_f32(p, 116);
    double* A = out.affine;
    std::fill(A, A + 16, 0.0);
    A[15] = 1;
    const int qform = get_i16(p, 252), sform = get_i16(p, 254);
    if (sform >= 1) {
        for (int j = 0; j < 4; ++j) {
            A[4 * j] = -get_f32(p, 280 + 4 * j);
            A[4 * j + 1] = -get_f32(p, 296 + 4 * j);
            A[4 * j + 2] = get_f32(p, 312 + 4 * j);
        }
    } else if (qform < 1) {
        A[0] = pix[1], A[5] = pix[2], A[10] = pix[3];
    } else {
        const double b = get_f32(p, 256), c = get_f32(p, 260), d = get_f32(p, 264);
        const double q = 1 - (b * b + c * c + d * d);
        const double a = q < 1e-7 ? 0 : std::sqrt(q);
        const double R[3][3] = {{a * a + b * b - c * c - d * d, 2 * (b * c - a * d), 2 * (b * d + a * c)},
                                {2 * (b * c + a * d), a * a + c * c - b * b - d * d, 2 * (c * d - a * b)},
                                {2 * (b * d - a * c), 2 * (c * d + a * b), a * a + d * d - c * c - b * b}};
        const double qfac = pix[0] < 0 ? -1 : 1;
        const double scale[3] = {pix[1], pix[2], pix[3] * qfac};
        const double t[3] = {get_f32(p, 268), get_f32(p, 272), get_f32(p, 276)};
        for (int r = 0; r < 3; ++r) {
            const double flip = r < 2 ? -1 : 1;
            for (int c2 = 0; c2 < 3; ++c2) A[4 * c2 + r] = flip * R[r][c2] * scale[c2];
            A[12 + r] = flip * t[r];
        }
    }
    return kOk;
}

int dcm_nrrd_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                      std::size_t v, const double a[16], int type, bool gzip) {
    if (path.empty() || !data || !a) return kIo;
    if (type < 0 || type > 3) return kType;
    const bool four = v >= 2;
    std::string hdr = "NRRD0004\n# Exported by loamware dcm_volexport\n";
    hdr += std::string("type: ") + kNrrdTypes[type] + "\n";
    hdr += four ? "dimension: 4\n" : "dimension: 3\n";
    hdr += "space: left-posterior-superior\n";
    hdr.append("sizes: ").append(std::to_string(w)).append(" ").append(std::to_string(h)).append(" ").append(std::to_string(d));
    if (four) hdr.append(" ").append(std::to_string(v));
    hdr += "\n";
    hdr += "space directions: " + vector_text(a[0], a[1], a[2]) + " " + vector_text(a[4], a[5], a[6]) + " " +
           vector_text(a[8], a[9], a[10]) + (four ? " none" : "") + "\n";
    hdr += four ? "kinds: domain domain domain list\n" : "kinds: domain domain domain\n";
    if (element_bytes(type) > 1) hdr += "endian: little\n";
    hdr += gzip ? "encoding: gzip\n" : "encoding: raw\n";
    hdr += "space origin: " + vector_text(a[12], a[13], a[14]) + "\n\n";
    if (hdr.size() > kNrrdHeaderMax) return kIo;
    const std::size_t bytes = w * h * d * std::max<std::size_t>(v, 1) * element_bytes(type);
    AtomicFile f(path);
    if (!f.ok()) return kIo;
    f.write(hdr.data(), hdr.size());
    if (gzip) {
        const auto packed = gzip_members({{static_cast<const std::uint8_t*>(data), bytes}});
        if (packed.empty()) return kCompress;
        f.write(packed.data(), packed.size());
    } else {
        f.write(data, bytes);
    }
    return f.commit();
}

int dcm_metaimage_write_nd(const std::string& path, const void* data, std::size_t w, std::size_t h, std::size_t d,
                           std::size_t v, const double a[16], int type, bool compressed) {
    if (path.empty() || !data || !a) return kIo;
    if (type < 0 || type > 3) return kType;
    const bool four = v >= 2;
    const std::size_t bytes = w * h * d * std::max<std::size_t>(v, 1) * element_bytes(type);
    std::vector<std::uint8_t> packed;
    if (compressed) {
        packed = compress(data, bytes, false);
        if (packed.empty()) return kCompress;
    }
    std::string hdr = "ObjectType = Image\n";
    hdr += four ? "NDims = 4" : "NDims = 3";
    hdr += "\nBinaryData = True\nBinaryDataByteOrderMSB = False\nCompressedData = ";
    hdr += compressed ? "True\n" : "False\n";
    if (compressed) hdr += "CompressedDataSize = " + std::to_string(packed.size()) + "\n";
    hdr += "TransformMatrix =";
    for (int c = 0; c < 3; ++c) {
        double len = column_length(a, c);
        if (len == 0) len = 1;
        for (int r = 0; r < 3; ++r) hdr.append(" ").append(format_number(a[4 * c + r] / len));
        if (four) hdr += " 0";
    }
    if (four) hdr += " 0 0 0 1";
    hdr += "\nOffset = " + format_number(a[12]) + " " + format_number(a[13]) + " " + format_number(a[14]);
    if (four) hdr += " 0";
    hdr += "\nElementSpacing = " + format_number(column_length(a, 0)) + " " + format_number(column_length(a, 1)) + " " +
           format_number(column_length(a, 2));
    if (four) hdr += " 1";
    hdr += "\nDimSize = " + std::to_string(w) + " " + std::to_string(h) + " " + std::to_string(d);
    if (four) hdr.append(" ").append(std::to_string(v));
    hdr += std::string("\nElementType = ") + kMetaTypes[type] + "\nElementDataFile = LOCAL\n";
    if (hdr.size() > kMetaHeaderMax) return kIo;
    AtomicFile f(path);
    if (!f.ok()) return kIo;
    f.write(hdr.data(), hdr.size());
    if (compressed) f.write(packed.data(), packed.size());
    else f.write(data, bytes);
    return f.commit();
}

}  // namespace loamwerk::volume
