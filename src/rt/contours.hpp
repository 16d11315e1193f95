// Outlines of a binary mask plane: marching squares through the midpoints between pixel centres,
// traced into closed loops (a hole is a loop of its own).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace loamwerk::rt {

// The loops of plane (rows × columns, non-zero inside) as (column, row) pixel coordinates, pixel
// centres at whole numbers. Every pixel centre inside the mask lies inside an odd number of loops
// and every other centre inside an even number, half a pixel from the nearest outline; diagonal
// neighbours are not joined. Points along a straight run are left out.
std::vector<std::vector<std::array<double, 2>>> mask_outlines(const std::uint8_t* plane, std::size_t rows, std::size_t columns);

}  // namespace loamwerk::rt
