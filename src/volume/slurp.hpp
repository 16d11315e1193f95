// Whole-file reading for series work, retrying transient failures.
#pragma once

#include <string>

#include "core/bytes.hpp"

namespace loamwerk::volume {

// Reads the file whole. An unopenable file (other than for a transient reason) gives an
// empty buffer; a file that cannot be read fully after four attempts throws.
OwnedBuffer slurp(const std::string& path);

}  // namespace loamwerk::volume
