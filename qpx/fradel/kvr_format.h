// Byte layout of the two file formats the tools read and write: the descriptor module image
// and the Public Key Entry module. Both the signer and the verifier take every size, offset
// and fixed word from here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvr {

// ---- Descriptor module image (all words little-endian) ----
inline constexpr size_t kBlock0Size = 4096;         // hashed with SHA-384 and signed
inline constexpr size_t kSignatureBlockSize = 112;  // follows block 0
inline constexpr size_t kImageSize = kBlock0Size + kSignatureBlockSize;  // 4208
inline constexpr size_t kMagicOffset = 0;
inline constexpr uint32_t kDescriptorMagic = 0x62294895;
inline constexpr size_t kSignatureHeaderSize = 16;  // neither hashed nor written by the signer
inline constexpr size_t kFieldSize = 48;            // one P-384 number, big-endian, right-aligned
inline constexpr size_t kROffset = kBlock0Size + kSignatureHeaderSize;  // 4112
inline constexpr size_t kSOffset = kROffset + kFieldSize;               // 4160
inline constexpr size_t kRsOffset = kROffset;                           // R and S together
inline constexpr size_t kRsSize = 2 * kFieldSize;                       // 96
inline constexpr size_t kBlock0DigestSize = 48;  // SHA-384 of block 0, what is signed

// ---- Public Key Entry module (all words little-endian) ----
inline constexpr size_t kPkeSize = 256;
inline constexpr size_t kPkeKeyBlockOffset = 0x18;
inline constexpr size_t kPkeKeyBlockSize = 120;
inline constexpr size_t kPkeTrailOffset = 0x90;
inline constexpr size_t kPkeTrailSize = kSignatureBlockSize;  // 112
inline constexpr size_t kPkeXOffset = 0x30;
inline constexpr size_t kPkeYOffset = 0x60;
inline constexpr size_t kPkePermissionOffset = 0x28;
inline constexpr size_t kPkeCancelOffset = 0x2C;
inline constexpr size_t kPkeReservedOffset = 0x10;  // 8 zero bytes
inline constexpr size_t kPkeReservedSize = 8;
inline constexpr size_t kPkeTrailZeroOffset = 0xA0;  // 96 zero bytes
inline constexpr size_t kPkeTrailZeroSize = kPkeSize - kPkeTrailZeroOffset;

inline constexpr uint32_t kDefaultPermission = 1;
inline constexpr uint32_t kDefaultCancel = 0xFFFFFFFF;

// Every fixed word of the entry: its offset and its value.
struct fixed_word {
    size_t offset;
    uint32_t value;
};
inline constexpr fixed_word kPkeFixedWords[] = {
    {0x00, 0x92540917},                            // head of the entry
    {0x04, kPkeSize},                              // total length
    {0x08, kPkeKeyBlockSize},                      // key block length
    {0x0C, kPkeTrailSize},                         // trailing block length
    {0x18, 0x58700660},                            // head of the key block
    {0x1C, kFieldSize},                            // width of X
    {0x20, kFieldSize},                            // width of Y
    {0x24, 0x54326648},       {0x90, 0x74881520},  // head of the trailing block
    {0x94, kFieldSize},       {0x98, kFieldSize}, {0x9C, 0x30548820},
};

// Little-endian 32-bit words, byte by byte, whatever the host's byte order.
inline void store_u32_le(uint8_t* at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

inline uint32_t load_u32_le(const uint8_t* at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

}  // namespace kvr
