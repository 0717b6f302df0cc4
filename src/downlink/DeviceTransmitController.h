// The downlink side of one end-device: its queue of application downlinks (and a pending join
// accept), how each gateway heard its recent uplinks, whether an answer is owed (ACK, ADR
// acknowledgement request, MAC answers), the building of the next PHYPayload and its hand-over
// to the gateway, and the acknowledgement of confirmed downlinks.
//
// When to send, through which gateway and in which window is the scheduler's (DownlinkScheduler);
// this class decides what is sent. Used only under the owning device's mutex.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>
#include <string>

#include "downlink/OptionControllers.h"
#include "gateway/MessageProtocol.h"
#include "lora/ChannelPlan.h"
#include "lora/Frame.h"

class Device;
class Gateway;

class DeviceTransmitController {
 public:
  // A downlink payload fits a frame at the lowest data rate of every region only up to here.
  static constexpr size_t kMaxQueuedPayload = 242;
  static constexpr size_t kGatewaySlots = 10;

  // The MAC-command controllers the downlinks carry, under the names this controller uses.
  using LinkCheckController = ::LinkCheckController;
  using PingController = ::PingController;
  using ChannelController = ::ChannelController;
  using DeviceStatusRequester = ::DeviceStatusRequester;
  using BeaconTimingController = ::BeaconTimingController;

  // How one gateway heard the device's most recent uplink through it.
  struct GatewaySlot {
    uint64_t eui = 0;  // 0: free
    MessageProtocol::UplinkReception reception;
    uint16_t fcnt = 0;
    int16_t rssi = -32768;
    int16_t snr = -32768;  // cB
    uint16_t channel = 0;
    uint16_t rfChain = 0;
    bool fsk = false;
    uint64_t receivedMs = 0;
  };
  // Grown as gateways hear the device, up to kGatewaySlots: most devices are heard by one or two,
  // and ten slots in every device of a large network were most of its memory.
  using Slots = std::vector<GatewaySlot>;

  explicit DeviceTransmitController(Device& device) : device_(device) {}
  DeviceTransmitController(const DeviceTransmitController&) = delete;
  DeviceTransmitController& operator=(const DeviceTransmitController&) = delete;

  // Appends a data record at the back, or puts a join accept at the front. Refuses a record over
  // 242 bytes, and a data record when the queue already holds the configured maximum; a join
  // accept instead pushes out the newest record (and its database row).
  bool QueueApplicationData(const Lora::FrameApplicationData& record);
  // Empties the queue, deletes the device's queue rows and forgets a frame in the making.
  void ClearQueue();

  // Every accepted uplink of the device, duplicates included, before the answer is scheduled:
  // the receiving gateway's slot, the acknowledgement of a confirmed downlink, what the answer
  // owes (ACK, ADRACKReq).
  void ReceivedFrame(const Lora::ReceivedFrame& frame, bool duplicate);
  // The gateway slot bookkeeping alone (join requests have no session to answer yet).
  void RecordReception(const Lora::ReceivedFrame& frame);
  // MAC commands of the uplink (FOpts, or an FPort 0 payload in plain text).
  void ParseMacCommands(const Lora::ReceivedFrame& frame, const uint8_t* bytes, size_t length);
  // Whether the uplink just received should be answered.
  bool HasDataToTransmit();

  // The time thread's hand-over of a due transmission: duty cycle, a freshly built frame, its
  // "txpk" in a PULL_RESP, the events, the packet row and the counters. durationMs and dueMs are
  // what the transmit queue reserved. True when the frame went to the gateway.
  bool TransmitFrame(uint64_t gatewayEui, uint8_t window, uint32_t durationMs, uint64_t dueMs);

  // The confirmed downlink in flight was acknowledged.
  void LoraAcknowledgeReceived();
  // The frame could not go: a data record stays queued for a later window; a join accept goes.
  void Unschedule();
  // No receive window could carry the answer to an uplink. A record booked outside the windows
  // (class B or C) keeps that booking; anything else is unscheduled.
  void AnswerNotScheduled();
  // A transmission of this device at dueMs lost its time to another: the record is queued again.
  void Bumped(uint64_t dueMs);
  // The scheduler placed the answer: the front record is due at dueMs. Returns the due time of
  // the record's booking outside the windows that the answer replaces (0: none), whose item the
  // caller takes out of the transmit queue.
  uint64_t MarkScheduled(uint64_t dueMs);
  // The class B/C path placed the front record outside the receive windows: handed over at
  // dueMs, sent at gateway time tmst (0: at once) instead of the window's time.
  void MarkScheduledOffWindow(uint64_t dueMs, uint32_t tmst);
  // The front record can never be sent (over every window's limit): row deleted, "down_dropped".
  void DropFrontRecord();

