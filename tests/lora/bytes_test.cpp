#include "lora/Bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lora/DataRecord.h"
#include "lora/Eui.h"

namespace {

// Hex of a buffer, written here rather than with BytesToHex so the two cannot share a fault.
std::string Dump(const uint8_t* bytes, size_t count) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < count; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 0x0F];
  }
  return text;
}

TEST(HexToBytes, ParsesRightAlignedWithSeparatorRules) {
  struct Case {
    const char* name;
    const char* text;
    size_t size;
    bool allowSep;
    bool ok;
    const char* out;  // the whole buffer afterwards, also on failure
  };
  const Case cases[] = {
      {"ten digits right-aligned", "0080000000", 8, true, true, "0000000080000000"},
      {"single digit", "1", 4, false, true, "00000001"},
      {"odd digit count", "abc", 4, false, true, "00000abc"},
      {"upper case", "ABCDEF", 3, false, true, "abcdef"},
      {"dashed EUI", "00-80-00-00-00-00-e1-9c", 8, true, true, "008000000000e19c"},
      {"colon groups", "0080:0000:0000:e19c", 8, true, true, "008000000000e19c"},
      {"no separators", "008000000000e19c", 8, true, true, "008000000000e19c"},
      {"separator counts no nibble", "8-0", 1, true, true, "80"},
      {"separator allowed", "00-80", 2, true, true, "0080"},
      {"separator refused", "00-80", 2, false, false, "0080"},
      {"trailing separator, allowed", "00-80-", 2, true, false, "0000"},
      {"trailing separator, refused", "00-80-", 2, false, false, "0000"},
      {"other separator", "00.80", 2, true, false, "0080"},
      {"blank stops the walk", "zz 0102", 4, false, true, "00000102"},
      {"trailing white space skipped", "0102 \r\n", 2, false, true, "0102"},
      {"extra leading digits ignored", "aabbccdd", 2, false, true, "ccdd"},
      {"full buffer stops before garbage", "zz0102", 2, false, true, "0102"},
      {"garbage keeps the filled part", "0x10", 4, true, false, "00000010"},
      {"empty text", "", 4, false, true, "00000000"},
      {"only blanks", "  ", 2, false, true, "0000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t out[8];
    std::memset(out, 0xEE, sizeof out);  // must be zeroed by the parser
    EXPECT_EQ(HexToBytes(c.text, out, c.size, c.allowSep), c.ok);
    EXPECT_EQ(Dump(out, c.size), c.out);
  }
}

TEST(HexToBytes, NumericFormsMatch) {
  EXPECT_EQ(HexToUInt64("00-80-00-00-00-00-e1-9c", 8), 0x008000000000e19cULL);
  EXPECT_EQ(HexToUInt64("26:01:1b:d4", 4), 0x26011bd4u);
  EXPECT_EQ(HexToUInt64("1", 2), 1u);
  EXPECT_EQ(HexToUInt64("123456", 2), 0x3456u);
  EXPECT_EQ(HexToUInt64("ff", 0), 0u);
}

TEST(BytesToHex, LeadingZerosAndSeparators) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool keep;
    char sep;
    const char* text;
  };
  const Case cases[] = {
      {"dropped zeros", {0x00, 0x0a, 0xff}, false, 0, "aff"},
      {"kept zeros", {0x00, 0x0a, 0xff}, true, 0, "000aff"},
      {"dropped zero byte takes its separator", {0x00, 0x0a, 0xff}, false, '-', "a-ff"},
      {"kept zeros with separator", {0x00, 0x0a, 0xff}, true, '-', "00-0a-ff"},
      {"inner zeros stay", {0x00, 0x10, 0x00, 0x01}, false, '.', "10.00.01"},
      {"all zero, dropped", {0x00, 0x00}, false, '-', ""},
      {"all zero, kept", {0x00, 0x00}, true, ' ', "00 00"},
      {"no bytes", {}, true, '-', ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(BytesToHex(c.bytes.data(), c.bytes.size(), c.keep, c.sep), c.text);
  }
}

