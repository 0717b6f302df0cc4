// Known answers (FIPS-197, RFC 4493, the LoRaWAN vector file), cross-checks against OpenSSL's
// libcrypto on random inputs, and single-byte tampering of MIC inputs.
#include "lora/Crypto.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lora/Aes.h"
#include "lora/Bytes.h"
#include "lora/Cmac.h"
#include "lora/Crc.h"
#include "lora/Eui.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Test-side hex conversions, independent of the helpers under test.
Bytes Hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string ToHex(const uint8_t* bytes, size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}
std::string ToHex(const Bytes& bytes) { return ToHex(bytes.data(), bytes.size()); }
std::string ToHex(const MicBytes& mic) { return ToHex(mic.data(), mic.size()); }

Lora::CypherKey Key(const std::string& hex) {
  Bytes bytes = Hex(hex);
  EXPECT_EQ(bytes.size(), 16u) << hex;
  bytes.resize(16);
  return Lora::CypherKey(bytes.data());
}

Bytes RandomBytes(std::mt19937& rng, size_t count) {
  Bytes out(count);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// ---- OpenSSL as the independent reference ----

Bytes OpenSslAes(const Bytes& key, const uint8_t* block, bool encrypt) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(32);
  int n = 0;
  int tail = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx, cipher, nullptr, key.data(), nullptr, encrypt ? 1 : 0), 1);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx, out.data(), &n, block, 16), 1);
  EXPECT_EQ(EVP_CipherFinal_ex(ctx, out.data() + n, &tail), 1);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

Bytes OpenSslCmac(const uint8_t* key, const uint8_t* data, size_t length) {
  EVP_MAC* mac = EVP_MAC_fetch(nullptr, "CMAC", nullptr);
  EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
  char cipherName[] = "AES-128-CBC";
  OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_CIPHER, cipherName, 0),
                         OSSL_PARAM_construct_end()};
  Bytes tag(16);
  size_t tagLength = 0;
  static const uint8_t nothing = 0;
  EXPECT_EQ(EVP_MAC_init(ctx, key, 16, params), 1);
  EXPECT_EQ(EVP_MAC_update(ctx, length > 0 ? data : &nothing, length), 1);
  EXPECT_EQ(EVP_MAC_final(ctx, tag.data(), &tagLength, tag.size()), 1);
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  EXPECT_EQ(tagLength, 16u);
  return tag;
}

// B0 / A block as the LoRaWAN 1.0.x text lays it out, built here from scratch.
Bytes FrameBlock(uint8_t tag, bool uplink, uint32_t devAddr, uint32_t fcnt, uint8_t last) {
  Bytes b(16, 0);
  b[0] = tag;
  b[5] = uplink ? 0 : 1;
  for (int i = 0; i < 4; ++i) {
    b[6 + i] = static_cast<uint8_t>(devAddr >> (8 * i));
    b[10 + i] = static_cast<uint8_t>(fcnt >> (8 * i));
  }
  b[15] = last;
  return b;
}

// ---- the vector file ----

const Json::Value& VectorFile() {
  static const Json::Value root = [] {
    Json::Value value;
    std::ifstream in(std::string(VALLORIN_VECTORS_DIR) + "/lorawan-vectors.json");
    Json::CharReaderBuilder builder;
    std::string errors;
    if (!Json::parseFromStream(builder, in, &value, &errors)) {
      ADD_FAILURE() << "cannot read the vector file: " << errors;
    }
    return value;
  }();
  return root;
}

bool HasKind(const Json::Value& vector, const std::string& kind) {
  const Json::Value& k = vector["kind"];
  if (k.isString()) return k.asString() == kind;
  for (const Json::Value& each : k) {
    if (each.asString() == kind) return true;
  }
  return false;
}

std::vector<Json::Value> VectorsOf(const std::string& kind) {
  std::vector<Json::Value> out;
  for (const Json::Value& v : VectorFile()["vectors"]) {
    if (HasKind(v, kind)) out.push_back(v);
  }
  // The file states how many entries of each kind it has; none may be skipped silently.
  EXPECT_EQ(out.size(), VectorFile()["counts"][kind].asUInt()) << kind;
  EXPECT_FALSE(out.empty()) << kind;
  return out;
}

