// Character-set decoding of a dataset's text elements, as the engines see them.
#include <nanobind/stl/string.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/vector.h>

#include "bindings/common.hpp"
#include "core/charset.hpp"
#include "core/dataset.hpp"

namespace loam::bind {

namespace {
using namespace loamwerk;

using LogLines = std::vector<std::pair<int, std::string>>;

void collect(int level, const char* message, void* user) {
    static_cast<LogLines*>(user)->emplace_back(level, message);
}

nb::tuple decode_text(nb::bytes data) {
    const auto bytes = view(data);
    LogLines log;
    std::vector<charset::DecodedText> texts;
    bool parsed = false;
    without_gil([&] {
        const Dataset ds = Dataset::borrow(bytes);
        parsed = ds.layout().recognised;
        texts = charset::decode_dataset_text(ds, collect, &log);
    });
    if (!parsed) throw nb::value_error("not a DICOM dataset");
    nb::dict out;
    for (const auto& t : texts) out[nb::int_(t.tag)] = utf8_str(t.text);
    nb::list lines;
    for (const auto& [level, message] : log) lines.append(nb::make_tuple(level, utf8_str(message)));
    return nb::make_tuple(out, lines);
}

}  // namespace

void register_text(nb::module_& m) {
    m.def("_decode_text", &decode_text, nb::arg("data"),
          nb::sig("def _decode_text(data: bytes) -> tuple[dict[int, str], list[tuple[int, str]]]"),
          "Decode every top-level text element of a Part-10 buffer or bare dataset to str under its "
          "Specific Character Set (and vendor workarounds). Returns the texts by tag and the decoder's "
          "log as (level, message) pairs.");
}

}  // namespace loam::bind
