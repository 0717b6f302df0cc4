#include "lora/TimeOnAir.h"

#include <algorithm>
#include <cmath>

#include "support/Logger.h"

namespace Lora {

namespace {

constexpr uint32_t kFskSpreadingFactor = 13;
constexpr double kFskBitsPerSecond = 50000.0;

// Bandwidth in Hz from either encoding; 0 when it is neither.
uint32_t BandwidthHz(uint32_t bandwidth) {
  switch (bandwidth) {
    case 0:
    case 125:
      return 125000;
    case 1:
    case 250:
      return 250000;
    case 2:
    case 500:
      return 500000;
    default:
      return 0;
  }
}

uint32_t ToMilliseconds(double milliseconds) {
  return milliseconds >= 4294967295.0 ? UINT32_MAX : static_cast<uint32_t>(milliseconds);
}

}  // namespace

uint32_t getTimeOnAirMs(uint32_t spreadingFactor, uint32_t bandwidth, uint32_t preambleLength,
                        uint32_t payloadSize) {
  if (spreadingFactor == kFskSpreadingFactor) {
    // Preamble, sync word, length byte, payload, CRC.
    double bytes = (static_cast<double>(preambleLength) + 1) + 1 + payloadSize + 2;
    return ToMilliseconds(std::round(bytes * 8 / kFskBitsPerSecond * 1000));
  }

  uint32_t bandwidthHz = BandwidthHz(bandwidth);
  if (bandwidthHz == 0) return 0;
  double symbolRate =
      bandwidthHz / std::ldexp(1.0, static_cast<int>(std::min(spreadingFactor, 1024u)));
  if (symbolRate == 0) return 0;
  double symbolTime = 1 / symbolRate;

  // Low-data-rate optimisation: symbols longer than 16 ms.
  int lowDataRate = ((spreadingFactor == 11 || spreadingFactor == 12) && bandwidthHz == 125000) ||
                    (spreadingFactor == 12 && bandwidthHz == 250000);
  double denominator = 4.0 * (static_cast<double>(spreadingFactor) - 2 * lowDataRate);
  if (denominator == 0) return 0;

  // Coding rate 4/5, explicit header, CRC on.
  double numerator = 8.0 * payloadSize - 4.0 * spreadingFactor + 44;
  double payloadSymbols = 8 + std::max(0.0, 5 * std::ceil(numerator / denominator));
  double airTime = (preambleLength + 4.25) * symbolTime + payloadSymbols * symbolTime;
  uint32_t result = ToMilliseconds(std::floor(airTime * 1000000 + 0.999) / 1000);

  LOG_DEBUG("getTimeOnAirMs SF: %u BW: %u PL: %u SZ: %u TOA: %d", spreadingFactor, bandwidth,
            preambleLength, payloadSize, static_cast<int>(result));
  return result;
}

uint64_t getPacketAirtimeMs(uint32_t spreadingFactor, uint32_t payloadSize, uint32_t bandwidth,
                            uint64_t schedulePaddingMs) {
  return getTimeOnAirMs(spreadingFactor, bandwidth, 8, payloadSize) + schedulePaddingMs;
}

}  // namespace Lora