TEST(UInt64ToHex, PairsWidthAndSeparators) {
  struct Case {
    uint64_t value;
    unsigned digits;
    char sep;
    const char* text;
  };
  const Case cases[] = {
      {0, 16, '-', "00-00-00-00-00-00-00-00"},
      {0, 0, 0, "0"},
      {0, 1, '-', "0"},
      {0, 2, 0, "00"},
      {0, 3, 0, "0000"},
      {5, 0, 0, "05"},
      {0x123, 0, '-', "01-23"},
      {0x26011bd4, 8, ':', "26:01:1b:d4"},
      {0x26011bd4, 8, '-', "26-01-1b-d4"},
      {0x008000000000e19cULL, 16, '-', "00-80-00-00-00-00-e1-9c"},
      {UINT64_MAX, 16, 0, "ffffffffffffffff"},
      {0x100000000ULL, 8, 0, "0100000000"},  // the value wins over the width
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(UInt64ToHex(c.value, c.digits, c.sep), c.text);
  }
}

TEST(Base64, EncodeWithAndWithoutPadding) {
  struct Case {
    std::vector<uint8_t> bytes;
    bool pad;
    const char* text;
  };
  const Case cases[] = {
      {{'a', 'b', 'c'}, true, "YWJj"},    {{0xff}, true, "/w=="},     {{0xff}, false, "/w"},
      {{'a', 'b'}, true, "YWI="},         {{'a', 'b'}, false, "YWI"}, {{}, true, ""},
      {{0xfb, 0xff, 0xbf}, true, "+/+/"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    char out[16];
    std::memset(out, 'x', sizeof out);
    uint16_t n = Base64Encode(c.bytes.data(), c.bytes.size(), out, c.pad);
    EXPECT_EQ(n, std::strlen(c.text));
    EXPECT_STREQ(out, c.text);
  }
}

TEST(Base64, DecodeFailureRules) {
  struct Case {
    const char* name;
    const char* text;
    size_t capacity;
    uint16_t length;  // 0 = failure
    const char* bytes;
  };
  const Case cases[] = {
      {"padded single byte", "YQ==", 4, 1, "61"},
      {"unpadded single byte", "YQ", 1, 1, "61"},
      {"two bytes", "YWI=", 2, 2, "6162"},
      {"full group, exact room", "YWJj", 3, 3, "616263"},
      {"high bits", "/w==", 1, 1, "ff"},
      {"stops at a double quote", "YWJj\"tail", 8, 3, "616263"},
      {"nothing after '=' is looked at", "YWJj=!!", 8, 3, "616263"},
      {"single character", "Y", 4, 0, ""},
      {"five characters", "YWJjZ", 8, 0, ""},
      {"bad terminator", "YWJj!", 4, 0, ""},
      {"blank is not allowed", "YW Jj", 4, 0, ""},
      {"full group, two bytes of room", "YWJj", 2, 0, ""},
      {"one byte left for two", "YWJjYWI=", 4, 0, ""},
      {"no room for the last byte", "YWJjYQ==", 3, 0, ""},
      {"empty text", "", 4, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    uint8_t out[8];
    EXPECT_EQ(Base64Decode(c.text, out, c.capacity), c.length);
    EXPECT_EQ(Dump(out, c.length), c.bytes);
  }
}

TEST(Base64, RoundTripsEveryLength) {
  std::mt19937 rng(7);
  for (size_t length = 0; length <= 255; ++length) {
    std::vector<uint8_t> in(length);
    for (auto& b : in) b = static_cast<uint8_t>(rng());
    std::vector<char> text(Base64EncodedCapacity(length));
    uint16_t textLength = Base64Encode(in.data(), length, text.data(), true);
    ASSERT_EQ(textLength + 1u, text.size());
    std::vector<uint8_t> back(length + 1);
    ASSERT_EQ(Base64Decode(text.data(), back.data(), length), length) << "length " << length;
    EXPECT_TRUE(std::equal(in.begin(), in.end(), back.begin())) << "length " << length;
  }
}

TEST(Integers, ByteOrderHelpers) {
  const uint64_t v = 0x0102030405060708ULL;
  uint8_t out[10];
  UInt64ToBytesBE(v, 8, out);
  EXPECT_EQ(Dump(out, 8), "0102030405060708");
  UInt64ToBytesBE(v, 4, out);
  EXPECT_EQ(Dump(out, 4), "05060708");
  UInt64ToBytesBE(v, 10, out);
  EXPECT_EQ(Dump(out, 10), "00000102030405060708");
  UInt64ToBytesLE(v, 4, out);
  EXPECT_EQ(Dump(out, 4), "08070605");
  UInt64ToBytesLE(v, 10, out);
  EXPECT_EQ(Dump(out, 10), "08070605040302010000");
  const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  EXPECT_EQ(BytesToUInt64(bytes, 8), v);
  EXPECT_EQ(BytesToUInt64(bytes, 3), 0x010203u);
  EXPECT_EQ(BytesToUInt64(bytes, 0), 0u);
}

TEST(Integers, DivCeil) {
  struct Case {
    uint32_t a, b, q;
  };
  const Case cases[] = {{0, 4, 0}, {5, 0, 0},   {1, 4, 1},   {4, 4, 1},
                        {5, 4, 2}, {16, 16, 1}, {17, 16, 2}, {0xFFFFFFFFu, 2, 0x80000000u}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.a) + "/" + std::to_string(c.b));
    EXPECT_EQ(DivCeil(c.a, c.b), c.q);
  }
}

