#include "volume/slurp.hpp"

#include <stdexcept>

#include "core/file_io.hpp"

namespace loamwerk::volume {

OwnedBuffer slurp(const std::string& path, std::size_t limit) {
    FileRead r = read_file(path, limit);
    if (!r.opened) return OwnedBuffer();
    if (!r.complete)
        throw std::runtime_error("volume::slurp: could not fully read " + path +
                                 " after retries (transient I/O — is the disk full or under memory pressure?)");
    return std::move(r.bytes);
}

}  // namespace loamwerk::volume
