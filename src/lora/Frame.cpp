#include "lora/Frame.h"

#include <cstring>

namespace Lora {

const char* MessageTypeName(unsigned mtype) {
  static constexpr const char* kNames[] = {"Join Request",     "Join Accept",  "Unconfirmed Up",
                                           "Unconfirmed Down", "Confirmed Up", "Confirmed Down"};
  return mtype < sizeof kNames / sizeof kNames[0] ? kNames[mtype] : "Unknown Type";
}

bool Frame::MicEquals(const uint8_t* mic) const {
  return HasMic() && std::memcmp(data + size() - kMicSize, mic, kMicSize) == 0;
}

uint64_t Frame::readEui(std::size_t offset, bool mostSignificantFirst) const {
  constexpr std::size_t kEuiSize = 8;
  if (!has(offset + kEuiSize)) return 0;
  if (!mostSignificantFirst) return ReadLE(data + offset, kEuiSize);
  uint64_t value = 0;
  for (std::size_t i = 0; i < kEuiSize; ++i) value = (value << 8) | data[offset + i];
  return value;
}

FrameWriter& FrameWriter::Bytes(const uint8_t* bytes, std::size_t count) {
  if (count > room()) {
    ok_ = false;
    return *this;
  }
  record_.append(bytes, count);
  return *this;
}

FrameWriter& FrameWriter::le(uint64_t value, std::size_t count) {
  uint8_t bytes[8];
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return Bytes(bytes, count);
}

}  // namespace Lora
