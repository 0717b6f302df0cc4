// Garbage into the text parsers that see outside data (Base64 "data" of packets, hex EUIs and
// keys from commands and application messages): no read or write outside the buffers, and
// results within their stated bounds.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lora/Bytes.h"
#include "lora/Eui.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // First byte: output capacity; the rest: the text (made NUL-terminated).
  const size_t capacity = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  // Exact-size heap buffers so that the address sanitizer sees any overrun.
  std::vector<uint8_t> out(capacity);
  uint16_t decoded = Base64Decode(text.c_str(), out.data(), capacity);
  if (decoded > capacity) std::abort();
  if (decoded > 0) {
    std::vector<char> again(Base64EncodedCapacity(decoded));
    uint16_t encoded = Base64Encode(out.data(), decoded, again.data(), true);
    if (encoded + 1u != again.size()) std::abort();
  }

  HexToBytes(text.c_str(), out.data(), capacity, (capacity & 1) != 0);
  Lora::EUI eui(text.c_str());
  if (eui.text().size() != 23) std::abort();
  return 0;
}
