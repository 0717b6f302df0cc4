#include "lora/Frame.h"

#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/FrameClassifier.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lora::Frame;
using Lora::ReceivedFrame;

constexpr uint64_t kGatewayEui = 0x0080000000a00f4dULL;

// A data frame laid out by hand: MHDR, DevAddr 0x01020304, FCtrl, FCnt 0x1234, then `tail`
// (FOpts, FPort, FRMPayload) and the MIC de ad be ef.
Bytes DataFrame(uint8_t mhdr, uint8_t fctrl, const Bytes& tail = {}) {
  // Sized once and filled by copy: GCC's -O2 misjudges growing inserts here as out of bounds.
  const uint8_t head[] = {mhdr, 0x04, 0x03, 0x02, 0x01, fctrl, 0x34, 0x12};
  const uint8_t mic[] = {0xde, 0xad, 0xbe, 0xef};
  Bytes bytes(sizeof head + tail.size() + sizeof mic);
  auto end = std::copy(std::begin(head), std::end(head), bytes.begin());
  std::copy(std::begin(mic), std::end(mic), std::copy(tail.begin(), tail.end(), end));
  return bytes;
}

// MHDR 0, JoinEUI 70-b3-d5-7e-d0-00-00-01 and DevEUI 01-02-..-08 least significant first,
// DevNonce 0xbeef, MIC 11 22 33 44.
const Bytes kJoinRequest = {0x00, 0x01, 0x00, 0x00, 0xd0, 0x7e, 0xd5, 0xb3, 0x70, 0x08, 0x07, 0x06,
                            0x05, 0x04, 0x03, 0x02, 0x01, 0xef, 0xbe, 0x11, 0x22, 0x33, 0x44};

Bytes Contents(const Lora::FrameBytes& record) {
  return Bytes(record.data, record.data + record.size());
}

// Every field is checked at every cut of the frame: bytes left in the array beyond the length
// must never leak into a field.
TEST(FrameTest, FieldsReadLeastSignificantFirstAndNothingPastTheLength) {
  Bytes data = DataFrame(0x80, 0xa1, {0x09, 0x05, 0x66});  // ADR, ACK, FOpts 1, FPort 5, payload 1
  for (size_t n = 0; n <= data.size(); ++n) {
    SCOPED_TRACE(n);
    Frame frame(data.data(), data.size());
    frame.length = static_cast<unsigned short>(n);
    EXPECT_EQ(frame.DevAddr(), n >= 5 ? 0x01020304u : 0);
    EXPECT_EQ(frame.FOptsLen(), n >= 6 ? 1u : 0);
    EXPECT_EQ(frame.FCnt(), n >= 8 ? 0x1234 : 0);
    EXPECT_EQ(frame.HasFPort(), n >= 14);  // needs one byte between FOpts and MIC
    EXPECT_EQ(frame.FPort(), n >= 14 ? 5 : 0);
    EXPECT_EQ(frame.FrmPayloadLength(), n >= 14 ? n - 14 : 0);
  }
  EXPECT_EQ(Frame(data.data(), data.size()).Mic(), 0xefbeadde);
  for (size_t n = 0; n <= kJoinRequest.size(); ++n) {
    SCOPED_TRACE(n);
    ReceivedFrame join(kJoinRequest.data(), kJoinRequest.size());
    join.length = static_cast<unsigned short>(n);
    EXPECT_EQ(join.JoinEui(), n >= 9 ? 0x70b3d57ed0000001ULL : 0);
    EXPECT_EQ(join.DevEui(), n >= 17 ? 0x0102030405060708ULL : 0);
    EXPECT_EQ(join.DevNonce(), n >= 19 ? 0xbeef : 0);
  }
}

TEST(FrameTest, CopiesKeepAtMost255Bytes) {
  Bytes bytes(300, 0x5a);
  Frame cut(bytes.data(), bytes.size());
  cut.length = 300;  // set out of range by hand: clamped on the next copy
  EXPECT_EQ(Frame(cut).length, 255);
}

