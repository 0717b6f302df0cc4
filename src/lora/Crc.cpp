#include "lora/Crc.h"

namespace {

// 0xAD93D23594C935A9 with its bits in reverse order.
constexpr uint64_t kCrc64ReflectedPoly = 0x95AC9329AC4BC9B5ULL;
constexpr uint16_t kCrc16Poly = 0x1021;

struct Crc64Table {
  uint64_t entry[256] = {};
};

constexpr Crc64Table MakeCrc64Table() {
  Crc64Table t;
  for (int i = 0; i < 256; ++i) {
    uint64_t crc = static_cast<uint64_t>(i);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? (crc >> 1) ^ kCrc64ReflectedPoly : crc >> 1;
    }
    t.entry[i] = crc;
  }
  return t;
}

struct Crc16Table {
  uint16_t entry[256] = {};
};

constexpr Crc16Table MakeCrc16Table() {
  Crc16Table t;
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = static_cast<uint16_t>((crc & 0x8000) != 0 ? (crc << 1) ^ kCrc16Poly : crc << 1);
    }
    t.entry[i] = crc;
  }
  return t;
}

constexpr Crc64Table kCrc64Table = MakeCrc64Table();
constexpr Crc16Table kCrc16Table = MakeCrc16Table();

}  // namespace

uint64_t Crc64(const uint8_t* data, std::size_t length) {
  uint64_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) {
    crc = kCrc64Table.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
  }
  return crc;
}

uint16_t Crc16Xmodem(const uint8_t* data, std::size_t length) {
  uint16_t crc = 0;
  for (std::size_t i = 0; i < length; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ kCrc16Table.entry[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}
