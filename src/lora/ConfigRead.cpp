#include "lora/ConfigRead.h"

namespace Lora {
namespace ConfigRead {

const Json::Value& Member(const Json::Value& object, const char* name) {
  static const Json::Value kNull;
  if (!object.isObject()) return kNull;
  const Json::Value* found = object.find(name, name + std::char_traits<char>::length(name));
  return found != nullptr ? *found : kNull;
}

bool Integer(const Json::Value& value, int64_t* out) {
  // isInt64 also accepts a real without fraction inside the range, as "rx2Frequency": 869525000.0.
  if (!value.isInt64()) return false;
  *out = value.asInt64();
  return true;
}

int64_t IntegerOr(const Json::Value& object, const char* name, int64_t fallback) {
  int64_t value = 0;
  return Integer(Member(object, name), &value) ? value : fallback;
}

bool Flag(const Json::Value& object, const char* name) {
  const Json::Value& value = Member(object, name);
  return value.isBool() && value.asBool();
}

int64_t NetworkMode(const Json::Value& config) {
  const Json::Value& mode = Member(Member(config, "network"), "public");
  if (mode.isBool()) return mode.asBool() ? 1 : 0;
  int64_t value = 1;
  return Integer(mode, &value) ? value : 1;
}

std::string Text(const Json::Value& object, const char* name) {
  const Json::Value& value = Member(object, name);
  return value.isString() ? value.asString() : std::string();
}

}  // namespace ConfigRead
}  // namespace Lora
