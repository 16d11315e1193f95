// The 8-bit display renderer: one frame through the modality, VOI and presentation transforms,
// with the overlay planes burned in, optionally as a presentation state shows it (its
// transforms, displayed area, rotation and flip, and graphic annotations).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pr/state.hpp"

namespace loamwerk::render {

enum class VoiChoice { kAuto, kWindow, kLut, kMinMax };

struct DisplayOptions {
    std::size_t frame = 1;                        // from 1
    std::optional<std::array<double, 2>> window;  // center and width, over the file's own
    VoiChoice voi = VoiChoice::kAuto;
    bool overlays = true;
    // A presentation state to show the frame through, and its bytes (for its overlay planes).
    const pr::PresentationState* state = nullptr;
    std::span<const std::uint8_t> state_bytes;
};

struct DisplayImage {
    std::vector<std::uint8_t> pixels;  // rows × columns × samples, row by row
    std::uint32_t rows = 0, columns = 0;
    unsigned samples = 1;              // 1 (grey) or 3 (RGB)
};

// Throws std::runtime_error (the decode calls' messages, or what the options ask that the image
// cannot give) and std::invalid_argument for a presentation state that does not fit the image.
DisplayImage render_display(std::span<const std::uint8_t> buffer, const std::string& label, const DisplayOptions& options);

}  // namespace loamwerk::render
