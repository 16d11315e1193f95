#include "wsi/slide.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <thread>

#include "core/bytes.hpp"
#include "core/dataset.hpp"
#include "core/parallel.hpp"
#include "core/file_io.hpp"
#include "core/values.hpp"
#include "core/tags.hpp"
#include "pixel/decode.hpp"
#include "pixel/simd.hpp"
#include "wsi/colour.hpp"

namespace loamwerk::wsi {

namespace {

class MappedFile final : public Source {
public:
    MappedFile(void* base, std::size_t size) : base_(base), size_(size) {}
    ~MappedFile() override {
        if (base_) munmap(base_, size_);
    }

private:
    void* base_;
    std::size_t size_;
};

std::vector<std::uint8_t> bytes_of(const ElementRef* e) {
    if (!e || !e->value) return {};
    return {e->value, e->value + e->length};
}

// The upper-case third value of Image Type.
std::string image_type_value3(const std::string& image_type) {
    std::size_t start = 0;
    for (int i = 0; i < 2; ++i) {
        const std::size_t bs = image_type.find('\\', start);
        if (bs == std::string::npos) return {};
        start = bs + 1;
    }
    std::string v = image_type.substr(start, image_type.find('\\', start) - start);
    while (!v.empty() && v.back() == ' ') v.pop_back();
    for (char& c : v) c = char(std::toupper(static_cast<unsigned char>(c)));
    return v;
}

struct Parsed {
    InstanceInfo info;
    std::vector<std::pair<long, long>> positions;  // per frame (column, row), 1-based; empty when absent
};

Parsed read_instance(std::span<const std::uint8_t> bytes) {
    Parsed out;
    InstanceInfo& info = out.info;
    const Dataset ds = Dataset::borrow(bytes);
    if (ds.layout().has_meta) info.transfer_syntax = std::string(trim_padding(ds.layout().meta.transfer_syntax));
    if (!ds.readable()) return out;
    const Elements& top = ds.elements();
    info.sop_class = std::string(text_of(top, tags::kSOPClassUID));
    info.sop_instance = std::string(text_of(top, tags::kSOPInstanceUID));
    info.study_uid = std::string(text_of(top, tags::kStudyInstanceUID));
    info.series_uid = std::string(text_of(top, tags::kSeriesInstanceUID));
    info.frame_of_reference_uid = std::string(text_of(top, tags::kFrameOfReferenceUID));
    info.manufacturer = std::string(text_of(top, tags::kManufacturer));
    info.modality = std::string(text_of(top, tags::kModality));
    info.image_type = std::string(text_of(top, tags::kImageType));
    info.organisation_type = std::string(text_of(top, tags::kDimensionOrganizationType));
    info.total_columns =
        std::uint32_t(std::clamp<long>(integer_of(top, tags::kTotalPixelMatrixColumns).value_or(0), 0, 0x7FFFFFFF));
    info.total_rows =
        std::uint32_t(std::clamp<long>(integer_of(top, tags::kTotalPixelMatrixRows).value_or(0), 0, 0x7FFFFFFF));
    info.frames = std::uint32_t(std::clamp<long>(integer_of(top, tags::kNumberOfFrames).value_or(1), 0, 0x7FFFFFFF));
    info.rows = std::uint16_t(integer_of(top, tags::kRows).value_or(0));
    info.columns = std::uint16_t(integer_of(top, tags::kColumns).value_or(0));
    info.samples = std::uint16_t(integer_of(top, tags::kSamplesPerPixel).value_or(0));
    info.bits_allocated = std::uint16_t(integer_of(top, tags::kBitsAllocated).value_or(0));
    info.bits_stored = std::uint16_t(integer_of(top, tags::kBitsStored).value_or(0));
    info.volume_width = float_of(top, tags::kImagedVolumeWidth).value_or(0);
    info.volume_height = float_of(top, tags::kImagedVolumeHeight).value_or(0);

    // Pixel Spacing: shared functional groups, then the top level.
    std::vector<double> spacing;
    const auto shared = items_of(top, tags::kSharedFunctionalGroupsSequence);
    if (!shared.empty()) {
        const auto measures = items_of(shared[0], tags::kPixelMeasuresSequence);
        if (!measures.empty()) spacing = ds_values(find_element(measures[0], tags::kPixelSpacing));
    }
    if (spacing.size() < 2) spacing = ds_values(find_element(top, tags::kPixelSpacing));
    if (spacing.size() >= 2) info.spacing_row = spacing[0], info.spacing_column = spacing[1];

    // ICC profile: the first optical path's, else the top level's.
    const auto paths = items_of(top, tags::kOpticalPathSequence);
    for (const auto& item : paths)
        if (info.icc.empty()) info.icc = bytes_of(find_element(item, tags::kICCProfile));
    if (info.icc.empty()) info.icc = bytes_of(find_element(top, tags::kICCProfile));
    if (const ElementRef* eot = find_element(top, tags::kExtendedOffsetTable)) {
        info.has_extended_offsets = true;
        info.extended_offset_frames = std::size_t(eot->length / 8);
    }
    Concatenation& c = info.concatenation;
    c.uid = std::string(text_of(top, tags::kConcatenationUID));
    c.in_number = integer_of(top, tags::kInConcatenationNumber);
    c.total_number = integer_of(top, tags::kInConcatenationTotalNumber);
    c.frame_offset_number = integer_of(top, tags::kConcatenationFrameOffsetNumber);
    c.source_sop_instance_uid = std::string(text_of(top, tags::kSOPInstanceUIDOfConcatenationSource));

    // Frame positions in the total pixel matrix, when every frame has one.
    const auto per_frame = items_of(top, tags::kPerFrameFunctionalGroupsSequence);
    if (!per_frame.empty()) {
        out.positions.reserve(per_frame.size());
        for (const auto& item : per_frame) {
            const auto pos = items_of(item, tags::kPlanePositionSlideSequence);
            const auto col =
                pos.empty() ? std::nullopt : integer_of(pos[0], tags::kColumnPositionInTotalImagePixelMatrix);
            const auto row = pos.empty() ? std::nullopt : integer_of(pos[0], tags::kRowPositionInTotalImagePixelMatrix);
            if (!col || !row) {
                out.positions.clear();
                break;
            }
            out.positions.emplace_back(*col, *row);
        }
    }
    return out;
}

// A frame decoded to RGBA 8-bit on a tile of the level's size (transparent black where the
// frame is smaller); null when it cannot be decoded.
Tile decode_rgba(const render::RenderImage& img, std::size_t index, std::uint32_t width, std::uint32_t height) {
    // Per-thread scratch: decoding a tile then allocates only the tile itself. Buffers grown by
    // a large image (an overview) are released rather than kept for the thread's lifetime.
    thread_local render::FrameRecord record;
    thread_local ByteVector stored;
    struct Release {
        ~Release() {
            constexpr std::size_t kKeep = std::size_t(16) << 20;
            if (record.decoded.capacity() > kKeep) ByteVector().swap(record.decoded);
            if (record.joined.capacity() > kKeep) std::vector<std::uint8_t>().swap(record.joined);
            if (stored.capacity() > kKeep) ByteVector().swap(stored);
        }
    } release;
    if (render::decode_frame(img, index, record) != render::status::kOk) return nullptr;
    const std::uint8_t* pixels = nullptr;
    unsigned samples = 0, bytes = 0;
    std::uint32_t frame_rows = 0, frame_cols = 0;
    if (record.has_decoded && record.samples == 3 && record.bits == 8 && record.planar == 0 &&
        record.photometric == render::kRgb && record.decoded.size() >= std::size_t(record.rows) * record.columns * 3) {
        // Codec output that is already interleaved RGB.
        pixels = record.decoded.data(), samples = 3, bytes = 1, frame_rows = record.rows, frame_cols = record.columns;
    } else {
        stored.clear();
        render::FrameLayout layout;
        if (render::append_stored(img, record, true, stored, layout) != render::render_error::kOk) return nullptr;
        samples = layout.samples, bytes = layout.width, frame_rows = layout.rows, frame_cols = layout.columns;
        if ((samples != 1 && samples != 3 && samples != 4) || (bytes != 1 && bytes != 2)) return nullptr;
        if (stored.size() < std::size_t(frame_rows) * frame_cols * samples * bytes) return nullptr;
        pixels = stored.data();
    }
    auto out = std::make_shared<ByteVector>(std::size_t(width) * height * 4);
    const std::uint32_t rows = std::min(frame_rows, height), cols = std::min(frame_cols, width);
    if (rows < height || cols < width) std::fill(out->begin(), out->end(), 0);
    const std::size_t stride = std::size_t(frame_cols) * samples * bytes;
    if (bytes == 1 && samples == 3) {
        for (std::uint32_t r = 0; r < rows; ++r)
            render::rgb_to_rgba(pixels + r * stride, out->data() + std::size_t(r) * width * 4, cols);
        return out;
    }
    // Samples of more than 8 bits keep their top 8 stored bits.
    const unsigned bits = img.bits_stored && img.bits_stored <= 16 ? img.bits_stored : bytes * 8;
    const unsigned shift = bytes == 2 && bits > 8 ? bits - 8 : 0;
    // MONOCHROME1 shows its lowest value as white.
    const std::uint8_t invert = samples == 1 && record.photometric == render::kMonochrome1 ? 255 : 0;
    for (std::uint32_t r = 0; r < rows; ++r) {
        const std::uint8_t* src = pixels + r * stride;
        std::uint8_t* dst = out->data() + std::size_t(r) * width * 4;
        for (std::uint32_t c = 0; c < cols; ++c, dst += 4) {
            std::uint8_t v[4];
            for (unsigned s = 0; s < samples; ++s, src += bytes)
                v[s] = bytes == 1 ? src[0] : std::uint8_t(std::min<unsigned>(load_le16(src) >> shift, 255));
            if (samples == 1) dst[0] = dst[1] = dst[2] = std::uint8_t(v[0] ^ invert), dst[3] = 255;
            else dst[0] = v[0], dst[1] = v[1], dst[2] = v[2], dst[3] = samples == 4 ? v[3] : 255;
        }
    }
    return out;
}

// A decoded RGBA image handed out as RGB or RGBA, through the instance's profile when asked.
void deliver(const ByteVector& rgba_pixels, const Instance& from, bool rgba, bool srgb, ByteVector& out) {
    const std::size_t pixels = rgba_pixels.size() / 4;
    out.resize(pixels * (rgba ? 4 : 3));
    if (rgba) std::memcpy(out.data(), rgba_pixels.data(), rgba_pixels.size());
    else render::rgba_to_rgb(rgba_pixels.data(), out.data(), pixels);
    if (srgb) to_srgb(out, rgba, from.info.icc, from.mutex, from.to_srgb);
}

std::string number_text(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

bool is_concatenated(const Concatenation& c) {
    return !c.uid.empty() && (c.total_number.value_or(0) > 1 || c.in_number.value_or(0) > 1 ||
                              c.frame_offset_number.value_or(0) != 0);
}

// Drops least recently used tiles until the cache fits `capacity`. Caller holds the mutex.
void trim(const Level& level, std::size_t capacity) {
    while (level.cached_bytes > capacity && !level.recent.empty()) {
        const auto& [frame, tile] = level.recent.back();
        level.cached_bytes -= tile->size();
        level.cached.erase(frame);
        level.recent.pop_back();
    }
}

}  // namespace

std::shared_ptr<Source> map_file(const std::string& path) {
    const int fd = open_read_only(path);
    if (fd < 0) throw OpenError(path, errno);
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        throw OpenError(path, error);
    }
    const std::size_t size = std::size_t(st.st_size);
    void* base = nullptr;
    if (size) {
        base = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (base == MAP_FAILED) {
            const int error = errno;
            ::close(fd);
            throw OpenError(path, error);
        }
    }
    ::close(fd);  // the mapping keeps the file
    auto source = std::make_shared<MappedFile>(base, size);
    source->bytes = {static_cast<const std::uint8_t*>(base), size};
    source->path = path;
    return source;
}

ByteVector BufferPool::take(std::size_t size) {
    ByteVector buffer;
    {
        std::lock_guard lock(mutex_);
        // The smallest free buffer that holds `size`.
        auto best = free_.end();
        for (auto it = free_.begin(); it != free_.end(); ++it)
            if (it->capacity() >= size && (best == free_.end() || it->capacity() < best->capacity())) best = it;
        if (best != free_.end()) {
            bytes_ -= best->capacity();
            buffer = std::move(*best);
            free_.erase(best);
        }
    }
    buffer.resize(size);
    return buffer;
}

void BufferPool::give(ByteVector&& buffer) {
    const std::size_t held = buffer.capacity();
    if (!held) return;
    std::lock_guard lock(mutex_);
    if (free_.size() >= kMaxBuffers || bytes_ + held > kMaxBytes) return;  // freed with `buffer`
    bytes_ += held;
    free_.push_back(std::move(buffer));
}

Level::Level() = default;
Level::~Level() = default;

std::optional<std::uint32_t> Level::frame_of(std::uint32_t x, std::uint32_t y) const {
    if (x >= tiles_x || y >= tiles_y) return std::nullopt;
    if (organisation == Organisation::kTiledSparse) {
        const auto it = sparse.find(std::uint64_t(x) << 32 | y);
        if (it == sparse.end()) return std::nullopt;
        return it->second;
    }
    const std::uint64_t index = std::uint64_t(x) + std::uint64_t(tiles_x) * y;
    if (index >= frames.size()) return std::nullopt;
    return std::uint32_t(index);
}

slide::slide(std::vector<std::shared_ptr<Source>> sources) {
    std::size_t concatenated = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const auto& source = sources[i];
        int status = 0;
        auto image = render::open(source->bytes, render::kLenient | render::kDeferDecode, &status);
        if (!image || image->frames.empty()) {
            levels_.clear(), associated_.clear();
            error_ = "WSI instance " + std::to_string(i) + " is not a readable DICOM image";
            return;
        }
        Parsed parsed = read_instance(source->bytes);
        const std::string kind = image_type_value3(parsed.info.image_type);
        if (kind == "LABEL" || kind == "OVERVIEW" || kind == "THUMBNAIL" || kind == "LOCALIZER") {
            std::string name = kind;
            for (char& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
            if (associated(name)) continue;  // one image per name: the first given
            auto a = std::make_unique<AssociatedImage>();
            a->name = std::move(name), a->source = source, a->image = std::move(image), a->info = std::move(parsed.info);
            associated_.push_back(std::move(a));
            continue;
        }
        if (is_concatenated(parsed.info.concatenation)) ++concatenated;
        auto level = std::make_unique<Level>();
        level->source = source;
        level->info = std::move(parsed.info);
        InstanceInfo& info = level->info;
        level->tile_width = image->columns, level->tile_height = image->rows;
        if (!info.total_columns) info.total_columns = image->columns;
        if (!info.total_rows) info.total_rows = image->rows;
        if (level->tile_width && level->tile_height) {
            level->tiles_x = std::uint32_t((std::uint64_t(info.total_columns) + level->tile_width - 1) / level->tile_width);
            level->tiles_y = std::uint32_t((std::uint64_t(info.total_rows) + level->tile_height - 1) / level->tile_height);
        }
        const std::size_t n = image->frames.size();
        const bool positioned = !parsed.positions.empty() && parsed.positions.size() >= n;
        if (info.organisation_type != "TILED_FULL" && positioned && level->tile_width && level->tile_height)
            level->organisation = Organisation::kTiledSparse;
        else if (info.organisation_type == "TILED_FULL")
            level->organisation = Organisation::kTiledFull;
        const std::uint64_t plane = std::uint64_t(level->tiles_x) * level->tiles_y;
        if (level->organisation == Organisation::kTiledFull && plane > 4 * std::uint64_t(n) + 16) {
            levels_.clear(), associated_.clear();
            error_ = "WSI instance " + std::to_string(i) + ": its Total Pixel Matrix (" + std::to_string(info.total_rows) +
                     " x " + std::to_string(info.total_columns) + ") needs " + std::to_string(plane) + " tiles of " +
                     std::to_string(level->tile_height) + " x " + std::to_string(level->tile_width) + ", but it has " +
                     std::to_string(n) + " frames";
            return;
        }
        level->frames.resize(n);
        level->sparse.reserve(level->organisation == Organisation::kTiledSparse ? n : 0);
        const std::uint8_t* begin = source->bytes.data();
        for (std::size_t f = 0; f < n; ++f) {
            TileRange& r = level->frames[f];
            const render::FrameRecord& rec = image->frames[f];
            r.frame = f;
            r.length = rec.source_size;
            if (rec.joined.empty() && rec.source >= begin && rec.source + rec.source_size <= begin + source->bytes.size())
                r.offset = std::int64_t(rec.source - begin);
            if (level->organisation == Organisation::kTiledSparse) {
                const auto [col, row] = parsed.positions[f];
                const long cx = col >= 1 ? (col - 1) / long(level->tile_width) : -1;
                const long ry = row >= 1 ? (row - 1) / long(level->tile_height) : -1;
                if (cx < 0 || ry < 0 || cx > 0xFFFFFFFFL || ry > 0xFFFFFFFFL) continue;
                r.tile_x = std::uint32_t(cx), r.tile_y = std::uint32_t(ry);
                // Further focal planes or optical paths of a tile: the first frame stands for it.
                level->sparse.emplace(std::uint64_t(r.tile_x) << 32 | r.tile_y, std::uint32_t(f));
            } else if (plane) {
                const std::uint64_t within = f % plane;
                r.tile_x = std::uint32_t(within % level->tiles_x), r.tile_y = std::uint32_t(within / level->tiles_x);
            }
        }
        level->image = std::move(image);
        levels_.push_back(std::move(level));
    }
    if (concatenated) {
        levels_.clear(), associated_.clear();
        error_ = "WSI Concatenation assembly is not implemented for " + std::to_string(concatenated) +
                 " volume instance(s)";
        return;
    }
    std::stable_sort(levels_.begin(), levels_.end(), [](const auto& a, const auto& b) {
        return a->info.total_columns > b->info.total_columns;
    });
}

slide::~slide() = default;

const Level* slide::level(int index) const {
    return index >= 0 && std::size_t(index) < levels_.size() ? levels_[std::size_t(index)].get() : nullptr;
}

const AssociatedImage* slide::associated(const std::string& name) const {
    for (const auto& a : associated_)
        if (a->name == name) return a.get();
    return nullptr;
}

std::vector<std::string> slide::associated_names() const {
    std::vector<std::string> names;
    for (const auto& a : associated_) names.push_back(a->name);
    return names;
}

bool slide::tile_exists(int index, std::uint32_t x, std::uint32_t y) const {
    const Level* l = level(index);
    return l && l->frame_of(x, y).has_value();
}

double slide::level_downsample(int index) const {
    const Level* l = level(index);
    if (!l || !l->info.total_columns) return 1.0;
    return double(levels_[0]->info.total_columns) / double(l->info.total_columns);
}

int slide::best_level_for_downsample(double d) const {
    const int n = int(levels_.size());
    if (n == 0) return -1;
    if (std::isnan(d) || d <= level_downsample(0) || n == 1 || level_downsample(1) > d) return 0;
    for (int i = 1; i < n; ++i)
        if (level_downsample(i) > d) return i - 1;
    return n - 1;
}

void slide::set_cache_capacity(std::size_t bytes) {
    capacity_ = bytes;
    for (const auto& l : levels_) {
        std::lock_guard lock(l->mutex);
        trim(*l, bytes);
    }
}

Tile slide::tile(int index, std::uint32_t x, std::uint32_t y) const {
    const Level* l = level(index);
    if (!l) return nullptr;
    const auto frame = l->frame_of(x, y);
    if (!frame) return nullptr;
    if (Tile t = cached_tile(*l, *frame)) return t;
    return decode_tile(*l, *frame);
}

Tile slide::cached_tile(const Level& l, std::uint32_t frame) const {
    std::lock_guard lock(l.mutex);
    const auto it = l.cached.find(frame);
    if (it == l.cached.end()) return nullptr;
    l.recent.splice(l.recent.begin(), l.recent, it->second);
    return it->second->second;
}

Tile slide::decode_tile(const Level& l, std::uint32_t frame) const {
    Tile decoded = decode_rgba(*l.image, frame, l.tile_width, l.tile_height);
    if (!decoded) return nullptr;
    const std::size_t capacity = capacity_;
    if (decoded->size() > capacity) return decoded;
    std::lock_guard lock(l.mutex);
    if (const auto it = l.cached.find(frame); it != l.cached.end()) return it->second->second;  // decoded twice
    l.recent.emplace_front(frame, decoded);
    l.cached.emplace(frame, l.recent.begin());
    l.cached_bytes += decoded->size();
    trim(l, capacity);
    return decoded;
}

unsigned image_type_flags(std::string_view image_type) {
    static constexpr std::string_view kNames[] = {"ORIGINAL", "DERIVED", "PRIMARY", "SECONDARY", "VOLUME", "RESAMPLED"};
    unsigned flags = 0;
    std::string_view rest = image_type;
    for (;;) {
        const std::size_t bs = rest.find('\\');
        const std::string_view v = rest.substr(0, bs);
        for (unsigned i = 0; i < std::size(kNames); ++i)
            if (v == kNames[i]) flags |= 1u << i;
        if (bs == std::string_view::npos) return flags;
        rest.remove_prefix(bs + 1);
    }
}

void slide::read_tiles(int level, std::span<const TileIndex> tiles, bool rgba, bool fill_missing,
                       std::vector<ByteVector>& out) const {
    out.resize(tiles.size());
    parallel_for(tiles.size(), [&](std::size_t i) {
        read_tile(level, tiles[i].first, tiles[i].second, rgba, fill_missing, false, out[i]);
    });
}

bool slide::read_tile_stack(int level, std::span<const TileIndex> tiles, bool rgba, bool fill_missing,
                            std::size_t tile_bytes, ByteVector& out) const {
    out = pool_->take(tile_bytes * tiles.size());
    std::atomic<bool> failed{false};
    parallel_for(tiles.size(), [&](std::size_t i) {
        thread_local ByteVector t;
        if (failed) return;
        if (!read_tile(level, tiles[i].first, tiles[i].second, rgba, fill_missing, false, t) || t.size() != tile_bytes) {
            failed = true;
            return;
        }
        std::copy(t.begin(), t.end(), out.begin() + std::ptrdiff_t(i * tile_bytes));
    });
    return !failed;
}

bool slide::read_tile(int index, std::uint32_t x, std::uint32_t y, bool rgba, bool fill_missing, bool srgb,
                      ByteVector& out) const {
    out.clear();
    const Level* l = level(index);
    if (!l) return false;
    const std::size_t channels = rgba ? 4 : 3;
    if (const Tile t = tile(index, x, y)) {
        deliver(*t, *l, rgba, srgb, out);
        return true;
    }
    const bool gap = l->organisation == Organisation::kTiledSparse && x < l->tiles_x && y < l->tiles_y &&
                     !l->frame_of(x, y);
    if (!gap || !fill_missing) return false;
    out.assign(std::size_t(l->tile_width) * l->tile_height * channels, 0);
    return true;
}

bool slide::read_region(std::int64_t x0, std::int64_t y0, int index, std::uint32_t width, std::uint32_t height,
                        bool rgba, bool srgb, ByteVector& out) const {
    out.clear();
    const Level* l = level(index);
    if (!l || !width || !height || !l->tile_width || !l->tile_height || l->frames.empty()) return false;
    const std::size_t channels = rgba ? 4 : 3;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(std::size_t(width), std::size_t(height), &bytes) ||
        __builtin_mul_overflow(bytes, channels, &bytes))
        return false;
    const double ds = level_downsample(index);
    const double fx = std::round(double(x0) / ds), fy = std::round(double(y0) / ds);
    constexpr double kLimit = 9.0e18;
    if (!(std::fabs(fx) < kLimit) || !(std::fabs(fy) < kLimit)) return false;
    const std::int64_t x = std::int64_t(fx), y = std::int64_t(fy);
    std::int64_t x_end = 0, y_end = 0;
    if (__builtin_add_overflow(x, std::int64_t(width), &x_end) || __builtin_add_overflow(y, std::int64_t(height), &y_end))
        return false;
    out.assign(bytes, 0);
    const std::int64_t level_w = l->info.total_columns, level_h = l->info.total_rows;
    const std::int64_t tw = l->tile_width, th = l->tile_height;
    if (x_end > 0 && y_end > 0 && x < level_w && y < level_h) {
        const std::int64_t c0 = std::max<std::int64_t>(0, x >= 0 ? x / tw : 0);
        const std::int64_t r0 = std::max<std::int64_t>(0, y >= 0 ? y / th : 0);
        const std::int64_t c1 = std::min<std::int64_t>((x_end - 1) / tw, std::int64_t(l->tiles_x) - 1);
        const std::int64_t r1 = std::min<std::int64_t>((y_end - 1) / th, std::int64_t(l->tiles_y) - 1);
        // The tiles covered: those in the cache first, then the others decoded, on worker threads
        // when there are several (copying cached pixels is bound by memory, not by a core).
        const std::size_t across = std::size_t(c1 - c0 + 1), count = across * std::size_t(r1 - r0 + 1);
        std::vector<Tile> tiles(count);
        std::vector<std::pair<std::size_t, std::uint32_t>> missing;  // (tile, frame)
        for (std::size_t k = 0; k < count; ++k) {
            const auto frame = l->frame_of(std::uint32_t(c0 + std::int64_t(k % across)), std::uint32_t(r0 + std::int64_t(k / across)));
            if (!frame) continue;
            tiles[k] = cached_tile(*l, *frame);
            if (!tiles[k]) missing.emplace_back(k, *frame);
        }
        parallel_for_workers(missing.size(), worker_count(missing.size()), [&](std::size_t j) {
            tiles[missing[j].first] = decode_tile(*l, missing[j].second);
        });
        for (std::size_t k = 0; k < count; ++k) {
            const Tile& t = tiles[k];
            if (!t) continue;
            const std::int64_t tx = c0 + std::int64_t(k % across), ty = r0 + std::int64_t(k / across);
            // The overlap of tile, region and level, in level pixels.
            const std::int64_t left = std::max({tx * tw, x, std::int64_t(0)});
            const std::int64_t right = std::min({tx * tw + tw, x_end, level_w});
            const std::int64_t top = std::max({ty * th, y, std::int64_t(0)});
            const std::int64_t bottom = std::min({ty * th + th, y_end, level_h});
            if (left >= right || top >= bottom) continue;
            const std::size_t run = std::size_t(right - left);
            for (std::int64_t py = top; py < bottom; ++py) {
                const std::uint8_t* src = t->data() + (std::size_t(py - ty * th) * std::size_t(tw) + std::size_t(left - tx * tw)) * 4;
                std::uint8_t* dst = out.data() + (std::size_t(py - y) * width + std::size_t(left - x)) * channels;
                if (rgba) std::memcpy(dst, src, run * 4);
                else render::rgba_to_rgb(src, dst, run);
            }
        }
    }
    if (srgb) to_srgb(out, rgba, l->info.icc, l->mutex, l->to_srgb);
    return true;
}

