// LoRaWAN 1.0.x PHYPayloads as they travel through the server: the frame record and its field
// accessors, the received frame with the reception metadata of one "rxpk" record, the queued
// downlink payload, the rejection that ends the handling of one frame, and a bounded writer for
// the downlink builders.
//
// Every multi-byte field inside a PHYPayload is least significant byte first. The accessors sit
// on the uplink hot path: they are inline, never allocate, and never read at or past the frame's
// length; a field the frame is too short to hold reads as 0 (false for flags). Callers that must
// tell "absent" from "0" check the length first (HasFPort, HasMic, ClassifyFrame's length test).
// Plain values: no locking, owned by the thread that handles them.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "lora/DataRecord.h"

namespace Lora {

// The byte record every PHYPayload and downlink payload lives in.
using FrameBytes = DataRecordVL<unsigned short, 255>;

// MHDR, the first byte of every PHYPayload:
//
//   bit  7   6   5   4   3   2   1   0
//      +-----------+-----------+-------+
//      |   MType   |    RFU    | Major |
//      +-----------+-----------+-------+
//
// RFU is ignored on receive and 0 on send; Major must be 0 (LoRaWAN R1).
enum MessageType : unsigned {
  kJoinRequest = 0,
  kJoinAccept = 1,
  kUnconfirmedUp = 2,
  kUnconfirmedDown = 3,
  kConfirmedUp = 4,
  kConfirmedDown = 5,
  // 6 (RFU) and 7 (proprietary) are not handled.
};
constexpr unsigned kMTypeShift = 5;
constexpr uint8_t kMajorMask = 0x03;
constexpr uint8_t kConfirmedBit = 0x80;  // set in MType 4 and 5 (and the unhandled 6 and 7)

// The MHDR of a frame of the given type, RFU and Major 0.
constexpr uint8_t MakeMhdr(unsigned mtype) {
  return static_cast<uint8_t>((mtype & 0x07) << kMTypeShift);
}

// Data frame (MType 2 to 5):
//
//   offset  0      1        5       6       8            8+n      9+n         len-4
//         +------+--------+-------+-------+------------+--------+-----------+-----+
//         | MHDR | DevAddr| FCtrl | FCnt  | FOpts      | FPort  | FRMPayload| MIC |
//         |  1   |   4    |   1   |   2   | n = 0..15  | 0 or 1 |  0..      |  4  |
//         +------+--------+-------+-------+------------+--------+-----------+-----+
//
// FPort is present when at least one byte lies between FOpts and the MIC.
constexpr std::size_t kMhdrOffset = 0;
constexpr std::size_t kDevAddrOffset = 1;
constexpr std::size_t kFCtrlOffset = 5;
constexpr std::size_t kFCntOffset = 6;
constexpr std::size_t kFOptsOffset = 8;  // also the shortest data frame header
constexpr std::size_t kMicSize = 4;
constexpr std::size_t kMaxFOptsLen = 15;

// FCtrl:
//
//   bit      7      6          5      4        3..0
//   uplink   ADR    ADRACKReq  ACK    Class B  FOptsLen
//   downlink ADR    RFU        ACK    FPending FOptsLen
constexpr uint8_t kFCtrlAdr = 0x80;
constexpr uint8_t kFCtrlAdrAckReq = 0x40;
constexpr uint8_t kFCtrlAck = 0x20;
constexpr uint8_t kFCtrlClassB = 0x10;
constexpr uint8_t kFCtrlFPending = 0x10;
constexpr uint8_t kFCtrlFOptsLenMask = 0x0F;

// Join request (MType 0), 23 bytes:
//
//   offset  0      1                9               17          19
//         +------+----------------+---------------+-----------+-----+
//         | MHDR | JoinEUI (LSB)  | DevEUI (LSB)  | DevNonce  | MIC |
//         |  1   |       8        |       8       |     2     |  4  |
//         +------+----------------+---------------+-----------+-----+
constexpr std::size_t kJoinEuiOffset = 1;
constexpr std::size_t kDevEuiOffset = 9;
constexpr std::size_t kDevNonceOffset = 17;
constexpr std::size_t kJoinRequestLength = 23;

// Join accept (MType 1), 17 bytes, or 33 with a CFList:
//
//   offset  0      1          4         7         11          12        13        len-4
//         +------+----------+---------+---------+-----------+---------+---------+-----+
//         | MHDR | AppNonce | NetID   | DevAddr | DLSettings| RxDelay | CFList  | MIC |
//         |  1   |    3     | 3 (LSB) |    4    |     1     |    1    | 0 or 16 |  4  |
//         +------+----------+---------+---------+-----------+---------+---------+-----+
//
// The MIC covers bytes 0 .. len-5; bytes 1 .. len-1 (MIC included) are then encrypted.
constexpr std::size_t kAppNonceOffset = 1;
constexpr std::size_t kNetIdOffset = 4;
constexpr std::size_t kJoinAcceptDevAddrOffset = 7;
constexpr std::size_t kDlSettingsOffset = 11;
constexpr std::size_t kRxDelayOffset = 12;
constexpr std::size_t kCfListOffset = 13;
constexpr std::size_t kCfListSize = 16;
constexpr std::size_t kJoinAcceptLength = 17;
constexpr std::size_t kJoinAcceptCfListLength = kJoinAcceptLength + kCfListSize;

// Little-endian reads of `count` (<= 8) bytes. No bounds of their own: the callers check.
inline uint64_t ReadLE(const uint8_t* bytes, std::size_t count) {
  uint64_t value = 0;
  for (std::size_t i = count; i > 0; --i) value = (value << 8) | bytes[i - 1];
  return value;
}

// The log name of a message type: "Join Request" ... "Confirmed Down", "Unknown Type" otherwise.
const char* MessageTypeName(unsigned mtype);

class Frame : public FrameBytes {
 public:
  static constexpr uint8_t kUplink = 0;
  static constexpr uint8_t kDownlink = 1;

