// kvr_verify: the checks of a Public Key Entry module and of signed descriptor modules. They
// work on buffers only, so that the program, its tests and fuzz targets call them alike.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "openssl_handles.h"

namespace kvr {

using public_key = pkey_ptr;

inline constexpr size_t kFingerprintSize = 32;  // SHA-256 of X||Y

// The outcome of checking a key entry: a usable key and the entry's words, or the reason
// why the entry cannot be used.
struct key_entry_check {
    public_key key;       // null when the entry is unusable
    std::string failure;  // why the entry is unusable; empty when `key` is set
    uint32_t permission = 0;
    uint32_t cancel = 0;
    std::array<uint8_t, kFingerprintSize> fingerprint{};
};

// Checks the size, every fixed word, the zero bytes and that X and Y are a point of P-384.
key_entry_check check_key_entry(std::span<const uint8_t> entry);

// Why a key entry of `size` bytes is refused; nothing when the size is right.
std::optional<std::string> key_entry_size_failure(uint64_t size);

// Why a module of `size` bytes fails; nothing when the size is right.
std::optional<std::string> module_size_failure(uint64_t size);

// Why the signed module fails under `key` (size, magic, r or s out of range, a signature that
// does not match); nothing when it verifies.
std::optional<std::string> module_failure(std::span<const uint8_t> image, EVP_PKEY* key);

// Lower-case hexadecimal text of the bytes.
std::string to_hex(std::span<const uint8_t> bytes);

// Lower-case hexadecimal text of the digest of `bytes` under `md` (SHA-256, SHA-384); nothing
// when it cannot be computed.
std::optional<std::string> digest_hex(std::span<const uint8_t> bytes, const EVP_MD* md);

}  // namespace kvr