  // The time thread's periodic look at a device with a valid session (class B/C retries).
  void PeriodicService(uint64_t nowMs) { CheckRetry(nowMs); }
  // A class B/C device outside a class A exchange: an unscheduled front record is scheduled; a
  // class C confirmed one unacknowledged "classCAckTimeout" (give or take 500 ms) after its last
  // hand-over is sent again, and dropped ("packet_drop" 102, row deleted) once its attempts are
  // used up.
  void CheckRetry(uint64_t nowMs);
  // Transmissions of the confirmed front record so far.
  uint8_t FrontAttempts() const { return frontSends_; }

  // What the pending MAC commands add to the next frame, at most a full FOpts field.
  size_t PendingMacBytes() const;

  size_t QueueLength() const { return queue_.size(); }
  // Drops the queued record whose row is `id` (its row is the caller's) and, when it is the one
  // in flight, its tracking. False when no record has that id.
  bool RemoveQueued(uint32_t id);
  // The record that would be sent next; the queue must not be empty.
  const Lora::FrameApplicationData& Front() const { return queue_.front(); }
  const Slots& GatewaySlots() const { return slots_; }
  // Whether the slot's gateway heard the latest uplink, whose counter is fcnt. Copies of one
  // uplink through several gateways reach the server within moments of each other; the same
  // counter heard seconds earlier was the device sending before (a confirmed uplink's retry, or
  // any earlier join request, whose counter bytes are EUI bytes), and that reception's time is
  // useless for this one's windows.
  bool HeardLatestUplink(const GatewaySlot& slot, uint16_t fcnt) const {
    return slot.eui != 0 && slot.fcnt == fcnt && slot.receivedMs + kSameUplinkMs >= latestMs_;
  }
  static constexpr uint64_t kSameUplinkMs = 1000;
  // The slot of the gateway that heard the device best; one with EUI 0 before any uplink.
  const GatewaySlot& PreferredGatewaySlot() const;
  size_t PreferredSlot() const { return preferred_; }
  // The device's MAC-command controllers; null while the server gave no MAC links.
  MacControllers* MacCommands();

 private:
  // The front record is booked outside the receive windows, and that booking is live.
  bool BookedOffWindow() const;
  const GatewaySlot* FindSlot(uint64_t eui) const;
  // The window's frequency and datarate for an uplink heard as in the slot.
  RxWindowParams WindowOf(const GatewaySlot& slot, uint8_t window, bool joinAccept,
                          int8_t& datarate) const;
  bool MacPendingForAnswer() const;
  void ChoosePreferredSlot(uint16_t fcnt);
  size_t AppendMacCommands(uint8_t* out, size_t room, bool intoPayload);
  // A frame built but not sent: its MAC commands go back to their controllers.
  void GiveBackMacCommands();
  void RemoveFront(bool deleteRow);
  void ResetTracking();
  // Drops a confirmed front record whose transmissions are used up; true when one went.
  bool DropExhaustedRecord();
  // Builds the PHYPayload for the gateway and window into *frame_; empty when nothing can be
  // built. Takes the next down counter.
  void GenerateDataFrame(uint64_t gatewayEui, uint8_t window);
  void ReportSent(Gateway& gateway, uint8_t window, const std::string& txpk);
  void AfterSend(Gateway& gateway);

  Device& device_;
  // Front is sent first. A vector, not a deque: the queue holds a few records at most, and an
  // empty deque still allocates its first block in each of thousands of devices.
  std::vector<Lora::FrameApplicationData> queue_;
  Slots slots_;
  size_t preferred_ = 0;
  uint64_t latestMs_ = 0;  // reception time of the latest uplink recorded in a slot

  std::unique_ptr<MacControllers> mac_;  // made on first use, from the scheduler's MAC links
  Lora::Frame* frame_ = nullptr;         // the PHYPayload being built, during TransmitFrame only
  bool joinInProgress_ = false;          // frame_ is a join accept
  bool frameCarriesFront_ = false;       // frame_ holds the front record's payload
  uint32_t currentId_ = 0;               // queue row of the record in frame_
  uint32_t currentFCnt_ = 0;
  uint8_t currentPort_ = 0;  // 0 also without a payload
  int8_t currentDatarate_ = 0;
  uint32_t scheduledDurationMs_ = 0;  // what the transmit queue reserved for frame_
  uint64_t scheduledDueMs_ = 0;
  uint8_t frontSends_ = 0;          // transmissions of the confirmed front record so far
  uint64_t lastAttemptMs_ = 0;      // when the confirmed front record was last handed over
  int32_t retryJitterMs_ = 0;       // added to the acknowledgement time-out after that
  uint64_t offWindowDueMs_ = 0;     // due time of the front record's class B/C item; 0: none
  uint64_t windowDueMs_ = 0;        // due time of the latest answer booked in a receive window
  uint64_t nextScheduleTryMs_ = 0;  // no class B/C scheduling attempt before this time
  std::string currentOpts_;         // hex of the MAC command bytes carried
  bool responseRequested_ = false;  // the last uplink set ADRACKReq
  bool ackPending_ = false;         // the last uplink was a confirmed data up
  bool confirmedInFlight_ = false;  // the frame sent last is a confirmed downlink
  bool ackReceived_ = false;
};
