// Whole-slide imaging: the pyramid writer, class WsiSlide, wsi_open and wsi_open_paths.
#include <limits>
#include <stdexcept>

#include <nanobind/stl/map.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/unique_ptr.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/limits.hpp"
#include "wsi/slide.hpp"
#include "wsi/write.hpp"

namespace loam::bind {

namespace {

using loamwerk::wsi::slide;
using RgbArray = nb::ndarray<const std::uint8_t, nb::ndim<3>, nb::c_contig, nb::device::cpu>;

// A caller's bytes object kept alive by the slide (released with the interpreter lock held,
// when the slide is destroyed).
class BytesSource final : public loamwerk::wsi::Source {
public:
    explicit BytesSource(nb::bytes b) : keep_(std::move(b)) { bytes = view(keep_); }

private:
    nb::bytes keep_;
};

using Pixels = loamwerk::ByteVector;
using Shape = std::vector<std::size_t>;

// An array over a pool buffer, which goes back to the pool when the array is released.
struct Pooled {
    Pixels buffer;
    std::shared_ptr<loamwerk::wsi::BufferPool> pool;
    Pooled(Pixels&& b, std::shared_ptr<loamwerk::wsi::BufferPool> p) : buffer(std::move(b)), pool(std::move(p)) {}
    Pooled(Pooled&&) = default;
    ~Pooled() {
        if (pool) pool->give(std::move(buffer));
    }
    std::uint8_t* data() { return buffer.data(); }
};

nb::ndarray<nb::numpy> pixel_array(const slide& s, Pixels&& pixels, Shape shape) {
    return to_array(Pooled(std::move(pixels), s.pool()), shape, nb::dtype<std::uint8_t>());
}

// An [h, w, channels] image, or an empty [0, 0, channels] one.
nb::ndarray<nb::numpy> image_array(const slide& s, Pixels&& pixels, std::size_t w, std::size_t h, bool rgba) {
    const std::size_t c = rgba ? 4 : 3;
    if (pixels.empty() || pixels.size() != w * h * c) return pixel_array(s, Pixels(), {0, 0, c});
    return pixel_array(s, std::move(pixels), {h, w, c});
}

std::pair<std::uint32_t, std::uint32_t> dims(const slide& s, int level, bool tiles) {
    const auto* l = s.level(level);
    if (!l) return {0, 0};
    return tiles ? std::pair(l->tile_width, l->tile_height) : std::pair(l->info.total_columns, l->info.total_rows);
}

// IndexError for a level the slide does not have, or a tile position beyond its grid: an empty
// tile is reserved for tiles that exist but cannot be delivered. A slide that did not open (no
// levels) keeps answering empty; open_error() says why.
void check_level(const slide& s, int level) {
    if (s.level_count() > 0 && !s.level(level))
        throw nb::index_error(("level " + std::to_string(level) + " is out of range (the slide has " +
                               std::to_string(s.level_count()) + " levels, numbered from 0)")
                                  .c_str());
}

void check_tile(const slide& s, int level, std::int64_t x, std::int64_t y) {
    check_level(s, level);
    const auto* l = s.level(level);
    if (!l) return;
    const std::int64_t across = l->tile_width ? (std::int64_t(l->info.total_columns) + l->tile_width - 1) / l->tile_width : 0;
    const std::int64_t down = l->tile_height ? (std::int64_t(l->info.total_rows) + l->tile_height - 1) / l->tile_height : 0;
    if (x < 0 || y < 0 || x >= across || y >= down)
        throw nb::index_error(("tile (" + std::to_string(x) + ", " + std::to_string(y) + ") is outside level " +
                               std::to_string(level) + "'s " + std::to_string(across) + " x " + std::to_string(down) +
                               " tiles")
                                  .c_str());
}

bool fits_u32(std::int64_t v) { return v >= 0 && v <= std::int64_t(std::numeric_limits<std::uint32_t>::max()); }

nb::ndarray<nb::numpy> associated_array(const slide& s, const std::string& name, bool rgba, bool srgb) {
    const auto* a = s.associated(name);
    const std::size_t w = a ? a->image->columns : 0, h = a ? a->image->rows : 0;
    Pixels px = s.pool()->take(w * h * (rgba ? 4 : 3));
    without_gil([&] { s.read_associated(name, rgba, srgb, px); });
    return image_array(s, std::move(px), w, h, rgba);
}

nb::ndarray<nb::numpy> region_array(const slide& s, std::int64_t x, std::int64_t y, int level, std::int64_t w,
                                    std::int64_t h, bool rgba, bool srgb) {
    check_level(s, level);
    if (!fits_u32(w) || !fits_u32(h)) return image_array(s, {}, 0, 0, rgba);
    // A recycled buffer when the region is of a size the pool holds; the engine sizes it.
    const std::uint64_t bytes = std::uint64_t(w) * std::uint64_t(h);
    Pixels px = s.pool()->take(bytes <= (std::uint64_t(1) << 26) ? std::size_t(bytes) * (rgba ? 4 : 3) : 0);
    without_gil([&] { s.read_region(x, y, level, std::uint32_t(w), std::uint32_t(h), rgba, srgb, px); });
    return image_array(s, std::move(px), std::size_t(w), std::size_t(h), rgba);
}

nb::ndarray<nb::numpy> tile_array(const slide& s, int level, std::int64_t x, std::int64_t y, bool rgba, bool fill_missing,
                                  bool srgb) {
    check_tile(s, level, x, y);
    const auto [tw, th] = dims(s, level, true);
    if (!fits_u32(x) || !fits_u32(y)) return image_array(s, {}, 0, 0, rgba);
    Pixels px = s.pool()->take(std::size_t(tw) * th * (rgba ? 4 : 3));
    without_gil([&] { s.read_tile(level, std::uint32_t(x), std::uint32_t(y), rgba, fill_missing, srgb, px); });
    return image_array(s, std::move(px), tw, th, rgba);
}

nb::object range_record(const loamwerk::wsi::TileRange& r) {
    return nb::make_tuple(r.frame, r.tile_x, r.tile_y, r.offset, r.length);
}

// (tile_x, tile_y) pairs of a read_tiles / read_tile_stack argument.
std::vector<std::pair<std::uint32_t, std::uint32_t>> tile_list(const nb::sequence& tiles) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (nb::handle t : tiles) {
        if (!nb::isinstance<nb::sequence>(t) || nb::isinstance<nb::str>(t) || nb::len(t) != 2)
            throw nb::value_error("tile must be a (tile_x, tile_y) pair");
        std::int64_t xy[2];
        for (int i = 0; i < 2; ++i) {
            nb::object v = t[i];
            if (!nb::isinstance<nb::int_>(v)) throw nb::value_error("tile must be a (tile_x, tile_y) pair");
            long long value = PyLong_AsLongLong(v.ptr());
            if (value == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                throw nb::value_error("tile coordinates must fit uint32");
            }
            if (!fits_u32(value)) throw nb::value_error("tile coordinates must fit uint32");
            xy[i] = value;
        }
        out.emplace_back(std::uint32_t(xy[0]), std::uint32_t(xy[1]));
    }
    return out;
}

nb::object optional_bytes(const std::vector<std::uint8_t>* icc) {
    if (!icc || icc->empty()) return nb::none();
    return to_bytes(*icc);
}

nb::dict descriptor(const slide& s, int level) {
    nb::dict d;
    const auto* l = s.level(level);
    if (!l) return d;
    const auto& info = l->info;
    using loamwerk::wsi::Organisation;
    d["tile_width"] = l->tile_width;
    d["tile_height"] = l->tile_height;
    d["tile_count_x"] = l->tiles_x;
    d["tile_count_y"] = l->tiles_y;
    d["imaged_volume_width"] = info.volume_width;
    d["imaged_volume_height"] = info.volume_height;
    d["transfer_syntax_uid"] = utf8_str(info.transfer_syntax);
    d["dimension_organization"] = l->organisation == Organisation::kTiledSparse ? "TILED_SPARSE"
                                  : l->organisation == Organisation::kTiledFull ? "TILED_FULL"
                                                                                 : "UNKNOWN";
    d["dimension_organization_type"] = utf8_str(info.organisation_type);
    d["image_type_flags"] = loamwerk::wsi::image_type_flags(info.image_type);
    d["samples_per_pixel"] = info.samples;
    d["bits_stored"] = info.bits_stored;
    d["sparse"] = l->organisation == Organisation::kTiledSparse;
    d["has_extended_offset_table"] = info.has_extended_offsets;
    d["has_icc_profile"] = !info.icc.empty();
    return d;
}

std::unique_ptr<slide> open_sources(const std::vector<std::shared_ptr<loamwerk::wsi::Source>>& sources) {
    // The binding keeps its references so the last one is dropped with the lock held.
    return without_gil([&] { return std::make_unique<slide>(sources); });
}

nb::ndarray<nb::numpy> tile_stack(const slide& s, int level, const nb::sequence& tiles, bool rgba, bool fill_missing) {
    const auto list = tile_list(tiles);
    const auto [tw, th] = dims(s, level, true);
    if (!tw || !th) throw nb::value_error("invalid WSI level or zero tile dimensions");
    const std::size_t c = rgba ? 4 : 3;
    std::size_t per = 0, total = 0;
    if (__builtin_mul_overflow(std::size_t(tw) * th, c, &per) || __builtin_mul_overflow(per, list.size(), &total) ||
        total > std::size_t(std::numeric_limits<std::ptrdiff_t>::max()))
        throw nb::value_error("read_tile_stack output is too large");
    Pixels out;
    const bool delivered = without_gil([&] { return s.read_tile_stack(level, list, rgba, fill_missing, per, out); });
    if (!delivered) throw nb::value_error("read_tile_stack: tile is missing, out of grid, or failed to decode");
    return pixel_array(s, std::move(out), {list.size(), th, tw, c});
}

loamwerk::wsi::RgbImage rgb_of(const std::optional<RgbArray>& a, const char* what) {
    if (!a) return {};
    if (a->shape(2) != 3) throw nb::value_error((std::string(what) + " must be a (rows, columns, 3) uint8 array").c_str());
    if (a->shape(0) > 0x7FFFFFFF || a->shape(1) > 0x7FFFFFFF) throw nb::value_error((std::string(what) + " is too large").c_str());
    return {{a->data(), a->size()}, std::uint32_t(a->shape(1)), std::uint32_t(a->shape(0))};
}

}  // namespace

