// Hex, Base64, integer/byte and clock helpers shared by every module.
//
// The text forms produced here appear in logs, the database, command replies and application
// messages, so they are exact: lowercase digits, separators only where asked for. Nothing here
// logs, throws or keeps state; every function is safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Hex text of `count` bytes, lowercase. With `keepLeadingZeros` the result is exactly 2*count
// digits with count-1 separators. Without it, leading zero bytes vanish (separator included) and
// the first significant byte may print as one digit: 00 0a ff -> "aff"; all zeros -> "".
// `separator` 0 means none; the system uses '-', '.', ' ' and ':'.
std::string BytesToHex(const uint8_t* bytes, std::size_t count, bool keepLeadingZeros,
                       char separator);

// Hex text of a number in byte pairs, most significant first, at least `minDigits` digits (rounded
// up to whole pairs), `separator` between pairs (0 = none). 0 with fewer than 2 digits is "0".
// Examples: (0x26011bd4, 8, ':') -> "26:01:1b:d4"; (0, 16, '-') -> "00-00-00-00-00-00-00-00".
std::string UInt64ToHex(uint64_t value, unsigned minDigits, char separator);

// Parses hex text right-aligned into `out` (zeroed first), so "1" gives 00..01 and "abc" gives
// ..0a bc. Trailing white space is skipped; the walk from the right stops successfully at the
// start of the text, at a blank or when `out` is full (extra leading digits are ignored). With
// `allowSeparators`, '-' and ':' may stand anywhere after the first digit read (from the right);
// any other character fails. On failure `out` keeps what was filled so far. A null or empty text
// succeeds with all zeros.
bool HexToBytes(const char* text, uint8_t* out, std::size_t size, bool allowSeparators);

// HexToBytes into `byteCount` (<= 8) bytes with separators allowed, read most significant first.
// The parse result is not reported: validate the text first. byteCount 0 gives 0.
uint64_t HexToUInt64(const char* text, std::size_t byteCount);

// The first `count` (<= 8) bytes read most significant first; 0 for count 0.
uint64_t BytesToUInt64(const uint8_t* bytes, std::size_t count);

// out[i] = byte (count-1-i) of value: big-endian into `count` bytes (bytes above 7 are 0).
void UInt64ToBytesBE(uint64_t value, std::size_t count, uint8_t* out);
// out[i] = byte i of value: little-endian into `count` bytes (bytes above 7 are 0).
void UInt64ToBytesLE(uint64_t value, std::size_t count, uint8_t* out);

// Room Base64Encode needs for `length` input bytes, terminating NUL included.
constexpr std::size_t Base64EncodedCapacity(std::size_t length) { return (length + 2) / 3 * 4 + 1; }
// Standard alphabet (RFC 4648). Writes a NUL-terminated text into `out`, which must hold
// Base64EncodedCapacity(length) characters, and returns its length without the NUL. `pad` adds
// the "=" / "==" of a final partial group.
uint16_t Base64Encode(const uint8_t* in, std::size_t length, char* out, bool pad);

// Decodes into `out` (zeroed first, `capacity` bytes) and returns the number of bytes written,
// 0 on failure. Decoding stops at the first character outside the alphabet, which must be '=',
// '"' or the terminating NUL; a final group of 1 character fails; a group that does not fit the
// remaining capacity fails. An empty text gives 0, which callers treat as a failure too.
uint16_t Base64Decode(const char* text, uint8_t* out, std::size_t capacity);

// CLOCK_MONOTONIC in milliseconds / microseconds.
int64_t MonotonicMs();
int64_t MonotonicUs();

// One nanosleep of `ms` milliseconds; not resumed when a signal interrupts it, so a stop request
// shortens the pause.
void SleepMs(uint32_t ms);

// ceil(a / b); 0 when a or b is 0. Callers pass a power of two for b.
uint32_t DivCeil(uint32_t a, uint32_t b);
