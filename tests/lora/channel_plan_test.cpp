// Channel plans, one test per operation across the six regions. Expected values are typed in from
// the regional parameters, not taken from the plan tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "PlanTestSupport.h"
#include "TestSupport.h"

namespace {

using plantest::MakePlan;

constexpr uint32_t MHz(double mhz) { return static_cast<uint32_t>(mhz * 1e6 + 0.5); }

TEST(ChannelPlan, ConstructionValues) {
  struct Case {
    const char* region;
    int maxDevicePower, minDr, maxDr, minDownDr, maxDownDr, maxOffset, snrOffset;
    bool cfList, dutyCycle;
    int joinAcceptLength;
  };
  // minDatarate 1 and maxDatarate 5 configured: only US915 and AU915 ignore them.
  const Case cases[] = {
      {"AS923", 20, 1, 5, 0, 7, 7, 200, true, false, 32},
      {"AU915", 30, 0, 6, 8, 13, 5, 200, false, false, 16},
      {"EU868", 20, 1, 5, 0, 7, 5, 200, true, true, 32},
      {"IN865", 30, 1, 5, 0, 7, 5, 200, true, false, 32},
      {"KR920", 20, 1, 5, 0, 5, 5, 200, true, false, 32},
      {"US915", 30, 0, 4, 8, 13, 3, 150, false, false, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.region);
    auto t = MakePlan(c.region, R"({"minDatarate": 1, "maxDatarate": 5})");
    const Lora::ChannelPlan& p = *t->plan;
    EXPECT_EQ(p.minDeviceTxPower(), 2);
    EXPECT_EQ(p.maxDeviceTxPower(), c.maxDevicePower);
    EXPECT_EQ(p.minDatarate(), c.minDr);
    EXPECT_EQ(p.maxDatarate(), c.maxDr);
    EXPECT_EQ(p.minDownlinkDatarate(), c.minDownDr);
    EXPECT_EQ(p.maxDownlinkDatarate(), c.maxDownDr);
    EXPECT_EQ(p.maxRx1DatarateOffset(), c.maxOffset);
    EXPECT_EQ(p.snrStep(), 30);
    EXPECT_EQ(p.snrOffset(), c.snrOffset);
    EXPECT_EQ(p.cfListSupported(), c.cfList);
    EXPECT_EQ(p.dutyCycleEnforced(), c.dutyCycle);
    EXPECT_EQ(p.joinAcceptLength(), c.joinAcceptLength);
  }
}

TEST(ChannelPlan, AS923ConstructorFollowsDwellTimeAndLbt) {
  auto t = MakePlan("AS923", R"({"dwelltimeUp": 1, "dwelltimeDown": 1, "lbtEnabled": true})");
  EXPECT_EQ(t->plan->minDatarate(), 2);
  EXPECT_EQ(t->plan->minDownlinkDatarate(), 2);
  EXPECT_EQ(t->plan->maxDownlinkDatarate(), 5);
}

TEST(ChannelPlan, DatarateToSfBw) {
  struct Case {
    const char* region;
    int datarate;
    uint32_t bandwidth, sf;
    bool valid;
  };
  const Case cases[] = {
      {"EU868", 0, 125, 12, true},  {"EU868", 5, 125, 7, true},    {"EU868", 6, 250, 7, true},
      {"EU868", 7, 0, 13, true},    {"EU868", 8, 125, 12, false},  {"AS923", 2, 125, 10, true},
      {"AS923", 7, 0, 13, true},    {"IN865", 6, 250, 7, true},    {"IN865", 4, 125, 8, true},
      {"KR920", 5, 125, 7, true},   {"KR920", 6, 125, 12, false},  {"AU915", 0, 125, 12, true},
      {"AU915", 6, 500, 8, true},   {"AU915", 7, 500, 12, false},  {"AU915", 8, 500, 12, true},
      {"AU915", 13, 500, 7, true},  {"AU915", -1, 125, 12, false}, {"US915", 0, 125, 10, true},
      {"US915", 3, 125, 7, true},   {"US915", 4, 500, 8, true},    {"US915", 5, 500, 12, false},
      {"US915", 10, 500, 10, true}, {"US915", 13, 500, 7, true},   {"US915", 14, 500, 12, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " DR" + std::to_string(c.datarate));
    auto t = MakePlan(c.region);
    testsupport::LogCapture log;
    DatarateParams params = t->plan->datarateToSfBw(static_cast<int8_t>(c.datarate));
    EXPECT_EQ(params.bandwidth, c.bandwidth);
    EXPECT_EQ(params.spreadingFactor, c.sf);
    EXPECT_EQ(log.contains("invalid datarate index " + std::to_string(c.datarate)), !c.valid);
  }
}

TEST(ChannelPlan, SfBwToDatarate) {
  struct Case {
    const char* region;
    uint32_t bandwidth, sf;
    int datarate;
  };
  const Case cases[] = {
      {"EU868", 125, 12, 0}, {"EU868", 125, 7, 5},  {"EU868", 250, 7, 6},  {"EU868", 0, 13, 7},
      {"AS923", 125, 13, 7},  // FSK is known by its spreading factor alone
      {"EU868", 500, 8, 0},  {"AS923", 125, 10, 2}, {"IN865", 250, 7, 6},  {"KR920", 125, 7, 5},
      {"KR920", 250, 7, 0},  {"KR920", 0, 13, 0},   {"AU915", 500, 8, 6},  {"AU915", 500, 12, 8},
      {"AU915", 500, 7, 13}, {"AU915", 125, 7, 5},  {"US915", 500, 8, 4},  {"US915", 125, 10, 0},
      {"US915", 125, 7, 3},  {"US915", 500, 9, 11}, {"US915", 125, 12, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " SF" + std::to_string(c.sf) + "/" +
                 std::to_string(c.bandwidth));
    EXPECT_EQ(MakePlan(c.region)->plan->sfBwToDatarate(c.bandwidth, c.sf), c.datarate);
  }
}

TEST(ChannelPlan, MaxPayload) {
  struct Case {
    const char* region;
    const char* lora;
    int datarate, bytes;
  };
  const Case cases[] = {
      {"EU868", "{}", 0, 64},
      {"EU868", "{}", 3, 128},
      {"EU868", "{}", 7, 255},
      {"EU868", "{}", 8, 0},
      {"EU868", "{}", 16, 0},
      {"EU868", "{}", -1, 0},
      {"IN865", "{}", 2, 64},
      {"KR920", "{}", 5, 255},
      {"KR920", "{}", 6, 0},
      {"US915", "{}", 0, 24},
      {"US915", "{}", 1, 66},
      {"US915", "{}", 2, 138},
      {"US915", "{}", 4, 255},
      {"US915", "{}", 5, 0},
      {"US915", "{}", 8, 66},
      {"US915", "{}", 9, 142},
      {"US915", "{}", 13, 255},
      {"US915", "{}", 14, 0},
      {"AU915", "{}", 6, 255},
      {"AU915", "{}", 7, 0},
      {"AU915", "{}", 8, 66},
      // AS923 lifts the 400 ms limits only for an explicit numeric "dwelltimeDown" of 0.
      {"AS923", R"({"dwelltimeDown": 0})", 0, 64},
      {"AS923", R"({"dwelltimeDown": 0})", 4, 255},
      {"AS923", "{}", 0, 0},
      {"AS923", "{}", 2, 24},
      {"AS923", R"({"dwelltimeDown": 1})", 3, 66},
      {"AS923", R"({"dwelltimeDown": "0"})", 4, 138},
      {"AS923", R"({"dwelltimeDown": 0})", 16, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + " DR" + std::to_string(c.datarate));
    EXPECT_EQ(MakePlan(c.region, c.lora)->plan->maxPayload(static_cast<int8_t>(c.datarate)),
              c.bytes);
  }
}

TEST(ChannelPlan, DatarateForSnr) {
  struct Case {
    const char* region;
    const char* lora;
    int snrTenths, datarate;
  };
  const Case cases[] = {
      {"EU868", R"({"maxDatarate": 5})", -200, 0},
      {"EU868", R"({"maxDatarate": 5})", 0, 5},  // 200 / 30 = 6, capped
      {"EU868", R"({"maxDatarate": 6})", 0, 6},
      {"EU868", R"({"maxDatarate": 5})", -110, 3},  // 90 / 30
      {"EU868", R"({"minDatarate": 2, "maxDatarate": 5})", -200, 2},
      {"US915", "{}", -150, 0},
      {"US915", "{}", -31, 3},  // 119 / 30
      {"US915", "{}", 100, 4},
      {"KR920", R"({"maxDatarate": 5})", -500, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + " " + std::to_string(c.snrTenths));
    EXPECT_EQ(MakePlan(c.region, c.lora)->plan->datarateForSnr(c.snrTenths), c.datarate);
  }
}

TEST(ChannelPlan, DevicePowerCoding) {
  struct Case {
    const char* region;
    const char* lora;
    int dBm, index, nextLower;
  };
  const Case cases[] = {
      {"EU868", "{}", 20, 0, 14},
      {"EU868", "{}", 14, 1, 11},
      {"EU868", "{}", 11, 2, 8},
      {"EU868", "{}", 2, 5, 2},
      {"EU868", "{}", -4, 5, 2},
      {"EU868", "{}", 4, 4, 2},
      {"KR920", "{}", 20, 0, 14},
      {"KR920", "{}", 14, 1, 11},
      {"KR920", "{}", 10, 2, 7},
      {"KR920", "{}", 1, 6, 2},
      {"KR920", "{}", 8, 3, 5},
      {"IN865", "{}", 30, 0, 28},
      {"IN865", "{}", 20, 5, 18},
      {"IN865", "{}", 3, 13, 2},
      {"IN865", "{}", 31, 0, 29},
      {"US915", "{}", 30, 0, 28},
      {"US915", "{}", 28, 1, 26},
      {"US915", "{}", 10, 10, 8},
      {"AU915", "{}", 2, 10, 2},
      {"AS923", "{}", 20, 0, 18},
      {"AS923", "{}", 16, 2, 14},
      {"AS923", "{}", 10, 5, 8},
      {"AS923", "{}", 9, 5, 7},
      {"AS923", "{}", 21, 0, 19},
      {"AS923", R"({"maxEIRP": 16})", 16, 0, 14},
      {"AS923", R"({"maxEIRP": 16})", 6, 5, 4},
      {"AS923", R"({"maxEIRP": 16})", 5, 5, 3},
      {"AS923", R"({"maxEIRP": "16"})", 16, 2, 14},  // not numeric: 20 applies
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora + " " + std::to_string(c.dBm) + " dBm");
    auto t = MakePlan(c.region, c.lora);
    EXPECT_EQ(t->plan->txPowerIndex(static_cast<int8_t>(c.dBm)), c.index);
    EXPECT_EQ(t->plan->nextLowerTxPower(static_cast<int8_t>(c.dBm)), c.nextLower);
  }
}

