// The two checksums the server computes itself: CRC-64 for the network EUI derived from the
// network name, CRC-16/XMODEM for the class B beacon fields.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-64 with polynomial 0xAD93D23594C935A9 used reflected (least significant bit first),
// initial value 0, no final XOR. Check value over "123456789": 0xE9C6D914C4B8D9CA.
uint64_t Crc64(const uint8_t* data, std::size_t length);

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, not reflected, no final XOR.
// Check value over "123456789": 0x31C3.
uint16_t Crc16Xmodem(const uint8_t* data, std::size_t length);
