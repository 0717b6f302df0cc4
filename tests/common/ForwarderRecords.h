// Packet-forwarder JSON records as a forwarder would send them, for the protocol's unit and
// end-to-end tests.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A packet-forwarder datagram: version, token (most significant byte first), identifier, then the
// gateway EUI (most significant byte first) unless withEui is false, then the text.
std::vector<uint8_t> ForwarderDatagram(uint8_t version, uint16_t token, uint8_t identifier,
                                       uint64_t eui, const std::string& text = "",
                                       bool withEui = true);

std::string Base64Text(const std::vector<uint8_t>& bytes);
std::string CompactJson(const Json::Value& value);

// One "rxpk" record carrying the frame: 868.1 MHz, SF9BW125, 4/5, lsnr -11.5, rssi -57,
// chan 2, rfch 1, tmst 123456, stat 1, size and data from the frame. The members of the patch
// (a JSON object) replace those; a null one removes the member.
Json::Value RxpkRecord(const std::vector<uint8_t>& frame, const std::string& patch = "{}");
// {"rxpk":[...]} as compact text.
std::string PushDataJson(const std::vector<Json::Value>& packets);

}  // namespace testsupport
