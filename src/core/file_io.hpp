// Reading files: one reader, one retry policy, for engines and bindings.
//
// Opening is retried while it is interrupted or the process or system is out of descriptors
// (many threads reading a series at once); a read that comes up short of the size the file
// had when opened is tried again, four attempts in all.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

#include "core/bytes.hpp"

namespace loamwerk {

// A read-only descriptor (close-on-exec), or -1 when the file cannot be opened.
int open_read_only(const std::string& path);

// A file that could not be opened: "cannot open <path>", with the reason's errno so callers can
// tell a missing file from a forbidden one.
class OpenError : public std::runtime_error {
public:
    OpenError(const std::string& path, int error_number);
    // The same failure in a reader's own words.
    OpenError(const std::string& path, int error_number, const std::string& message)
        : std::runtime_error(message), path_(path), errno_(error_number) {}
    const std::string& path() const { return path_; }
    int error_number() const { return errno_; }

private:
    std::string path_;
    int errno_;
};

struct FileRead {
    OwnedBuffer bytes;       // what was read (the file's first `limit` bytes at most)
    std::size_t size = 0;    // the file's full size
    bool opened = false;     // false: missing, unreadable, a directory or not seekable
    bool complete = false;   // every byte asked for was read
    int error = 0;           // errno of the failure when not opened
};
FileRead read_file(const std::string& path, std::size_t limit = std::size_t(-1));

// Reads the whole file; throws OpenError when it cannot be opened.
// A file that shrinks while it is read gives what was there.
OwnedBuffer read_whole_file(const std::string& path);
// Reads at most `limit` bytes from the start; *file_size receives the full size.
OwnedBuffer read_file_prefix(const std::string& path, std::size_t limit, std::size_t* file_size);

}  // namespace loamwerk
