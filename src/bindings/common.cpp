#include "bindings/common.hpp"

#include <algorithm>

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

void refuse_option(std::string_view where, std::string_view key) {
    throw nb::value_error((std::string(where) + ": unknown option " + std::string(key)).c_str());
}

void refuse_unknown_keys(const nb::dict& d, std::initializer_list<std::string_view> known, std::string_view where) {
    for (auto [key, value] : d) {
        const std::string k = as_text(key);
        if (std::find(known.begin(), known.end(), k) == known.end()) refuse_option(where, k);
    }
}

}  // namespace loam::bind