std::string In(const Json::Value& v, const char* name) { return v["inputs"][name].asString(); }
std::string Out(const Json::Value& v, const char* name) { return v["expected"][name].asString(); }

// ---- AES ----

TEST(Aes, Fips197AppendixC) {
  struct Case {
    const char* name;
    const char* key;
    const char* cipher;
  };
  const Case cases[] = {
      {"C.1 AES-128", "000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"C.2 AES-192", "000102030405060708090a0b0c0d0e0f1011121314151617",
       "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"C.3 AES-256", "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  const Bytes plain = Hex("00112233445566778899aabbccddeeff");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes key = Hex(c.key);
    AesContext ctx;
    ASSERT_EQ(AesSetKey(key.data(), key.size(), ctx), kAesSuccess);
    uint8_t block[16];
    ASSERT_EQ(AesEncrypt(plain.data(), block, ctx), kAesSuccess);
    EXPECT_EQ(ToHex(block, 16), c.cipher);
    ASSERT_EQ(AesDecrypt(block, block, ctx), kAesSuccess);  // in place
    EXPECT_EQ(ToHex(block, 16), ToHex(plain));
  }
}

TEST(Aes, BadKeyLengthLeavesAnUnusableContext) {
  const Bytes key(33, 0x42);
  for (size_t length : {0, 15, 17, 20, 31, 33}) {
    SCOPED_TRACE(length);
    AesContext ctx;
    AesSetKey(key.data(), 16, ctx);  // a good key first: the bad one must wipe it
    EXPECT_EQ(AesSetKey(key.data(), length, ctx), kAesFailure);
    EXPECT_EQ(ctx.rounds, 0);
    uint8_t in[16] = {1, 2, 3};
    uint8_t out[16];
    std::memset(out, 0xA5, sizeof out);
    EXPECT_EQ(AesEncrypt(in, out, ctx), kAesFailure);
    EXPECT_EQ(AesDecrypt(in, out, ctx), kAesFailure);
    for (uint8_t b : out) EXPECT_EQ(b, 0xA5);  // output untouched
  }
  AesContext never;
  uint8_t block[16] = {};
  EXPECT_EQ(AesEncrypt(block, block, never), kAesFailure);
}

TEST(Aes, MatchesOpenSslForRandomKeysAndBlocks) {
  std::mt19937 rng(20261205);
  for (size_t keyLength : {16, 24, 32}) {
    for (int round = 0; round < 200; ++round) {
      Bytes key = RandomBytes(rng, keyLength);
      Bytes block = RandomBytes(rng, 16);
      AesContext ctx;
      ASSERT_EQ(AesSetKey(key.data(), key.size(), ctx), kAesSuccess);
      uint8_t ours[16];
      AesEncrypt(block.data(), ours, ctx);
      ASSERT_EQ(ToHex(ours, 16), ToHex(OpenSslAes(key, block.data(), true)))
          << "encrypt, key " << ToHex(key);
      AesDecrypt(block.data(), ours, ctx);
      ASSERT_EQ(ToHex(ours, 16), ToHex(OpenSslAes(key, block.data(), false)))
          << "decrypt, key " << ToHex(key);
    }
  }
}

TEST(Aes, VectorFileBlocks) {
  for (const Json::Value& v : VectorsOf("aes128_block")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes key = Hex(In(v, "key"));
    Bytes plain = Hex(In(v, "plaintext"));
    AesContext ctx;
    ASSERT_EQ(AesSetKey(key.data(), key.size(), ctx), kAesSuccess);
    uint8_t block[16];
    AesEncrypt(plain.data(), block, ctx);
    EXPECT_EQ(ToHex(block, 16), Out(v, "ciphertext"));
    AesDecrypt(block, block, ctx);
    EXPECT_EQ(ToHex(block, 16), ToHex(plain));
  }
}

// ---- CMAC ----

TEST(Cmac, Rfc4493ExamplesAndSubkeys) {
  for (const Json::Value& v : VectorsOf("aes_cmac")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes key = Hex(In(v, "key"));
    if (v["expected"].isMember("K1")) {
      AesContext aes;
      AesSetKey(key.data(), key.size(), aes);
      uint8_t k1[16];
      uint8_t k2[16];
      CmacSubkeys(aes, k1, k2);
      EXPECT_EQ(ToHex(k1, 16), Out(v, "K1"));
      EXPECT_EQ(ToHex(k2, 16), Out(v, "K2"));
      continue;
    }
    Bytes message = Hex(In(v, "message"));
    uint8_t tag[16];
    AesCmac(key.data(), message.data(), message.size(), tag);
    EXPECT_EQ(ToHex(tag, 16), Out(v, "cmac"));
  }
}

TEST(Cmac, MatchesOpenSslForEveryLengthAndSplit) {
  std::mt19937 rng(4493);
  for (size_t length = 0; length <= 100; ++length) {
    SCOPED_TRACE(length);
    Bytes key = RandomBytes(rng, 16);
    Bytes data = RandomBytes(rng, length);
    const std::string expected = ToHex(OpenSslCmac(key.data(), data.data(), length));

    uint8_t tag[16];
    AesCmac(key.data(), data.data(), length, tag);
    ASSERT_EQ(ToHex(tag, 16), expected);

    // The same message fed in random pieces, empty pieces included.
    CmacContext ctx;
    CmacInit(ctx);
    CmacSetKey(ctx, key.data());
    size_t at = 0;
    while (at < length) {
      size_t piece = std::min<size_t>(rng() % 20, length - at);
      CmacUpdate(ctx, data.data() + at, piece);
      at += piece;
    }
    CmacUpdate(ctx, data.data(), 0);
    CmacFinal(tag, ctx);
    ASSERT_EQ(ToHex(tag, 16), expected);
  }
}

// ---- LoRaWAN data frames ----

struct DataVector {
  std::string name;
  Bytes phy;
  Lora::CypherKey nwkSKey;
  Lora::CypherKey appSKey;
  uint32_t devAddr;
  bool uplink;
  uint32_t fcnt;
  size_t foptsLength;
  int fport;
};

DataVector ReadDataVector(const Json::Value& v) {
  DataVector d;
  d.name = v["name"].asString();
  d.phy = Hex(In(v, "phy_payload"));
  d.nwkSKey = Key(In(v, "NwkSKey"));
  if (v["inputs"].isMember("AppSKey")) d.appSKey = Key(In(v, "AppSKey"));
  d.devAddr = static_cast<uint32_t>(std::stoul(In(v, "dev_addr_be"), nullptr, 16));
  d.uplink = v["inputs"]["dir"].asInt() == 0;
  d.fcnt = v["inputs"]["fcnt32"].asUInt();
  d.foptsLength = In(v, "fopts").size() / 2;
  d.fport = v["inputs"]["fport"].asInt();
  return d;
}

void CheckDataMics(const char* kind, bool uplink) {
  for (const Json::Value& v : VectorsOf(kind)) {
    DataVector d = ReadDataVector(v);
    SCOPED_TRACE(d.name);
    ASSERT_EQ(d.uplink, uplink);
    MicBytes mic =
        ComputeDataMic(d.phy.data(), d.phy.size() - 4, d.nwkSKey, d.devAddr, d.uplink, d.fcnt);
    EXPECT_EQ(ToHex(mic), Out(v, "mic"));
    EXPECT_EQ(ToHex(mic), ToHex(d.phy.data() + d.phy.size() - 4, 4));
  }
}

TEST(DataFrame, UplinkMics) { CheckDataMics("data_uplink_mic", true); }
TEST(DataFrame, DownlinkMics) { CheckDataMics("data_downlink_mic", false); }

void CheckPayloadEncryption(const char* kind) {
  for (const Json::Value& v : VectorsOf(kind)) {
    DataVector d = ReadDataVector(v);
    SCOPED_TRACE(d.name);
    const size_t offset = 8 + d.foptsLength + 1;  // after FPort
    ASSERT_EQ(d.phy[offset - 1], d.fport);
    const Bytes onAir(d.phy.begin() + static_cast<long>(offset), d.phy.end() - 4);
    EXPECT_EQ(ToHex(onAir), Out(v, "frm_ciphertext"));

    const Lora::CypherKey& key = d.fport == 0 ? d.nwkSKey : d.appSKey;
    Bytes plain = Hex(In(v, "frm_plaintext"));
    Bytes out(plain.size());
    EncryptPayload(plain.data(), plain.size(), key, d.devAddr, d.uplink, d.fcnt, out.data());
    EXPECT_EQ(ToHex(out), Out(v, "frm_ciphertext"));
    EncryptPayload(out.data(), out.size(), key, d.devAddr, d.uplink, d.fcnt, out.data());
    EXPECT_EQ(ToHex(out), ToHex(plain));  // decrypted in place
  }
}

TEST(DataFrame, UplinkPayloadEncryption) { CheckPayloadEncryption("frm_encrypt_uplink"); }
TEST(DataFrame, DownlinkPayloadEncryption) { CheckPayloadEncryption("frm_encrypt_downlink"); }

TEST(DataFrame, MicMatchesCmacOverIndependentB0) {
  std::mt19937 rng(1);
  for (size_t length : {0, 1, 12, 15, 16, 17, 31, 32, 33, 100, 251, 255}) {
    SCOPED_TRACE(length);
    Bytes keyBytes = RandomBytes(rng, 16);
    Lora::CypherKey key(keyBytes.data());
    Bytes message = RandomBytes(rng, length);
    uint32_t devAddr = static_cast<uint32_t>(rng());
    uint32_t fcnt = static_cast<uint32_t>(rng());
    bool uplink = (length % 2) == 0;
    Bytes input = FrameBlock(0x49, uplink, devAddr, fcnt, static_cast<uint8_t>(length));
    input.insert(input.end(), message.begin(), message.end());
    Bytes expected = OpenSslCmac(keyBytes.data(), input.data(), input.size());
    expected.resize(4);
    EXPECT_EQ(ToHex(ComputeDataMic(message.data(), length, key, devAddr, uplink, fcnt)),
              ToHex(expected));
  }
}

TEST(DataFrame, AnyChangeToTheMicInputChangesTheMic) {
  DataVector d = ReadDataVector(VectorsOf("data_uplink_mic").front());
  const size_t length = d.phy.size() - 4;
  const MicBytes good = ComputeDataMic(d.phy.data(), length, d.nwkSKey, d.devAddr, true, d.fcnt);
  for (size_t i = 0; i < length; ++i) {
    Bytes frame = d.phy;
    frame[i] ^= 0x01;
    EXPECT_NE(ComputeDataMic(frame.data(), length, d.nwkSKey, d.devAddr, true, d.fcnt), good)
        << "byte " << i;
  }
  struct Change {
    const char* name;
    uint32_t devAddr;
    bool uplink;
    uint32_t fcnt;
    size_t length;
  };
  const Change changes[] = {
      {"direction", d.devAddr, false, d.fcnt, length},
      {"DevAddr low byte", d.devAddr ^ 0x01, true, d.fcnt, length},
      {"DevAddr high byte", d.devAddr ^ 0x80000000u, true, d.fcnt, length},
      {"counter + 1", d.devAddr, true, d.fcnt + 1, length},
      {"counter upper half", d.devAddr, true, d.fcnt + 0x10000, length},
      {"one byte short", d.devAddr, true, d.fcnt, length - 1},
  };
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    EXPECT_NE(ComputeDataMic(d.phy.data(), c.length, d.nwkSKey, c.devAddr, c.uplink, c.fcnt), good);
  }
  Lora::CypherKey otherKey = d.nwkSKey;
  otherKey.data[15] ^= 0x01;
  EXPECT_NE(ComputeDataMic(d.phy.data(), length, otherKey, d.devAddr, true, d.fcnt), good);
}

