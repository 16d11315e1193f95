#include "volume/slurp.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace loamwerk::volume {

namespace {
constexpr int kAttempts = 4;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

enum class Outcome { Done, Retry, Unreadable };

Outcome attempt(const std::string& path, std::size_t limit, OwnedBuffer& out) {
    Fd f;
    f.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (f.fd < 0) return (errno == EINTR || errno == ENFILE || errno == EMFILE) ? Outcome::Retry : Outcome::Unreadable;
    struct stat st {};
    if (::fstat(f.fd, &st) != 0 || S_ISDIR(st.st_mode)) return Outcome::Unreadable;
    const off_t end = ::lseek(f.fd, 0, SEEK_END);
    if (end <= 0) {
        out = OwnedBuffer();
        return Outcome::Done;
    }
    if (::lseek(f.fd, 0, SEEK_SET) != 0) return Outcome::Retry;
    OwnedBuffer buf{std::min(std::size_t(end), limit)};  // a short read is retried, so nothing is left unwritten
    std::size_t got = 0;
    while (got < buf.size()) {
        const ssize_t r = ::read(f.fd, buf.data() + got, buf.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += std::size_t(r);
    }
    if (got < buf.size()) return Outcome::Retry;
    out = std::move(buf);
    return Outcome::Done;
}
}  // namespace

OwnedBuffer slurp(const std::string& path, std::size_t limit) {
    for (int i = 0; i < kAttempts; ++i) {
        OwnedBuffer out;
        switch (attempt(path, limit, out)) {
            case Outcome::Done: return out;
            case Outcome::Unreadable: return OwnedBuffer();
            case Outcome::Retry: break;
        }
    }
    throw std::runtime_error("volume::slurp: could not fully read " + path +
                             " after retries (transient I/O — is the disk full or under memory pressure?)");
}

}  // namespace loamwerk::volume
