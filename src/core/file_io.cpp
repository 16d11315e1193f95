#include "core/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/parallel.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace loamwerk {

namespace {

constexpr int kReadAttempts = 4;
constexpr int kOpenAttempts = 20;

struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

enum class Attempt { kDone, kShort, kUnopenable };

// Bytes [offset, offset + n) of the file into `into`; how many were there.
std::size_t read_at(int fd, std::uint8_t* into, std::size_t n, std::size_t offset) {
    std::size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd, into + got, n - got, off_t(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += std::size_t(r);
    }
    return got;
}

// The first n bytes of the file; how many of them were read without a gap. A large file is read
// in parts on several threads: copying from the page cache and faulting in the new pages is then
// shared between cores, where one thread reaches about half the memory bandwidth.
std::size_t read_range(int fd, std::uint8_t* into, std::size_t n) {
    constexpr std::size_t kParallelFrom = std::size_t(32) << 20, kAlign = std::size_t(2) << 20;
    if (n < kParallelFrom) return read_at(fd, into, n, 0);
    ::posix_fadvise(fd, 0, off_t(n), POSIX_FADV_SEQUENTIAL);  // a cold file: longer read-ahead
    const std::size_t parts = worker_count(n / (kParallelFrom / 2));
    const std::size_t part = (n / parts + kAlign - 1) / kAlign * kAlign;
    std::vector<std::size_t> got(parts, 0);
    parallel_for_workers(parts, parts, [&](std::size_t k) {
        const std::size_t begin = std::min(n, k * part), end = std::min(n, begin + part);
        got[k] = read_at(fd, into + begin, end - begin, begin);
    });
    std::size_t total = 0;
    for (std::size_t k = 0; k < parts; ++k) {
        const std::size_t begin = std::min(n, k * part), end = std::min(n, begin + part);
        total += got[k];
        if (got[k] < end - begin) break;  // a file that shrank meanwhile: what came before the gap
    }
    return total;
}

Attempt read_once(const std::string& path, std::size_t limit, FileRead& out) {
    Descriptor f{open_read_only(path)};
    struct stat st {};
    // Directories open fine on Linux but have no bytes to read; pipes have no size.
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0) {
        out.error = errno;
        return Attempt::kUnopenable;
    }
    if (S_ISDIR(st.st_mode)) {
        out.error = EISDIR;
        return Attempt::kUnopenable;
    }
    const off_t end = ::lseek(f.fd, 0, SEEK_END);
    if (end < 0 || ::lseek(f.fd, 0, SEEK_SET) != 0) {
        out.error = errno;
        return Attempt::kUnopenable;
    }
    out.opened = true;
    out.size = std::size_t(end);
    OwnedBuffer buf(std::min(out.size, limit));
    const std::size_t got = read_range(f.fd, buf.data(), buf.size());
    out.complete = got == buf.size();
    buf.shrink(got);
    out.bytes = std::move(buf);
    return out.complete ? Attempt::kDone : Attempt::kShort;
}

}  // namespace

int open_read_only(const std::string& path) {
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno == EINTR) continue;
        if ((errno == EMFILE || errno == ENFILE) && attempt < kOpenAttempts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        return -1;
    }
}

FileRead read_file(const std::string& path, std::size_t limit) {
    FileRead out;
    for (int i = 0; i < kReadAttempts; ++i) {
        out = FileRead{};
        if (read_once(path, limit, out) != Attempt::kShort) break;
    }
    return out;
}

OpenError::OpenError(const std::string& path, int error_number)
    : std::runtime_error("cannot open " + path), path_(path), errno_(error_number) {}

OwnedBuffer read_whole_file(const std::string& path) {
    FileRead r = read_file(path);
    if (!r.opened) throw OpenError(path, r.error);
    return std::move(r.bytes);
}

OwnedBuffer read_file_prefix(const std::string& path, std::size_t limit, std::size_t* file_size) {
    FileRead r = read_file(path, limit);
    if (!r.opened) throw OpenError(path, r.error);
    if (file_size) *file_size = r.size;
    return std::move(r.bytes);
}

}  // namespace loamwerk