TEST(DataFrame, PayloadKeyStreamBlocksAndBounds) {
  std::mt19937 rng(2);
  Bytes keyBytes = RandomBytes(rng, 16);
  Lora::CypherKey key(keyBytes.data());
  const uint32_t devAddr = 0x26011bd4;
  const uint32_t fcnt = 0x00012aff;
  for (size_t length : {0, 1, 15, 16, 17, 32, 33, 51, 222, 255}) {
    SCOPED_TRACE(length);
    // Reference key stream: AES of A_1, A_2, ... from OpenSSL.
    Bytes stream;
    for (size_t i = 1; stream.size() < length; ++i) {
      Bytes a = FrameBlock(0x01, false, devAddr, fcnt, static_cast<uint8_t>(i));
      Bytes s = OpenSslAes(keyBytes, a.data(), true);
      stream.insert(stream.end(), s.begin(), s.end());
    }
    Bytes data = RandomBytes(rng, length);
    Bytes out(length + 16, 0xEE);  // bytes past the length must stay untouched
    EncryptPayload(data.data(), length, key, devAddr, false, fcnt, out.data());
    for (size_t k = 0; k < length; ++k) {
      ASSERT_EQ(out[k], data[k] ^ stream[k]) << "byte " << k;
    }
    for (size_t k = length; k < out.size(); ++k) ASSERT_EQ(out[k], 0xEE) << "byte " << k;
  }
}

