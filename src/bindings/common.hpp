// Helpers shared by every binding source: lock release, buffer views, file reading and
// array/bytes results.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <initializer_list>
#include <span>
#include <string_view>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
// Every binding source casts str: one string caster for all (a source without it would
// instantiate nb::cast<std::string> differently, and the linker keeps only one).
#include <nanobind/stl/string.h>

#include "core/bytes.hpp"
#include "core/file_io.hpp"
#include "core/identity.hpp"
#include "volume/sidecar.hpp"

namespace loam::bind {

namespace nb = nanobind;

// A path argument: a str or any os.PathLike (pathlib.Path), in the file system's encoding. It is
// the std::string the engines take.
struct Path : std::string {
    using std::string::string;
    Path() = default;
    Path(std::string s) : std::string(std::move(s)) {}
};

inline std::vector<std::string> strings(const std::vector<Path>& paths) { return {paths.begin(), paths.end()}; }

// Runs `work` with the interpreter lock released; the lock is held again when `work`
// returns or throws (the scoped release restores the thread state on unwind).
template <class F>
auto without_gil(F&& work) -> decltype(work()) {
    nb::gil_scoped_release released;
    return std::forward<F>(work)();
}

// A `bytes` argument viewed in place; valid for the duration of the call only.
inline std::span<const std::uint8_t> view(const nb::bytes& b) {
    return {reinterpret_cast<const std::uint8_t*>(b.c_str()), b.size()};
}

// Whole-file reading for path-taking bindings ("cannot open <path>" on failure). Call it
// inside without_gil.
inline loamwerk::OwnedBuffer read_path(const std::string& path) { return loamwerk::read_whole_file(path); }

// Raises the open error (FileNotFound and so on) of a path whose engine reports any failure to
// read it in its own terms; `message` replaces "cannot open <path>" where a reader has its own.
inline void check_opens(const Path& path, const std::string& message = {}) {
    const loamwerk::FileRead r = loamwerk::read_file(path, 0);
    if (!r.opened) {
        if (message.empty()) throw loamwerk::OpenError(path, r.error);
        throw loamwerk::OpenError(path, r.error, message);
    }
}

// A `str | bytes` source: bytes viewed in place, or the file at a path read whole into `file`
// with the interpreter lock released.
using Source = std::variant<nb::bytes, Path>;
inline std::span<const std::uint8_t> source_bytes(const Source& source, loamwerk::OwnedBuffer& file) {
    if (const auto* b = std::get_if<nb::bytes>(&source)) return view(*b);
    file = without_gil([&] { return read_path(std::get<Path>(source)); });
    return file.span();
}

// How a source is named in messages: its path, or "<bytes>".
inline std::string source_name(const Source& source) {
    return std::holds_alternative<Path>(source) ? std::string(std::get<Path>(source)) : "<bytes>";
}

// Engine text known to be UTF-8 (names, codes); text taken from a file goes through utf8_str.
inline nb::str str_of(std::string_view s) { return nb::str(s.data(), s.size()); }
// Engine UTF-8 that may not be valid: bad sequences become U+FFFD instead of raising.
inline nb::str utf8_str(std::string_view s) {
    return nb::steal<nb::str>(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace"));
}

// Text taken from files, one str each.
inline nb::list utf8_list(const std::vector<std::string>& texts) {
    nb::list out;
    for (const std::string& s : texts) out.append(utf8_str(s));
    return out;
}

// Copies engine bytes once into a new Python `bytes`.
inline nb::bytes to_bytes(std::span<const std::uint8_t> data) {
    return nb::bytes(reinterpret_cast<const char*>(data.data()), data.size());
}

// Returns an engine buffer as a C-ordered NumPy array without copying: the buffer moves into
// a heap holder owned by a capsule whose destructor frees it.
template <class Buffer>
nb::ndarray<nb::numpy> to_array(Buffer&& buffer, const std::vector<std::size_t>& shape, nb::dlpack::dtype dtype,
                                std::size_t offset = 0) {
    using Holder = std::decay_t<Buffer>;
    auto holder = std::make_unique<Holder>(std::forward<Buffer>(buffer));
    void* data = holder->data() + offset;
    nb::capsule owner(holder.get(), [](void* p) noexcept { delete static_cast<Holder*>(p); });
    holder.release();  // the capsule owns it now
    return nb::ndarray<nb::numpy>(data, shape.size(), shape.data(), owner, nullptr, dtype);
}

// The result of a writer that returns its bytes, or writes them to `output` when that is not
// empty and returns None ("cannot write <output>" on failure).
nb::object bytes_or_file(std::span<const std::uint8_t> data, const Path& output);
// The same for an object written in parts (a header, then pixel data viewed where they are).
nb::object bytes_or_file(std::initializer_list<std::span<const std::uint8_t>> parts, const Path& output);

// What a Python value must be, in words, for the messages of option readers.
template <class T>
constexpr const char* wanted_type() {
    if constexpr (std::is_same_v<T, bool>) return "True or False";
    else if constexpr (std::is_integral_v<T>) return "an int";
    else if constexpr (std::is_floating_point_v<T>) return "a number";
    else if constexpr (std::is_same_v<T, std::string>) return "a str";
    else if constexpr (std::is_same_v<T, nb::dict>) return "a dict";
    else if constexpr (std::is_same_v<T, nb::list>) return "a list";
    else return "a sequence";
}

// A value from a caller's dict or list as T; a TypeError that names it and the type it needs
// otherwise (never a C++ cast error).
template <class T>
T option_value(nb::handle value, std::string_view name) {
    T out{};
    if (!nb::try_cast<T>(value, out))
        throw nb::type_error((std::string(name) + " must be " + wanted_type<T>() + ", not " +
                              nb::cast<std::string>(nb::str(value.type().attr("__name__"))))
                                 .c_str());
    return out;
}

// A 4 x 4 voxel-to-patient affine given as a matrix (an array) or 16 numbers in column-major
// order; `what` names it in the errors ("write_rtdose: affine").
std::array<double, 16> column_major_affine(nb::handle given, std::string_view what);

// Every option dict refuses keys it does not know, in one form: ValueError
// "<where>: unknown option <key> (options: a, b, ...)" (a misspelt option must not be silently
// ignored, and the message says what would have been right).
[[noreturn]] void refuse_option(std::string_view where, std::string_view key,
                                std::initializer_list<std::string_view> known);
void refuse_unknown_keys(const nb::dict& d, std::initializer_list<std::string_view> known, std::string_view where);

// `value` when it is one of `accepted`; otherwise ValueError "<what> must be one of 'a', 'b'; not 'x'"
// (a misspelt name must not silently select something else).
std::string_view require_choice(std::string_view value, std::initializer_list<std::string_view> accepted,
                                std::string_view what);

// A writer's optional `identity` dict over its defaults: manufacturer, manufacturer_model_name,
// software_versions, device_serial_number, series_number (int or str), series_description and,
// where the object has one, content_creator. Unknown keys and wrong types raise.
void read_identity(const std::optional<nb::dict>& given, loamwerk::Identity& identity, bool content_creator,
                   std::string_view where);

// str(value) of any Python value, as UTF-8.
inline std::string as_text(nb::handle value) {
    const nb::object text = nb::steal(PyObject_Str(value.ptr()));
    if (!text.is_valid()) throw nb::python_error();
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!utf8) throw nb::python_error();
    return std::string(utf8, std::size_t(n));
}

// A BIDS sidecar as a dict in its key order.
nb::dict sidecar_dict(const loamwerk::volume::Sidecar& fields);

void register_wsi(nb::module_& m);
void register_dictionary(nb::module_& m);
void register_filemeta(nb::module_& m);
void register_text(nb::module_& m);
void register_part10(nb::module_& m);
void register_json(nb::module_& m);
void register_dataset(nb::module_& m);
void register_pixel(nb::module_& m);
void register_deident(nb::module_& m);
void register_fileset(nb::module_& m);
void register_iod(nb::module_& m);
void register_volume(nb::module_& m);
void register_diffusion(nb::module_& m);
void register_limits(nb::module_& m);
void register_transform(nb::module_& m);
void register_perfusion(nb::module_& m);
void register_dti(nb::module_& m);
void register_encap(nb::module_& m);
void register_tract(nb::module_& m);
void register_ann(nb::module_& m);
void register_surface(nb::module_& m);
void register_reg(nb::module_& m);
void register_rt(nb::module_& m);
void register_sr(nb::module_& m);
void register_response(nb::module_& m);
void register_seg(nb::module_& m);
void register_pr(nb::module_& m);
void register_radiomics(nb::module_& m);
void register_paramap(nb::module_& m);
void register_legacy(nb::module_& m);

}  // namespace loam::bind

namespace nanobind::detail {

template <>
struct type_caster<loam::bind::Path> {
    NB_TYPE_CASTER(loam::bind::Path, const_name("str | os.PathLike[str]"))

    bool from_python(handle src, std::uint8_t, cleanup_list*) noexcept {
        PyObject* fs = PyOS_FSPath(src.ptr());
        PyObject* encoded = nullptr;
        bool ok = false;
        // bytes are a file's content everywhere in this module, never a path
        if (fs && PyUnicode_Check(fs) && PyUnicode_FSConverter(fs, &encoded)) {
            char* data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(encoded, &data, &size) == 0) {
                value.assign(data, std::size_t(size));
                ok = true;
            }
        }
        Py_XDECREF(encoded);
        Py_XDECREF(fs);
        if (!ok) PyErr_Clear();
        return ok;
    }

    static handle from_cpp(const loam::bind::Path& path, rv_policy, cleanup_list*) noexcept {
        return PyUnicode_DecodeFSDefaultAndSize(path.data(), Py_ssize_t(path.size()));
    }
};

}  // namespace nanobind::detail