TEST(ChannelPlan, MaxRadioTxPower) {
  struct Case {
    const char* name;
    const char* region;
    int32_t gain, ceiling;
    const char* hwVersion;  // nullptr: no card record
    uint32_t frequency;
    int32_t dBm;
  };
  const Case cases[] = {
      {"EU high band, 20 dBm card", "EU868", 3, 30, "VOLK-LORA-1.0", MHz(869.525), 20},
      {"EU 868.1 MHz, 20 dBm card", "EU868", 3, 30, "VOLK-LORA-1.0", MHz(868.1), 11},
      {"EU high band, other card", "EU868", 3, 30, "OTHER-1.0", MHz(869.525), 24},
      {"EU high band, no card", "EU868", 3, 30, nullptr, MHz(869.525), 24},
      {"EU high band lower edge", "EU868", 3, 30, nullptr, MHz(869.4), 24},
      {"EU high band upper edge", "EU868", 3, 30, nullptr, MHz(869.65), 24},
      {"EU above the high band", "EU868", 3, 30, nullptr, MHz(869.7), 11},
      {"EU low ceiling", "EU868", 3, 14, nullptr, MHz(869.525), 11},
      {"KR capped at 23 EIRP", "KR920", 3, 30, nullptr, MHz(922.1), 20},
      {"KR low ceiling", "KR920", 3, 14, nullptr, MHz(922.1), 11},
      {"AS capped at 30 EIRP", "AS923", 3, 33, nullptr, MHz(923.2), 27},
      {"AU capped at 30 EIRP", "AU915", 6, 36, nullptr, MHz(923.3), 24},
      {"IN ceiling", "IN865", 2, 20, nullptr, MHz(865.0625), 18},
      {"US 30 dBm conducted", "US915", 3, 33, nullptr, MHz(923.3), 30},
      {"US 36 dBm EIRP", "US915", 10, 40, nullptr, MHz(923.3), 26},
      {"US low ceiling", "US915", 3, 14, nullptr, MHz(923.3), 11},
      {"never below 0", "US915", 20, 10, nullptr, MHz(923.3), 0},
      {"never below 0, EU", "EU868", 20, 10, nullptr, MHz(868.1), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = MakePlan(c.region);
    t->settings.antennaGain = c.gain;
    t->settings.maxTxPower = c.ceiling;
    if (c.hwVersion != nullptr) t->settings.card1["hwVersion"] = c.hwVersion;
    EXPECT_EQ(t->plan->maxRadioTxPower(c.frequency), c.dBm);
  }
}

TEST(ChannelPlan, DutyCycleBands) {
  struct Case {
    const char* region;
    uint32_t frequency;
    int band;
  };
  const Case cases[] = {
      {"EU868", MHz(867.9), 0},  {"EU868", MHz(868.0), 1}, {"EU868", MHz(868.6), 1},
      {"EU868", MHz(868.7), 0},  {"EU868", MHz(869.4), 2}, {"EU868", MHz(869.525), 2},
      {"EU868", MHz(869.65), 2}, {"EU868", MHz(869.7), 3}, {"EU868", MHz(870.0), 3},
      {"EU868", MHz(870.1), 0},  {"IN865", MHz(868.1), 0}, {"AS923", MHz(869.525), 0},
      {"US915", MHz(868.1), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + std::to_string(c.frequency));
    EXPECT_EQ(MakePlan(c.region)->plan->dutyCycleBand(c.frequency), c.band);
  }
}

TEST(ChannelPlan, Rx1Frequency) {
  struct Case {
    const char* name;
    const char* region;
    int mode;
    uint32_t uplink, downlink;
  };
  const Case cases[] = {
      {"US ch0", "US915", 1, MHz(902.3), MHz(923.3)},
      {"US ch1", "US915", 1, MHz(902.5), MHz(923.9)},
      {"US ch8 wraps", "US915", 1, MHz(903.9), MHz(923.3)},
      {"US ch63", "US915", 1, MHz(914.9), MHz(927.5)},
      {"US 500 kHz ch64", "US915", 1, MHz(903.0), MHz(923.3)},
      {"US 500 kHz ch65", "US915", 1, MHz(904.6), MHz(923.9)},
      {"US 500 kHz ch71", "US915", 0, MHz(914.2), MHz(927.5)},
      {"US private ch9", "US915", 0, MHz(904.1), MHz(923.9)},
      {"US private ch0", "US915", 0, MHz(902.3), MHz(923.3)},
      {"US private ch63", "US915", 0, MHz(914.9), MHz(927.5)},
      {"US public ch11", "US915", 1, MHz(904.5), MHz(925.1)},
      {"US private ch11", "US915", 0, MHz(904.5), MHz(923.9)},
      {"US private LoRaWAN answers as public", "US915", 2, MHz(904.5), MHz(925.1)},
      {"US channel number", "US915", 1, 3, MHz(925.1)},
      {"AU ch0", "AU915", 1, MHz(915.2), MHz(923.3)},
      {"AU ch1", "AU915", 1, MHz(915.4), MHz(923.9)},
      {"AU 500 kHz ch64", "AU915", 1, MHz(915.9), MHz(923.3)},
      {"AU 500 kHz ch65", "AU915", 1, MHz(917.5), MHz(923.9)},
      {"AU private ch8", "AU915", 0, MHz(916.8), MHz(923.9)},
      {"EU same frequency", "EU868", 1, MHz(868.3), MHz(868.3)},
      {"AS same frequency", "AS923", 1, MHz(923.4), MHz(923.4)},
      {"IN same frequency", "IN865", 1, MHz(865.0625), MHz(865.0625)},
      {"KR same frequency", "KR920", 1, MHz(922.1), MHz(922.1)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(MakePlan(c.region, "{}", c.mode)->plan->rx1Frequency(c.uplink), c.downlink);
  }
}

struct WindowCase {
  const char* name;
  const char* region;
  const char* lora;
  int mode;
  bool join;
  int window;
  uint32_t uplink;
  int uplinkDr;
  uint32_t frequency, bandwidth, sf;
};

void CheckWindows(const std::vector<WindowCase>& cases) {
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = MakePlan(c.region, c.lora, c.mode);
    RxWindowParams w = t->plan->rxWindow(c.join, c.uplink, static_cast<int8_t>(c.uplinkDr),
                                         static_cast<uint8_t>(c.window));
    EXPECT_EQ(w.window, c.window);
    EXPECT_EQ(w.frequency, c.frequency);
    EXPECT_EQ(w.bandwidth, c.bandwidth);
    EXPECT_EQ(w.spreadingFactor, c.sf);
  }
}

TEST(ChannelPlan, JoinAcceptWindows) {
  // A configured RX2 and offset must not affect join accepts.
  const char* lora = R"({"rx1DatarateOffset": 2, "rx2Datarate": 3, "rx2Frequency": 869100000})";
  CheckWindows({
      {"EU RX1", "EU868", lora, 1, true, 1, MHz(868.1), 5, MHz(868.1), 125, 7},
      {"EU RX2", "EU868", lora, 1, true, 2, MHz(868.1), 5, MHz(869.525), 125, 12},
      {"AS RX1", "AS923", lora, 1, true, 1, MHz(923.2), 3, MHz(923.2), 125, 9},
      {"AS RX2", "AS923", lora, 1, true, 2, MHz(923.2), 3, MHz(923.2), 125, 10},
      {"IN RX1", "IN865", lora, 1, true, 1, MHz(865.0625), 0, MHz(865.0625), 125, 12},
      {"IN RX2", "IN865", lora, 1, true, 2, MHz(865.0625), 0, MHz(866.55), 125, 10},
      {"KR RX1", "KR920", lora, 1, true, 1, MHz(922.1), 4, MHz(922.1), 125, 8},
      {"KR RX2", "KR920", lora, 1, true, 2, MHz(922.1), 4, MHz(921.9), 125, 12},
      {"US RX1 DR0", "US915", lora, 1, true, 1, MHz(902.3), 0, MHz(923.3), 500, 10},
      {"US RX1 DR4", "US915", lora, 1, true, 1, MHz(903.0), 4, MHz(923.3), 500, 7},
      {"US RX2", "US915", lora, 1, true, 2, MHz(902.5), 0, MHz(923.3), 500, 12},
      {"US private RX2", "US915", lora, 0, true, 2, MHz(904.1), 0, MHz(923.9), 500, 12},
      {"AU RX1 DR0", "AU915", lora, 1, true, 1, MHz(915.2), 0, MHz(923.3), 500, 12},
      {"AU RX1 DR6", "AU915", lora, 1, true, 1, MHz(915.9), 6, MHz(923.3), 500, 7},
      {"AU RX2", "AU915", lora, 1, true, 2, MHz(915.4), 2, MHz(923.3), 500, 12},
  });
}

TEST(ChannelPlan, DataDownlinkWindows) {
  CheckWindows({
      {"EU offset 2", "EU868", R"({"rx1DatarateOffset": 2})", 1, false, 1, MHz(868.3), 5,
       MHz(868.3), 125, 9},
      {"EU offset clamps at DR0", "EU868", R"({"rx1DatarateOffset": 3})", 1, false, 1, MHz(868.3),
       1, MHz(868.3), 125, 12},
      {"EU RX2 configured", "EU868", R"({"rx2Datarate": 3, "rx2Frequency": 869525000})", 1, false,
       2, MHz(868.3), 5, MHz(869.525), 125, 9},
      {"KR negative offset", "KR920", R"({"rx1DatarateOffset": -1})", 1, false, 1, MHz(922.1), 5,
       MHz(922.1), 125, 7},
      {"IN offset 6 raises by 1", "IN865", R"({"rx1DatarateOffset": 6})", 1, false, 1,
       MHz(865.0625), 3, MHz(865.0625), 125, 8},
      {"IN offset 7 reaches FSK", "IN865", R"({"rx1DatarateOffset": 7})", 1, false, 1,
       MHz(865.0625), 5, MHz(865.0625), 0, 13},
      {"IN RX2 unset", "IN865", R"({"rx2Datarate": 2})", 1, false, 2, MHz(865.0625), 5, MHz(866.55),
       125, 10},
      {"AS offset 7 capped at DR5", "AS923", R"({"rx1DatarateOffset": 7})", 1, false, 1, MHz(923.2),
       5, MHz(923.2), 125, 7},
      {"AS offset 6 from DR3", "AS923", R"({"rx1DatarateOffset": 6})", 1, false, 1, MHz(923.2), 3,
       MHz(923.2), 125, 8},
      {"AS dwell time floor", "AS923", R"({"rx1DatarateOffset": 2, "dwelltimeDown": 1})", 1, false,
       1, MHz(923.2), 2, MHz(923.2), 125, 10},
      {"AS no dwell time", "AS923", R"({"rx1DatarateOffset": 2, "dwelltimeDown": 0})", 1, false, 1,
       MHz(923.2), 1, MHz(923.2), 125, 12},
      {"US DR3", "US915", "{}", 1, false, 1, MHz(902.3), 3, MHz(923.3), 500, 7},
      {"US offset 3 clamps at DR8", "US915", R"({"rx1DatarateOffset": 3})", 1, false, 1, MHz(902.3),
       0, MHz(923.3), 500, 12},
      {"US RX2 public", "US915", R"({"rx2Datarate": 8, "rx2Frequency": 923300000})", 1, false, 2,
       MHz(904.1), 0, MHz(923.3), 500, 12},
      {"US RX2 private", "US915", R"({"rx2Datarate": 8, "rx2Frequency": 923300000})", 0, false, 2,
       MHz(904.1), 0, MHz(923.9), 500, 12},
      {"AU DR5", "AU915", "{}", 1, false, 1, MHz(915.2), 5, MHz(923.3), 500, 7},
      {"AU DR6 clamps at DR13", "AU915", "{}", 1, false, 1, MHz(915.9), 6, MHz(923.3), 500, 7},
      {"AU offset 5", "AU915", R"({"rx1DatarateOffset": 5})", 1, false, 1, MHz(915.2), 5,
       MHz(923.3), 500, 12},
  });
}

TEST(ChannelPlan, InvalidWindowIsLogged) {
  auto t = MakePlan("EU868");
  testsupport::LogCapture log;
  RxWindowParams w = t->plan->rxWindow(false, MHz(868.1), 5, 3);
  EXPECT_TRUE(log.contains("invalid window 3")) << log.dump();
  EXPECT_EQ(w.window, 3);
  EXPECT_EQ(w.frequency, 0u);
  EXPECT_EQ(w.bandwidth, 125u);
  EXPECT_EQ(w.spreadingFactor, 12u);
}

TEST(ChannelPlan, SubBandsAndLinkAdrMask) {
  struct Case {
    int subBand;
    uint32_t mask0to31, mask32to63;
    uint16_t mask64to71, chMask;
    uint8_t redundancy;
  };
  const Case cases[] = {
      {1, 0x000000FF, 0, 0x01, 0x00FF, 0x01},
      {2, 0x0000FF00, 0, 0x02, 0xFF00, 0x01},
      {3, 0x00FF0000, 0, 0x04, 0x00FF, 0x11},
      {4, 0xFF000000, 0, 0x08, 0xFF00, 0x11},
      {5, 0, 0x000000FF, 0x10, 0x00FF, 0x21},
      {6, 0, 0x0000FF00, 0x20, 0xFF00, 0x21},
      {7, 0, 0x00FF0000, 0x40, 0x00FF, 0x31},
      {8, 0, 0xFF000000, 0x80, 0xFF00, 0x31},
      {9, 0, 0, 0, 0x0000, 0x31},
      {0, 0, 0, 0, 0x0000, 0x01},
  };
  for (const char* region : {"US915", "AU915"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(region) + " sub-band " + std::to_string(c.subBand));
      auto t = MakePlan(region);
      t->plan->setSubBand(static_cast<uint8_t>(c.subBand));
      EXPECT_EQ(t->plan->subBand(), c.subBand);
      EXPECT_EQ(t->plan->channelMaskWord(0), c.mask0to31);
      EXPECT_EQ(t->plan->channelMaskWord(1), c.mask32to63);
      EXPECT_EQ(t->plan->channelMaskWord(2), c.mask64to71);
      EXPECT_EQ(t->plan->channelMaskWord(3), 0u);
      uint8_t out[3] = {};
      t->plan->fillLinkAdrChannelMask(out);
      EXPECT_EQ(out[0] | out[1] << 8, c.chMask);
      EXPECT_EQ(out[2], c.redundancy);
    }
  }
}

