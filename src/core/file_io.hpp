// Whole-file reading for engines and bindings.
#pragma once

#include <cstddef>
#include <string>

#include "core/bytes.hpp"

namespace loamwerk {

// Reads the whole file; throws std::runtime_error "cannot open <path>" when it cannot be opened.
OwnedBuffer read_whole_file(const std::string& path);
// Reads at most `limit` bytes from the start; *file_size receives the full size.
OwnedBuffer read_file_prefix(const std::string& path, std::size_t limit, std::size_t* file_size);

}  // namespace loamwerk
