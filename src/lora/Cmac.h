// AES-CMAC (RFC 4493) over AES-128, streaming: Init, SetKey, Update as often as needed, Final.
// The context is a plain value on the caller's stack; nothing is allocated or shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lora/Aes.h"

constexpr std::size_t kCmacTagSize = 16;

struct CmacContext {
  AesContext aes;
  uint8_t X[16] = {};       // running CBC chaining value
  uint8_t M_last[16] = {};  // the last, possibly partial, block: held back until Final
  uint32_t M_n = 0;         // bytes held in M_last
};

// Clears the chaining value, the held block and the key schedule.
void CmacInit(CmacContext& ctx);
// Expands a 16-byte key; returns kAesSuccess, or kAesFailure for a null key.
uint8_t CmacSetKey(CmacContext& ctx, const uint8_t* key);
void CmacUpdate(CmacContext& ctx, const uint8_t* data, std::size_t length);
// Writes the 16-byte tag. The context must be re-initialised before another message.
void CmacFinal(uint8_t* tag, CmacContext& ctx);

// The two subkeys K1 and K2 of RFC 4493 for a keyed AES context.
void CmacSubkeys(const AesContext& aes, uint8_t* k1, uint8_t* k2);

// One-shot tag of `length` bytes under a 16-byte key.
void AesCmac(const uint8_t* key, const uint8_t* data, std::size_t length, uint8_t* tag);
