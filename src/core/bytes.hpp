// Unaligned little/big-endian loads and an owned byte buffer.
#pragma once

#include <cstddef>
#include <new>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>

namespace loamwerk {

inline std::uint16_t load_le16(const std::uint8_t* p) { return std::uint16_t(p[0] | (p[1] << 8)); }
inline std::uint16_t load_be16(const std::uint8_t* p) { return std::uint16_t((p[0] << 8) | p[1]); }
inline std::uint32_t load_le32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;  // x86-64 only: the host is little endian
}
inline std::uint32_t load_be32(const std::uint8_t* p) { return __builtin_bswap32(load_le32(p)); }
inline std::uint16_t load16(const std::uint8_t* p, bool big) { return big ? load_be16(p) : load_le16(p); }
inline std::uint32_t load32(const std::uint8_t* p, bool big) { return big ? load_be32(p) : load_le32(p); }
inline void store_le16(std::uint8_t* p, std::uint16_t v) { std::memcpy(p, &v, 2); }
inline void store_le32(std::uint8_t* p, std::uint32_t v) { std::memcpy(p, &v, 4); }
inline void store_be32(std::uint8_t* p, std::uint32_t v) { store_le32(p, __builtin_bswap32(v)); }

// Appends the bytes of a trivially copyable value (a little-endian number on this host).
template <class T>
void append_raw(std::string& out, T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    char b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    out.append(b, sizeof(T));
}

inline std::string_view as_text(const std::uint8_t* p, std::size_t n) {
    return std::string_view(reinterpret_cast<const char*>(p), n);
}

// Removes trailing NUL and space bytes.
inline std::string_view trim_padding(std::string_view s) {
    while (!s.empty() && (s.back() == '\0' || s.back() == ' ')) s.remove_suffix(1);
    return s;
}

// Large buffers ask for transparent huge pages: fresh memory then costs a fault per 2 MiB
// instead of per 4 KiB (NumPy does the same for its arrays).
inline void advise_huge_pages(void* p, std::size_t n) {
    if (n < (std::size_t(4) << 20)) return;
    const auto start = reinterpret_cast<std::uintptr_t>(p) & ~std::uintptr_t(4095);
    madvise(reinterpret_cast<void*>(start), n, MADV_HUGEPAGE);
}

// A heap buffer that is not zero-filled on allocation (whole files are read straight into it).
// A zero-filled array from calloc: large ones come from fresh pages that the kernel zeroes when
// first touched, so mostly empty outputs (label maps, masks) cost only the pages written.
template <class T>
class ZeroedArray {
public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t n) : data_(static_cast<T*>(std::calloc(n ? n : 1, sizeof(T)))), size_(n) {
        if (!data_) throw std::bad_alloc();
    }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_.get()[i]; }
    const T& operator[](std::size_t i) const { return data_.get()[i]; }

private:
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    std::unique_ptr<T, Free> data_;
    std::size_t size_ = 0;
};

class OwnedBuffer {
public:
    OwnedBuffer() = default;
    explicit OwnedBuffer(std::size_t n) : data_(std::make_unique_for_overwrite<std::uint8_t[]>(n)), size_(n) {
        advise_huge_pages(data_.get(), n);
    }
    std::uint8_t* data() { return data_.get(); }
    const std::uint8_t* data() const { return data_.get(); }
    std::size_t size() const { return size_; }
    void shrink(std::size_t n) { if (n < size_) size_ = n; }
    std::span<const std::uint8_t> span() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t size_ = 0;
};

// An allocator that leaves new elements uninitialised, so that output buffers about to be
// overwritten are not zero-filled first.
template <class T>
struct default_init_allocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = default_init_allocator<U>;
    };
    using std::allocator<T>::allocator;
    T* allocate(std::size_t n) {
        T* p = std::allocator<T>::allocate(n);
        advise_huge_pages(p, n * sizeof(T));
        return p;
    }
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        std::allocator_traits<std::allocator<T>>::construct(*this, p, std::forward<Args>(args)...);
    }
};

// Bytes whose resize() does not zero-fill: callers write every byte they add.
using ByteVector = std::vector<std::uint8_t, default_init_allocator<std::uint8_t>>;

}  // namespace loamwerk