// ---- joins ----

TEST(Join, RequestMics) {
  for (const Json::Value& v : VectorsOf("join_request_mic")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes message = Hex(In(v, "mic_input"));
    ASSERT_EQ(message.size(), 19u);
    MicBytes mic = ComputeJoinMic(message.data(), message.size(), Key(In(v, "AppKey")));
    EXPECT_EQ(ToHex(mic), Out(v, "mic"));
    EXPECT_EQ(ToHex(message) + ToHex(mic), Out(v, "phy_payload"));
  }
}

TEST(Join, RequestMicChangesWithAnyByte) {
  Json::Value v = VectorsOf("join_request_mic").front();
  Bytes message = Hex(In(v, "mic_input"));
  Lora::CypherKey key = Key(In(v, "AppKey"));
  const MicBytes good = ComputeJoinMic(message.data(), message.size(), key);
  for (size_t i = 0; i < message.size(); ++i) {
    Bytes tampered = message;
    tampered[i] ^= 0x80;
    EXPECT_NE(ComputeJoinMic(tampered.data(), tampered.size(), key), good) << "byte " << i;
  }
}

// Builds a join accept as the join procedure does: MIC over MHDR..CFList, then the server-side
// encryption of everything after the MHDR, in place.
Bytes BuildJoinAccept(const Bytes& plainWithoutMic, const Lora::CypherKey& appKey) {
  Bytes frame = plainWithoutMic;
  MicBytes mic = ComputeJoinMic(frame.data(), frame.size(), appKey);
  frame.insert(frame.end(), mic.begin(), mic.end());
  EncryptJoinAccept(frame.data() + 1, frame.size() - 1, appKey, frame.data() + 1);
  return frame;
}

