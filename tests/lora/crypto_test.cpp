// Known answers (FIPS-197, RFC 4493, the LoRaWAN vector file) and cross-checks against OpenSSL's
// libcrypto on random inputs.
#include "lora/Crypto.h"

#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "lora/Aes.h"
#include "lora/Cmac.h"
#include "lora/Crc.h"

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

template <class C>
std::string ToHex(const C& bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    text += "0123456789abcdef"[b >> 4];
    text += "0123456789abcdef"[b & 0x0F];
  }
  return text;
}

Lora::CypherKey Key(const std::string& hex) { return Lora::CypherKey(Hex(hex).data()); }

Bytes RandomBytes(std::mt19937& rng, size_t count) {
  Bytes out(count);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// OpenSSL as the independent reference.
std::string OpenSslAes(const Bytes& key, const Bytes& block) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  uint8_t out[16];
  int n = 0;
  EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr);
  EXPECT_EQ(EVP_EncryptUpdate(ctx, out, &n, block.data(), 16), 1);
  EVP_CIPHER_CTX_free(ctx);
  return ToHex(out);
}

std::string OpenSslCmac(const Bytes& key, const Bytes& data) {
  uint8_t tag[16];
  size_t length = 0;
  EXPECT_NE(EVP_Q_mac(nullptr, "CMAC", nullptr, "AES-128-CBC", nullptr, key.data(), 16, data.data(),
                      data.size(), tag, sizeof tag, &length),
            nullptr);
  return ToHex(tag);
}

// Every entry of one kind; the file states how many there are, so none is skipped silently.
std::vector<Json::Value> VectorsOf(const std::string& kind) {
  static Json::Value root;
  if (root.isNull())
    std::ifstream(std::string(VALLORIN_VECTORS_DIR) + "/lorawan-vectors.json") >> root;
  std::vector<Json::Value> out;
  for (const Json::Value& v : root["vectors"]) {
    bool match = v["kind"] == Json::Value(kind);
    for (const Json::Value& k : v["kind"]) match = match || k == Json::Value(kind);
    if (match) out.push_back(v);
  }
  EXPECT_EQ(out.size(), root["counts"][kind].asUInt()) << kind;
  EXPECT_FALSE(out.empty()) << kind;
  return out;
}

std::string In(const Json::Value& v, const char* name) { return v["inputs"][name].asString(); }
std::string Out(const Json::Value& v, const char* name) { return v["expected"][name].asString(); }

// Our cipher on one block, in place; decryption must bring the plain text back.
std::string Encrypt(const Bytes& key, const Bytes& plain) {
  AesContext ctx;
  EXPECT_EQ(AesSetKey(key.data(), key.size(), ctx), kAesSuccess);
  Bytes block = plain;
  EXPECT_EQ(AesEncrypt(block.data(), block.data(), ctx), kAesSuccess);
  const std::string cipher = ToHex(block);
  EXPECT_EQ(AesDecrypt(block.data(), block.data(), ctx), kAesSuccess);
  EXPECT_EQ(block, plain);
  return cipher;
}

// FIPS-197 appendix B and C.1 among them; the wider keys are covered by the OpenSSL comparison.
TEST(Aes, KnownAnswers) {
  for (const Json::Value& v : VectorsOf("aes128_block")) {
    EXPECT_EQ(Encrypt(Hex(In(v, "key")), Hex(In(v, "plaintext"))), Out(v, "ciphertext"))
        << v["name"].asString();
  }
}

TEST(Aes, UnusableContextFailsWith255AndLeavesTheOutputAlone) {
  const Bytes key(33, 0x42);
  for (size_t length : {0, 15, 17, 31, 33}) {
    SCOPED_TRACE(length);
    AesContext ctx;
    AesSetKey(key.data(), 16, ctx);  // a good key first: the bad one must wipe it
    EXPECT_EQ(AesSetKey(key.data(), length, ctx), 255);
    EXPECT_EQ(ctx.rounds, 0);
    for (auto* cipher : {&AesEncrypt, &AesDecrypt}) {
      Bytes out(16, 0xA5);
      EXPECT_EQ(cipher(key.data(), out.data(), ctx), 255);
      EXPECT_EQ(out, Bytes(16, 0xA5));
    }
  }
}

