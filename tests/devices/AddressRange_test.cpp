#include "devices/AddressRange.h"

#include <gtest/gtest.h>

#include <set>

#include "TestSupport.h"

namespace {

using testsupport::LogCapture;

AddressRangeConfig Range(const char* start, const char* end, const char* netId) {
  Json::Value config;
  config["addressRange"]["start"] = start;
  config["addressRange"]["end"] = end;
  config["lora"]["netID"] = netId;
  return AddressRangeConfig::FromConfig(config);
}

// Draws n addresses from an empty list with a counting generator; returns the distinct ones.
std::set<uint32_t> Draws(const AddressRangeConfig& range, int n, uint32_t step = 1) {
  std::set<uint32_t> seen;
  uint32_t r = 0;
  auto random = [&] { return static_cast<int>((r += step) & 0x7FFFFFFF); };
  for (int i = 0; i < n; ++i) {
    auto a = allocateDevAddr(
        range, 0, [](uint32_t) { return false; }, "eui", random);
    if (a) seen.insert(*a);
  }
  return seen;
}

TEST(AddressRangeTest, DrawsStayInsideTheRangeWithTheNwkIdAbove) {
  LogCapture log;
  struct Case {
    const char* name;
    AddressRangeConfig range;
    std::set<uint32_t> addresses;
  } cases[] = {
      {"span 2: the last address is never drawn", Range("00000001", "00000003", "000000"), {1, 2}},
      {"start 0 becomes 1", Range("00000000", "00000002", "000000"), {1}},
      {"end FFFFFFFF is capped at 01FFFFFE",
       Range("01FFFFFC", "FFFFFFFF", "000000"),
       {0x01FFFFFC, 0x01FFFFFD}},
      {"NwkID 0x13 gives top bits 0x26",
       Range("00000001", "00000003", "000013"),
       {0x26000001, 0x26000002}},
      {"only the low 7 bits of the NetID remain",
       Range("00000001", "00000003", "0000FF"),
       {0xFE000001, 0xFE000002}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.addresses, Draws(c.range, 50));
    for (uint32_t a : c.addresses) EXPECT_TRUE(isDevAddrInRange(c.range, a));
  }
  EXPECT_TRUE(log.contains("|JOINREQ|New End Device assigning DevAddr 26000001"));
}

TEST(AddressRangeTest, AFullRangeFailsAndUnluckyDrawsFallBackToAScan) {
  const AddressRangeConfig range = Range("00000001", "00000003", "000013");
  LogCapture log;
  EXPECT_FALSE(allocateDevAddr(
      range, 2, [](uint32_t) { return false; }, "eui"));
  EXPECT_TRUE(log.contains("No address available for new device."));

  // Every draw lands on the one used address; the free one is still found.
  auto always = [] { return 0; };
  auto used = [](uint32_t a) { return a == 0x26000001; };
  EXPECT_EQ(0x26000002u, allocateDevAddr(range, 1, used, "eui", always));
  // The list not full by count, but every address held: nothing is handed out twice.
  EXPECT_FALSE(allocateDevAddr(
      range, 1, [](uint32_t) { return true; }, "eui", always));
  // An end below the start leaves no addresses at all.
  EXPECT_FALSE(allocateDevAddr(
      Range("00000010", "00000008", "000000"), 0, [](uint32_t) { return false; }, "eui"));
}

TEST(AddressRangeTest, TheRestoreCheckWantsTheRangeInTheLowBitsAndThisNwkIdAbove) {
  const AddressRangeConfig range = Range("00000100", "000001FF", "000013");
  EXPECT_TRUE(isDevAddrInRange(range, 0x26000100));
  EXPECT_TRUE(isDevAddrInRange(range, 0x260001FF));
  EXPECT_FALSE(isDevAddrInRange(range, 0x260000FF));
  EXPECT_FALSE(isDevAddrInRange(range, 0x26000200));
  EXPECT_FALSE(isDevAddrInRange(range, 0x00000150));  // another NwkID
  EXPECT_FALSE(isDevAddrInRange(range, 0x27000150));  // bit 24 belongs to the address
}

}  // namespace