TEST(Join, AcceptEncryptionAndMicWithAndWithoutCfList) {
  bool sawCfList = false;
  bool sawPlain = false;
  for (const Json::Value& v : VectorsOf("join_accept_encrypt_mic")) {
    SCOPED_TRACE(v["name"].asString());
    Lora::CypherKey appKey = Key(In(v, "AppKey"));
    Bytes plain = Hex(In(v, "plaintext_phy_without_mic"));
    (In(v, "cflist").empty() ? sawPlain : sawCfList) = true;
    EXPECT_EQ(plain.size(), In(v, "cflist").empty() ? 13u : 29u);

    EXPECT_EQ(ToHex(ComputeJoinMic(plain.data(), plain.size(), appKey)), Out(v, "mic"));
    Bytes frame = BuildJoinAccept(plain, appKey);
    EXPECT_EQ(ToHex(frame), Out(v, "encrypted_phy"));

    char base64[Base64EncodedCapacity(33)];
    Base64Encode(frame.data(), frame.size(), base64, true);
    EXPECT_EQ(std::string(base64), Out(v, "encrypted_phy_base64"));

    // The device runs the forward cipher and gets the plain text back.
    AesContext aes;
    AesSetKey(appKey.data, 16, aes);
    for (size_t at = 1; at < frame.size(); at += 16) AesEncrypt(&frame[at], &frame[at], aes);
    EXPECT_EQ(ToHex(frame), Out(v, "plaintext_phy"));
  }
  EXPECT_TRUE(sawCfList);
  EXPECT_TRUE(sawPlain);

  for (const Json::Value& v : VectorsOf("join_accept_mic")) {
    SCOPED_TRACE(v["name"].asString());
    Lora::CypherKey appKey = Key(In(v, "AppKey"));
    Bytes plain = Hex(In(v, "plaintext_phy_without_mic"));
    EXPECT_EQ(ToHex(ComputeJoinMic(plain.data(), plain.size(), appKey)), Out(v, "mic"));
    EXPECT_EQ(ToHex(BuildJoinAccept(plain, appKey)), Out(v, "encrypted_phy_computed_here"));
  }
}

