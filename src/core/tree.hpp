// A data set read whole into a tree: every element with its value, sequences walked into their
// items, text decoded to UTF-8 under the Specific Character Set in force where it stands.
//
// The tree views the Dataset's body; it must not outlive it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/dataset.hpp"

namespace loamwerk::tree {

struct Node {
    Tag tag = 0;
    VR vr = 0;                            // as stated, or from the dictionaries when implicit or UN
    std::span<const std::uint8_t> value;  // the value bytes, little endian
    std::string text;                     // decoded text, when `decoded`
    bool decoded = false;                 // text holds the value converted from a non-default set
    bool undefined_length = false;
    std::vector<std::vector<Node>> items;  // a sequence's items, when expanded
    // A sequence left to be read later (read_items): its items' encoding and the character set
    // in force where it stands.
    Encoding item_encoding = Encoding::ExplicitLE;
    std::string charset;
};

struct Tree {
    std::vector<Node> meta;  // group 0002, when the buffer has file meta
    std::vector<Node> body;
    bool complete = true;     // every element and item could be walked
    bool reached_pixels = false;  // stop_before_pixels: the walk stopped at pixel data
};

// Pixel Data, Float Pixel Data and Double Float Pixel Data.
bool is_pixel_tag(Tag tag);

enum class Sequences { kExpand, kLeave };

// The tree of a readable Dataset; with `stop_before_pixels` the top level ends before the
// first pixel data element. With Sequences::kLeave, sequences keep their bytes for read_items.
Tree read(const Dataset& ds, bool stop_before_pixels, Sequences sequences = Sequences::kExpand);

// The items of a sequence value left by read(), one level deep (their sequences left again).
// `complete` turns false when an item could not be walked.
std::vector<std::vector<Node>> read_items(std::span<const std::uint8_t> value, Encoding encoding,
                                          std::string_view charset, bool* complete);

// A file's header: read in growing prefixes until the walk (sequences left) reaches the pixel
// data or the file's end, so a large image is not read for its header. Throws OpenError.
// `file_size` receives the file's full size.
Dataset read_header(const std::string& path, Tree& tree, std::size_t* file_size = nullptr);

}  // namespace loamwerk::tree
