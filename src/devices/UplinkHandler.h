// Uplink processing: a data uplink (unconfirmed or confirmed up) from the frame classifier is
// carried to its end. The device is found (or restored from the database) and locked, the frame
// is judged new, a duplicate or false, counted, handed to the transmit controller, decrypted,
// answered, stored and published.
//
// Runs on a packet-worker thread. Each uplink is handled with its device locked, so frames of one
// device heard by several gateways are handled one at a time; frames of other devices go on in
// parallel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "lora/Frame.h"

class AppMessageQueue;
class Device;
class DeviceList;
class Gateway;
class GatewayMemoryList;
class LoraDatabase;
class NetworkStatistics;
struct Settings;
namespace Lora {
class ChannelPlan;
}

struct UplinkLinks {              // filled by the server once, constant afterwards
  DeviceList* devices = nullptr;  // lookups lock list then device
  GatewayMemoryList* gateways = nullptr;
  LoraDatabase* database = nullptr;
  AppMessageQueue* messages = nullptr;  // every event leaves through here
  NetworkStatistics* statistics = nullptr;
  const Lora::ChannelPlan* plan = nullptr;
  const Settings* settings = nullptr;
  // Seams for the subsystems that build on uplinks; an empty one does nothing.
  // The MAC commands of an FPort 0 payload, in plain text.
  std::function<void(Device&, const Lora::ReceivedFrame&, const uint8_t*, size_t)> parseMacCommands;
  // The answer in the device's receive windows.
  std::function<void(Device&, const Lora::ReceivedFrame&)> scheduleResponse;
  // The management service's uplink report, from the "up" JSON.
  std::function<void(const std::string& uplinkJson, uint64_t gatewayEui, size_t frameLength)>
      reportUplink;
};

class UplinkHandler {
 public:
  // Confirmed repeats closer than this to the last uplink are left unanswered: the copy heard
  // by a second gateway, not a device that missed its acknowledgement.
  static constexpr uint64_t kConfirmedRepeatHoldOffMs = 1000;
  static constexpr uint32_t kUnknownDeviceDetail = 32767;

  explicit UplinkHandler(const UplinkLinks& links) : links_(links) {}

  // Finds and locks the device, announces the packet and handles it. Throws
  // Lora::ReceivedFrame::MessageRejectException for an address no session holds.
  void DispatchUplink(Lora::ReceivedFrame& frame);
  // One uplink of a locked device; every outcome is logged, counted or published.
  void HandleUplink(Device& device, Lora::ReceivedFrame& frame);

 private:
  enum class Acceptance { kDropped, kNew, kDuplicate };
  // Where the FRMPayload lies in the frame, and its port.
  struct Payload {
    size_t offset = 0;
    size_t length = 0;  // 0 without one
    int port = 1;       // the FPort, or 1 when the frame has none
  };

  std::shared_ptr<Gateway> FindGateway(const Device& device, const Lora::ReceivedFrame& frame);
  Acceptance AcceptFrame(Device& device, const Lora::ReceivedFrame& frame, Gateway& gateway);
  void CountMissedFrames(Device& device, uint32_t previous);
  void LogPacketErrorRate(const Device& device);
  void UpdateStatistics(Device& device, const Lora::ReceivedFrame& frame, Gateway& gateway);
  void FollowClassBit(Device& device, const Lora::ReceivedFrame& frame);
  void LogFrameControl(const Device& device, const Lora::ReceivedFrame& frame);
  Payload DecryptPayload(Device& device, Lora::ReceivedFrame& frame);
  bool NeedsAnswer(const Device& device, const Lora::ReceivedFrame& frame, bool duplicate);
  void ScheduleAnswer(Device& device, const Lora::ReceivedFrame& frame);
  void StoreUplink(Device& device, const Lora::ReceivedFrame& frame, const Payload& payload,
                   uint64_t previousUplinkMs, const Gateway& gateway);
  std::string PublishUplink(const Device& device, const Lora::ReceivedFrame& frame,
                            const Payload& payload);
  void ReportUplink(const std::string& json, const Lora::ReceivedFrame& frame);

  const UplinkLinks links_;
};
