// The UDP packet-forwarder protocol (versions 1 and 2): header checks and acknowledgements,
// PULL_DATA registration, TX_ACK reports, the "rxpk" / "stat" / "command" records of PUSH_DATA, and
// the "txpk" record of PULL_RESP in the other direction.
//
// Up to five packet workers and the downstream thread run HandleDatagram at once; everything it
// touches is owned by the server state and reached through Links, which is constant once the
// threads run. Every acknowledgement and PULL_RESP leaves through the downstream socket, whichever
// socket the request came in on.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "lora/Eui.h"
#include "lora/FrameClassifier.h"

class UdpSocket;
class GatewayMemoryList;
class NetworkStatistics;
class RecentList;
struct Settings;
namespace Lora {
class ChannelPlan;
class Frame;
}  // namespace Lora

namespace JSON {
namespace Receive {

// A content fault in a PUSH_DATA record; ends the decoding of that datagram.
class MessageRejectException {
 public:
  MessageRejectException(std::string json, std::string message, int value = -1)
      : json_(std::move(json)), message_(std::move(message)), value_(value) {}
  const std::string& json() const { return json_; }
  const std::string& message() const { return message_; }
  int value() const { return value_; }

 private:
  std::string json_;
  std::string message_;
  int value_;
};

}  // namespace Receive
}  // namespace JSON

namespace MessageProtocol {

enum Identifier : uint8_t {
  kPushData = 0,
  kPushAck = 1,
  kPullData = 2,
  kPullResp = 3,
  kPullAck = 4,
  kTxAck = 5,
};
constexpr size_t kHeaderSize = 12;  // version, token, identifier, gateway EUI

// A header fault: the datagram is dropped and the receiving thread logs it.
class SyntaxError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Links {
  UdpSocket* downstream = nullptr;        // acknowledgements and PULL_RESP
  GatewayMemoryList* gateways = nullptr;  // may be null in tests
  NetworkStatistics* statistics = nullptr;
  const Lora::ChannelPlan* plan = nullptr;
  RecentList* recentUplinks = nullptr;
  Lora::FrameRoutes routes;
  bool skipFieldCheck = false;  // "skipPacketForwarderFieldCheck"
};

// One received datagram, which reached the socket at arrivalUs (MonotonicUs(); 0: now). Throws
// SyntaxError for header faults; content rejections are logged here.
void HandleDatagram(const Links& links, const uint8_t* begin, const uint8_t* end,
                    const sockaddr_in& sender, int64_t arrivalUs = 0);

// Sends a PULL_RESP with the JSON text to the gateway's downlink address; the version is the one of
// the gateway's last PULL_DATA (1 when the gateway is unknown). False when the send failed.
bool SendPullResp(const Links& links, const sockaddr_in& to, uint64_t gatewayEui,
                  const std::string& json);

// Where and how the uplink that opened a receive window was heard by the gateway that answers.
struct UplinkReception {
  uint64_t tmst = 0;
  uint32_t frequency = 0;  // Hz
  uint32_t bandwidthKHz = 125;
  uint32_t spreadingFactor = 12;
  uint16_t codingRateNum = 0;  // 0/0 when the uplink carried no "codr"
  uint16_t codingRateDen = 0;
};

// What the transmit path knows of one downlink.
struct TxpkRequest {
  uint64_t gatewayEui = 0;
  // The device's reception record for that gateway; null when none of its recent uplinks came
  // through it.
  const UplinkReception* reception = nullptr;
  uint8_t window = 1;  // 1 or 2
  bool joinAccept = false;
  bool classC = false;
  // The transmit controller asks for the window's own time even for class B/C frames.
  bool windowTiming = false;
  Lora::EUI appEui;
  Lora::EUI devEui;
};

// Builds {"txpk":{...}} for the frame into out. False (with a warning) when the gateway EUI is
// invalid or no reception record names it.
bool BuildTxpk(const TxpkRequest& request, const Lora::Frame& frame, const Lora::ChannelPlan& plan,
               const Settings& settings, std::string& out);

}  // namespace MessageProtocol