void register_wsi(nb::module_& m) {
    m.def(
        "wsi_write_pyramid",
        [](const RgbArray& image, std::uint32_t tile_width, std::uint32_t tile_height, unsigned levels,
           const std::string& transfer_syntax, int quality, bool sparse, bool skip_blank,
           const std::optional<nb::bytes>& icc_profile, double pixel_spacing_mm, const std::optional<RgbArray>& label,
           const std::optional<RgbArray>& overview, const std::string& study_uid, const std::string& series_uid,
           const std::string& content_date, const std::optional<nb::dict>& identity) {
            loamwerk::wsi::PyramidRequest req;
            read_identity(identity, req.identity, false, "wsi_write_pyramid");
            req.image = rgb_of(image, "image");
            req.tile_width = tile_width, req.tile_height = tile_height, req.levels = levels;
            req.transfer_syntax = transfer_syntax, req.quality = quality, req.sparse = sparse, req.skip_blank = skip_blank;
            if (icc_profile) req.icc_profile.assign(view(*icc_profile).begin(), view(*icc_profile).end());
            req.pixel_spacing_mm = pixel_spacing_mm;
            req.label = rgb_of(label, "label"), req.overview = rgb_of(overview, "overview");
            req.study_uid = study_uid, req.series_uid = series_uid, req.content_date = content_date;
            const auto files = without_gil([&] { return loamwerk::wsi::write_pyramid(req); });
            nb::list out;
            for (const auto& f : files) out.append(to_bytes(f));
            return out;
        },
        nb::arg("image"), nb::arg("tile_width") = 256, nb::arg("tile_height") = 256, nb::arg("levels") = 0,
        nb::arg("transfer_syntax") = "1.2.840.10008.1.2.4.50", nb::arg("quality") = 90, nb::arg("sparse") = false,
        nb::arg("skip_blank") = false, nb::arg("icc_profile") = nb::none(), nb::arg("pixel_spacing_mm") = 0.00025,
        nb::arg("label") = nb::none(), nb::arg("overview") = nb::none(), nb::arg("study_uid") = "",
        nb::arg("series_uid") = "", nb::arg("content_date") = "", nb::arg("identity") = nb::none(),
        "Writes a VL Whole Slide Microscopy pyramid of an RGB uint8 image [rows, columns, 3]: one tiled\n"
        "instance per level (each half the size of the one before; levels=0 halves until one tile holds\n"
        "the level), then the label and overview images. sparse=True writes TILED_SPARSE with per-frame\n"
        "positions; skip_blank then omits uniform white or black tiles. identity replaces the defaults of\n"
        "manufacturer, manufacturer_model_name, software_versions, device_serial_number, series_number and\n"
        "series_description. Returns the instances as bytes.");

    nb::class_<slide>(m, "WsiSlide",
                      "A whole-slide image pyramid (from wsi_open or wsi_open_paths). Levels run from full\n"
                      "resolution (0) down; pixels are uint8 RGB, or RGBA with rgba=True.")
        .def("open_error", [](const slide& s) { return utf8_str(s.open_error()); },
             "Why the slide could not be assembled; empty when it opened.")
        .def("level_count", &slide::level_count)
        .def("level_dimensions", [](const slide& s, int level) { return dims(s, level, false); }, nb::arg("level"),
             "(width, height) of the level in pixels.")
        .def("level_tile_dimensions", [](const slide& s, int level) { return dims(s, level, true); }, nb::arg("level"))
        .def("level_tile_counts",
             [](const slide& s, int level) {
                 const auto* l = s.level(level);
                 return l ? std::pair(l->tiles_x, l->tiles_y) : std::pair(0u, 0u);
             },
             nb::arg("level"), "(tiles across, tiles down).")
        .def("level_descriptor", &descriptor, nb::arg("level"),
             "The level's geometry and encoding. image_type_flags: 1 ORIGINAL, 2 DERIVED, 4 PRIMARY,\n"
             "8 SECONDARY, 16 VOLUME, 32 RESAMPLED.")
        .def("tile_exists",
             [](const slide& s, int level, std::int64_t x, std::int64_t y) {
                 return fits_u32(x) && fits_u32(y) && s.tile_exists(level, std::uint32_t(x), std::uint32_t(y));
             },
             nb::arg("level"), nb::arg("tile_x"), nb::arg("tile_y"))
        .def("icc_transform_available", [](const slide& s) { return without_gil([&] { return s.icc_transform_available(); }); })
        .def("level_frame_count",
             [](const slide& s, int level) { return s.level(level) ? s.level(level)->frames.size() : 0; }, nb::arg("level"))
        .def("level_frame_tile",
             [](const slide& s, int level, std::int64_t frame) -> nb::object {
                 const auto* l = s.level(level);
                 if (!l || frame < 0 || std::uint64_t(frame) >= l->frames.size()) return nb::none();
                 const auto& r = l->frames[std::size_t(frame)];
                 return nb::make_tuple(r.tile_x, r.tile_y);
             },
             nb::arg("level"), nb::arg("frame_index"), "(tile column, tile row) of a frame, or None.")
        .def("level_source_paths",
             [](const slide& s, int level) {
                 std::vector<std::string> paths;
                 if (const auto* l = s.level(level); l && !l->source->path.empty()) paths.push_back(l->source->path);
                 return paths;
             },
             nb::arg("level"), "The files behind the level (none for slides opened from bytes).")
        .def("level_tile_range",
             [](const slide& s, int level, std::int64_t x, std::int64_t y) -> nb::object {
                 const auto* l = s.level(level);
                 if (!l || !fits_u32(x) || !fits_u32(y)) return nb::none();
                 const auto f = l->frame_of(std::uint32_t(x), std::uint32_t(y));
                 if (!f) return nb::none();
                 auto r = l->frames[*f];
                 r.tile_x = std::uint32_t(x), r.tile_y = std::uint32_t(y);
                 return range_record(r);
             },
             nb::arg("level"), nb::arg("tile_x"), nb::arg("tile_y"),
             "(frame_index, tile_x, tile_y, offset, length) of the tile's encoded bytes in its source, or\n"
             "None; offset is -1 for a frame split over several fragments.")
        .def("level_frame_range",
             [](const slide& s, int level, std::int64_t frame) -> nb::object {
                 const auto* l = s.level(level);
                 if (!l || frame < 0 || std::uint64_t(frame) >= l->frames.size()) return nb::none();
                 return range_record(l->frames[std::size_t(frame)]);
             },
             nb::arg("level"), nb::arg("frame_index"), "The level_tile_range record of a frame, or None.")
        .def("level_tile_range_grid",
             [](const slide& s, int level) {
                 const auto* l = s.level(level);
                 const std::size_t w = l ? l->tiles_x : 0, h = l ? l->tiles_y : 0;
                 if (l)
                     loamwerk::limits::check(std::uint64_t(w) * h * 24, l->source->bytes.size(),
                                             "the level's tile grid (" + std::to_string(h) + " x " + std::to_string(w) +
                                                 " tiles, from Total Pixel Matrix Rows and Columns)");
                 std::vector<std::int64_t> grid(w * h * 3, -1);
                 for (std::size_t y = 0; y < h; ++y)
                     for (std::size_t x = 0; x < w; ++x)
                         if (const auto f = l->frame_of(std::uint32_t(x), std::uint32_t(y))) {
                             std::int64_t* g = grid.data() + (y * w + x) * 3;
                             g[0] = *f, g[1] = l->frames[*f].offset, g[2] = std::int64_t(l->frames[*f].length);
                         }
                 return to_array(std::move(grid), {h, w, 3}, nb::dtype<std::int64_t>());
             },
             nb::arg("level"),
             "int64 [tiles down, tiles across, 3]: frame_index, offset, length per tile (-1 where missing).")
        .def("level_tile_ranges",
             [](const slide& s, int level) {
                 const auto* l = s.level(level);
                 const std::size_t n = l ? l->frames.size() : 0;
                 std::vector<std::int64_t> rows(n * 5);
                 for (std::size_t i = 0; i < n; ++i) {
                     const auto& r = l->frames[i];
                     std::int64_t* o = rows.data() + i * 5;
                     o[0] = std::int64_t(r.frame), o[1] = r.tile_x, o[2] = r.tile_y, o[3] = r.offset, o[4] = std::int64_t(r.length);
                 }
                 return to_array(std::move(rows), {n, 5}, nb::dtype<std::int64_t>());
             },
             nb::arg("level"), "int64 [frames, 5]: frame_index, tile_x, tile_y, offset, length per frame.")
        .def("level_concatenation",
             [](const slide& s, int level) -> nb::object {
                 const auto* l = s.level(level);
                 if (!l || !l->info.concatenation.present()) return nb::none();
                 const auto& c = l->info.concatenation;
                 nb::dict d;
                 auto opt = [](const std::optional<long>& v) { return v ? nb::object(nb::int_(*v)) : nb::none(); };
                 d["uid"] = utf8_str(c.uid);
                 d["in_number"] = opt(c.in_number);
                 d["total_number"] = opt(c.total_number);
                 d["frame_offset_number"] = opt(c.frame_offset_number);
                 d["source_sop_instance_uid"] = utf8_str(c.source_sop_instance_uid);
                 return d;
             },
             nb::arg("level"))
        .def("level_downsample", &slide::level_downsample, nb::arg("level"))
        .def("best_level_for_downsample", &slide::best_level_for_downsample, nb::arg("downsample"))
        .def("tile_cache_capacity", &slide::cache_capacity, "The per-level tile cache capacity in bytes.")
        .def("set_tile_cache_capacity", [](slide& s, std::size_t bytes) { without_gil([&] { s.set_cache_capacity(bytes); }); },
             nb::arg("bytes"))
        .def("associated_image_names", &slide::associated_names)
        .def("associated_image_dimensions",
             [](const slide& s, const std::string& name) {
                 const auto* a = s.associated(name);
                 return a ? std::pair<std::uint32_t, std::uint32_t>(a->image->columns, a->image->rows) : std::pair(0u, 0u);
             },
             nb::arg("name"))
        .def("read_associated_image",
             [](const slide& s, const std::string& name, bool rgba) { return associated_array(s, name, rgba, false); },
             nb::arg("name"), nb::arg("rgba") = false)
        .def("read_associated_image_srgb",
             [](const slide& s, const std::string& name, bool rgba) { return associated_array(s, name, rgba, true); },
             nb::arg("name"), nb::arg("rgba") = false)
        .def("color_profile", [](const slide& s) { return optional_bytes(s.level(0) ? &s.level(0)->info.icc : nullptr); },
             "The ICC profile of level 0, or None.")
        .def("level_color_profile",
             [](const slide& s, int level) { return optional_bytes(s.level(level) ? &s.level(level)->info.icc : nullptr); },
             nb::arg("level"))
        .def("associated_image_color_profile",
             [](const slide& s, const std::string& name) {
                 return optional_bytes(s.associated(name) ? &s.associated(name)->info.icc : nullptr);
             },
             nb::arg("name"))
        .def("properties",
             [](const slide& s) {
                 nb::dict d;
                 for (const auto& [k, v] : s.properties()) d[utf8_str(k)] = utf8_str(v);
                 return d;
             },
             "Slide properties: \"wsi.\" and \"openslide.\" keys, and DICOM attributes under \"dicom.\".")
        .def("read_region",
             [](const slide& s, std::int64_t x, std::int64_t y, int level, std::int64_t w, std::int64_t h, bool rgba) {
                 return region_array(s, x, y, level, w, h, rgba, false);
             },
             nb::arg("x"), nb::arg("y"), nb::arg("level"), nb::arg("width"), nb::arg("height"), nb::arg("rgba") = false,
             "width × height pixels of the level at level-0 coordinates (x, y); zeros outside the level.")
        .def("read_region_srgb",
             [](const slide& s, std::int64_t x, std::int64_t y, int level, std::int64_t w, std::int64_t h, bool rgba) {
                 return region_array(s, x, y, level, w, h, rgba, true);
             },
             nb::arg("x"), nb::arg("y"), nb::arg("level"), nb::arg("width"), nb::arg("height"), nb::arg("rgba") = false)
        .def("read_tile",
             [](const slide& s, int level, std::int64_t x, std::int64_t y, bool rgba, bool fill_missing) {
                 return tile_array(s, level, x, y, rgba, fill_missing, false);
             },
             nb::arg("level"), nb::arg("tile_x"), nb::arg("tile_y"), nb::arg("rgba") = false, nb::arg("fill_missing") = false,
             "The decoded tile [tile height, tile width, 3 or 4]; empty when it cannot be delivered (a\n"
             "missing sparse tile with fill_missing=True gives zeros).")
        .def("read_tile_srgb",
             [](const slide& s, int level, std::int64_t x, std::int64_t y, bool rgba, bool fill_missing) {
                 return tile_array(s, level, x, y, rgba, fill_missing, true);
             },
             nb::arg("level"), nb::arg("tile_x"), nb::arg("tile_y"), nb::arg("rgba") = false, nb::arg("fill_missing") = false)
        .def("read_tiles",
             [](const slide& s, int level, const nb::sequence& tiles, bool rgba, bool fill_missing) {
                 const auto list = tile_list(tiles);
                 for (const auto& [x, y] : list) check_tile(s, level, x, y);
                 const auto [tw, th] = dims(s, level, true);
                 std::vector<Pixels> decoded(list.size());
                 for (Pixels& p : decoded) p = s.pool()->take(std::size_t(tw) * th * (rgba ? 4 : 3));
                 without_gil([&] { s.read_tiles(level, list, rgba, fill_missing, decoded); });
                 nb::list out;
                 for (Pixels& p : decoded) out.append(image_array(s, std::move(p), tw, th, rgba));
                 return out;
             },
             nb::arg("level"), nb::arg("tiles"), nb::arg("rgba") = false, nb::arg("fill_missing") = false,
             "read_tile for each (tile_x, tile_y), decoded on worker threads.")
        .def("read_tile_stack", &tile_stack, nb::arg("level"), nb::arg("tiles"), nb::arg("rgba") = false,
             nb::arg("fill_missing") = false, "The tiles as one array [n, tile height, tile width, 3 or 4].");

    m.def(
        "wsi_open",
        [](const std::vector<nb::bytes>& instances) {
            std::vector<std::shared_ptr<loamwerk::wsi::Source>> sources;
            for (const nb::bytes& b : instances) sources.push_back(std::make_shared<BytesSource>(b));
            return open_sources(sources);
        },
        nb::arg("instances"), "Opens the instances (bytes) of one slide as a WsiSlide.");
    m.def(
        "wsi_open_paths",
        [](const std::vector<Path>& paths) {
            std::vector<std::shared_ptr<loamwerk::wsi::Source>> sources;
            without_gil([&] {
                for (const std::string& p : paths) sources.push_back(loamwerk::wsi::map_file(p));
            });
            return open_sources(sources);
        },
        nb::arg("paths"), "Opens the instance files of one slide (memory-mapped) as a WsiSlide.");
}

}  // namespace loam::bind
