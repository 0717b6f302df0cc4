// Time on air against a reference computed here in exact integer arithmetic from the LoRa modem
// formula (coding rate 4/5, explicit header, CRC on), and against published figures.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "lora/TimeOnAir.h"

namespace {

using Lora::getPacketAirtimeMs;
using Lora::getTimeOnAirMs;

// Tpacket = (Npreamble + 4.25 + Npayload) * Tsym, Tsym = 2^SF / BW,
// Npayload = 8 + max(ceil((8 PL - 4 SF + 28 + 16 CRC - 20 IH) / (4 (SF - 2 DE))) (CR + 4), 0).
// DE (low-data-rate optimisation) is required once a symbol lasts 16 ms or more. The result is
// the microseconds rounded up (anything above .001 counts), then whole milliseconds.
uint32_t ReferenceLoRaMs(uint64_t sf, uint64_t bandwidthHz, uint64_t preamble, uint64_t payload) {
  const int64_t crc = 1, implicitHeader = 0, codingRate = 1;
  const int64_t lowDataRate = (uint64_t{1} << sf) * 1000 >= 16 * bandwidthHz ? 1 : 0;
  const int64_t numerator = 8 * static_cast<int64_t>(payload) - 4 * static_cast<int64_t>(sf) + 28 +
                            16 * crc - 20 * implicitHeader;
  const int64_t denominator = 4 * (static_cast<int64_t>(sf) - 2 * lowDataRate);
  const int64_t blocks = numerator > 0 ? (numerator + denominator - 1) / denominator : 0;
  const uint64_t payloadSymbols = 8 + static_cast<uint64_t>(blocks * (codingRate + 4));
  // Microseconds as the fraction n / d, quarter symbols to stay in integers.
  const uint64_t n = (4 * preamble + 17 + 4 * payloadSymbols) * (uint64_t{1} << sf) * 1000000;
  const uint64_t d = 4 * bandwidthHz;
  const uint64_t microseconds = (1000 * n + 999 * d) / (1000 * d);
  return static_cast<uint32_t>(microseconds / 1000);
}

TEST(TimeOnAir, MatchesTheModemFormulaOverAGrid) {
  struct Bandwidth {
    uint32_t khz, code, hz;
  };
  const Bandwidth bandwidths[] = {{125, 0, 125000}, {250, 1, 250000}, {500, 2, 500000}};
  int checked = 0;
  for (uint32_t sf = 7; sf <= 12; ++sf) {
    for (const Bandwidth& bw : bandwidths) {
      for (uint32_t preamble : {5u, 8u, 12u}) {
        for (uint32_t size = 0; size <= 255; ++size) {
          uint32_t expected = ReferenceLoRaMs(sf, bw.hz, preamble, size);
          uint32_t inKhz = getTimeOnAirMs(sf, bw.khz, preamble, size);
          uint32_t asCode = getTimeOnAirMs(sf, bw.code, preamble, size);
          if (inKhz != expected || asCode != expected) {
            ADD_FAILURE() << "SF" << sf << " BW" << bw.khz << " preamble " << preamble << " size "
                          << size << ": expected " << expected << ", kHz " << inKhz << ", code "
                          << asCode;
            return;
          }
          ++checked;
        }
      }
    }
  }
  EXPECT_EQ(checked, 6 * 3 * 3 * 256);
}

TEST(TimeOnAir, PublishedFigures) {
  struct Case {
    const char* name;
    uint32_t sf, bandwidth, preamble, size, ms;
  };
  const Case cases[] = {
      // 41.216 ms
      {"SF7 125 kHz 10 bytes", 7, 125, 8, 10, 41},
      {"SF7 code 0 10 bytes", 7, 0, 8, 10, 41},
      // 2465.792 ms with DE: whole milliseconds are not rounded up
      {"SF12 125 kHz 51 bytes", 12, 125, 8, 51, 2465},
      {"SF12 code 0 51 bytes", 12, 0, 8, 51, 2465},
      // 741.376 ms; without DE it would be 659 ms
      {"SF11 125 kHz 20 bytes uses DE", 11, 125, 8, 20, 741},
      // 329.728 ms: SF11 at 250 kHz has short enough symbols
      {"SF11 250 kHz 20 bytes no DE", 11, 250, 8, 20, 329},
      // 1232.896 ms
      {"SF12 250 kHz 51 bytes uses DE", 12, 1, 8, 51, 1232},
      // 10.304 ms
      {"SF7 500 kHz 10 bytes", 7, 500, 8, 10, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(getTimeOnAirMs(c.sf, c.bandwidth, c.preamble, c.size), c.ms);
  }
}

TEST(TimeOnAir, FskAndUnknownBandwidths) {
  struct Case {
    const char* name;
    uint32_t sf, bandwidth, preamble, size, ms;
  };
  const Case cases[] = {
      // (5 + 1) + 1 + 10 + 2 = 19 bytes, 152 bits at 50 kbit/s: 3.04 ms
      {"FSK 10 bytes", 13, 0, 5, 10, 3},
      // 9 + 1 + 255 + 2 = 267 bytes, 2136 bits: 42.72 ms, rounded to the nearest
      {"FSK 255 bytes", 13, 0, 8, 255, 43},
      {"FSK ignores the bandwidth", 13, 300, 5, 10, 3},
      {"300 kHz", 7, 300, 8, 10, 0},
      {"code 3", 7, 3, 8, 10, 0},
      {"SF0", 0, 125, 8, 10, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(getTimeOnAirMs(c.sf, c.bandwidth, c.preamble, c.size), c.ms);
  }
}

TEST(TimeOnAir, ExtremeInputsStayDefined) {
  EXPECT_EQ(getTimeOnAirMs(5000, 125, 8, 10), 0u);  // 2^SF overflows: symbol rate 0
  EXPECT_EQ(getTimeOnAirMs(40, 125, 8, 10), UINT32_MAX);
  EXPECT_GT(getTimeOnAirMs(12, 125, UINT32_MAX, UINT32_MAX), 0u);
}

TEST(TimeOnAir, LogsTheComputation) {
  testsupport::LogCapture log;
  getTimeOnAirMs(7, 125, 8, 10);
  EXPECT_TRUE(log.contains("getTimeOnAirMs SF: 7 BW: 125 PL: 8 SZ: 10 TOA: 41")) << log.dump();
}

TEST(TimeOnAir, PacketAirtimeAddsPaddingToAnEightSymbolPreamble) {
  EXPECT_EQ(getPacketAirtimeMs(7, 10, 125, 50), 91u);
  EXPECT_EQ(getPacketAirtimeMs(12, 51, 0, 0), 2465u);
  EXPECT_EQ(getPacketAirtimeMs(7, 10, 300, 50), 50u);
}

}  // namespace
