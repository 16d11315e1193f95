#include "core/charset_convert.hpp"

#include <cerrno>
#include <string>

// DCMTK 3.6.8 and later ship oficonv; Debian's 3.6.7 does not, and the C library's iconv
// converts the same encodings there. This is the only place that knows which one is used.
#if __has_include(<dcmtk/oficonv/iconv.h>)
#include <dcmtk/oficonv/iconv.h>
#define LOAM_OFICONV 1
using conv_t = iconv_t;
static conv_t conv_open(const char* to, const char* from) { return OFiconv_open(to, from); }
static std::size_t conv_run(conv_t cd, char** in, std::size_t* inleft, char** out, std::size_t* outleft) {
    return OFiconv(cd, in, inleft, out, outleft);
}
static int conv_close(conv_t cd) { return OFiconv_close(cd); }
#else
#include <iconv.h>
#define LOAM_OFICONV 0
using conv_t = iconv_t;
static conv_t conv_open(const char* to, const char* from) { return iconv_open(to, from); }
static std::size_t conv_run(conv_t cd, char** in, std::size_t* inleft, char** out, std::size_t* outleft) {
    return iconv(cd, in, inleft, out, outleft);
}
static int conv_close(conv_t cd) { return iconv_close(cd); }
#endif

namespace loamwerk::charset {

const char* LibraryConverter::backend() { return LOAM_OFICONV ? "oficonv" : "iconv"; }

std::unique_ptr<LibraryConverter> LibraryConverter::open(std::string_view encoding) {
    const std::string name(encoding);
    conv_t cd = conv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<conv_t>(-1)) return nullptr;
    return std::make_unique<LibraryConverter>(Key{}, reinterpret_cast<void*>(cd));
}

LibraryConverter::~LibraryConverter() { conv_close(reinterpret_cast<conv_t>(handle_)); }

bool LibraryConverter::convert(const std::uint8_t* in, std::size_t n, std::string& out, BadBytes policy,
                               void (*on_bad)(void*, std::uint8_t), void* user) {
    const conv_t cd = reinterpret_cast<conv_t>(handle_);
    conv_run(cd, nullptr, nullptr, nullptr, nullptr);  // each run starts in the initial state
    char* src = reinterpret_cast<char*>(const_cast<std::uint8_t*>(in));
    std::size_t left = n;
    char buf[1024];
    while (left > 0) {
        char* dst = buf;
        std::size_t room = sizeof buf;
        const std::size_t r = conv_run(cd, &src, &left, &dst, &room);
        out.append(buf, std::size_t(dst - buf));
        if (r != static_cast<std::size_t>(-1)) continue;
        if (errno == E2BIG) continue;
        // EILSEQ, or EINVAL for a sequence cut short by the end of the run: one bad byte.
        const std::uint8_t bad = std::uint8_t(*src);
        if (on_bad) on_bad(user, bad);
        if (policy == BadBytes::Fail) return false;
        if (policy == BadBytes::Replace) out.push_back('?');
        ++src, --left;
        conv_run(cd, nullptr, nullptr, nullptr, nullptr);
    }
    // Flush any shift state.
    char* dst = buf;
    std::size_t room = sizeof buf;
    conv_run(cd, nullptr, nullptr, &dst, &room);
    out.append(buf, std::size_t(dst - buf));
    return true;
}

}  // namespace loamwerk::charset