TEST(Aes, MatchesOpenSslForRandomKeysAndBlocks) {
  std::mt19937 rng(20261205);
  for (size_t keyLength : {16, 24, 32}) {
    for (int round = 0; round < 200 && !HasFailure(); ++round) {
      const Bytes key = RandomBytes(rng, keyLength);
      const Bytes plain = RandomBytes(rng, 16);
      EXPECT_EQ(Encrypt(key, plain), OpenSslAes(key, plain)) << ToHex(key) << " " << ToHex(plain);
    }
  }
}

TEST(Cmac, Rfc4493ExamplesAndSubkeys) {
  for (const Json::Value& v : VectorsOf("aes_cmac")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes key = Hex(In(v, "key"));
    uint8_t out[32];
    if (v["expected"].isMember("K1")) {
      AesContext aes;
      AesSetKey(key.data(), key.size(), aes);
      CmacSubkeys(aes, out, out + 16);
      EXPECT_EQ(ToHex(out), Out(v, "K1") + Out(v, "K2"));
    } else {
      Bytes message = Hex(In(v, "message"));
      AesCmac(key.data(), message.data(), message.size(), out);
      EXPECT_EQ(ToHex(out).substr(0, 32), Out(v, "cmac"));
    }
  }
}

TEST(Cmac, MatchesOpenSslForEveryLengthAndSplit) {
  std::mt19937 rng(4493);
  for (size_t length = 0; length <= 100; ++length) {
    SCOPED_TRACE(length);
    Bytes key = RandomBytes(rng, 16);
    Bytes data = RandomBytes(rng, length);
    const std::string expected = OpenSslCmac(key, data);
    uint8_t tag[16];
    AesCmac(key.data(), data.data(), length, tag);
    ASSERT_EQ(ToHex(tag), expected);

    // The same message fed in random pieces, empty pieces included, and an empty piece last: a
    // data MIC over an empty message does exactly that after the full B0 block.
    CmacContext ctx;
    CmacInit(ctx);
    CmacSetKey(ctx, key.data());
    for (size_t at = 0, piece = 0; at < length; at += piece) {
      piece = std::min<size_t>(rng() % 20, length - at);
      CmacUpdate(ctx, data.data() + at, piece);
    }
    CmacUpdate(ctx, data.data(), 0);
    CmacFinal(tag, ctx);
    ASSERT_EQ(ToHex(tag), expected);
  }
}

// Output buffers are sized exactly, so the sanitizer build catches any write past the length.
TEST(DataFrame, VectorFileMicsAndPayloads) {
  for (const char* kind :
       {"data_uplink_mic", "data_downlink_mic", "frm_encrypt_uplink", "frm_encrypt_downlink"}) {
    for (const Json::Value& v : VectorsOf(kind)) {
      SCOPED_TRACE(v["name"].asString());
      const Bytes phy = Hex(In(v, "phy_payload"));
      const uint32_t devAddr = static_cast<uint32_t>(std::stoul(In(v, "dev_addr_be"), nullptr, 16));
      const bool uplink = v["inputs"]["dir"].asInt() == 0;
      const uint32_t fcnt = v["inputs"]["fcnt32"].asUInt();
      if (std::strstr(kind, "mic") != nullptr) {
        const Lora::CypherKey key = Key(In(v, "NwkSKey"));
        MicBytes mic = ComputeDataMic(phy.data(), phy.size() - 4, key, devAddr, uplink, fcnt);
        EXPECT_EQ(ToHex(mic), Out(v, "mic"));
        continue;
      }
      // FPort 0 carries MAC commands under the network key.
      const Lora::CypherKey key = Key(In(v, v["inputs"]["fport"] == 0 ? "NwkSKey" : "AppSKey"));
      const Bytes plain = Hex(In(v, "frm_plaintext"));
      Bytes out(plain.size());
      EncryptPayload(plain.data(), plain.size(), key, devAddr, uplink, fcnt, out.data());
      EXPECT_EQ(ToHex(out), Out(v, "frm_ciphertext"));
      EncryptPayload(out.data(), out.size(), key, devAddr, uplink, fcnt, out.data());
      EXPECT_EQ(out, plain);  // decrypted in place
    }
  }
}

