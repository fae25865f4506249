#pragma once
// SHA-256 through OpenSSL. The only detail header that needs libcrypto: include it only from
// modules that link OpenSSL::Crypto.

#include <openssl/evp.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillbox::detail {

inline std::string to_hex(const unsigned char* d, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string out(n * 2, '0');
    for (std::size_t i = 0; i < n; ++i) {
        out[2 * i] = digits[d[i] >> 4];
        out[2 * i + 1] = digits[d[i] & 0xF];
    }
    return out;
}

// The SHA-256 implementation, fetched once per process: OpenSSL looks it up by name on every
// implicit fetch, which costs more than hashing a short text.
inline const EVP_MD* sha256_md() {
    static EVP_MD* const md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

// Incremental SHA-256. One object can hash many texts in a row: hex() and matches() leave it
// ready for the next.
class Sha256 {
public:
    Sha256() : md_(sha256_md()), ctx_(EVP_MD_CTX_new()) {
        if (!md_ || !ctx_ || EVP_DigestInit_ex(ctx_, md_, nullptr) != 1) {
            release();
            throw std::runtime_error("SHA-256 unavailable");
        }
    }
    ~Sha256() { release(); }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::string_view d) {
        if (EVP_DigestUpdate(ctx_, d.data(), d.size()) != 1) throw std::runtime_error("SHA-256 failed");
    }

    // The digest of everything updated so far, 64 lower-case hexadecimal characters.
    std::string hex() {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int len = finish(md);
        return to_hex(md, len);
    }

    // Whether the digest of `data` alone is `target` (32 bytes).
    bool matches(std::string_view data, const unsigned char target[32]) {
        update(data);
        unsigned char md[EVP_MAX_MD_SIZE];
        return finish(md) == 32 && std::memcmp(md, target, 32) == 0;
    }

private:
    unsigned int finish(unsigned char* md) {
        unsigned int len = 0;
        if (EVP_DigestFinal_ex(ctx_, md, &len) != 1 || EVP_DigestInit_ex(ctx_, md_, nullptr) != 1)
            throw std::runtime_error("SHA-256 failed");
        return len;
    }
    void release() {
        if (ctx_) EVP_MD_CTX_free(ctx_);
        ctx_ = nullptr;
    }
    const EVP_MD* md_;
    EVP_MD_CTX* ctx_;
};

// SHA-256 of the bytes, 64 lower-case hexadecimal characters.
inline std::string sha256_hex(std::string_view data) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const EVP_MD* sha = sha256_md();
    if (!sha || EVP_Digest(data.data(), data.size(), md, &len, sha, nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return to_hex(md, len);
}

// SHA-256 of lines [first, last) joined by line feeds, without building the joined text.
// `lines` is any indexable sequence of texts.
template <class Lines>
std::string sha256_joined(const Lines& lines, std::size_t first, std::size_t last) {
    Sha256 h;
    last = std::min<std::size_t>(last, lines.size());
    for (std::size_t i = first; i < last; ++i) {
        if (i > first) h.update("\n");
        h.update(lines[i]);
    }
    return h.hex();
}

}  // namespace quillbox::detail
