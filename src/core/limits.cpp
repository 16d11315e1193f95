#include "core/limits.hpp"

#include <atomic>
#include <cstdio>

namespace loamwerk::limits {

namespace {
std::atomic<std::size_t> g_limit{kDefaultMemoryLimit};  // the one process-wide setting
}

std::size_t memory_limit() { return g_limit.load(std::memory_order_relaxed); }

void set_memory_limit(std::size_t bytes) { g_limit.store(bytes ? bytes : kDefaultMemoryLimit, std::memory_order_relaxed); }

std::size_t allowed(std::uint64_t input_bytes) {
    const std::uint64_t grown = input_bytes > UINT64_MAX / kExpansion ? UINT64_MAX : input_bytes * kExpansion;
    const std::uint64_t limit = memory_limit();
    const std::uint64_t most = grown > limit ? grown : limit;
    return most > SIZE_MAX ? SIZE_MAX : std::size_t(most);
}

std::string size_text(std::uint64_t bytes) {
    char buf[48];
    if (bytes >= (std::uint64_t(1) << 30)) std::snprintf(buf, sizeof buf, "%.1f GiB", double(bytes) / double(1ull << 30));
    else if (bytes >= (1u << 20)) std::snprintf(buf, sizeof buf, "%.0f MiB", double(bytes) / double(1u << 20));
    else if (bytes >= (1u << 10)) std::snprintf(buf, sizeof buf, "%.0f KiB", double(bytes) / double(1u << 10));
    else std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    return buf;
}

void check(std::uint64_t bytes, std::uint64_t input_bytes, std::string_view what) {
    if (bytes <= allowed(input_bytes)) return;
    throw ResourceError(std::string(what) + " asks for " + size_text(bytes) + ", more than " + size_text(input_bytes) +
                        " of data can hold and more than the memory limit (" + size_text(memory_limit()) +
                        "); a damaged header, or raise the limit with loam.set_memory_limit()");
}

std::string output_refusal(long double bytes, std::uint64_t input_bytes) {
    const std::uint64_t limit = allowed(input_bytes);
    if (bytes <= (long double)limit) return {};
    const std::string size = bytes > 1e19L ? std::string("more than 8 EiB") : size_text(std::uint64_t(bytes));
    return "the output would take " + size + ", more than the memory limit (" + size_text(limit) +
           ") allows; raise it with loam.set_memory_limit()";
}

}  // namespace loamwerk::limits
