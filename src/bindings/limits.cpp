// The memory limit of the core's resource policy.
#include "bindings/common.hpp"
#include "core/limits.hpp"

namespace loam::bind {

void register_limits(nb::module_& m) {
    m.def("_memory_limit", [] { return loamwerk::limits::memory_limit(); },
          "The memory limit (bytes) for one buffer whose size a file declares.");
    m.def(
        "_set_memory_limit",
        [](std::int64_t bytes) {
            if (bytes < 0) throw std::invalid_argument("set_memory_limit: the limit must be 0 (the default) or more");
            loamwerk::limits::set_memory_limit(std::size_t(bytes));
        },
        nb::arg("bytes"), "Sets the memory limit; 0 restores the default (256 MiB).");
}

}  // namespace loam::bind
