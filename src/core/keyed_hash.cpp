#include "core/keyed_hash.hpp"

#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

namespace loamwerk::keyed {

Digest hmac(std::string_view key, std::string_view domain, std::string_view message) {
    std::string text;
    text.reserve(domain.size() + 1 + message.size());
    text.append(domain).push_back('\0');
    text.append(message);
    Digest d{};
    unsigned int length = 0;
    // An empty key is a valid HMAC key; OpenSSL wants a non-null pointer for it.
    static const unsigned char kNone = 0;
    const void* k = key.empty() ? static_cast<const void*>(&kNone) : key.data();
    if (!HMAC(EVP_sha256(), k, int(key.size()), reinterpret_cast<const unsigned char*>(text.data()), text.size(),
              d.data(), &length) ||
        length != d.size())
        throw std::runtime_error("HMAC-SHA-256 failed in the crypto library");
    return d;
}

std::string random_key(std::size_t n) {
    std::string key(n, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(key.data()), int(n)) != 1)
        throw std::runtime_error("the operating system gave no random bytes for a key");
    return key;
}

std::uint64_t leading_u64(const Digest& d) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | d[i];
    return v;
}

}  // namespace loamwerk::keyed