bool slide::read_associated(const std::string& name, bool rgba, bool srgb, ByteVector& out) const {
    out.clear();
    const AssociatedImage* a = associated(name);
    if (!a) return false;
    const Tile t = decode_rgba(*a->image, 0, a->image->columns, a->image->rows);
    if (!t) return false;
    deliver(*t, *a, rgba, srgb, out);
    return true;
}

bool slide::icc_transform_available() const {
    const Level* l = level(0);
    if (!l || l->info.icc.empty()) return false;
    return transform_for(l->info.icc, false, l->mutex, l->to_srgb) != nullptr;
}

std::map<std::string, std::string> slide::properties() const {
    std::map<std::string, std::string> p;
    if (!error_.empty()) return p;
    auto both = [&](const std::string& key, const std::string& value) {
        p["wsi." + key] = value;
        p["openslide." + key] = value;
    };
    both("vendor", "dicom");
    both("level-count", std::to_string(levels_.size()));
    both("associated-image-count", std::to_string(associated_.size()));
    for (std::size_t i = 0; i < levels_.size(); ++i) {
        const Level& l = *levels_[i];
        const std::string k = "level[" + std::to_string(i) + "].";
        both(k + "width", std::to_string(l.info.total_columns));
        both(k + "height", std::to_string(l.info.total_rows));
        both(k + "downsample", number_text(level_downsample(int(i))));
        both(k + "tile-width", std::to_string(l.tile_width));
        both(k + "tile-height", std::to_string(l.tile_height));
        const Concatenation& c = l.info.concatenation;
        const std::string d = "dicom.level[" + std::to_string(i) + "].";
        if (!c.uid.empty()) p[d + "ConcatenationUID"] = c.uid;
        if (c.in_number) p[d + "InConcatenationNumber"] = std::to_string(*c.in_number);
        if (c.total_number) p[d + "InConcatenationTotalNumber"] = std::to_string(*c.total_number);
        if (c.frame_offset_number) p[d + "ConcatenationFrameOffsetNumber"] = std::to_string(*c.frame_offset_number);
        if (!c.source_sop_instance_uid.empty()) p[d + "SOPInstanceUIDOfConcatenationSource"] = c.source_sop_instance_uid;
    }
    for (std::size_t i = 0; i < associated_.size(); ++i) {
        const AssociatedImage& a = *associated_[i];
        const std::string k = "associated[" + std::to_string(i) + "].";
        both(k + "name", a.name);
        both(k + "width", std::to_string(a.image->columns));
        both(k + "height", std::to_string(a.image->rows));
        if (!a.info.icc.empty()) both(k + "icc-profile-size", std::to_string(a.info.icc.size()));
    }
    const Level* l0 = level(0);
    if (!l0) return p;
    const InstanceInfo& info = l0->info;
    auto mpp = [](double volume, std::uint32_t pixels, double spacing) {
        if (volume > 0 && pixels > 0) return volume * 1000.0 / pixels;
        return spacing > 0 ? spacing * 1000.0 : 0.0;
    };
    both("mpp-x", number_text(mpp(info.volume_width, info.total_columns, info.spacing_column)));
    both("mpp-y", number_text(mpp(info.volume_height, info.total_rows, info.spacing_row)));
    std::uint64_t bx = 0, by = 0, bw = 0, bh = 0;
    if (l0->organisation != Organisation::kTiledSparse) {
        bw = info.total_columns, bh = info.total_rows;
    } else if (l0->tile_width && l0->tile_height && info.total_columns && info.total_rows) {
        std::uint32_t min_x = UINT32_MAX, min_y = UINT32_MAX, max_x = 0, max_y = 0;
        for (const auto& [key, frame] : l0->sparse) {
            const std::uint32_t tx = std::uint32_t(key >> 32), ty = std::uint32_t(key);
            if (tx >= l0->tiles_x || ty >= l0->tiles_y) continue;
            min_x = std::min(min_x, tx), min_y = std::min(min_y, ty), max_x = std::max(max_x, tx), max_y = std::max(max_y, ty);
        }
        if (min_x != UINT32_MAX) {
            bx = std::uint64_t(min_x) * l0->tile_width, by = std::uint64_t(min_y) * l0->tile_height;
            bw = std::min<std::uint64_t>(std::uint64_t(max_x + 1) * l0->tile_width, info.total_columns) - bx;
            bh = std::min<std::uint64_t>(std::uint64_t(max_y + 1) * l0->tile_height, info.total_rows) - by;
        }
    }
    both("bounds-x", std::to_string(bx));
    both("bounds-y", std::to_string(by));
    both("bounds-width", std::to_string(bw));
    both("bounds-height", std::to_string(bh));

    auto put = [&](const char* key, const std::string& value) {
        if (!value.empty()) p[std::string("dicom.") + key] = value;
    };
    put("SOPClassUID", info.sop_class);
    put("SOPInstanceUID", info.sop_instance);
    put("StudyInstanceUID", info.study_uid);
    put("SeriesInstanceUID", info.series_uid);
    put("FrameOfReferenceUID", info.frame_of_reference_uid);
    put("TransferSyntaxUID", info.transfer_syntax);
    put("Manufacturer", info.manufacturer);
    put("Modality", info.modality);
    put("ImageType", info.image_type);
    put("DimensionOrganizationType", l0->organisation == Organisation::kTiledSparse ? "TILED_SPARSE"
                                     : l0->organisation == Organisation::kTiledFull ? "TILED_FULL"
                                                                                     : "");
    put("TotalPixelMatrixColumns", std::to_string(info.total_columns));
    put("TotalPixelMatrixRows", std::to_string(info.total_rows));
    if (info.volume_width > 0) put("ImagedVolumeWidth", number_text(info.volume_width));
    if (info.volume_height > 0) put("ImagedVolumeHeight", number_text(info.volume_height));
    put("Rows", std::to_string(info.rows));
    put("Columns", std::to_string(info.columns));
    put("NumberOfFrames", std::to_string(l0->frames.size()));
    put("SamplesPerPixel", std::to_string(info.samples));
    put("BitsAllocated", std::to_string(info.bits_allocated));
    put("BitsStored", std::to_string(info.bits_stored));
    if (!info.icc.empty()) put("ICCProfileSize", std::to_string(info.icc.size()));
    if (info.has_extended_offsets) put("ExtendedOffsetTableFrameCount", std::to_string(info.extended_offset_frames));
    return p;
}

}  // namespace loamwerk::wsi
