// ICC profile to sRGB conversion of 8-bit RGB and RGBA pixels through Little CMS 2.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "core/bytes.hpp"

namespace loamwerk::wsi {

// One profile-to-sRGB transform; an empty one records a profile that cannot be used.
class ColourTransform {
public:
    explicit ColourTransform(void* handle) : handle_(handle) {}
    ~ColourTransform();
    ColourTransform(const ColourTransform&) = delete;
    ColourTransform& operator=(const ColourTransform&) = delete;
    void* handle() const { return handle_; }

private:
    void* handle_;
};

// The transform for `icc` and this alpha mode, created once into `slot` under `mutex`; null when
// the profile is absent or unusable.
std::shared_ptr<ColourTransform> transform_for(std::span<const std::uint8_t> icc, bool rgba, std::mutex& mutex,
                                               std::shared_ptr<ColourTransform> (&slot)[2]);

// Pixels (3 or 4 samples each) converted to sRGB in place; unchanged without a usable
// profile or when the length is not a whole number of pixels.
void to_srgb(ByteVector& pixels, bool rgba, std::span<const std::uint8_t> icc, std::mutex& mutex,
             std::shared_ptr<ColourTransform> (&slot)[2]);

}  // namespace loamwerk::wsi
