// Channel plans, one table per operation across the six regions. Expected values are typed in from
// the regional parameters, not taken from the plan tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "PlanTestSupport.h"
#include "TestSupport.h"

namespace {

using plantest::MakePlan;

constexpr uint32_t MHz(double mhz) { return static_cast<uint32_t>(mhz * 1e6 + 0.5); }

// One question put to a plan built on the "lora" text (and "network"."public" when mode >= 0).
struct Row {
  const char* region;
  const char* lora;
  int64_t in, out;
  int mode = -1;
};

template <size_t N, typename Answer>
void ExpectAnswers(const Row (&rows)[N], Answer answer) {
  for (const Row& r : rows) {
    auto t = MakePlan(r.region, r.lora, r.mode);
    EXPECT_EQ(static_cast<int64_t>(answer(*t->plan, r.in)), r.out)
        << r.region << " " << r.lora << " mode " << r.mode << " in " << r.in;
  }
}

TEST(ChannelPlan, DatarateCoding) {
  // Modulations are bandwidth in kHz x 100 + SF. Unknown indexes fall back to SF12 at the plan's
  // own bandwidth and say so.
  const Row unknown[] = {
      {"EU868", "{}", 8, 12512},
      {"AU915", "{}", -1, 12512},
      {"US915", "{}", 14, 50012},
  };
  testsupport::LogCapture log;
  ExpectAnswers(unknown, [](auto& p, int64_t dr) {
    DatarateParams params = p.datarateToSfBw(dr);
    return params.bandwidth * 100 + params.spreadingFactor;
  });
  EXPECT_EQ(log.count("invalid datarate index"), 3u) << log.dump();
  // 0 when the plan has no such uplink; FSK is known by SF 13 alone.
  const Row back[] = {
      {"EU868", "{}", 13, 7},     {"EU868", "{}", 25007, 6}, {"EU868", "{}", 50008, 0},
      {"KR920", "{}", 13, 0},     {"US915", "{}", 50009, 11}, {"US915", "{}", 12510, 0},
  };
  ExpectAnswers(back, [](auto& p, int64_t in) { return p.sfBwToDatarate(in / 100, in % 100); });
}

TEST(ChannelPlan, MaxPayload) {
  // AS923 lifts the 400 ms limits only for an explicit numeric "dwelltimeDown" of 0.
  const char* off = R"({"dwelltimeDown": 0})";
  const char* on = R"({"dwelltimeDown": 1})";
  const char* text = R"({"dwelltimeDown": "0"})";
  const Row rows[] = {
      {"EU868", "{}", 7, 255}, {"EU868", "{}", 8, 0},  {"US915", "{}", 8, 66},
      {"AS923", off, 0, 64},   {"AS923", "{}", 0, 0},  {"AS923", on, 3, 66},
      {"AS923", text, 4, 138},
  };
  ExpectAnswers(rows, [](auto& p, int64_t dr) { return p.maxPayload(dr); });
}

TEST(ChannelPlan, DevicePowerCoding) {
  // A "maxEIRP" that is not a number leaves AS923 at its default of 20 dBm.
  const char* e16 = R"({"maxEIRP": 16})";
  const char* txt = R"({"maxEIRP": "16"})";
  const Row index[] = {
      {"EU868", "{}", 20, 0}, {"EU868", "{}", -4, 5}, {"IN865", "{}", 31, 0},
      {"AU915", "{}", 2, 10}, {"AS923", "{}", 21, 0}, {"AS923", e16, 16, 0},
      {"AS923", e16, 5, 5},   {"AS923", txt, 16, 2},
  };
  ExpectAnswers(index, [](auto& p, int64_t dBm) { return p.txPowerIndex(dBm); });
}

TEST(ChannelPlan, MaxRadioTxPower) {
  struct Case {
    const char* region;
    int32_t gain, ceiling;
    const char* hwVersion;  // nullptr: no card record
    double mhz;
    int32_t dBm;
  };
  // EU868 allows 27 dBm EIRP in 869.4-869.65 MHz, but that card stops at 20 dBm.
  const Case cases[] = {
      {"EU868", 3, 30, "VOLK-LORA-1.0", 869.525, 20}, {"EU868", 3, 30, "VOLK-LORA-1.0", 868.1, 11},
      {"EU868", 3, 30, "OTHER-1.0", 869.525, 24},     {"EU868", 3, 30, nullptr, 869.65, 24},
      {"EU868", 3, 30, nullptr, 869.7, 11},           {"US915", 20, 10, nullptr, 923.3, 0},
      {"KR920", 3, 30, nullptr, 922.1, 20},           {"US915", 10, 40, nullptr, 923.3, 26},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + std::to_string(c.mhz) + " gain " +
                 std::to_string(c.gain) + (c.hwVersion ? c.hwVersion : ""));
    auto t = MakePlan(c.region);
    t->settings.antennaGain = c.gain;
    t->settings.maxTxPower = c.ceiling;
    if (c.hwVersion != nullptr) t->settings.card1["hwVersion"] = c.hwVersion;
    EXPECT_EQ(t->plan->maxRadioTxPower(MHz(c.mhz)), c.dBm);
  }
}