  Frame() = default;
  // Keeps at most 255 bytes.
  Frame(const uint8_t* bytes, std::size_t count) : FrameBytes(bytes, count) {}
  // Copies clamp the length to 255 and carry exactly that many bytes plus the fields below.
  Frame(const Frame& other) = default;
  Frame& operator=(const Frame& other) = default;
  ~Frame() = default;

  // --- MHDR
  uint8_t Mhdr() const { return has(kMhdrOffset + 1) ? data[kMhdrOffset] : 0; }
  unsigned MType() const { return Mhdr() >> kMTypeShift; }
  unsigned Major() const { return Mhdr() & kMajorMask; }
  bool IsConfirmed() const { return (Mhdr() & kConfirmedBit) != 0; }

  // --- data frame header
  uint32_t DevAddr() const {
    return has(kDevAddrOffset + 4) ? static_cast<uint32_t>(ReadLE(data + kDevAddrOffset, 4)) : 0;
  }
  uint8_t FCtrl() const { return has(kFCtrlOffset + 1) ? data[kFCtrlOffset] : 0; }
  unsigned FOptsLen() const { return FCtrl() & kFCtrlFOptsLenMask; }
  bool IsAdr() const { return (FCtrl() & kFCtrlAdr) != 0; }
  bool IsAdrAckReq() const { return (FCtrl() & kFCtrlAdrAckReq) != 0; }
  bool IsAck() const { return (FCtrl() & kFCtrlAck) != 0; }
  // The 16 low bits of the frame counter, as sent.
  uint16_t FCnt() const {
    return has(kFCntOffset + 2) ? static_cast<uint16_t>(ReadLE(data + kFCntOffset, 2)) : 0;
  }
  // True when the frame holds its header and all FOptsLen option bytes.
  bool HasFOpts() const { return has(kFOptsOffset + FOptsLen()); }
  // The option bytes; only meaningful when HasFOpts().
  const uint8_t* FOpts() const { return data + kFOptsOffset; }

  // --- port and payload
  std::size_t FPortOffset() const { return kFOptsOffset + FOptsLen(); }
  bool HasFPort() const { return has(FPortOffset() + 1 + kMicSize); }
  // 0 when there is no FPort; ask HasFPort() to tell that from port 0.
  uint8_t FPort() const { return HasFPort() ? data[FPortOffset()] : 0; }
  std::size_t FrmPayloadOffset() const { return FPortOffset() + 1; }
  // Bytes between FPort and the MIC; 0 without an FPort.
  std::size_t FrmPayloadLength() const {
    return HasFPort() ? size() - kMicSize - FrmPayloadOffset() : 0;
  }

  // --- MIC: the last 4 bytes
  bool HasMic() const { return has(kMicSize); }
  // The MIC read least significant byte first (the form of the log lines); 0 when absent.
  uint32_t Mic() const {
    return HasMic() ? static_cast<uint32_t>(ReadLE(data + size() - kMicSize, 4)) : 0;
  }
  // The 4 MIC bytes compared with a computed tag (in tag order); false when absent.
  bool MicEquals(const uint8_t* mic) const;

  // --- join request; EUIs as values in display order (most significant first). The join
  // procedure can be told the device sent them most significant byte first.
  uint64_t JoinEui(bool sentMostSignificantFirst = false) const {
    return readEui(kJoinEuiOffset, sentMostSignificantFirst);
  }
  uint64_t DevEui(bool sentMostSignificantFirst = false) const {
    return readEui(kDevEuiOffset, sentMostSignificantFirst);
  }
  uint16_t DevNonce() const {
    return has(kDevNonceOffset + 2) ? static_cast<uint16_t>(ReadLE(data + kDevNonceOffset, 2)) : 0;
  }

  uint8_t direction = kUplink;
  // Downlinks: the gateway counter ("tmst") to send at; 0 when not timed.
  uint32_t scheduledTimestamp = 0;
  // Downlinks: server-clock ms at which the frame goes to the gateway; 0 when not scheduled.
  uint64_t dueTime = 0;
  // Downlinks: database id of the queued message carried; 0 when none.
  uint32_t downlinkId = 0;

