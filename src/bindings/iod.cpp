// IOD conformance checking.
#include <nanobind/stl/string.h>

#include "bindings/common.hpp"
#include "iod/validate.hpp"

namespace loam::bind {

void register_iod(nb::module_& m) {
    m.def(
        "iod_validate",
        [](const Path& path) {
            check_opens(path, "cannot read: " + path);
            nb::list out;
            for (const loamwerk::iod::Finding& f : loamwerk::iod::validate_file(path)) {
                nb::dict d;
                d["severity"] = str_of(loamwerk::iod::severity_text(f.severity));
                d["tag"] = f.tag;
                d["module"] = str_of(f.module);
                d["message"] = utf8_str(f.message);
                out.append(d);
            }
            return out;
        },
        nb::arg("path"), nb::sig("def iod_validate(path: str | os.PathLike[str]) -> list[dict[str, str | int]]"),
        "Checks a file against the IOD of its SOP Class: the Type 1 and 2 attributes of every\n"
        "mandatory module (inside the sequences present, too) and the conditional requirements.\n"
        "Returns findings {severity, tag, module, message} in the order found; empty when conformant.");
}

}  // namespace loam::bind
