#include "lora/Crypto.h"

#include <cassert>
#include <cstring>

#include "lora/Aes.h"
#include "lora/Bytes.h"
#include "lora/Cmac.h"
#include "lora/Crc.h"

namespace {

// The key behind CmacKeyFromText: a constant of the product, the same on every gateway, so that
// the same pass phrase (or zero-touch text) gives the same key everywhere. Kept here and nowhere
// else.
constexpr uint8_t kProductKey[16] = {0xb3, 0x2c, 0x81, 0x19, 0xbf, 0x61, 0x66, 0xff,
                                     0x71, 0x33, 0x06, 0xb1, 0x3c, 0xab, 0xf1, 0x25};

// B0 (data MIC prefix) and A_i (payload key stream) share one layout:
//
//   offset  0      1..4     5     6..9      10..13       14    15
//         +------+--------+-----+---------+------------+-----+---------+
//    B0   | 0x49 | 0 0 0 0| dir | DevAddr | FCnt (32)  |  0  | msg len |
//    A_i  | 0x01 | 0 0 0 0| dir | DevAddr | FCnt (32)  |  0  |    i    |
//         +------+--------+-----+---------+------------+-----+---------+
//   dir: 0 uplink, 1 downlink; DevAddr and FCnt least significant byte first;
//   msg len: low 8 bits of the MIC'd message length; i: block index from 1.
constexpr std::size_t kBlockTagOffset = 0;
constexpr std::size_t kBlockDirOffset = 5;
constexpr std::size_t kBlockDevAddrOffset = 6;
constexpr std::size_t kBlockFCntOffset = 10;
constexpr std::size_t kBlockLastOffset = 15;
constexpr uint8_t kB0Tag = 0x49;
constexpr uint8_t kATag = 0x01;

// Session-key block, encrypted under the AppKey:
//
//   offset  0        1..3       4..6      7..8       9..15
//         +--------+----------+---------+----------+---------+
//         | 01/02  | AppNonce | NetID   | DevNonce | 0 ... 0 |
//         +--------+----------+---------+----------+---------+
//   01 gives NwkSKey, 02 AppSKey; AppNonce as sent in the join accept; NetID and DevNonce least
//   significant byte first (NetID arrives most significant first and is reversed here).
constexpr std::size_t kSessionTagOffset = 0;
constexpr std::size_t kSessionAppNonceOffset = 1;
constexpr std::size_t kSessionNetIdOffset = 4;
constexpr std::size_t kSessionDevNonceOffset = 7;
constexpr uint8_t kNwkSKeyTag = 0x01;
constexpr uint8_t kAppSKeyTag = 0x02;

void FillFrameBlock(uint8_t* block, uint8_t tag, bool uplink, uint32_t devAddr,
                    uint32_t frameCounter, uint8_t last) {
  std::memset(block, 0, kAesBlockSize);
  block[kBlockTagOffset] = tag;
  block[kBlockDirOffset] = uplink ? 0 : 1;
  UInt64ToBytesLE(devAddr, 4, block + kBlockDevAddrOffset);
  UInt64ToBytesLE(frameCounter, 4, block + kBlockFCntOffset);
  block[kBlockLastOffset] = last;
}

MicBytes FirstFour(const uint8_t* tag) { return MicBytes{tag[0], tag[1], tag[2], tag[3]}; }

}  // namespace

MicBytes ComputeDataMic(const uint8_t* message, std::size_t length, const Lora::CypherKey& key,
                        uint32_t devAddr, bool uplink, uint32_t frameCounter) {
  uint8_t b0[kAesBlockSize];
  FillFrameBlock(b0, kB0Tag, uplink, devAddr, frameCounter, static_cast<uint8_t>(length));
  CmacContext ctx;
  CmacInit(ctx);
  CmacSetKey(ctx, key.data);
  CmacUpdate(ctx, b0, sizeof b0);
  CmacUpdate(ctx, message, length);
  uint8_t tag[kCmacTagSize];
  CmacFinal(tag, ctx);
  return FirstFour(tag);
}

void EncryptPayload(const uint8_t* data, std::size_t length, const Lora::CypherKey& key,
                    uint32_t devAddr, bool uplink, uint32_t frameCounter, uint8_t* out) {
  if (length == 0) return;
  AesContext aes;
  AesSetKey(key.data, key.size(), aes);
  uint8_t a[kAesBlockSize];
  uint8_t s[kAesBlockSize];
  std::size_t blocks = (length + kAesBlockSize - 1) / kAesBlockSize;
  for (std::size_t i = 1; i <= blocks; ++i) {
    FillFrameBlock(a, kATag, uplink, devAddr, frameCounter, static_cast<uint8_t>(i));
    AesEncrypt(a, s, aes);
    std::size_t offset = (i - 1) * kAesBlockSize;
    std::size_t count = length - offset < kAesBlockSize ? length - offset : kAesBlockSize;
    for (std::size_t k = 0; k < count; ++k) out[offset + k] = data[offset + k] ^ s[k];
  }
}

MicBytes ComputeJoinMic(const uint8_t* message, std::size_t length, const Lora::CypherKey& key) {
  uint8_t tag[kCmacTagSize];
  AesCmac(key.data, message, length, tag);
  return FirstFour(tag);
}

void EncryptJoinAccept(const uint8_t* data, std::size_t length, const Lora::CypherKey& key,
                       uint8_t* out) {
  assert(length == 16 || length == 32);
  AesContext aes;
  AesSetKey(key.data, key.size(), aes);
  AesDecrypt(data, out, aes);
  if (length >= 17) AesDecrypt(data + kAesBlockSize, out + kAesBlockSize, aes);
}

void DeriveSessionKeys(const Lora::CypherKey& appKey, const uint8_t* appNonce, const uint8_t* netId,
                       uint16_t devNonce, Lora::CypherKey& nwkSKey, Lora::CypherKey& appSKey) {
  uint8_t block[kAesBlockSize] = {};
  std::memcpy(block + kSessionAppNonceOffset, appNonce, 3);
  for (int i = 0; i < 3; ++i) block[kSessionNetIdOffset + i] = netId[2 - i];
  UInt64ToBytesLE(devNonce, 2, block + kSessionDevNonceOffset);

  AesContext aes;
  AesSetKey(appKey.data, appKey.size(), aes);
  uint8_t derived[kAesBlockSize];
  block[kSessionTagOffset] = kNwkSKeyTag;
  AesEncrypt(block, derived, aes);
  nwkSKey = derived;
  block[kSessionTagOffset] = kAppSKeyTag;
  AesEncrypt(block, derived, aes);
  appSKey = derived;
}

Lora::CypherKey CmacKeyFromText(const char* text, std::size_t length) {
  uint8_t tag[kCmacTagSize];
  AesCmac(kProductKey, reinterpret_cast<const uint8_t*>(text), length, tag);
  return Lora::CypherKey(tag);
}

Lora::CypherKey CmacKeyFromText(const std::string& text) {
  return CmacKeyFromText(text.data(), text.size());
}

Lora::CypherKey ZeroTouchAppKey(const Lora::EUI& devEui, const Lora::EUI& appEui,
                                const std::string& baseKey, const std::string& salt) {
  std::string text = devEui.compactText();
  text += appEui.compactText();
  text += baseKey;
  text += salt;
  return CmacKeyFromText(text);
}

Lora::EUI NetworkEuiFromName(const std::string& name) {
  return Lora::EUI::FromValue(Crc64(reinterpret_cast<const uint8_t*>(name.data()), name.size()));
}
