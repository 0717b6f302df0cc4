#include "lora/Eui.h"

#include <cstring>

#include "lora/Bytes.h"

namespace Lora {

EUI::EUI() {
  std::memset(data, 0xFF, sizeof data);
  Refresh();
}

EUI::EUI(const char* text) {
  HexToBytes(text, data, sizeof data, true);
  Refresh();
}

EUI EUI::FromValue(uint64_t value) {
  EUI eui;
  eui.SetValue(value);
  return eui;
}

EUI EUI::FromBytes(const uint8_t* bytes) {
  EUI eui;
  eui.assign(bytes);
  eui.Refresh();
  return eui;
}

void EUI::SetValue(uint64_t value) {
  UInt64ToBytesBE(value, sizeof data, data);
  Refresh();
}

void EUI::Refresh() { value_ = BytesToUInt64(data, sizeof data); }

std::string EUI::text() const { return BytesToHex(data, sizeof data, true, '-'); }

std::string EUI::compactText() const { return BytesToHex(data, sizeof data, true, 0); }

CypherKey::CypherKey() = default;

CypherKey::CypherKey(const uint8_t* bytes) { assign(bytes); }

CypherKey& CypherKey::operator=(const uint8_t* bytes) {
  assign(bytes);
  return *this;
}

std::string CypherKey::text() const { return BytesToHex(data, sizeof data, true, 0); }

bool CypherKey::IsUnset() const {
  for (uint8_t byte : data) {
    if (byte != 0xFF) return false;
  }
  return true;
}

}  // namespace Lora
