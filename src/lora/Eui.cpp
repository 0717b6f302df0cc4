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

void EUI::Refresh() {
  text_ = BytesToHex(data, sizeof data, true, '-');
  value_ = BytesToUInt64(data, sizeof data);
}

std::string EUI::compactText() const { return BytesToHex(data, sizeof data, true, 0); }

CypherKey::CypherKey() { Refresh(); }

CypherKey::CypherKey(const uint8_t* bytes) {
  assign(bytes);
  Refresh();
}

CypherKey& CypherKey::operator=(const uint8_t* bytes) {
  assign(bytes);
  Refresh();
  return *this;
}

void CypherKey::Refresh() { text_ = BytesToHex(data, sizeof data, true, 0); }

bool CypherKey::IsUnset() const { return text_ == "ffffffffffffffffffffffffffffffff"; }

}  // namespace Lora
