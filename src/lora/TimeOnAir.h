// Time on air of a LoRa or FSK frame, for the schedulers and the join procedure. Pure functions,
// safe on any thread, no allocation.
#pragma once

#include <cstdint>

namespace Lora {

// Milliseconds on air of a frame with coding rate 4/5, explicit header and CRC. spreadingFactor 13
// means FSK at 50 kbit/s. bandwidth is a code (0, 1, 2) or kHz (125, 250, 500); anything else
// gives 0.
uint32_t getTimeOnAirMs(uint32_t spreadingFactor, uint32_t bandwidth, uint32_t preambleLength,
                        uint32_t payloadSize);

// The time a transmission holds the radio for scheduling: the air time with an 8-symbol preamble
// plus the schedule padding (callers pass Settings::schedulePaddingMs).
uint64_t getPacketAirtimeMs(uint32_t spreadingFactor, uint32_t payloadSize, uint32_t bandwidth,
                            uint64_t schedulePaddingMs);

}  // namespace Lora
