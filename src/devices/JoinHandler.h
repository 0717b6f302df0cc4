// Over-the-air activation: where the frame classifier sends every join request, on a packet
// worker thread. Checks the request, finds its application key (the network key, the whitelist,
// the zero-touch key), gives the device its address, builds the join accept, queues it on the
// device and books it into the join windows; every outcome is logged, counted, published and
// recorded for the command interface.
//
// Locks: the DevNonce memory has its own mutex, taken alone. The device is locked (list, then
// device) while its session is replaced and its join accept queued and booked.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "lora/Eui.h"
#include "lora/Frame.h"
#include "support/Mutex.h"

class AppMessageQueue;
class Device;
class DeviceList;
class GatewayMemoryList;
class LoraDatabase;
class NetworkStatistics;
class RecentList;
struct AddressRangeConfig;
struct Settings;
namespace Lora {
class ChannelPlan;
}

// One join window to book the queued join accept into.
struct JoinWindow {
  uint8_t window = 1;      // 1 or 2
  uint32_t tmst = 0;       // gateway counter to send at, us
  uint64_t dueMs = 0;      // server clock at which the frame goes to the gateway
  uint32_t airTimeMs = 0;  // of the join accept at the window's datarate
  uint32_t reservation = 0;  // the join request's MIC names the booking
};

struct JoinLinks {  // filled by the server once, constant afterwards
  DeviceList* devices = nullptr;
  LoraDatabase* database = nullptr;
  AppMessageQueue* messages = nullptr;
  NetworkStatistics* statistics = nullptr;
  GatewayMemoryList* gateways = nullptr;
  const Lora::ChannelPlan* plan = nullptr;
  const Settings* settings = nullptr;
  const Json::Value* config = nullptr;  // "network", "whitelist", "lora", "test"
  const AddressRangeConfig* addressRange = nullptr;
  RecentList* recentJoins = nullptr;  // drained by the command "join"
  // POSTs a body to the remote join server within the time limit; false without an answer (the
  // server gives the shared HTTP client). Empty: no join server can be reached.
  std::function<bool(const std::string& url, const std::string& body, Json::Value& response,
                     uint64_t timeoutMs)>
      postJoinServer;
  // The management agent's report of a join granted here (its switches are its own).
  std::function<void(const Json::Value& attributes, uint64_t gatewayEui)> reportJoin;
  std::function<uint64_t()> clockMs;  // monotonic ms; MonotonicMs when empty
  std::function<int()> random;        // rand when empty
  // Enters the device's queued join accept into the transmit schedule; false when the window
  // cannot take it. Empty: nothing can be booked, every join accept is dropped.
  std::function<bool(Device&, const Lora::ReceivedFrame&, const JoinWindow&)> bookWindow;
};

class JoinHandler {
 public:
  static constexpr uint64_t kNonceMemoryMs = 600000;  // a DevNonce may come back after 10 minutes
  static constexpr uint32_t kNoncePruneEvery = 256;

  explicit JoinHandler(const JoinLinks& links) : links_(links) {}

  void handleJoinRequest(Lora::ReceivedFrame& frame);

  // True when the pair was stored within the last 10 minutes; an older entry is forgotten.
  // Every kNoncePruneEvery calls the whole memory drops what is older than 10 minutes, so it
  // holds at most the pairs of the last ten minutes (plus one pruning interval).
  bool isDuplicateDevNonce(const std::string& deviceEuiText, uint16_t devNonce) EXCLUDES(mutex_);
  // Stores the pair of a request whose MIC validated; false when it was stored within the last
  // 10 minutes after all (another copy of the request got there first).
  bool rememberDevNonce(const std::string& deviceEuiText, uint16_t devNonce) EXCLUDES(mutex_);

  void recordJoinRequest(const Json::Value& request, const Json::Value& response,
                         const std::string& devEui, const std::string& joinEui, uint16_t devNonce,
                         uint64_t elapsedMs, const std::string& result);

 private:
  struct Request;
  struct KeySearch {
    Lora::CypherKey appKey;  // unset (all 0xFF) when no source had one
    bool valid = false;
    std::string appEui;       // from the whitelist entry, else the JoinEUI
    std::string deviceClass;  // from the whitelist entry, else empty
  };

  void AnnounceRequest(const Request& request);
  void TossDuplicate(const Request& request);
  KeySearch FindApplicationKey(const Request& request) const;
  bool MicValid(const Request& request, const Lora::CypherKey& key) const;
  void RejectLocally(const Request& request, const KeySearch& keys);
  void ForwardToJoinServer(Request& request, const KeySearch& keys);
  std::string JoinServerBody(const Request& request, uint32_t devAddr) const;
  void AcceptRemotely(Request& request, uint32_t devAddr, const Json::Value& body,
                      const Json::Value& response, uint64_t elapsedMs);
  void AcceptLocally(Request& request, const KeySearch& keys);
  size_t BuildJoinAccept(const Request& request, const KeySearch& keys, uint32_t devAddr,
                         const uint8_t* joinNonce, uint8_t* out) const;
  void scheduleJoinAccept(Device& device, const Lora::ReceivedFrame& frame, bool remote);
  void TakeSession(Device& device, const Request& request, const std::string& appEui,
                   const std::string& classText, const Lora::CypherKey& nwkSKey,
                   const Lora::CypherKey& appSKey, bool remote);
  void CountAccepted(const Request& request);
  void ReportJoin(const Request& request, const Device& device, const KeySearch& keys,
                  const uint8_t* joinNonce);

  uint64_t NowMs() const;
  int Random() const;
  const Json::Value& Config(const char* section) const;

  const JoinLinks links_;
  Mutex mutex_;  // guards nonces_
  // device EUI text -> DevNonce -> seconds of the monotonic clock when last stored
  std::map<std::string, std::map<uint16_t, uint64_t>> nonces_ GUARDED_BY(mutex_);
  uint32_t nonceCalls_ GUARDED_BY(mutex_) = 0;
};