TEST(ChannelPlan, DutyCycleBandEdges) {
  const Row rows[] = {
      {"EU868", "{}", 867900, 0}, {"EU868", "{}", 868000, 1}, {"EU868", "{}", 868600, 1},
      {"EU868", "{}", 868700, 0}, {"EU868", "{}", 869400, 2}, {"EU868", "{}", 869650, 2},
      {"EU868", "{}", 870000, 3}, {"EU868", "{}", 870100, 0}, {"US915", "{}", 868100, 0},
  };
  ExpectAnswers(rows, [](auto& p, int64_t kHz) { return p.dutyCycleBand(kHz * 1000); });
}

TEST(ChannelPlan, Rx1Frequency) {
  // Mode is "network"."public": 0 a private network, 2 a private one on public channels.
  // US915 125 kHz channels 0, 11, 63 and 500 kHz channels 64, 65, 71; a channel number for 3.
  const Row rows[] = {
      {"US915", "{}", MHz(902.3), MHz(923.3), 1}, {"US915", "{}", MHz(914.9), MHz(927.5), 1},
      {"US915", "{}", MHz(904.6), MHz(923.9), 1}, {"US915", "{}", MHz(914.2), MHz(927.5), 0},
      {"US915", "{}", MHz(904.5), MHz(923.9), 0}, {"US915", "{}", MHz(904.5), MHz(925.1), 2},
      {"US915", "{}", 3, MHz(925.1), 1},          {"AU915", "{}", MHz(917.5), MHz(923.9), 1},
      {"EU868", "{}", MHz(868.3), MHz(868.3), 1},
  };
  ExpectAnswers(rows, [](auto& p, int64_t uplink) { return p.rx1Frequency(uplink); });
}