TEST(DataRecord, VariableLengthClampsEveryCopy) {
  std::vector<uint8_t> big(300, 0xAB);
  DataRecordVL<unsigned short, 255> frame(big.data(), big.size());
  EXPECT_EQ(frame.length, 255);

  DataRecordVL<unsigned short, 255> copy;
  frame.length = 400;  // a bad length written directly must not carry over
  copy = frame;
  EXPECT_EQ(copy.length, 255);

  DataRecordVL<unsigned short, 6> small;
  const uint8_t four[] = {1, 2, 3, 4};
  EXPECT_EQ(small.append(four, 4), 4u);
  EXPECT_EQ(small.append(four, 4), 2u);
  EXPECT_EQ(small.length, 6);
  EXPECT_EQ(Dump(small.data, 6), "010203040102");
  small.assign(four, 2);
  EXPECT_EQ(Dump(small.data, 6), "010200000000");  // nothing stale behind the length
}

TEST(Eui, TextAndValueFollowTheBytes) {
  Lora::EUI unset;
  EXPECT_EQ(unset.text(), "ff-ff-ff-ff-ff-ff-ff-ff");
  EXPECT_EQ(unset.value(), UINT64_MAX);
  EXPECT_EQ(unset.length, 8);

  for (const char* text : {"00-80-00-00-00-00-e1-9c", "008000000000E19C", "0080:0000:0000:e19c"}) {
    SCOPED_TRACE(text);
    Lora::EUI eui(text);
    EXPECT_EQ(eui.text(), "00-80-00-00-00-00-e1-9c");
    EXPECT_EQ(eui.compactText(), "008000000000e19c");
    EXPECT_EQ(eui.value(), 0x008000000000e19cULL);
  }

  // A frame carries the EUI least significant byte first.
  const uint8_t onAir[] = {0x9c, 0xe1, 0x00, 0x00, 0x00, 0x00, 0x80, 0x00};
  uint64_t little = 0;
  for (int i = 7; i >= 0; --i) little = (little << 8) | onAir[i];
  Lora::EUI fromFrame = Lora::EUI::FromValue(little);
  EXPECT_EQ(fromFrame.text(), "00-80-00-00-00-00-e1-9c");

  Lora::EUI written;
  written.data[7] = 0x01;
  written.Refresh();
  EXPECT_EQ(written.text(), "ff-ff-ff-ff-ff-ff-ff-01");
  Lora::EUI copy(written);
  EXPECT_EQ(copy.text(), written.text());
  EXPECT_EQ(copy.value(), 0xffffffffffffff01ULL);

  // An unvalidated bad text keeps what was parsed on the right and zeros on the left.
  EXPECT_EQ(Lora::EUI("zz0102").text(), "00-00-00-00-00-00-01-02");
}

TEST(CypherKey, DefaultUnsetAndAssignment) {
  Lora::CypherKey zero;
  EXPECT_EQ(zero.text(), std::string(32, '0'));
  EXPECT_FALSE(zero.IsUnset());

  uint8_t ff[16];
  std::memset(ff, 0xFF, sizeof ff);
  Lora::CypherKey unset(ff);
  EXPECT_TRUE(unset.IsUnset());

  const uint8_t bytes[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                             0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
  unset = bytes;
  EXPECT_FALSE(unset.IsUnset());
  EXPECT_EQ(unset.text(), "2b7e151628aed2a6abf7158809cf4f3c");
  Lora::CypherKey copy;
  copy = unset;
  EXPECT_EQ(copy.text(), unset.text());
  EXPECT_TRUE(copy == unset);
}

}  // namespace