TEST(ChannelPlan, SingleMaskLinkAdrMask) {
  auto t = MakePlan("EU868");
  t->plan->configureChannelMask("03FF");
  uint8_t out[3] = {};
  t->plan->fillLinkAdrChannelMask(out);
  EXPECT_EQ(out[0], 0xFF);
  EXPECT_EQ(out[1], 0x03);
  EXPECT_EQ(out[2], 0x01);
  EXPECT_EQ(t->plan->channelMaskWord(0), 0x03FFu);
  EXPECT_EQ(t->plan->channelMaskWord(2), 0x03FFu);
}

TEST(ChannelPlan, ChannelMaskText) {
  struct Case {
    const char* name;
    const char* region;
    const char* text;
    uint32_t word0, word1, word2;
    bool warned;
  };
  // "frequencySubBand": 2 is the fallback of the wide plans.
  const Case cases[] = {
      {"hex", "EU868", "00FF", 0x00FF, 0x00FF, 0x00FF, false},
      {"short hex", "KR920", "1", 0x0001, 0x0001, 0x0001, false},
      {"not hex", "EU868", "xyz", 0x0007, 0x0007, 0x0007, true},
      {"too long", "AS923", "12345", 0x0003, 0x0003, 0x0003, true},
      {"72 channels", "US915", "00FFFFFF0000000000FF", 0x000000FF, 0xFFFF0000, 0xFF, false},
      {"72 channels AU", "AU915", "0001000000000000FF00", 0x0000FF00, 0, 0x01, false},
      {"short text: sub-band", "US915", "00FF", 0x0000FF00, 0, 0x02, false},
      {"empty: sub-band", "AU915", "", 0x0000FF00, 0, 0x02, false},
      {"bad hex: sub-band", "US915", "00FFFFFF00000000zzFF", 0x0000FF00, 0, 0x02, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = MakePlan(c.region, R"({"frequencySubBand": 2})");
    testsupport::LogCapture log;
    t->plan->configureChannelMask(c.text);
    EXPECT_EQ(t->plan->channelMaskWord(0), c.word0);
    EXPECT_EQ(t->plan->channelMaskWord(1), c.word1);
    EXPECT_EQ(t->plan->channelMaskWord(2), c.word2);
    EXPECT_EQ(log.contains("Invalid channel mask"), c.warned) << log.dump();
  }
}

TEST(ChannelPlan, DefaultChannelMasks) {
  struct Case {
    const char* region;
    const char* lora;
    uint32_t mask;
  };
  const Case cases[] = {
      {"AS923", "{}", 0x0003},
      {"AS923", R"({"lbtEnabled": true, "maxDatarate": 7})", 0x0003},
      {"AS923", R"({"maxDatarate": 6})", 0x0183},
      {"AS923", R"({"maxDatarate": 7})", 0x0383},
      {"AS923", R"({"frequencyAS": 922000000, "lbtEnabled": true})", 0x007F},
      {"AS923", R"({"frequencyAS": 922000000, "maxDatarate": 6})", 0x01FF},
      {"AS923", R"({"frequencyAS": 922000000, "maxDatarate": 7})", 0x03FF},
      {"AS923", R"({"frequencyAS": 922000000, "maxDatarate": 5})", 0x0003},
      {"EU868", "{}", 0x0007},
      {"EU868", R"({"maxDatarate": 7})", 0x0307},
      {"EU868", R"({"frequencyEU": 867100000})", 0x00FF},
      {"EU868", R"({"frequencyEU": 867100000, "maxDatarate": 6})", 0x01FF},
      {"EU868", R"({"frequencyEU": 867100000, "maxDatarate": 7})", 0x03FF},
      {"IN865", R"({"maxDatarate": 7})", 0x03FF},
      {"IN865", R"({"maxDatarate": 6})", 0x01FF},
      {"IN865", R"({"maxDatarate": 5})", 0x00FF},
      {"KR920", "{}", 0x0007},
      {"KR920", R"({"frequencyKR": 921400000})", 0x00FF},
      {"KR920", R"({"frequencyKR": 921400000, "lbtEnabled": true})", 0x007F},
      {"KR920", R"({"frequencyKR": 922900000})", 0x007F},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.region) + " " + c.lora);
    auto t = MakePlan(c.region, c.lora);
    t->plan->configureChannelMask("");
    EXPECT_EQ(t->plan->channelMaskWord(0), c.mask);
  }
}

