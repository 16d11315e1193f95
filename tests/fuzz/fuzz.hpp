// Shared pieces of the libFuzzer harnesses: splitting one input into several, scratch files for
// the readers that take paths, and a catch-all for the ordinary failures engines report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "core/limits.hpp"

namespace fuzz {

// Fuzz inputs are small: a 16 MiB limit on declared buffers keeps each run fast and still reaches
// every refusal path (the input's own expansion allowance is unchanged).
inline const bool kSmallMemoryLimit = (loamwerk::limits::set_memory_limit(std::size_t(16) << 20), true);

// The input cut at each "\n--\n" (at most `most` parts): several files from one input.
inline std::vector<std::span<const std::uint8_t>> split(const std::uint8_t* data, std::size_t size, std::size_t most) {
    static constexpr std::uint8_t kCut[] = {'\n', '-', '-', '\n'};
    std::vector<std::span<const std::uint8_t>> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i + 4 <= size && out.size() + 1 < most; ++i)
        if (std::equal(kCut, kCut + 4, data + i)) out.emplace_back(data + start, i - start), start = i + 4, i += 3;
    out.emplace_back(data + start, size - start);
    return out;
}

// A scratch file in memory-backed storage, removed with the object.
class ScratchFile {
public:
    explicit ScratchFile(std::span<const std::uint8_t> bytes, const char* suffix = ".dcm") {
        static int counter = 0;
        path_ = "/dev/shm/loam-fuzz-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + suffix;
        if (std::FILE* f = std::fopen(path_.c_str(), "wb")) {
            if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
            std::fclose(f);
        }
    }
    ~ScratchFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Runs `body`; the exceptions engines throw for bad input are the expected outcome.
template <class F>
void expect_clean(F&& body) {
    try {
        body();
    } catch (const std::exception&) {
    }
}

}  // namespace fuzz
