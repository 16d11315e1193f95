// IOD conformance checking.
#include <nanobind/stl/string.h>

#include "bindings/common.hpp"
#include "iod/validate.hpp"

namespace loam::bind {

namespace {
nb::list findings_list(const std::vector<loamwerk::iod::Finding>& findings, bool with_path) {
    nb::list out;
    for (const loamwerk::iod::Finding& f : findings) {
        nb::dict d;
        d["severity"] = str_of(loamwerk::iod::severity_text(f.severity));
        d["tag"] = f.tag;
        d["module"] = str_of(f.module);
        d["message"] = utf8_str(f.message);
        if (with_path) d["path"] = utf8_str(f.path);
        out.append(d);
    }
    return out;
}
}  // namespace

void register_iod(nb::module_& m) {
    m.def(
        "iod_validate",
        [](const Path& path) {
            check_opens(path, "cannot read: " + path);
            return findings_list(loamwerk::iod::validate_file(path), false);
        },
        nb::arg("path"), nb::sig("def iod_validate(path: str | os.PathLike[str]) -> list[dict[str, str | int]]"),
        "Checks a file against the IOD of its SOP Class: the Type 1 and 2 attributes of every\n"
        "mandatory module (inside the sequences present, too) and the conditional requirements.\n"
        "Returns findings {severity, tag, module, message} in the order found; empty when conformant.");
    m.def(
        "validate",
        [](const Path& path) {
            check_opens(path, "cannot read: " + path);
            std::vector<loamwerk::iod::Finding> found;
            {
                nb::gil_scoped_release release;
                found = loamwerk::iod::validate_file_all(path);
            }
            return findings_list(found, true);
        },
        nb::arg("path"), nb::sig("def validate(path: str | os.PathLike[str]) -> list[dict[str, str | int]]"),
        "Checks a file with every layer: the IOD's modules and conditions, the module definitions'\n"
        "enumerated values, defined terms, multiplicities and item counts, and each element's VR,\n"
        "dictionary VM, retirement, private-creator use and the file meta. Returns findings\n"
        "{severity, tag, module, message, path}; problems are reported, never raised.");
}

}  // namespace loam::bind
