// Writing a Grayscale Softcopy Presentation State over the images it applies to.
#pragma once

#include <cstdint>
#include <vector>

#include "core/image_header.hpp"
#include "pr/state.hpp"

namespace loamwerk::pr {

// The Part-10 bytes (Explicit VR Little Endian, UTF-8 text) of `state`, which references
// `images` (one study; their patient and study become the state's). Throws
// std::invalid_argument, in words for the caller, for a state the object cannot hold.
std::vector<std::uint8_t> write_state(PresentationState state, const std::vector<ImageHeader>& images);

}  // namespace loamwerk::pr
