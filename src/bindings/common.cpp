#include "bindings/common.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace loam::bind {

nb::object bytes_or_file(std::span<const std::uint8_t> data, const std::string& output) {
    if (output.empty()) return to_bytes(data);
    const bool ok = without_gil([&] {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(output.c_str(), "wb"), &std::fclose);
        return f && std::fwrite(data.data(), 1, data.size(), f.get()) == data.size() && std::fflush(f.get()) == 0;
    });
    if (!ok) throw std::runtime_error("cannot write " + output);
    return nb::none();
}

}  // namespace loam::bind