TEST(ChannelPlan, RxWindows) {
  struct Case {
    const char* region;
    const char* lora;
    int window, uplinkDr;
    double uplinkMhz, mhz;
    uint32_t modulation;  // bandwidth in kHz x 100 + SF
    int mode = 1;
  };
  auto check = [](bool join, const Case& c) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + (join ? " join" : " data") + " RX" +
                 std::to_string(c.window) + " DR" + std::to_string(c.uplinkDr));
    auto t = MakePlan(c.region, c.lora, c.mode);
    RxWindowParams w = t->plan->rxWindow(join, MHz(c.uplinkMhz), c.uplinkDr, c.window);
    EXPECT_EQ(w.window, c.window);
    EXPECT_EQ(w.frequency, MHz(c.mhz));
    EXPECT_EQ(w.bandwidth * 100 + w.spreadingFactor, c.modulation);
  };
  // A configured RX2 and offset must not affect join accepts.
  const char* j = R"({"rx1DatarateOffset": 2, "rx2Datarate": 3, "rx2Frequency": 869100000})";
  const Case joins[] = {
      {"EU868", j, 1, 5, 868.1, 868.1, 12507},       {"EU868", j, 2, 5, 868.1, 869.525, 12512},
      {"AS923", j, 2, 3, 923.2, 923.2, 12510},       {"IN865", j, 2, 0, 865.0625, 866.55, 12510},
      {"KR920", j, 2, 4, 922.1, 921.9, 12512},       {"US915", j, 1, 0, 902.3, 923.3, 50010},
      {"US915", j, 1, 4, 903.0, 923.3, 50007},       {"US915", j, 2, 0, 904.1, 923.9, 50012, 0},
      {"AU915", j, 1, 0, 915.2, 923.3, 50012},
  };
  for (const Case& c : joins) check(true, c);

  // AS923 and IN865 take offsets 6 and 7 as raising the datarate by 1 and 2 (up to the configured
  // maximum); AS923 downlinks stay at DR2 or above under dwell time, which only an explicit 0
  // turns off.
  const Case data[] = {
      {"EU868", R"({"rx1DatarateOffset": 3})", 1, 1, 868.3, 868.3, 12512},
      {"EU868", R"({"rx2Datarate": 3, "rx2Frequency": 869525000})", 2, 5, 868.3, 869.525, 12509},
      {"IN865", R"({"rx1DatarateOffset": 7})", 1, 5, 865.0625, 865.0625, 13},
      {"AS923", R"({"rx1DatarateOffset": 6})", 1, 3, 923.2, 923.2, 12508},
      {"AS923", R"({"rx1DatarateOffset": 2, "dwelltimeDown": 1})", 1, 2, 923.2, 923.2, 12510},
      {"AS923", R"({"rx1DatarateOffset": 2, "dwelltimeDown": 0})", 1, 1, 923.2, 923.2, 12512},
      {"AS923", "{}", 1, 0, 923.2, 923.2, 12510},
      {"US915", R"({"rx2Datarate": 8, "rx2Frequency": 923300000})", 2, 0, 904.1, 923.9, 50012, 0},
      {"AU915", R"({"rx1DatarateOffset": 5})", 1, 5, 915.2, 923.3, 50012},
  };
  for (const Case& c : data) check(false, c);

  auto t = MakePlan("EU868");
  testsupport::LogCapture log;
  EXPECT_EQ(t->plan->rxWindow(false, MHz(868.1), 5, 3).frequency, 0u);
  EXPECT_TRUE(log.contains("invalid window 3")) << log.dump();
}

TEST(ChannelPlan, SubBandsAndLinkAdrMask) {
  struct Case {
    int subBand;
    uint64_t mask0to63;
    uint32_t mask64to71, chMask, redundancy;
  };
  const Case cases[] = {
      {1, 0x00000000000000FF, 0x01, 0x00FF, 0x01}, {2, 0x000000000000FF00, 0x02, 0xFF00, 0x01},
      {3, 0x0000000000FF0000, 0x04, 0x00FF, 0x11}, {6, 0x0000FF0000000000, 0x20, 0xFF00, 0x21},
      {8, 0xFF00000000000000, 0x80, 0xFF00, 0x31}, {9, 0x0000000000000000, 0x00, 0x0000, 0x31},
      {0, 0x0000000000000000, 0x00, 0x0000, 0x01},
  };
  for (const char* region : {"US915", "AU915"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(region) + " sub-band " + std::to_string(c.subBand));
      auto t = MakePlan(region);
      t->plan->setSubBand(static_cast<uint8_t>(c.subBand));
      EXPECT_EQ(t->plan->channelMaskWord(0), static_cast<uint32_t>(c.mask0to63));
      EXPECT_EQ(t->plan->channelMaskWord(1), static_cast<uint32_t>(c.mask0to63 >> 32));
      EXPECT_EQ(t->plan->channelMaskWord(2), c.mask64to71);
      uint8_t out[3] = {};
      t->plan->fillLinkAdrChannelMask(out);
      EXPECT_EQ(out[0] | out[1] << 8 | out[2] << 16, c.chMask | c.redundancy << 16);
    }
  }
}

