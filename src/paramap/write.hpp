// Writing a Parametric Map from a volume of float32 or 16-bit values and its geometry.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/identity.hpp"
#include "core/image_header.hpp"
#include "paramap/meta.hpp"

namespace loamwerk::paramap {

enum class Sample { kFloat32, kUint16, kInt16 };

struct Volume {
    std::span<const std::uint8_t> data;  // frames × rows × columns samples, little endian
    Sample sample = Sample::kFloat32;
    std::size_t frames = 0, rows = 0, columns = 0;
    // The voxel (column, row, frame) to patient (LPS) affine, column-major; none: the geometry of
    // the source images, one frame a slice in their order along their normal.
    std::optional<std::array<double, 16>> affine;
};

struct Uids {
    std::string sop_instance_uid, series_instance_uid;
};

// A map as its Part-10 bytes up to its pixel data's value, and that value: the volume's own bytes,
// which follow the head unchanged (so that a large map is copied once, into its destination).
struct Written {
    std::vector<std::uint8_t> head;
    std::span<const std::uint8_t> pixels;
};

// The map in Explicit VR Little Endian with UTF-8 text. `sources` are the images it was computed
// from (one study and frame of reference). Throws std::invalid_argument, in words for the caller,
// for a volume, geometry or description the object cannot hold.
Written write_paramap(const Volume& volume, const std::vector<ImageHeader>& sources, Meta meta, const Identity& identity,
                      Uids uids);

}  // namespace loamwerk::paramap
