// Whole-file reading for series work, retrying transient failures.
#pragma once

#include <string>

#include "core/bytes.hpp"

namespace loamwerk::volume {

// Reads the file whole. An unopenable file (other than for a transient reason) gives an
// empty buffer; a file that cannot be read fully after four attempts throws.
// With `limit`, at most the file's first `limit` bytes.
OwnedBuffer slurp(const std::string& path, std::size_t limit = std::size_t(-1));

}  // namespace loamwerk::volume
