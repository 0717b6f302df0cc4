// Tolerant readers for the configuration document. The channel plan reads keys on every call and
// start-up reads them before all of them are validated, so a key of the wrong JSON type must give
// the caller's fallback instead of a jsoncpp exception.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

namespace Lora {
namespace ConfigRead {

// The named member of an object, or a null value when the document or the member is missing or
// the document is not an object.
const Json::Value& Member(const Json::Value& object, const char* name);

// True when the value is an integral number (integer types, or a real with no fraction) that fits
// 64 signed bits; *out receives it.
bool Integer(const Json::Value& value, int64_t* out);

// The integral number held by object[name], or the fallback.
int64_t IntegerOr(const Json::Value& object, const char* name, int64_t fallback);

// object[name] when it is a boolean, else false.
bool Flag(const Json::Value& object, const char* name);

// The network mode, "public" of the "network" object: 0 private ZEV network, 1 public LoRaWAN,
// 2 private LoRaWAN. A boolean means 1 or 0; missing or of another type, 1 (start-up's default).
int64_t NetworkMode(const Json::Value& config);

// object[name] when it is a text, else the empty text.
std::string Text(const Json::Value& object, const char* name);

}  // namespace ConfigRead
}  // namespace Lora
