#include "diffusion/mosaic.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "core/tags.hpp"
#include "core/values.hpp"
#include "pixel/decode.hpp"
#include "pixel/image.hpp"

namespace loamwerk::diffusion {

namespace {


constexpr Tag kUihImageCount = 0x00651050, kUihImagePositions = 0x00651051;

bool contains_value(std::string_view multi, std::string_view wanted) {
    for (;;) {
        const std::size_t bs = multi.find('\\');
        if (multi.substr(0, bs) == wanted) return true;
        if (bs == std::string_view::npos) return false;
        multi.remove_prefix(bs + 1);
    }
}

template <std::size_t N>
std::array<double, N> fixed(const Elements& top, Tag tag, std::array<double, N> fallback) {
    const std::vector<double> v = ds_values(find_element(top, tag));
    if (v.size() != N) return fallback;
    std::array<double, N> out{};
    std::copy(v.begin(), v.end(), out.begin());
    return out;
}

}  // namespace

MosaicLayout mosaic_layout(const Elements& top, std::string_view manufacturer, std::string_view image_type,
                           const CsaHeader& csa, const std::array<double, 3>& position,
                           const std::array<double, 6>& orientation, const std::array<double, 2>& spacing,
                           double slice_spacing, std::size_t rows, std::size_t columns) {
    MosaicLayout plan;
    const Vendor vendor = vendor_of(manufacturer);
    const bool siemens = vendor == Vendor::kSiemens && contains_value(image_type, "MOSAIC");
    const bool uih = vendor == Vendor::kUih && contains_value(image_type, "VFRAME");
    if (siemens) {
        const auto n = csa.number("NumberOfImagesInMosaic");
        if (!n || !(*n < 1e6) || std::lround(*n) < 2) return plan;
        plan.tiles = std::size_t(std::lround(*n));
    } else if (uih) {
        const std::vector<double> n = ds_values(find_element(top, kUihImageCount));
        if (n.empty() || !(n[0] > 1) || !(n[0] < 1e6)) return plan;
        plan.tiles = std::size_t(n[0]);
    } else {
        return plan;
    }
    plan.grid = std::size_t(std::ceil(std::sqrt(double(plan.tiles))));
    if (plan.grid == 0 || rows % plan.grid || columns % plan.grid) return MosaicLayout{};
    plan.tile_rows = rows / plan.grid, plan.tile_columns = columns / plan.grid;
    plan.slice_spacing = slice_spacing;
    if (uih) {
        for (const Elements& it : items_of(top, kUihImagePositions)) {
            const std::vector<double> v = ds_values(find_element(it, tags::kImagePositionPatient));
            if (v.size() == 3) plan.positions.push_back({v[0], v[1], v[2]});
        }
        if (plan.positions.size() != plan.tiles) return MosaicLayout{};
        return plan;
    }
    const double* row = orientation.data();
    const double* col = orientation.data() + 3;
    std::array<double, 3> normal{row[1] * col[2] - row[2] * col[1], row[2] * col[0] - row[0] * col[2],
                                 row[0] * col[1] - row[1] * col[0]};
    if (const auto* sn = csa.values("SliceNormalVector"); sn && sn->size() == 3)
        for (int i = 0; i < 3; ++i) normal[i] = csa.number("SliceNormalVector", std::size_t(i)).value_or(normal[i]);
    const double len = std::sqrt(normal[0] * normal[0] + normal[1] * normal[1] + normal[2] * normal[2]);
    if (len > 1e-10)
        for (double& c : normal) c /= len;
    const double dx = double(columns - plan.tile_columns) / 2 * spacing[1];
    const double dy = double(rows - plan.tile_rows) / 2 * spacing[0];
    std::array<double, 3> first;
    for (int i = 0; i < 3; ++i) first[i] = position[i] + row[i] * dx + col[i] * dy;
    for (std::size_t k = 0; k < plan.tiles; ++k) {
        std::array<double, 3> p;
        for (int i = 0; i < 3; ++i) p[i] = first[i] + double(k) * slice_spacing * normal[i];
        plan.positions.push_back(p);
    }
    if (const auto* times = csa.values("MosaicRefAcqTimes"); times && times->size() >= plan.tiles) {
        for (std::size_t k = 0; k < plan.tiles; ++k) plan.slice_times.push_back(csa.number("MosaicRefAcqTimes", k).value_or(NAN) / 1000);
        if (std::any_of(plan.slice_times.begin(), plan.slice_times.end(), [](double t) { return !std::isfinite(t); }))
            plan.slice_times.clear();
    }
    return plan;
}

void cut_tile(const float* mosaic, std::size_t columns, const MosaicLayout& layout, std::size_t k, float* out) {
    const std::size_t r0 = (k / layout.grid) * layout.tile_rows, c0 = (k % layout.grid) * layout.tile_columns;
    for (std::size_t r = 0; r < layout.tile_rows; ++r)
        std::memcpy(out + r * layout.tile_columns, mosaic + (r0 + r) * columns + c0, layout.tile_columns * 4);
}

ExpandedMosaic expand_mosaic(std::span<const std::uint8_t> buffer) {
    ExpandedMosaic out;
    const Dataset ds = Dataset::borrow(buffer);
    if (!ds.readable()) return out;
    const Elements& top = ds.elements();
    auto text = [&](Tag t) { return std::string(ds.text(t)); };
    out.orientation = fixed<6>(top, tags::kImageOrientationPatient, {1, 0, 0, 0, 1, 0});
    out.pixel_spacing = fixed<2>(top, tags::kPixelSpacing, {1, 1});
    const auto position = fixed<3>(top, tags::kImagePositionPatient, {0, 0, 0});
    const std::vector<double> between = ds_values(find_element(top, tags::kSpacingBetweenSlices));
    const std::vector<double> thickness = ds_values(find_element(top, tags::kSliceThickness));
    const double slice_spacing = !between.empty() && between[0] > 0 ? between[0] : thickness.empty() ? 0 : thickness[0];
    const std::unique_ptr<render::RenderImage> img = render::open(buffer, 0);
    if (!img || img->frames.empty()) return out;
    out.layout = mosaic_layout(top, text(tags::kManufacturer), text(tags::kImageType), csa_image_header(top), position,
                               out.orientation, out.pixel_spacing, slice_spacing, img->rows, img->columns);
    if (out.layout.tiles < 2) return ExpandedMosaic{};
    ByteVector frame, scratch;
    render::FrameLayout layout;
    if (render::append_rendered(*img, 0, frame, layout, scratch) != render::render_error::kOk || layout.samples != 1 ||
        layout.dtype != "float32" || frame.size() < std::size_t(4) * img->rows * img->columns)
        throw std::runtime_error("mosaic_expand: the mosaic frame does not decode to one channel");
    const std::size_t tile = out.layout.tile_rows * out.layout.tile_columns;
    out.tiles.resize(tile * 4 * out.layout.tiles);
    for (std::size_t k = 0; k < out.layout.tiles; ++k)
        cut_tile(reinterpret_cast<const float*>(frame.data()), img->columns, out.layout, k,
                 reinterpret_cast<float*>(out.tiles.data()) + k * tile);
    return out;
}

}  // namespace loamwerk::diffusion
