// Whole-slide pyramids: the instances of one slide presented as tiled levels with associated
// images, a byte-bounded tile cache per level, regions, sRGB conversion and slide properties.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/bytes.hpp"
#include "pixel/image.hpp"

namespace loamwerk::wsi {

// The bytes of one instance: a memory-mapped file, an owned copy, or a holder the caller
// provides (kept alive as long as the slide).
class Source {
public:
    virtual ~Source() = default;
    std::span<const std::uint8_t> bytes;
    std::string path;  // empty for in-memory instances
};

// Maps the file read-only; throws std::runtime_error "cannot open <path>".
std::shared_ptr<Source> map_file(const std::string& path);

// A decoded tile, RGBA 8-bit, shared between the cache and its readers.
using Tile = std::shared_ptr<const ByteVector>;

// Where a frame's encoded bytes lie in its source (offset -1 when they are split over
// several fragments and have no single range).
struct TileRange {
    std::uint64_t frame = 0;
    std::uint32_t tile_x = 0, tile_y = 0;
    std::int64_t offset = -1;
    std::uint64_t length = 0;
};

struct Concatenation {
    std::string uid, source_sop_instance_uid;
    std::optional<long> in_number, total_number, frame_offset_number;
    bool present() const { return !uid.empty() || in_number || total_number || frame_offset_number; }
};

enum class Organisation { kUnknown, kTiledFull, kTiledSparse };

// Attributes reported in properties and descriptors.
struct InstanceInfo {
    std::string sop_class, sop_instance, study_uid, series_uid, frame_of_reference_uid, transfer_syntax,
        manufacturer, modality, image_type, organisation_type;
    std::uint32_t total_columns = 0, total_rows = 0, frames = 0;
    std::uint16_t rows = 0, columns = 0, samples = 0, bits_allocated = 0, bits_stored = 0;
    double volume_width = 0, volume_height = 0, spacing_row = 0, spacing_column = 0;
    bool has_extended_offsets = false;
    std::size_t extended_offset_frames = 0;
    std::vector<std::uint8_t> icc;
    Concatenation concatenation;
};

class ColourTransform;  // Little CMS transforms, one per profile and alpha mode

// Recycled pixel buffers: arrays handed to callers give their memory back when released, so
// steady tile reading reuses warm pages instead of faulting in fresh ones for every tile.
class BufferPool {
public:
    // A buffer of `size` bytes, contents unspecified.
    ByteVector take(std::size_t size);
    void give(ByteVector&& buffer);

private:
    static constexpr std::size_t kMaxBuffers = 16, kMaxBytes = std::size_t(64) << 20;
    std::mutex mutex_;
    std::vector<ByteVector> free_;
    std::size_t bytes_ = 0;
};

// One opened instance: its bytes, image, attributes, and the sRGB transforms of its profile.
struct Instance {
    std::shared_ptr<Source> source;
    std::unique_ptr<render::RenderImage> image;
    InstanceInfo info;
    // Guards the transforms (and a level's tile cache).
    mutable std::mutex mutex;
    mutable std::shared_ptr<ColourTransform> to_srgb[2];  // RGB, RGBA
};

struct Level : Instance {
    std::uint32_t tile_width = 0, tile_height = 0, tiles_x = 0, tiles_y = 0;
    Organisation organisation = Organisation::kUnknown;
    std::vector<TileRange> frames;
    std::unordered_map<std::uint64_t, std::uint32_t> sparse;  // (column << 32 | row) -> frame

    // The tile cache, guarded by `mutex`.
    mutable std::list<std::pair<std::uint32_t, Tile>> recent;  // most recently used first
    mutable std::unordered_map<std::uint32_t, std::list<std::pair<std::uint32_t, Tile>>::iterator> cached;
    mutable std::size_t cached_bytes = 0;

    Level();
    ~Level();
    std::optional<std::uint32_t> frame_of(std::uint32_t x, std::uint32_t y) const;
};

struct AssociatedImage : Instance {
    std::string name;
};

// Image Type's values as bits: 1 ORIGINAL, 2 DERIVED, 4 PRIMARY, 8 SECONDARY, 16 VOLUME,
// 32 RESAMPLED.
unsigned image_type_flags(std::string_view image_type);

class slide {
public:
    explicit slide(std::vector<std::shared_ptr<Source>> sources);
    ~slide();
    slide(const slide&) = delete;
    slide& operator=(const slide&) = delete;

    const std::string& open_error() const { return error_; }
    std::size_t level_count() const { return levels_.size(); }
    const Level* level(int index) const;
    const AssociatedImage* associated(const std::string& name) const;
    std::vector<std::string> associated_names() const;

    bool tile_exists(int level, std::uint32_t x, std::uint32_t y) const;
    double level_downsample(int level) const;
    int best_level_for_downsample(double downsample) const;
    std::size_t cache_capacity() const { return capacity_.load(); }
    void set_cache_capacity(std::size_t bytes);

    // The decoded RGBA tile, or null when it is missing, out of the grid or fails to decode.
    Tile tile(int level, std::uint32_t x, std::uint32_t y) const;
    // Interleaved 8-bit pixels, 3 or 4 samples, into `out` (from pool()); false, with `out`
    // empty, when the tile cannot be delivered (a missing sparse tile with fill_missing gives
    // zeros).
    bool read_tile(int level, std::uint32_t x, std::uint32_t y, bool rgba, bool fill_missing, bool srgb,
                   ByteVector& out) const;
    using TileIndex = std::pair<std::uint32_t, std::uint32_t>;  // (tile_x, tile_y)
    // read_tile for each tile, on worker threads, into `out` (one buffer each).
    void read_tiles(int level, std::span<const TileIndex> tiles, bool rgba, bool fill_missing,
                    std::vector<ByteVector>& out) const;
    // The tiles back to back in `out` (each `tile_bytes` long, from pool()), decoded on worker
    // threads; false when any cannot be delivered.
    bool read_tile_stack(int level, std::span<const TileIndex> tiles, bool rgba, bool fill_missing,
                         std::size_t tile_bytes, ByteVector& out) const;
    // x, y in level-0 pixels; false for the degenerate requests.
    bool read_region(std::int64_t x, std::int64_t y, int level, std::uint32_t width, std::uint32_t height, bool rgba,
                     bool srgb, ByteVector& out) const;
    // The whole associated image; false when there is none of that name or it fails to decode.
    bool read_associated(const std::string& name, bool rgba, bool srgb, ByteVector& out) const;
    const std::shared_ptr<BufferPool>& pool() const { return pool_; }
    bool icc_transform_available() const;
    std::map<std::string, std::string> properties() const;

private:
    // A level's cached tile (moved to the most recently used end), or null.
    Tile cached_tile(const Level& level, std::uint32_t frame) const;
    // The frame decoded to RGBA and cached when it fits the capacity; null when it does not decode.
    Tile decode_tile(const Level& level, std::uint32_t frame) const;

    std::vector<std::unique_ptr<Level>> levels_;
    std::vector<std::unique_ptr<AssociatedImage>> associated_;
    std::string error_;
    std::atomic<std::size_t> capacity_{64u << 20};
    std::shared_ptr<BufferPool> pool_ = std::make_shared<BufferPool>();
};

}  // namespace loamwerk::wsi