// The CFList written independently of the plan: each frequency in 100 Hz units, three bytes,
// least significant first, then zero padding to 16 bytes.
std::string ExpectedCfListHex(const std::vector<uint32_t>& frequencies) {
  std::vector<uint8_t> bytes(16, 0);
  for (size_t i = 0; i < frequencies.size(); ++i) {
    uint32_t units = frequencies[i] / 100;
    bytes[3 * i] = units & 0xFF;
    bytes[3 * i + 1] = (units >> 8) & 0xFF;
    bytes[3 * i + 2] = (units >> 16) & 0xFF;
  }
  std::string hex;
  for (uint8_t b : bytes) {
    char pair[3];
    snprintf(pair, sizeof(pair), "%02x", b);
    hex += pair;
  }
  return hex;
}

TEST(ChannelPlan, CfListEncodingCheck) {
  // 868.1 MHz = 8 681 000 x 100 Hz = 0x847628.
  EXPECT_EQ(ExpectedCfListHex({MHz(868.1)}), "287684" + std::string(26, '0'));
}

TEST(ChannelPlan, CfList) {
  struct Case {
    const char* name;
    const char* region;
    const char* lora;
    std::vector<uint32_t> frequencies;
    const char* hex;  // typed in from the frequencies, as a second check
    int debugLines;
  };
  const std::vector<Case> cases = {
      {"EU around 867.1 MHz",
       "EU868",
       R"({"frequencyEU": 867100000})",
       {MHz(866.7), MHz(866.9), MHz(867.1), MHz(867.3), MHz(867.5)},
       "783f84484784184f84e85684b85e8400",
       5},
      {"EU upper centre",
       "EU868",
       R"({"frequencyEU": 869300000})",
       {MHz(868.8), MHz(869.0), MHz(869.525), MHz(869.8), MHz(868.1)},
       "809184509984d2ad8490b88428768400",
       5},
      {"AS around 922.0 MHz",
       "AS923",
       R"({"frequencyAS": 922000000})",
       {MHz(921.6), MHz(921.8), MHz(922.0), MHz(922.2), MHz(922.4)},
       "00a08cd0a78ca0af8c70b78c40bf8c00",
       5},
      {"KR 922.9 MHz",
       "KR920",
       R"({"frequencyKR": 922900000})",
       {MHz(922.7), MHz(922.9), MHz(923.1), MHz(923.3)},
       "f8ca8cc8d28c98da8c68e28c00000000",
       4},
      {"KR with LBT",
       "KR920",
       R"({"frequencyKR": 921400000, "lbtEnabled": true})",
       {MHz(921.0), MHz(921.2), MHz(921.4), MHz(921.6)},
       "90888c60908c30988c00a08c00000000",
       4},
      {"KR 921.5 MHz with RX2 at 921.9 MHz",
       "KR920",
       R"({"frequencyKR": 921500000, "lbtEnabled": true, "rx2Frequency": 921900000})",
       {MHz(921.1), MHz(921.3), MHz(921.5), MHz(921.7), MHz(921.9)},
       "788c8c48948c189c8ce8a38cb8ab8c00",
       5},
      {"IN fixed channels",
       "IN865",
       "{}",
       {865232500, MHz(866.185), MHz(866.385), MHz(866.585), MHz(866.785)},
       "2506845a2b842a3384fa3a84ca428400",
       4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = MakePlan(c.region, c.lora);
    ASSERT_EQ(ExpectedCfListHex(c.frequencies), c.hex);
    testsupport::LogCapture log;
    EXPECT_EQ(t->plan->cfListHex(), c.hex);
    EXPECT_EQ(log.count("Freq "), static_cast<size_t>(c.debugLines)) << log.dump();

    // Bytes before the CFList stay; bytes 13 to 31 are rewritten.
    uint8_t joinAccept[33];
    std::memset(joinAccept, 0xAA, sizeof(joinAccept));
    ASSERT_TRUE(t->plan->buildCfList(joinAccept, sizeof(joinAccept)));
    for (int i = 0; i < 13; ++i) EXPECT_EQ(joinAccept[i], 0xAA) << i;
    for (int i = 29; i < 32; ++i) EXPECT_EQ(joinAccept[i], 0) << i;
    EXPECT_EQ(joinAccept[32], 0xAA);
  }
}

TEST(ChannelPlan, CfListOutOfRange) {
  struct Case {
    const char* name;
    const char* region;
    const char* lora;
    const char* warning;
    bool built;
    bool touched;
  };
  const Case cases[] = {
      {"EU 868.0 MHz", "EU868", R"({"frequencyEU": 868000000})",
       "Configured EU Center Frequency 868000000 out of range [863500000,867500000] or "
       "[869100000,869500000]",
       true, true},
      {"AS 923.0 MHz", "AS923", R"({"frequencyAS": 923000000})",
       "Configured AS Center Frequency 923000000 out of range [920500000,922600000] or "
       "[924100000,927500000]",
       false, false},
      {"AS unset", "AS923", "{}",
       "Configured AS Center Frequency 0 out of range [920500000,922600000] or "
       "[924100000,927500000]",
       false, false},
      {"KR 921.0 MHz", "KR920", R"({"frequencyKR": 921000000})",
       "Configured KR Center Frequency 921000000 out of range [921300000,921500000] or "
       "[922900000,922900000]",
       false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = MakePlan(c.region, c.lora);
    testsupport::LogCapture log;
    uint8_t joinAccept[33];
    std::memset(joinAccept, 0xAA, sizeof(joinAccept));
    EXPECT_EQ(t->plan->buildCfList(joinAccept, sizeof(joinAccept)), c.built);
    EXPECT_EQ(log.count(c.warning), 1u) << log.dump();
    for (int i = 13; i < 32; ++i) EXPECT_EQ(joinAccept[i], c.touched ? 0 : 0xAA) << i;
    EXPECT_EQ(t->plan->cfListHex(), c.built ? std::string(32, '0') : std::string());
  }
}

TEST(ChannelPlan, NoCfListInWideBandPlans) {
  for (const char* region : {"US915", "AU915"}) {
    SCOPED_TRACE(region);
    auto t = MakePlan(region);
    uint8_t joinAccept[33] = {};
    EXPECT_FALSE(t->plan->buildCfList(joinAccept, sizeof(joinAccept)));
    EXPECT_EQ(t->plan->cfListHex(), "");
  }
}

TEST(ChannelPlan, CfListRefusesShortBuffer) {
  auto t = MakePlan("IN865");
  testsupport::LogCapture log;
  uint8_t joinAccept[17] = {};
  EXPECT_FALSE(t->plan->buildCfList(joinAccept, sizeof(joinAccept)));
  EXPECT_TRUE(log.contains("cannot hold a CFList")) << log.dump();
}

TEST(ChannelPlan, ConfigurationOfTheWrongTypeIsTolerated) {
  // Every key the plans read, with a type no caller would write.
  const char* lora =
      R"({"minDatarate": "x", "maxDatarate": [], "rx1DatarateOffset": {}, "rx2Datarate": "3",
          "rx2Frequency": -5, "dwelltimeDown": null, "lbtEnabled": 1, "maxEIRP": true,
          "frequencyAS": "922000000", "frequencyEU": 1e30, "frequencyKR": -921400000,
          "frequencySubBand": 300})";
  for (const char* region : {"AS923", "AU915", "EU868", "IN865", "KR920", "US915"}) {
    SCOPED_TRACE(region);
    auto t = MakePlan(region, lora);
    t->config["network"] = "public";
    testsupport::LogCapture log;
    t->plan->configureChannelMask("");
    t->plan->txPowerIndex(14);
    t->plan->maxPayload(3);
    t->plan->cfListHex();
    for (bool join : {false, true}) {
      for (uint8_t window : {1, 2}) {
        RxWindowParams w = t->plan->rxWindow(join, MHz(902.3), 0, window);
        EXPECT_NE(w.frequency, 0u);
      }
    }
  }
}

}  // namespace
