#include "core/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

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
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t r = ::read(f.fd, buf.data() + got, buf.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += std::size_t(r);
    }
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
