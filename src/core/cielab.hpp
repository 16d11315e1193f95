// Recommended display colours: 8-bit sRGB to and from the 16-bit CIELab triples DICOM stores.
// Both ways go through the D65 white point without chromatic adaptation, as the Segmentation
// reading formula and the other toolkits (highdicom, pixelmed, DCMTK) do, so that a colour
// written anywhere reads back the same everywhere.
#pragma once

#include <cstdint>

namespace loamwerk {

void rgb_to_cielab16(const std::uint8_t rgb[3], std::uint16_t out[3]);
void cielab16_to_rgb(const std::uint16_t lab[3], std::uint8_t out[3]);

}  // namespace loamwerk