TEST(FrameWriterTest, WritesLittleEndianAndNeverPast255Bytes) {
  Frame frame;
  Lora::FrameWriter writer(frame);
  Bytes expected(246, 0x11);
  writer.Bytes(expected.data(), expected.size()).U24(0x030201).U32(0x07060504);
  EXPECT_EQ(writer.room(), 2u);
  writer.U32(0xbbaa9988);  // does not fit: nothing of it is written
  EXPECT_FALSE(writer.ok());
  writer.U16(0xddcc);
  for (uint8_t b : {1, 2, 3, 4, 5, 6, 7, 0xcc, 0xdd}) expected.push_back(b);
  EXPECT_EQ(Contents(frame), expected);

  Lora::FrameWriter again(frame);  // a writer starts its record afresh
  again.Eui(0x0102030405060708ULL);
  EXPECT_TRUE(again.ok());
  EXPECT_EQ(Contents(frame), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

// A registry holding one gateway and routes that note what they were given and the gateway's
// count at that moment.
struct Harness {
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  Lora::FrameRoutes routes;
  std::string outcome;

  Harness() {
    sockaddr_in sender{};
    gateways.seen(kGatewayEui, 2, &sender, 0);
    routes.countUplink = [this](uint64_t eui) { gateways.countUplink(eui); };
    routes.dispatchUplink = [this](ReceivedFrame&) { outcome = "uplink at " + Count(); };
    routes.handleJoinRequest = [this](ReceivedFrame&) { outcome = "join at " + Count(); };
  }
  std::string Count() const {
    return std::to_string(gateways.find(kGatewayEui)->counter(Gateway::Counter::uplinks));
  }
  // A rejection becomes its text and detail.
  void Classify(const Bytes& bytes, uint64_t gateway = kGatewayEui) {
    ReceivedFrame frame(bytes.data(), bytes.size());
    frame.gatewayEui = gateway;
    try {
      Lora::ClassifyFrame(frame, routes);
    } catch (const ReceivedFrame::MessageRejectException& e) {
      outcome = std::string(e.what()) + "|" + std::to_string(e.detail);
      EXPECT_EQ(Contents(e.frame), bytes);
    }
  }
};

TEST(ClassifyFrame, ChecksLengthThenVersionThenCountsAndDispatches) {
  struct Case {
    const char* name;
    Bytes bytes;
    const char* outcome;
    const char* typeName;  // nullptr: neither logged nor counted
  } cases[] = {
      {"seven bytes, Major 1", {0x41, 4, 3, 2, 1, 0, 0}, "Frame too short |7", nullptr},
      {"FOptsLen 5 in 12 bytes", DataFrame(0x40, 0x05), "Frame too short |12", nullptr},
      {"FOptsLen 4 in 12 bytes", DataFrame(0x40, 0x04), "uplink at 1", "Unconfirmed Up"},
      {"Major 1", DataFrame(0x41, 0x00, {0x01}), "Incorrect version |1", nullptr},
      {"join request", kJoinRequest, "join at 1", "Join Request"},
      {"MType 1", Bytes(17, 0x20), "Unexpected message type|1", "Join Accept"},
      {"MType 7", DataFrame(0xe0, 0x00), "Unexpected message type|7", "Unknown Type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::LogCapture log;
    Harness h;
    h.Classify(c.bytes);
    EXPECT_EQ(h.outcome, c.outcome);
    EXPECT_EQ(h.Count(), c.typeName ? "1" : "0");
    const std::string type = c.typeName ? c.typeName : "";
    EXPECT_EQ(log.contains("GW:00-80-00-00-00-a0-0f-4d|FRAME-RX|TYPE: " + type), !type.empty())
        << log.dump();
  }
}

// The count stands when dispatch rejects the frame; a gateway the registry does not know, or no
// counting route at all, still gets its frames dispatched; a missing dispatch route drops it.
TEST(ClassifyFrame, CountingIsIndependentOfDispatch) {
  Harness h;
  h.routes.dispatchUplink = [](ReceivedFrame& frame) {
    throw ReceivedFrame::MessageRejectException("Message received from unknown device", 1, frame);
  };
  h.Classify(DataFrame(0x40, 0x00));
  EXPECT_EQ(h.outcome + " " + h.Count(), "Message received from unknown device|1 1");

  Harness other;
  other.Classify(DataFrame(0x40, 0x00), 0x1122334455667788ULL);
  EXPECT_EQ(other.outcome, "uplink at 0");
  other.routes.countUplink = nullptr;
  other.Classify(kJoinRequest);
  EXPECT_EQ(other.outcome, "join at 0");
  other.outcome.clear();
  other.routes.handleJoinRequest = nullptr;
  other.Classify(kJoinRequest);
  EXPECT_EQ(other.outcome, "");
}

}  // namespace
