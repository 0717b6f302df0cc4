// AES block cipher (FIPS-197) for 128-, 192- and 256-bit keys; the server only uses 128.
//
// A context is a plain value on the caller's stack: set a key, then encrypt or decrypt single
// 16-byte blocks. A context whose key could not be set (wrong length, or never set) has a round
// count of 0 and every operation on it returns kAesFailure without touching the output. No state
// is shared between contexts, so any thread may use its own.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t kAesBlockSize = 16;
constexpr uint8_t kAesSuccess = 0;
constexpr uint8_t kAesFailure = 255;

struct AesContext {
  uint32_t roundKeys[60] = {};  // expanded key schedule, 240 bytes: 4 words per round + 1
  uint8_t rounds = 0;           // 10, 12 or 14; 0 = no usable key
};

// Expands a key of 16, 24 or 32 bytes. Any other length leaves the context unusable (rounds 0)
// and returns kAesFailure.
uint8_t AesSetKey(const uint8_t* key, std::size_t keyLength, AesContext& ctx);

// The forward cipher. `in` and `out` may be the same buffer.
uint8_t AesEncrypt(const uint8_t* in, uint8_t* out, const AesContext& ctx);

// The inverse cipher. `in` and `out` may be the same buffer.
uint8_t AesDecrypt(const uint8_t* in, uint8_t* out, const AesContext& ctx);
