// The one resource policy of the core: a buffer whose size a file's header declares (frames,
// volumes, inflated data, histograms) may take what the input can produce, or up to the memory
// limit, whichever is more; beyond that the call fails with a message naming what asked for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace loamwerk::limits {

// The default memory limit (bytes) for one buffer built from a file's declarations.
constexpr std::size_t kDefaultMemoryLimit = std::size_t(256) << 20;
// What a byte of input is taken to produce at most: beyond this a buffer counts against the
// memory limit (lossless codecs give 2 to 4, lossy ones 10 to 30 on real images).
constexpr std::size_t kExpansion = 64;

// The process-wide limit; set_memory_limit(0) restores the default. Thread-safe.
std::size_t memory_limit();
void set_memory_limit(std::size_t bytes);

// The most a buffer built from `input_bytes` of input may take: the memory limit, or the input's
// expansion when that is more (saturating).
std::size_t allowed(std::uint64_t input_bytes);

// A buffer asked for beyond what its input allows (reaches Python as ValueError).
class ResourceError : public std::length_error {
public:
    using std::length_error::length_error;
};

// Throws ResourceError when `bytes` exceeds allowed(input_bytes); `what` names the attributes that
// ask for the buffer, e.g. "Rows x Columns x Samples per Pixel 128 x 128 x 65535".
void check(std::uint64_t bytes, std::uint64_t input_bytes, std::string_view what);

// For an output computed from arrays in memory (not declared by a file): empty when `bytes` is
// within allowed(input_bytes), else "the output would take X, more than the memory limit (Y)
// allows; raise it with loam.set_memory_limit()". `bytes` is a long double so that products of
// sizes cannot overflow on the way.
std::string output_refusal(long double bytes, std::uint64_t input_bytes);

// "1.5 GiB", "262 MiB", "640 KiB", "12 bytes".
std::string size_text(std::uint64_t bytes);

}  // namespace loamwerk::limits
