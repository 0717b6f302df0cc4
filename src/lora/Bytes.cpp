#include "lora/Bytes.h"

#include <time.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a hex digit in either case, or -1.
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The C locale's white space, without depending on the process locale.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Six-bit value of a Base64 alphabet character, or -1.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string BytesToHex(const uint8_t* bytes, std::size_t count, bool keepLeadingZeros,
                       char separator) {
  std::string text;
  text.reserve(count * 3);
  bool started = false;
  for (std::size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (keepLeadingZeros || b > 0x0F) started = true;
    if (started) {
      text.push_back(kHexDigits[b >> 4]);
    } else if ((b & 0x0F) == 0) {
      continue;  // a wholly zero leading byte leaves no trace, not even its separator
    }
    text.push_back(kHexDigits[b & 0x0F]);
    started = true;
    if (separator != 0 && i + 1 < count) text.push_back(separator);
  }
  return text;
}

std::string UInt64ToHex(uint64_t value, unsigned minDigits, char separator) {
  if (value == 0 && minDigits < 2) return "0";
  // Built from the right: at most 8 pairs for the value plus any zero pairs the width asks for.
  std::string reversed;
  unsigned digits = 0;
  for (;;) {
    uint8_t b = static_cast<uint8_t>(value & 0xFF);
    reversed.push_back(kHexDigits[b & 0x0F]);
    reversed.push_back(kHexDigits[b >> 4]);
    value >>= 8;
    digits += 2;
    if (digits >= minDigits && value == 0) break;
    if (separator != 0) reversed.push_back(separator);
  }
  return std::string(reversed.rbegin(), reversed.rend());
}

bool HexToBytes(const char* text, uint8_t* out, std::size_t size, bool allowSeparators) {
  if (size > 0) std::memset(out, 0, size);
  if (text == nullptr) return true;

  std::size_t end = std::strlen(text);
  while (end > 0 && IsBlank(text[end - 1])) --end;

  std::size_t next = size;  // bytes still free to the left, filled from the end of `out`
  bool lowNibbleDone = false;
  std::size_t digitsRead = 0;
  for (std::size_t i = end; i > 0 && next > 0; --i) {
    char c = text[i - 1];
    if (IsBlank(c)) break;  // everything left of a blank is ignored
    int v = HexValue(c);
    if (v < 0) {
      if (allowSeparators && digitsRead > 0 && (c == '-' || c == ':')) continue;
      return false;
    }
    ++digitsRead;
    if (!lowNibbleDone) {
      out[next - 1] = static_cast<uint8_t>(v);
      lowNibbleDone = true;
    } else {
      out[next - 1] = static_cast<uint8_t>(out[next - 1] | (v << 4));
      lowNibbleDone = false;
      --next;
    }
  }
  return true;
}

uint64_t HexToUInt64(const char* text, std::size_t byteCount) {
  uint8_t bytes[8];
  std::size_t n = std::min<std::size_t>(byteCount, sizeof bytes);
  if (n == 0) return 0;
  HexToBytes(text, bytes, n, true);
  return BytesToUInt64(bytes, n);
}

uint64_t BytesToUInt64(const uint8_t* bytes, std::size_t count) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

void UInt64ToBytesBE(uint64_t value, std::size_t count, uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    std::size_t byteIndex = count - 1 - i;
    out[i] = byteIndex < 8 ? static_cast<uint8_t>(value >> (8 * byteIndex)) : 0;
  }
}

void UInt64ToBytesLE(uint64_t value, std::size_t count, uint8_t* out) {
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = i < 8 ? static_cast<uint8_t>(value >> (8 * i)) : 0;
  }
}

uint16_t Base64Encode(const uint8_t* in, std::size_t length, char* out, bool pad) {
  std::size_t o = 0;
  std::size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    out[o++] = kBase64Alphabet[(group >> 18) & 0x3F];
    out[o++] = kBase64Alphabet[(group >> 12) & 0x3F];
    out[o++] = kBase64Alphabet[(group >> 6) & 0x3F];
    out[o++] = kBase64Alphabet[group & 0x3F];
  }
  std::size_t rest = length - i;
  if (rest == 1) {
    uint32_t group = uint32_t{in[i]} << 16;
    out[o++] = kBase64Alphabet[(group >> 18) & 0x3F];
    out[o++] = kBase64Alphabet[(group >> 12) & 0x3F];
    if (pad) {
      out[o++] = '=';
      out[o++] = '=';
    }
  } else if (rest == 2) {
    uint32_t group = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8);
    out[o++] = kBase64Alphabet[(group >> 18) & 0x3F];
    out[o++] = kBase64Alphabet[(group >> 12) & 0x3F];
    out[o++] = kBase64Alphabet[(group >> 6) & 0x3F];
    if (pad) out[o++] = '=';
  }
  out[o] = '\0';
  return static_cast<uint16_t>(o);
}

uint16_t Base64Decode(const char* text, uint8_t* out, std::size_t capacity) {
  if (capacity > 0) std::memset(out, 0, capacity);
  if (text == nullptr) return 0;

  std::size_t written = 0;
  uint32_t bits = 0;
  int held = 0;  // characters accumulated in `bits` since the last full group
  const char* p = text;
  for (; *p != '\0'; ++p) {
    int v = Base64Value(*p);
    if (v < 0) break;
    bits = (bits << 6) | static_cast<uint32_t>(v);
    if (++held == 4) {
      if (capacity - written < 3) return 0;
      out[written++] = static_cast<uint8_t>(bits >> 16);
      out[written++] = static_cast<uint8_t>(bits >> 8);
      out[written++] = static_cast<uint8_t>(bits);
      bits = 0;
      held = 0;
    }
  }
  if (*p != '\0' && *p != '=' && *p != '"') return 0;

  switch (held) {
    case 0:
      break;
    case 1:
      return 0;  // six bits cannot make a byte
    case 2:
      if (capacity - written < 1) return 0;
      out[written++] = static_cast<uint8_t>(bits >> 4);
      break;
    case 3:
      if (capacity - written < 2) return 0;
      out[written++] = static_cast<uint8_t>(bits >> 10);
      out[written++] = static_cast<uint8_t>(bits >> 2);
      break;
  }
  return static_cast<uint16_t>(written);
}

int64_t MonotonicMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int64_t MonotonicUs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

void SleepMs(uint32_t ms) {
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  nanosleep(&ts, nullptr);
}

uint32_t DivCeil(uint32_t a, uint32_t b) {
  if (a == 0 || b == 0) return 0;
  return a / b + (a % b != 0 ? 1 : 0);
}
