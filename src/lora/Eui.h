// 64-bit EUIs and 128-bit AES keys as byte records.
//
// The EUI caches its numeric value, which sorted lookups compare on every uplink. Text forms are
// formatted when asked for: a cached copy cost every device five heap strings, several times what
// formatting them on the few calls that want text costs. Whoever writes `data` of an EUI directly
// calls Refresh() afterwards. Plain values, no locking.
#pragma once

#include <cstdint>
#include <string>

#include "lora/DataRecord.h"

namespace Lora {

// An EUI in display order (most significant byte first). Frames carry EUIs least significant
// byte first: read them as a little-endian u64 and use SetValue().
class EUI : public DataRecordFL<unsigned short, 8> {
 public:
  // All bytes 0xFF: "ff-ff-ff-ff-ff-ff-ff-ff", value with every bit set.
  EUI();
  // Parses hex with '-' / ':' separators allowed (HexToBytes). The parse result is ignored:
  // validate the text first (a bad text leaves the right-hand bytes parsed and zeros to the left).
  explicit EUI(const char* text);
  explicit EUI(const std::string& text) : EUI(text.c_str()) {}
  EUI(const EUI& other) = default;
  EUI& operator=(const EUI& other) = default;
  ~EUI() = default;

  static EUI FromValue(uint64_t value);
  // Copies 8 bytes in display order.
  static EUI FromBytes(const uint8_t* bytes);

  // Writes the value most significant byte first and refreshes the caches.
  void SetValue(uint64_t value);
  // Rebuilds the cached value from the bytes.
  void Refresh();

  // 8 lowercase hex pairs joined by '-' (23 characters), e.g. "00-80-00-00-00-00-e1-9c".
  std::string text() const;
  uint64_t value() const { return value_; }
  // 16 lowercase hex digits without separators: the form compared with configuration values.
  std::string compactText() const;

 private:
  uint64_t value_ = 0;
};

inline bool operator==(const EUI& a, const EUI& b) { return a.value() == b.value(); }
inline bool operator!=(const EUI& a, const EUI& b) { return a.value() != b.value(); }
inline bool operator<(const EUI& a, const EUI& b) { return a.value() < b.value(); }

// An AES-128 key, bytes in the order they are fed to AES. Sixteen 0x00 bytes by default;
// sixteen 0xFF bytes mean "not set".
class CypherKey : public DataRecordFL<unsigned short, 16> {
 public:
  CypherKey();
  // Copies 16 bytes.
  explicit CypherKey(const uint8_t* bytes);
  CypherKey(const CypherKey& other) = default;
  CypherKey& operator=(const CypherKey& other) = default;
  // Copies 16 raw bytes.
  CypherKey& operator=(const uint8_t* bytes);
  ~CypherKey() = default;

  // True for sixteen 0xFF bytes.
  bool IsUnset() const;

  // 32 lowercase hex digits, no separator.
  std::string text() const;
};

}  // namespace Lora
