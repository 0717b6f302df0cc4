// Time on air against a reference computed here in exact integer arithmetic from the LoRa modem
// formula (coding rate 4/5, explicit header, CRC on), and against published figures.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "lora/TimeOnAir.h"

namespace {

using Lora::getPacketAirtimeMs;
using Lora::getTimeOnAirMs;

// Tpacket = (Npreamble + 4.25 + Npayload) * Tsym, Tsym = 2^SF / BW,
// Npayload = 8 + max(ceil((8 PL - 4 SF + 28 + 16 CRC - 20 IH) / (4 (SF - 2 DE))) (CR + 4), 0).
// DE (low-data-rate optimisation) is required once a symbol lasts 16 ms or more. The result is
// the microseconds rounded up (anything above .001 counts), then whole milliseconds.
uint32_t ReferenceLoRaMs(int64_t sf, int64_t bandwidthHz, int64_t preamble, int64_t payload) {
  const int64_t lowDataRate = (int64_t{1} << sf) * 1000 >= 16 * bandwidthHz ? 1 : 0;
  const int64_t numerator = 8 * payload - 4 * sf + 28 + 16;
  const int64_t denominator = 4 * (sf - 2 * lowDataRate);
  const int64_t blocks = numerator > 0 ? (numerator + denominator - 1) / denominator : 0;
  const int64_t payloadSymbols = 8 + blocks * 5;
  // Microseconds as the fraction n / d, quarter symbols to stay in integers.
  const int64_t n = (4 * preamble + 17 + 4 * payloadSymbols) * (int64_t{1} << sf) * 1000000;
  const int64_t d = 4 * bandwidthHz;
  return static_cast<uint32_t>((1000 * n + 999 * d) / (1000 * d) / 1000);
}

TEST(TimeOnAir, MatchesTheModemFormulaInBothBandwidthEncodings) {
  // Bandwidth given in kHz or as the radio's code 0, 1, 2.
  const uint32_t khz[] = {125, 250, 500};
  for (uint32_t sf = 7; sf <= 12; ++sf) {
    for (uint32_t code = 0; code < 3; ++code) {
      for (uint32_t size = 0; size <= 255; ++size) {
        const uint32_t preamble = 5 + size % 8;
        uint32_t expected = ReferenceLoRaMs(sf, khz[code] * 1000, preamble, size);
        if (getTimeOnAirMs(sf, khz[code], preamble, size) != expected ||
            getTimeOnAirMs(sf, code, preamble, size) != expected) {
          FAIL() << "SF" << sf << " BW" << khz[code] << " preamble " << preamble << " size " << size
                 << ": expected " << expected;
        }
      }
    }
  }
}

TEST(TimeOnAir, PublishedFiguresFskAndUnknownModulations) {
  struct Case {
    const char* name;
    uint32_t sf, bandwidth, preamble, size, ms;
  };
  const Case cases[] = {
      {"SF7 125 kHz 10 bytes: 41.216 ms", 7, 125, 8, 10, 41},
      {"SF12 code 0 51 bytes: 2465.792 ms with DE, not rounded up", 12, 0, 8, 51, 2465},
      {"SF11 125 kHz 20 bytes: 741.376 ms with DE, 659 without", 11, 125, 8, 20, 741},
      {"SF11 250 kHz 20 bytes: 329.728 ms, symbols short enough", 11, 250, 8, 20, 329},
      // FSK at 50 kbit/s: preamble + 1 sync + payload + 2 CRC bytes, rounded to the nearest.
      {"FSK 10 bytes: 19 bytes, 3.04 ms", 13, 0, 5, 10, 3},
      {"FSK 255 bytes: 267 bytes, 42.72 ms", 13, 0, 8, 255, 43},
      {"FSK ignores the bandwidth", 13, 300, 5, 10, 3},
      {"300 kHz", 7, 300, 8, 10, 0},
      {"code 3", 7, 3, 8, 10, 0},
      {"SF0", 0, 125, 8, 10, 0},
      {"2^SF overflows: symbol rate 0", 5000, 125, 8, 10, 0},
      {"SF40 saturates", 40, 125, 8, 10, UINT32_MAX},
      {"huge preamble and size stay defined", 12, 125, UINT32_MAX, UINT32_MAX, UINT32_MAX},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(getTimeOnAirMs(c.sf, c.bandwidth, c.preamble, c.size), c.ms) << c.name;
  }
}

TEST(TimeOnAir, PacketAirtimeAddsPaddingToAnEightSymbolPreambleAndLogs) {
  testsupport::LogCapture log;
  EXPECT_EQ(getPacketAirtimeMs(7, 10, 125, 50), 91u);
  EXPECT_EQ(getPacketAirtimeMs(12, 51, 0, 0), 2465u);
  EXPECT_EQ(getPacketAirtimeMs(7, 10, 300, 50), 50u);
  EXPECT_TRUE(log.contains("getTimeOnAirMs SF: 7 BW: 125 PL: 8 SZ: 10 TOA: 41")) << log.dump();
}

}  // namespace