 private:
  // True when bytes [0, end) are all inside the frame.
  bool has(std::size_t end) const { return end <= size(); }
  uint64_t readEui(std::size_t offset, bool mostSignificantFirst) const;
};

// A frame as received from one gateway, with the metadata its "rxpk" record carried.
class ReceivedFrame : public Frame {
 public:
  // Ends the handling of one frame. Deliberately not an Exception: nothing but the record
  // decoder catches it, and it must not be mistaken for a fault of the thread.
  class MessageRejectException {
   public:
    MessageRejectException(std::string message, uint16_t detail, const Frame& frame)
        : message(std::move(message)), detail(detail), frame(frame) {}
    const char* what() const noexcept { return message.c_str(); }

    std::string message;
    uint16_t detail;
    Frame frame;  // sliced copy: the bytes and the frame fields, no reception metadata
  };

  ReceivedFrame() = default;
  ReceivedFrame(const uint8_t* bytes, std::size_t count) : Frame(bytes, count) {}
  // Copies and moves are implicit, so the rxpk text moves instead of being copied.

  sockaddr_in gatewayAddress{};   // sender of the PUSH_DATA
  uint64_t gatewayEui = 0;        // from the datagram header
  uint64_t tmst = 0;              // concentrator counter at reception, us
  int16_t rssi = -32768;          // dBm
  uint16_t chan = 0xFFFF;         // IF channel 0..9
  int16_t snr = -32768;           // cB ("lsnr" x 10); 0 for FSK
  uint32_t bandwidthKHz = 125;    // "datr"; FSK: 50000
  uint32_t spreadingFactor = 12;  // "datr"; FSK: 13
  uint16_t codingRateNum = 0;     // "codr" n/d; 0/0 when absent
  uint16_t codingRateDen = 0;
  uint32_t frequency = 0;        // Hz
  uint16_t rfChain = 0;          // "rfch"
  uint32_t fsk = 0;              // 1 unless "modu" starts with 'L'
  uint64_t receptionTimeMs = 0;  // MonotonicMs() when its datagram reached the server
  bool crcGood = false;          // "stat" == 1
  std::string rxpk;              // the whole "rxpk" object as compact JSON text
};

// FCtrl bit 4 of an uplink: the device is in class B.
inline bool IsClassB(const ReceivedFrame& frame) { return (frame.FCtrl() & kFCtrlClassB) != 0; }

// One queued downlink payload (application data, MAC commands or a ready join accept) with the
// attributes the device's transmit queue keeps beside it. Copied by value into the queue.
class FrameApplicationData : public FrameBytes {
 public:
  static constexpr uint8_t kDefaultAttempts = 8;

  FrameApplicationData() = default;
  FrameApplicationData(const uint8_t* bytes, std::size_t count) : FrameBytes(bytes, count) {}
  FrameApplicationData(const FrameApplicationData& other) = default;
  FrameApplicationData& operator=(const FrameApplicationData& other) = default;
  ~FrameApplicationData() = default;

  uint8_t ack = 0;                      // 1: confirmed downlink
  uint8_t join = 0;                     // 1: a join accept (queued first, never held back)
  uint8_t port = 0;                     // FPort; 0 = MAC commands
  uint32_t scheduledTimestamp = 0;      // class B ping slot "tmst"; 0 = none
  uint64_t dueTime = 0;                 // server-clock ms; 0 = not scheduled
  uint32_t id = 0;                      // database id of the queue row; 0 = none
  uint8_t attempts = kDefaultAttempts;  // transmissions allowed when confirmed
  uint8_t rxWindow = 0;                 // 0 either, 1 RX1 only, 2 RX2 only
};

// Appends little-endian fields to a frame being built. A field that does not fit whole is not
// written at all and marks the writer failed, so a builder checks ok() once at the end and can
// never produce more than 255 bytes.
class FrameWriter {
 public:
  // Starts the record empty.
  explicit FrameWriter(FrameBytes& record) : record_(record) { record_.clear(); }

  FrameWriter& U8(uint8_t value) { return le(value, 1); }
  FrameWriter& U16(uint16_t value) { return le(value, 2); }
  FrameWriter& U24(uint32_t value) { return le(value, 3); }
  FrameWriter& U32(uint32_t value) { return le(value, 4); }
  // An EUI held in display order, written least significant byte first.
  FrameWriter& Eui(uint64_t value) { return le(value, 8); }
  // Raw bytes in the given order (AppNonce, CFList, MIC, payload).
  FrameWriter& Bytes(const uint8_t* bytes, std::size_t count);

  bool ok() const { return ok_; }
  std::size_t size() const { return record_.size(); }
  std::size_t room() const { return FrameBytes::kCapacity - record_.size(); }

 private:
  FrameWriter& le(uint64_t value, std::size_t count);

  FrameBytes& record_;
  bool ok_ = true;
};

}  // namespace Lora
