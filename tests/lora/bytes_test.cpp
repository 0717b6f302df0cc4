#include "lora/Bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "lora/DataRecord.h"
#include "lora/Eui.h"

namespace {

// Hex of a buffer, written here rather than with BytesToHex so the two cannot share a fault.
std::string Dump(const uint8_t* bytes, size_t count) {
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += "0123456789abcdef"[bytes[i] >> 4];
    text += "0123456789abcdef"[bytes[i] & 0x0F];
  }
  return text;
}

// "ok"/"bad" and the whole buffer afterwards: a failed parse keeps what it filled.
std::string Parse(const char* text, size_t size, bool allowSeparators) {
  uint8_t out[8];
  std::memset(out, 0xEE, sizeof out);  // must be zeroed by the parser
  bool ok = HexToBytes(text, out, size, allowSeparators);
  return (ok ? "ok " : "bad ") + Dump(out, size);
}

TEST(HexText, ParsesRightAlignedWithSeparatorAndGarbageRules) {
  EXPECT_EQ(Parse("0080000000", 8, true), "ok 0000000080000000");
  EXPECT_EQ(Parse("abc", 4, false), "ok 00000abc");  // odd digit count
  EXPECT_EQ(Parse("8-0", 1, true), "ok 80");         // a separator counts no nibble
  EXPECT_EQ(Parse("00-80", 2, false), "bad 0080");
  EXPECT_EQ(Parse("00-80-", 2, true), "bad 0000");  // trailing separator
  EXPECT_EQ(Parse("zz 0102", 4, false), "ok 00000102");  // a blank stops the walk
  EXPECT_EQ(Parse("zz0102", 2, false), "ok 0102");  // a full buffer stops before garbage
  EXPECT_EQ(Parse("0x10", 4, true), "bad 00000010");
  EXPECT_EQ(HexToUInt64("123456", 2), 0x3456u);  // extra leading digits ignored
}

TEST(HexText, WritesPairsWithLeadingZeroAndSeparatorRules) {
  const uint8_t bytes[] = {0x00, 0x0a, 0xff, 0x00, 0x00, 0x10, 0x00, 0x01};
  EXPECT_EQ(BytesToHex(bytes, 3, false, 0), "aff");
  EXPECT_EQ(BytesToHex(bytes, 3, false, '-'), "a-ff");  // a dropped zero byte takes its separator
  EXPECT_EQ(BytesToHex(bytes, 3, true, '-'), "00-0a-ff");
  EXPECT_EQ(BytesToHex(bytes + 3, 2, false, '-'), "");
  EXPECT_EQ(UInt64ToHex(0, 3, 0), "0000");  // width rounded up to whole pairs
  EXPECT_EQ(UInt64ToHex(0x123, 0, '-'), "01-23");
  EXPECT_EQ(UInt64ToHex(0x008000000000e19cULL, 16, '-'), "00-80-00-00-00-00-e1-9c");
  EXPECT_EQ(UInt64ToHex(0x100000000ULL, 8, 0), "0100000000");  // the value wins over the width
}

std::string Decode(const char* text, size_t capacity) {
  uint8_t out[8];
  return Dump(out, Base64Decode(text, out, capacity));  // "" on failure
}

TEST(Base64, EncodeAndDecodeFailureRules) {
  const uint8_t bytes[] = {0xfb, 0xff, 0xbf};
  char text[16];
  EXPECT_EQ(Base64Encode(bytes, 3, text, true), 4);
  EXPECT_STREQ(text, "+/+/");
  EXPECT_EQ(Base64Encode(bytes, 1, text, true), 4);
  EXPECT_STREQ(text, "+w==");

  EXPECT_EQ(Decode("YQ", 1), "61");
  EXPECT_EQ(Decode("YWJj\"tail", 8), "616263");  // a double quote ends the text
  EXPECT_EQ(Decode("YWJj=!!", 8), "616263");     // nothing after '=' is looked at
  for (const char* bad : {"Y", "YWJjZ", "YWJj!", "YW Jj", ""}) EXPECT_EQ(Decode(bad, 8), "") << bad;
  EXPECT_EQ(Decode("YWJj", 2), "");      // a full group with room for two
  EXPECT_EQ(Decode("YWJjYQ==", 3), "");  // no room for the last byte
}

// The longest frames give texts past 255 characters: no 8-bit counter may be hiding inside.
TEST(Base64, RoundTripsTheLongestFrames) {
  for (size_t length : {253, 254, 255}) {
    std::vector<uint8_t> in(length);
    for (size_t i = 0; i < length; ++i) in[i] = static_cast<uint8_t>(i * 37 + length);
    std::vector<char> text(Base64EncodedCapacity(length));
    ASSERT_EQ(Base64Encode(in.data(), length, text.data(), true) + 1u, text.size());
    std::vector<uint8_t> back(length);
    ASSERT_EQ(Base64Decode(text.data(), back.data(), length), length);
    EXPECT_EQ(back, in) << "length " << length;
  }
}

TEST(DataRecord, VariableLengthNeverExceedsItsCapacity) {
  DataRecordVL<unsigned short, 6> small;
  const uint8_t four[] = {1, 2, 3, 4};
  small.append(four, 4);
  EXPECT_EQ(small.append(four, 4), 2u);
  EXPECT_EQ(Dump(small.data, 6), "010203040102");
  small.assign(four, 2);
  EXPECT_EQ(Dump(small.data, 6), "010200000000");  // nothing stale behind the length
}

TEST(Eui, TextFormsOfEuisAndKeys) {
  EXPECT_EQ(Lora::EUI().text(), "ff-ff-ff-ff-ff-ff-ff-ff");
  for (const char* text : {"00-80-00-00-00-00-e1-9c", "008000000000E19C", "0080:0000:0000:e19c"}) {
    Lora::EUI eui(text);
    EXPECT_EQ(eui.text() + " " + eui.compactText(), "00-80-00-00-00-00-e1-9c 008000000000e19c");
    EXPECT_EQ(eui.value(), 0x008000000000e19cULL) << text;
  }
  // An unvalidated bad text keeps what was parsed on the right and zeros on the left.
  EXPECT_EQ(Lora::EUI("zz0102").text(), "00-00-00-00-00-00-01-02");

  uint8_t key[16];
  std::memset(key, 0xFF, sizeof key);
  EXPECT_TRUE(Lora::CypherKey(key).IsUnset());
  EXPECT_FALSE(Lora::CypherKey().IsUnset());  // all zeros is a key, not "unset"
  key[0] = 0x2b;
  EXPECT_EQ(Lora::CypherKey(key).text(), "2b" + std::string(30, 'f'));
}

}  // namespace
