#include "bindings/common.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <nanobind/stl/vector.h>

namespace loam::bind {

nb::object bytes_or_file(std::span<const std::uint8_t> data, const Path& output) { return bytes_or_file({data}, output); }

nb::object bytes_or_file(std::initializer_list<std::span<const std::uint8_t>> parts, const Path& output) {
    std::size_t total = 0;
    for (const auto& part : parts) total += part.size();
    if (output.empty()) {
        // One Python bytes object, filled in place: a large object is copied once.
        nb::object out = nb::steal(PyBytes_FromStringAndSize(nullptr, Py_ssize_t(total)));
        if (!out.is_valid()) throw nb::python_error();
        char* at = PyBytes_AsString(out.ptr());
        without_gil([&] {
            for (const auto& part : parts) at = std::copy(part.begin(), part.end(), at);
        });
        return out;
    }
    const bool ok = without_gil([&] {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(output.c_str(), "wb"), &std::fclose);
        if (!f) return false;
        for (const auto& part : parts)
            if (std::fwrite(part.data(), 1, part.size(), f.get()) != part.size()) return false;
        return std::fflush(f.get()) == 0;
    });
    if (!ok) throw std::runtime_error("cannot write " + output);
    return nb::none();
}

void refuse_option(std::string_view where, std::string_view key, std::initializer_list<std::string_view> known) {
    std::string message = std::string(where) + ": unknown option " + std::string(key) + " (options:";
    for (const std::string_view k : known) message += " " + std::string(k) + (&k == known.end() - 1 ? ")" : ",");
    throw nb::value_error(message.c_str());
}

std::array<double, 16> column_major_affine(nb::handle given, std::string_view what) {
    nb::object a = nb::borrow(given);
    if (nb::hasattr(a, "ndim") && nb::cast<long>(a.attr("ndim")) == 2) a = a.attr("ravel")("F");
    if (nb::hasattr(a, "tolist")) a = a.attr("tolist")();
    const auto values = option_value<std::vector<double>>(a, what);
    if (values.size() != 16)
        throw nb::value_error((std::string(what) + " is a 4 x 4 matrix or 16 numbers (column-major)").c_str());
    std::array<double, 16> affine{};
    std::copy(values.begin(), values.end(), affine.begin());
    return affine;
}

void refuse_unknown_keys(const nb::dict& d, std::initializer_list<std::string_view> known, std::string_view where) {
    for (auto [key, value] : d) {
        const std::string k = as_text(key);
        if (std::find(known.begin(), known.end(), k) == known.end()) refuse_option(where, k, known);
    }
}

std::string_view require_choice(std::string_view value, std::initializer_list<std::string_view> accepted,
                                std::string_view what) {
    for (const std::string_view a : accepted)
        if (a == value) return value;
    std::string message = std::string(what) + " must be one of ";
    bool first = true;
    for (const std::string_view a : accepted) {
        message += (first ? "'" : ", '") + std::string(a) + "'";
        first = false;
    }
    throw nb::value_error((message + "; not '" + std::string(value) + "'").c_str());
}

void read_identity(const std::optional<nb::dict>& given, loamwerk::Identity& identity, bool content_creator,
                   std::string_view where) {
    if (!given) return;
    const std::string context = std::string(where) + " identity";
    if (content_creator)
        refuse_unknown_keys(*given, {"manufacturer", "manufacturer_model_name", "software_versions",
                                     "device_serial_number", "series_number", "series_description", "content_creator"},
                            context);
    else
        refuse_unknown_keys(*given, {"manufacturer", "manufacturer_model_name", "software_versions",
                                     "device_serial_number", "series_number", "series_description"},
                            context);
    for (const auto& [key, value] : *given) {
        const std::string name = nb::cast<std::string>(nb::str(key));
        const std::string label = context + " " + name;
        if (name == "series_number") {
            // An integer string: an int, or text holding one.
            long number = 0;
            if (nb::isinstance<nb::int_>(value) && !nb::isinstance<nb::bool_>(value)) {
                number = option_value<long>(value, label);
            } else {
                const std::string text = option_value<std::string>(value, label);
                std::size_t used = 0;
                try {
                    number = std::stol(text, &used);
                } catch (const std::exception&) {
                    used = 0;
                }
                if (used == 0 || used != text.size())
                    throw nb::value_error((label + " must be an integer, not '" + text + "'").c_str());
            }
            if (number < -2147483648L || number > 2147483647L)
                throw nb::value_error((label + " is out of range").c_str());
            identity.series_number = std::to_string(number);
            continue;
        }
        std::string text = option_value<std::string>(value, label);
        if (text.size() > 64) throw nb::value_error((label + " is longer than 64 characters").c_str());
        if (name == "manufacturer") identity.manufacturer = std::move(text);
        else if (name == "manufacturer_model_name") identity.model_name = std::move(text);
        else if (name == "software_versions") identity.software_versions = std::move(text);
        else if (name == "device_serial_number") identity.device_serial_number = std::move(text);
        else if (name == "series_description") identity.series_description = std::move(text);
        else identity.content_creator = std::move(text);
    }
}

}  // namespace loam::bind