TEST(Join, RequestMics) {
  for (const Json::Value& v : VectorsOf("join_request_mic")) {
    SCOPED_TRACE(v["name"].asString());
    Bytes message = Hex(In(v, "mic_input"));
    MicBytes mic = ComputeJoinMic(message.data(), message.size(), Key(In(v, "AppKey")));
    EXPECT_EQ(ToHex(message) + ToHex(mic), Out(v, "phy_payload"));
  }
}

TEST(Join, AcceptEncryptionAndMic) {
  std::vector<Json::Value> vectors = VectorsOf("join_accept_encrypt_mic");
  vectors.push_back(VectorsOf("join_accept_mic").front());
  for (const Json::Value& v : vectors) {
    SCOPED_TRACE(v["name"].asString());
    Lora::CypherKey appKey = Key(In(v, "AppKey"));
    Bytes frame = Hex(In(v, "plaintext_phy_without_mic"));
    MicBytes mic = ComputeJoinMic(frame.data(), frame.size(), appKey);
    EXPECT_EQ(ToHex(mic), Out(v, "mic"));
    frame.insert(frame.end(), mic.begin(), mic.end());
    Bytes out(frame.size());
    out[0] = frame[0];
    EncryptJoinAccept(frame.data() + 1, frame.size() - 1, appKey, out.data() + 1);
    const bool full = v["expected"].isMember("encrypted_phy");
    EXPECT_EQ(ToHex(out), Out(v, full ? "encrypted_phy" : "encrypted_phy_computed_here"));
  }
}

TEST(Join, SessionKeys) {
  for (const Json::Value& v : VectorsOf("session_keys_1_0")) {
    SCOPED_TRACE(v["name"].asString());
    const auto devNonce = static_cast<uint16_t>(std::stoul(In(v, "dev_nonce_be"), nullptr, 16));
    Lora::CypherKey nwkSKey;
    Lora::CypherKey appSKey;
    DeriveSessionKeys(Key(In(v, "AppKey")), Hex(In(v, "app_nonce_wire")).data(),
                      Hex(In(v, "net_id_be")).data(), devNonce, nwkSKey, appSKey);
    EXPECT_EQ(nwkSKey.text() + appSKey.text(), Out(v, "NwkSKey") + Out(v, "AppSKey"));
  }
}

TEST(Derivation, CrcCheckValuesAndNetworkEui) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(Crc64(check, 9), 0xE9C6D914C4B8D9CAULL);
  EXPECT_EQ(Crc16Xmodem(check, 9), 0x31C3);
  EXPECT_EQ(NetworkEuiFromName("vallorin-304").compactText(), "00dd4a0bbd7e02d8");  // leading 00
}

// Pinned: a different product key or text layout would change every derived key in the field.
TEST(Derivation, PinnedKeysFromText) {
  EXPECT_EQ(CmacKeyFromText("vallorin-passphrase").text(), "869331a45e2d9f9ae308fdf2ee40c87b");
  EXPECT_EQ(CmacKeyFromText("abcdefghXYZ", 8), CmacKeyFromText("abcdefgh"));
  EXPECT_EQ(ZeroTouchAppKey(Lora::EUI("00-80-00-00-00-00-e1-9c"), Lora::EUI("0102030405060708"),
                            "000102030405060708090a0b0c0d0e0f", "pepper")
                .text(),
            "5b9fd6fae373db48cb5d91b089d5d0c8");
}

}  // namespace