TEST(Join, AcceptEncryptionTouchesOnlyItsBlocks) {
  std::mt19937 rng(3);
  Bytes keyBytes = RandomBytes(rng, 16);
  Lora::CypherKey key(keyBytes.data());
  for (size_t length : {16, 32}) {
    SCOPED_TRACE(length);
    Bytes data = RandomBytes(rng, length);
    Bytes out(48, 0xEE);
    EncryptJoinAccept(data.data(), length, key, out.data());
    for (size_t at = 0; at < length; at += 16) {
      EXPECT_EQ(ToHex(out.data() + at, 16), ToHex(OpenSslAes(keyBytes, &data[at], false)));
    }
    for (size_t k = length; k < out.size(); ++k) ASSERT_EQ(out[k], 0xEE) << "byte " << k;
  }
}

TEST(Join, SessionKeys) {
  for (const Json::Value& v : VectorsOf("session_keys_1_0")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes appNonce = Hex(In(v, "app_nonce_wire"));
    Bytes netId = Hex(In(v, "net_id_be"));
    uint16_t devNonce = static_cast<uint16_t>(std::stoul(In(v, "dev_nonce_be"), nullptr, 16));
    Lora::CypherKey nwkSKey;
    Lora::CypherKey appSKey;
    DeriveSessionKeys(Key(In(v, "AppKey")), appNonce.data(), netId.data(), devNonce, nwkSKey,
                      appSKey);
    EXPECT_EQ(nwkSKey.text(), Out(v, "NwkSKey"));
    EXPECT_EQ(appSKey.text(), Out(v, "AppSKey"));
  }
}

// ---- the server's own derivations ----

TEST(Derivation, CrcCheckValues) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(Crc64(check, 9), 0xE9C6D914C4B8D9CAULL);
  EXPECT_EQ(Crc16Xmodem(check, 9), 0x31C3);
  EXPECT_EQ(Crc64(check, 0), 0u);
  EXPECT_EQ(Crc16Xmodem(check, 0), 0u);
}

TEST(Derivation, NetworkEuiFromName) {
  struct Case {
    const char* name;
    const char* compact;
  };
  const Case cases[] = {
      {"123456789", "e9c6d914c4b8d9ca"},
      {"vallorin-network", "5e287b45116e799f"},
      {"vallorin-304", "00dd4a0bbd7e02d8"},  // leading zero byte kept
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Lora::EUI eui = NetworkEuiFromName(c.name);
    EXPECT_EQ(eui.compactText(), c.compact);
    EXPECT_EQ(eui.value(), std::stoull(c.compact, nullptr, 16));
  }
}

TEST(Derivation, KeyFromTextIsStableAndUsesOnlyTheGivenLength) {
  // Pinned: a different product key would change every pass-phrase network key in the field.
  EXPECT_EQ(CmacKeyFromText("vallorin-passphrase").text(), "869331a45e2d9f9ae308fdf2ee40c87b");
  EXPECT_EQ(CmacKeyFromText("abcdefghXYZ", 8), CmacKeyFromText("abcdefgh"));
  EXPECT_NE(CmacKeyFromText("abcdefgh"), CmacKeyFromText("abcdefgi"));
}

TEST(Derivation, ZeroTouchKeyOrder) {
  const Lora::EUI devEui("00-80-00-00-00-00-e1-9c");
  const Lora::EUI appEui("0102030405060708");
  const std::string baseKey = "000102030405060708090a0b0c0d0e0f";
  const Lora::CypherKey key = ZeroTouchAppKey(devEui, appEui, baseKey, "pepper");
  EXPECT_EQ(key.text(), "5b9fd6fae373db48cb5d91b089d5d0c8");
  EXPECT_EQ(key, CmacKeyFromText("008000000000e19c0102030405060708" + baseKey + "pepper"));
  EXPECT_NE(ZeroTouchAppKey(appEui, devEui, baseKey, "pepper"), key);
  EXPECT_NE(ZeroTouchAppKey(devEui, appEui, baseKey, "salt"), key);
}

}  // namespace
