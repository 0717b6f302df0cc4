#include "lora/Cmac.h"

#include <algorithm>
#include <cstring>

namespace {

// Doubling in GF(2^128): shift left one bit, fold the carry back with Rb = 0x87.
void Double(const uint8_t* in, uint8_t* out) {
  uint8_t carry = static_cast<uint8_t>(in[0] >> 7);
  for (int i = 0; i < 15; ++i) out[i] = static_cast<uint8_t>((in[i] << 1) | (in[i + 1] >> 7));
  out[15] = static_cast<uint8_t>((in[15] << 1) ^ (carry != 0 ? 0x87 : 0x00));
}

void XorInto(uint8_t* target, const uint8_t* source, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) target[i] ^= source[i];
}

}  // namespace

void CmacInit(CmacContext& ctx) {
  std::memset(ctx.X, 0, sizeof ctx.X);
  std::memset(ctx.M_last, 0, sizeof ctx.M_last);
  ctx.M_n = 0;
  ctx.aes = AesContext{};
}

uint8_t CmacSetKey(CmacContext& ctx, const uint8_t* key) { return AesSetKey(key, 16, ctx.aes); }

void CmacUpdate(CmacContext& ctx, const uint8_t* data, std::size_t length) {
  // A block is only chained once more data follows it: the last block of the message must wait
  // for Final, which masks it with a subkey first.
  if (ctx.M_n > 0) {
    std::size_t take = std::min<std::size_t>(16 - ctx.M_n, length);
    if (take > 0) std::memcpy(ctx.M_last + ctx.M_n, data, take);
    ctx.M_n += static_cast<uint32_t>(take);
    if (ctx.M_n < 16 || length == take) return;
    XorInto(ctx.X, ctx.M_last, 16);
    AesEncrypt(ctx.X, ctx.X, ctx.aes);
    data += take;
    length -= take;
  }
  while (length > 16) {
    XorInto(ctx.X, data, 16);
    AesEncrypt(ctx.X, ctx.X, ctx.aes);
    data += 16;
    length -= 16;
  }
  if (length > 0) std::memcpy(ctx.M_last, data, length);
  ctx.M_n = static_cast<uint32_t>(length);
}

void CmacFinal(uint8_t* tag, CmacContext& ctx) {
  std::memset(tag, 0, kCmacTagSize);  // an unkeyed context gives a fixed, not a stale, tag
  uint8_t k1[16];
  uint8_t k2[16];
  CmacSubkeys(ctx.aes, k1, k2);
  if (ctx.M_n == 16) {
    XorInto(ctx.M_last, k1, 16);
  } else {
    ctx.M_last[ctx.M_n] = 0x80;
    std::memset(ctx.M_last + ctx.M_n + 1, 0, 15 - ctx.M_n);
    XorInto(ctx.M_last, k2, 16);
  }
  XorInto(ctx.X, ctx.M_last, 16);
  AesEncrypt(ctx.X, tag, ctx.aes);
}

void CmacSubkeys(const AesContext& aes, uint8_t* k1, uint8_t* k2) {
  uint8_t l[16] = {};
  AesEncrypt(l, l, aes);
  Double(l, k1);
  Double(k1, k2);
}

void AesCmac(const uint8_t* key, const uint8_t* data, std::size_t length, uint8_t* tag) {
  CmacContext ctx;
  CmacInit(ctx);
  CmacSetKey(ctx, key);
  CmacUpdate(ctx, data, length);
  CmacFinal(tag, ctx);
}