TEST(ChannelPlan, ChannelMasks) {
  struct Case {
    const char* region;
    const char* text;  // "" takes the plan's default
    uint32_t word0, word1, word2;
    bool warned = false;
    const char* lora = R"({"frequencySubBand": 2})";  // the fallback of the wide plans
  };
  // One-mask plans repeat their word. Their defaults have DR6/DR7 channels only when the
  // configured datarates reach them and LBT is off.
  const char* dr7 = R"({"maxDatarate": 7})";
  const char* dr7Lbt = R"({"lbtEnabled": true, "maxDatarate": 7})";
  const char* eu867 = R"({"frequencyEU": 867100000, "maxDatarate": 6})";
  const char* kr923 = R"({"frequencyKR": 922900000})";
  const Case cases[] = {
      {"EU868", "00FF", 0x00FF, 0x00FF, 0x00FF},
      {"AS923", "12345", 0x0003, 0x0003, 0x0003, true},
      {"US915", "00FFFFFF0000000000FF", 0x000000FF, 0xFFFF0000, 0xFF},
      {"US915", "00FF", 0x0000FF00, 0, 0x02},
      {"US915", "00FFFFFF00000000zzFF", 0x0000FF00, 0, 0x02, true},
      {"AS923", "", 0x0003, 0x0003, 0x0003, false, dr7Lbt},
      {"AS923", "", 0x0383, 0x0383, 0x0383, false, dr7},
      {"EU868", "", 0x0307, 0x0307, 0x0307, false, dr7},
      {"EU868", "", 0x01FF, 0x01FF, 0x01FF, false, eu867},
      {"KR920", "", 0x007F, 0x007F, 0x007F, false, kr923},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + " \"" + c.text + "\"");
    auto t = MakePlan(c.region, c.lora);
    testsupport::LogCapture log;
    t->plan->configureChannelMask(c.text);
    EXPECT_EQ(t->plan->channelMaskWord(0), c.word0);
    EXPECT_EQ(t->plan->channelMaskWord(1), c.word1);
    EXPECT_EQ(t->plan->channelMaskWord(2), c.word2);
    EXPECT_EQ(log.contains("Invalid channel mask"), c.warned) << log.dump();
  }
}

// The CFList written independently of the plan: each frequency in 100 Hz units, three bytes,
// least significant first, then zero padding to 16 bytes.
std::vector<uint8_t> ExpectedCfList(const std::vector<double>& mhz) {
  std::vector<uint8_t> bytes(16, 0);
  for (size_t i = 0; i < 15; ++i) {
    if (i / 3 < mhz.size()) bytes[i] = (MHz(mhz[i / 3]) / 100 >> (8 * (i % 3))) & 0xFF;
  }
  return bytes;
}

TEST(ChannelPlan, CfList) {
  // 868.1 MHz = 8 681 000 x 100 Hz = 0x847628.
  ASSERT_EQ(ExpectedCfList({868.1})[2], 0x84);
  ASSERT_EQ(ExpectedCfList({868.1})[1], 0x76);
  struct Case {
    const char* region;
    const char* lora;
    std::vector<double> mhz;
    const char* warning = nullptr;
    bool built = true, touched = true;
    size_t size = 33;
  };
  const std::vector<Case> cases = {
      {"EU868", R"({"frequencyEU": 869300000})", {868.8, 869.0, 869.525, 869.8, 868.1}},
      {"AS923", R"({"frequencyAS": 922000000})", {921.6, 921.8, 922.0, 922.2, 922.4}},
      {"KR920", R"({"frequencyKR": 922900000})", {922.7, 922.9, 923.1, 923.3}},
      {"KR920",
       R"({"frequencyKR": 921500000, "lbtEnabled": true, "rx2Frequency": 921900000})",
       {921.1, 921.3, 921.5, 921.7, 921.9}},
      {"IN865", "{}", {865.2325, 866.185, 866.385, 866.585, 866.785}},
      // An EU centre out of range leaves an empty list; the other plans refuse to send one.
      {"EU868",
       R"({"frequencyEU": 868000000})",
       {},
       "Configured EU Center Frequency 868000000 out of range [863500000,867500000] or "
       "[869100000,869500000]"},
      {"AS923", "{}", {}, "AS Center Frequency 0 out of range", false, false},
      {"KR920", R"({"frequencyKR": 921000000})", {}, "KR Center Frequency 921000000 out of", false},
      {"US915", "{}", {}, nullptr, false, false},
      {"IN865", "{}", {}, "cannot hold a CFList", false, false, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora);
    auto t = MakePlan(c.region, c.lora);
    testsupport::LogCapture log;
    uint8_t joinAccept[33];
    std::memset(joinAccept, 0xAA, sizeof(joinAccept));
    ASSERT_EQ(t->plan->buildCfList(joinAccept, c.size), c.built);
    if (c.warning != nullptr) {
      EXPECT_EQ(log.count(c.warning), 1u) << log.dump();
    }
    // Bytes before the CFList stay; bytes 13 to 31 are rewritten.
    std::vector<uint8_t> list = ExpectedCfList(c.mhz), expected(33, 0xAA);
    if (c.touched) std::fill(expected.begin() + 13, expected.end() - 1, 0);
    if (c.built) std::copy(list.begin(), list.end(), expected.begin() + 13);
    EXPECT_EQ(std::vector<uint8_t>(joinAccept, joinAccept + 33), expected);
    if (c.size != 33) continue;
    std::string hex;
    char pair[3];
    for (uint8_t b : list) hex.append(pair, snprintf(pair, sizeof(pair), "%02x", b));
    EXPECT_EQ(t->plan->cfListHex(), c.built ? hex : "");
  }
}

