// Label clean-up over 3-D label maps: connected components (scikit-image's `label`), keeping
// the largest components, filling holes and removing small objects (MONAI's conventions).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace loamwerk::transform {

struct Shape3 {
    std::size_t nz = 0, ny = 0, nx = 0;
    std::size_t count() const { return nz * ny * nx; }
};

// Components of equal nonzero value, `connectivity` 1 (faces), 2 (and edges) or 3 (and
// corners). Labels run from 1 in the order their first voxel comes in C order; 0 stays 0.
// Returns the number of components. T is any integer type.
template <class T>
std::int32_t connected_components(std::span<const T> values, Shape3 shape, int connectivity,
                                  std::span<std::int32_t> labels);

// Keeps, for each of `applied` (every nonzero value when empty), the `keep` largest components
// of its voxels (ties: the component met later in C order, as MONAI ranks them); other voxels of
// it become 0. With
// `independent` false the applied values are one foreground and its largest components stay.
template <class T>
void keep_largest_components(std::span<T> values, Shape3 shape, std::span<const std::int64_t> applied,
                             bool independent, int connectivity, std::size_t keep);

// For each of `applied` (every nonzero value when empty) in ascending order: voxels that cannot
// reach the volume's border through voxels of other values become that value.
template <class T>
void fill_holes(std::span<T> values, Shape3 shape, std::span<const std::int64_t> applied, int connectivity);

// Objects smaller than `min_size` voxels become 0: for a binary mask (values 0 and 1) its
// components within `connectivity` hops, for a label map each label as a whole (scikit-image's
// rule for integer input, which MONAI's RemoveSmallObjects passes on).
template <class T>
void remove_small_objects(std::span<T> values, Shape3 shape, std::size_t min_size, int connectivity);

}  // namespace loamwerk::transform
