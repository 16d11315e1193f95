// Dataset bytes to one line of DICOM JSON Model text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/vr.hpp"
#include "json/bridge.hpp"

namespace loamwerk::bridge {

using PublicVrHook = VR (*)(Tag tag);
using PrivateVrHook = VR (*)(std::string_view creator, std::uint16_t group, std::uint8_t element_low);

// The dictionary hooks: the standard VR when the dictionary gives exactly one (LO for private
// creator elements), and the private dictionary's VR for a creator's element.
VR dictionary_public_vr(Tag tag);
VR dictionary_private_vr(std::string_view creator, std::uint16_t group, std::uint8_t element_low);

struct JsonWriteOptions {
    std::uint8_t explicit_vr = 1;
    std::string_view charset_override;
    bool inline_binary = true;
    PublicVrHook public_vr = dictionary_public_vr;
    PrivateVrHook private_vr = dictionary_private_vr;
    bool numeric_as_text = true;
};

// Bare dataset bytes, little endian in the encoding the options name.
Result<std::string> dataset_to_json(const std::uint8_t* data, std::size_t size, const JsonWriteOptions& options);

// A whole file image: locates the data set (file meta or sniffing), re-encodes big-endian
// and inflates deflated data sets, then converts with numeric strings as text.
Result<std::string> file_to_json(std::span<const std::uint8_t> file, std::string_view charset_override,
                                 bool inline_binary);

// The file meta group as JSON (numbers as numbers), or "" for a bare dataset or any failure.
std::string file_meta_to_json(std::span<const std::uint8_t> file);

// Inserts the pixel-data member ({"7FE0xxxx":{"vr":".."}}) right after the opening brace
// when the file has a top-level pixel data element with a known VR.
void insert_pixel_data_member(std::string& json, std::span<const std::uint8_t> file);

}  // namespace loamwerk::bridge
