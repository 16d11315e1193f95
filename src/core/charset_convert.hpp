// One conversion interface to UTF-8 for the encodings the decoder does not handle itself.
// Backed by DCMTK's oficonv where the installed DCMTK has it, otherwise by the C library's
// iconv; the choice is made in charset_convert.cpp alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace loamwerk::charset {

enum class BadBytes { Fail, Discard, Replace };

class LibraryConverter {
public:
    // Nothing when the library cannot convert `encoding` to UTF-8.
    static std::unique_ptr<LibraryConverter> open(std::string_view encoding);
    ~LibraryConverter();
    LibraryConverter(const LibraryConverter&) = delete;
    LibraryConverter& operator=(const LibraryConverter&) = delete;

    // Appends the UTF-8 of `in` to `out`. A byte that cannot be converted is dropped, becomes
    // "?", or stops the conversion, by `policy`; `on_bad(user, byte)` is told of each one.
    // Returns false when it stopped on a bad byte.
    bool convert(const std::uint8_t* in, std::size_t n, std::string& out, BadBytes policy,
                 void (*on_bad)(void* user, std::uint8_t byte), void* user);

    static const char* backend();  // "oficonv" or "iconv"

private:
    struct Key {};  // only open() makes converters

public:
    LibraryConverter(Key, void* handle) : handle_(handle) {}

private:
    void* handle_;
};

}  // namespace loamwerk::charset
