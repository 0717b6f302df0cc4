// When and where downlinks go: the answer to an uplink in RX1 or RX2, the gateway that sends it,
// the per-gateway duty-cycle budgets, the "txpk" timing of a frame, and the time thread's turn
// through the transmit queue. What a frame holds is the device's transmit controller's business.
//
// One scheduler per process, owned by the server and reached by every device through its links.
// ScheduleResponse runs on a packet worker under the device's lock; ServeDueTransmissions on the
// time thread with no lock held. Lock order: device -> gateway duty cycle -> transmit queue ->
// database; the time thread takes the queue's lock only to pop an item and lets go of it before
// it locks a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "downlink/DeviceTransmitController.h"
#include "downlink/TransmitQueue.h"
#include "lora/Frame.h"

class AppMessageQueue;
class Device;
class DeviceList;
class DeviceTransmitController;
class Gateway;
class GatewayMemoryList;
class LoraDatabase;
class NetworkStatistics;
struct MacLinks;
struct Settings;
namespace Lora {
class ChannelPlan;
}
namespace MessageProtocol {
struct Links;
}

struct SchedulerLinks {  // filled by the server once, constant afterwards
  GatewayMemoryList* gateways = nullptr;
  TransmitQueue* queue = nullptr;
  const Lora::ChannelPlan* plan = nullptr;
  const Settings* settings = nullptr;
  NetworkStatistics* statistics = nullptr;           // may be null in tests
  AppMessageQueue* messages = nullptr;               // may be null in tests
  const MessageProtocol::Links* protocol = nullptr;  // PULL_RESP through the downstream socket
  const MacLinks* mac = nullptr;  // every device's MAC-command controllers; null: none
  // The transmit clock in ms. Due times are counted from the uplinks' reception times
  // (MonotonicMs), so this clock and the time passed to ServeDueTransmissions must be that one.
  std::function<uint64_t()> clockMs;
  // The same clock in us, paired with the gateways' tmst for class B ping slots; null: the
  // monotonic clock of the process.
  std::function<uint64_t()> clockUs;
  // The spread of a class C confirmed downlink's retry time, -500 ... +499 ms; null: rand().
  std::function<int32_t()> retryJitterMs;
};

class DownlinkScheduler {
 public:
  static constexpr uint64_t kRx2AfterRx1Us = 1000000;
  static constexpr uint64_t kRx2AfterRx1Ms = 1000;
  // The header, FPort and MIC around a payload: the smallest answer is this long.
  static constexpr size_t kFrameOverhead = 13;
  // Band 3 is free of a duty cycle for transmitters at or below this EIRP.
  static constexpr int32_t kLowPowerEirpDbm = 7;

  explicit DownlinkScheduler(const SchedulerLinks& links);

  // The answer to an uplink of a locked device: nothing when the controller has nothing to send,
  // else RX1 when it can be had in time, else RX2, each on the first gateway that may transmit.
  void ScheduleResponse(Device& device, const Lora::ReceivedFrame& frame);

  // A join accept queued on the device, booked into one join window (the join procedure times
  // the windows from the join delay and decides between them). False when no gateway may send.
  bool BookJoinWindow(Device& device, const Lora::ReceivedFrame& request, uint8_t window,
                      uint64_t dueMs, uint64_t tmst, uint32_t airTimeMs);

  // The first gateway among those that heard the uplink with this FCnt (the preferred one first)
  // that is known and passes CanSchedule; 0 when none. The transmission `wanted` (gateway left
  // open) is then queued on that gateway.
  uint64_t FindGateway(const DeviceTransmitController& controller, uint16_t fcnt,
                       const TransmitQueue::Item& wanted, uint32_t frequency);
  // The gateway's duty-cycle budget for the frequency's band, then the transmit queue: may the
  // transmission go out on this gateway? When it may, it is queued there at once, bumping the
  // items it beats.
  bool CanSchedule(Gateway& gateway, TransmitQueue::Item wanted, uint32_t frequency);

  // The beacon's air time on a gateway, from onAirMs: downlinks in its way are bumped, none can
  // take it. It goes on air as its thread sends it, so on the queue's axis (the hand-over of a
  // frame timed by "tmst") it lies a lead time earlier.
  void ReserveAirtime(uint64_t gatewayEui, uint64_t onAirMs, uint32_t durationMs);

  // A queued record of a locked class C device outside a class A exchange: handed over at once
  // ("imme") on the RX2 parameters, on the first gateway free now or at one of the 250 ms steps
  // up to 5 s later. False when the record is already scheduled, too big for RX2, or no gateway
  // may send.
  bool ScheduleClassC(Device& device);
  // The same for a class B device: the record goes in the device's next ping slot after the last
  // beacon, timed by the gateway's counter. False also while no beacon is sent.
  bool ScheduleClassB(Device& device);
  // The ping slot of a device in the beacon period whose beacon carried beaconTime (s): slots of
  // 30 ms after the first 2120 ms, one of `period` chosen by AES under the zero key.
  static uint32_t PingOffset(uint32_t beaconTime, uint32_t devAddr, uint32_t period);
  static constexpr uint32_t kPingSlotMs = 30;
  static constexpr uint32_t kFirstPingSlotMs = 2120;
  static constexpr uint32_t kClassCRetryStepMs = 250;
  static constexpr uint32_t kClassCRetryLimitMs = 5000;

  // Just before a frame goes to the gateway: whether the band has more than durationMs left.
  bool DutyCycleAllows(Gateway& gateway, uint32_t frequency, uint32_t durationMs);
  // After it went: the air time leaves the band's budget.
  void UseDutyCycle(Gateway& gateway, uint32_t frequency, uint32_t durationMs);

  // Scheduling air time of a frame of `size` bytes at a datarate: time on air plus padding.
  uint32_t AirtimeMs(int8_t datarate, size_t size) const;

  // The time thread's work for one tick: every item due by nowMs + aheadMs, in order, goes to its
  // device's TransmitFrame under the device's lock (found list -> device, with no other lock
  // held). A bumped item gives its device's record back to the queue of records so that the next
  // uplink schedules it again. The list is passed in: it is made after the scheduler, whose links
  // every device carries. aheadMs lets a caller that comes round at a fixed period take what
  // falls due before its next round's midpoint, so hand-overs straddle their due times instead of
  // all trailing them.
  void ServeDueTransmissions(DeviceList& devices, uint64_t nowMs, uint64_t aheadMs = 0);

  const SchedulerLinks& links() const { return links_; }

 private:
  struct Windows;
  bool DutyCycleApplies(uint32_t frequency, size_t& band) const;
  bool TryWindow(Device& device, const Lora::ReceivedFrame& frame, uint8_t window, uint64_t dueMs,
                 uint64_t tmst, uint32_t frequency, uint32_t durationMs, uint8_t priority);
  void DropOversizedRecord(Device& device);
  uint64_t NowMs() const;
  uint64_t NowUs() const;
  // Where the front record of an off-window downlink goes: RX2 of the device's newest uplink.
  // False (with the log line) when the device was never heard or the record is scheduled.
  bool OffWindowTarget(Device& device, RxWindowParams& rx2, int8_t& datarate,
                       const DeviceTransmitController::GatewaySlot*& slot);
  // tmst of gateway `eui` msAhead from local time nowUs, from the newest tmst/local-time pair of
  // that gateway.
  uint32_t GatewayTmstAhead(const DeviceTransmitController& controller, uint64_t eui,
                            uint64_t nowUs, uint64_t msAhead);

  const SchedulerLinks links_;
};