TEST(ChannelPlan, ConfigurationOfTheWrongTypeIsTolerated) {
  // Every key the plans read, with a type no caller would write.
  const char* lora =
      R"({"minDatarate": "x", "maxDatarate": [], "rx1DatarateOffset": {}, "rx2Datarate": "3",
          "rx2Frequency": -5, "dwelltimeDown": null, "lbtEnabled": 1, "maxEIRP": true,
          "frequencyAS": "922000000", "frequencyEU": 1e30, "frequencyKR": -921400000,
          "frequencySubBand": 300})";
  for (const char* region : {"AS923", "AU915", "EU868", "IN865", "KR920", "US915"}) {
    auto t = MakePlan(region, lora);
    t->config["network"] = "public";
    testsupport::LogCapture log;
    t->plan->configureChannelMask("");
    t->plan->txPowerIndex(14);
    t->plan->maxPayload(3);
    t->plan->cfListHex();
    EXPECT_NE(t->plan->rxWindow(false, MHz(902.3), 0, 1).frequency, 0u) << region;
    EXPECT_NE(t->plan->rxWindow(false, MHz(902.3), 0, 2).frequency, 0u) << region;
  }
}

}  // namespace

TEST(ChannelPlan, LinkAdrBlocksAskOnlyForChannelsAJoinedDeviceHas) {
  struct Case {
    const char* region;
    const char* lora;
    const char* mask;  // configured channel mask; "" the default
    std::vector<uint8_t> blocks;
  };
  // The default channels, then one per CFList entry: AS923 2 + 5, EU868 and IN865 3 + 5, KR920
  // 3 + 4 above 922.9 MHz. A mask wider than that is cut down; one outside it gives all they have.
  const Case cases[] = {
      {"AS923", R"({"frequencyAS": 922000000})", "FFFF", {0x7F, 0x00, 0x01}},
      {"EU868", R"({"frequencyEU": 867100000, "maxDatarate": 7})", "", {0xFF, 0x00, 0x01}},
      {"EU868", R"({"frequencyEU": 10})", "00FF", {0x07, 0x00, 0x01}},
      {"EU868", R"({"frequencyEU": 867100000})", "FF00", {0xFF, 0x00, 0x01}},
      {"KR920", R"({"frequencyKR": 922900000})", "FFFF", {0x7F, 0x00, 0x01}},
      {"US915", R"({"frequencySubBand": 2})", "", {0x02, 0x00, 0x71, 0x00, 0xFF, 0x01}},
      {"AU915", R"({"frequencySubBand": 3})", "", {0x04, 0x00, 0x71, 0xFF, 0x00, 0x11}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + " " + c.mask);
    auto t = MakePlan(c.region, c.lora);
    t->plan->configureChannelMask(c.mask);
    uint8_t out[Lora::ChannelPlan::kMaxLinkAdrBlocks * 3] = {};
    const size_t count = t->plan->fillLinkAdrBlocks(out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 3 * count), c.blocks);
  }
}
