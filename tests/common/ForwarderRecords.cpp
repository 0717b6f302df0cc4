#include "ForwarderRecords.h"

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "lora/Bytes.h"

namespace testsupport {

std::vector<uint8_t> ForwarderDatagram(uint8_t version, uint16_t token, uint8_t identifier,
                                       uint64_t eui, const std::string& text, bool withEui) {
  std::vector<uint8_t> out = {version, static_cast<uint8_t>(token >> 8),
                              static_cast<uint8_t>(token & 0xFF), identifier};
  for (int shift = 56; withEui && shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(eui >> shift));
  for (char c : text) out.push_back(static_cast<uint8_t>(c));
  return out;
}

std::string Base64Text(const std::vector<uint8_t>& bytes) {
  std::vector<char> text(Base64EncodedCapacity(bytes.size()));
  Base64Encode(bytes.data(), bytes.size(), text.data(), true);
  return text.data();
}

std::string CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

Json::Value RxpkRecord(const std::vector<uint8_t>& frame, const std::string& patch) {
  Json::Value r;
  r["tmst"] = 123456;
  r["chan"] = 2;
  r["rfch"] = 1;
  r["freq"] = 868.1;
  r["stat"] = 1;
  r["modu"] = "LORA";
  r["datr"] = "SF9BW125";
  r["codr"] = "4/5";
  r["lsnr"] = -11.5;
  r["rssi"] = -57;
  r["size"] = static_cast<unsigned>(frame.size());
  r["data"] = Base64Text(frame);
  const Json::Value members = ParseJson(patch);
  if (!members.isObject()) ADD_FAILURE() << "bad patch " << patch;
  for (const std::string& name : members.getMemberNames()) {
    r[name] = members[name];
    if (members[name].isNull()) r.removeMember(name);
  }
  return r;
}

std::string PushDataJson(const std::vector<Json::Value>& packets) {
  Json::Value root;
  root["rxpk"] = Json::arrayValue;
  for (const Json::Value& p : packets) root["rxpk"].append(p);
  return CompactJson(root);
}

}  // namespace testsupport
