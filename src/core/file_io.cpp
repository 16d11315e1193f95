#include "core/file_io.hpp"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include <sys/stat.h>

namespace loamwerk {

namespace {
struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File open_at_end(const std::string& path, std::size_t* size) {
    File f(std::fopen(path.c_str(), "rb"));
    struct stat st {};
    // Directories open fine with fopen on Linux but have no bytes to read.
    if (f && (fstat(fileno(f.get()), &st) != 0 || S_ISDIR(st.st_mode))) f.reset();
    if (!f || std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("cannot open " + path);
    const long end = std::ftell(f.get());
    if (end < 0) throw std::runtime_error("cannot open " + path);  // a directory, a pipe
    std::rewind(f.get());
    // Unbuffered: whole-file reads go straight into the caller's buffer, not 4 KiB at a time.
    std::setvbuf(f.get(), nullptr, _IONBF, 0);
    *size = std::size_t(end);
    return f;
}

OwnedBuffer read_n(std::FILE* f, std::size_t n) {
    OwnedBuffer buf(n);
    std::size_t got = 0;
    while (got < n) {
        const std::size_t r = std::fread(buf.data() + got, 1, n - got, f);
        if (r == 0) break;  // the file shrank under us: keep what was read
        got += r;
    }
    buf.shrink(got);
    return buf;
}
}  // namespace

OwnedBuffer read_whole_file(const std::string& path) {
    std::size_t size = 0;
    File f = open_at_end(path, &size);
    return read_n(f.get(), size);
}

OwnedBuffer read_file_prefix(const std::string& path, std::size_t limit, std::size_t* file_size) {
    std::size_t size = 0;
    File f = open_at_end(path, &size);
    if (file_size) *file_size = size;
    return read_n(f.get(), size < limit ? size : limit);
}

}  // namespace loamwerk
