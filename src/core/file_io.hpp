// Reading files: one reader, one retry policy, for engines and bindings.
//
// Opening is retried while it is interrupted or the process or system is out of descriptors
// (many threads reading a series at once); a read that comes up short of the size the file
// had when opened is tried again, four attempts in all.
#pragma once

#include <cstddef>
#include <string>

#include "core/bytes.hpp"

namespace loamwerk {

// A read-only descriptor (close-on-exec), or -1 when the file cannot be opened.
int open_read_only(const std::string& path);

struct FileRead {
    OwnedBuffer bytes;       // what was read (the file's first `limit` bytes at most)
    std::size_t size = 0;    // the file's full size
    bool opened = false;     // false: missing, unreadable, a directory or not seekable
    bool complete = false;   // every byte asked for was read
};
FileRead read_file(const std::string& path, std::size_t limit = std::size_t(-1));

// Reads the whole file; throws std::runtime_error "cannot open <path>" when it cannot be opened.
// A file that shrinks while it is read gives what was there.
OwnedBuffer read_whole_file(const std::string& path);
// Reads at most `limit` bytes from the start; *file_size receives the full size.
OwnedBuffer read_file_prefix(const std::string& path, std::size_t limit, std::size_t* file_size);

}  // namespace loamwerk
