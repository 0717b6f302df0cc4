#include "lora/Frame.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "gateway/GatewayMemoryList.h"
#include "lora/FrameClassifier.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Lora::Frame;
using Lora::ReceivedFrame;
using testsupport::LogCapture;

constexpr uint64_t kGatewayEui = 0x0080000000a00f4dULL;
const char* const kGatewayText = "00-80-00-00-00-a0-0f-4d";

// A data frame laid out by hand: MHDR, DevAddr 0x01020304, FCtrl, FCnt 0x1234, then `tail`
// (FOpts, FPort, FRMPayload) and the MIC de ad be ef.
Bytes DataFrame(uint8_t mhdr, uint8_t fctrl, const Bytes& tail = {}) {
  Bytes bytes;
  bytes.reserve(8 + tail.size() + 4);
  for (uint8_t b : {mhdr, uint8_t{0x04}, uint8_t{0x03}, uint8_t{0x02}, uint8_t{0x01}, fctrl,
                    uint8_t{0x34}, uint8_t{0x12}}) {
    bytes.push_back(b);
  }
  for (uint8_t b : tail) bytes.push_back(b);
  for (uint8_t b : {0xde, 0xad, 0xbe, 0xef}) bytes.push_back(b);
  return bytes;
}

// MHDR 0, JoinEUI 70-b3-d5-7e-d0-00-00-01 and DevEUI 01-02-..-08 least significant first,
// DevNonce 0xbeef, MIC 11 22 33 44.
Bytes JoinRequest() {
  return {0x00, 0x01, 0x00, 0x00, 0xd0, 0x7e, 0xd5, 0xb3, 0x70, 0x08, 0x07, 0x06,
          0x05, 0x04, 0x03, 0x02, 0x01, 0xef, 0xbe, 0x11, 0x22, 0x33, 0x44};
}

Bytes Contents(const Lora::FrameBytes& record) {
  return Bytes(record.data, record.data + record.size());
}

TEST(FrameTest, DataFrameFieldsReadLeastSignificantFirst) {
  // ADR, ACK, 3 option bytes, port 10, 2 payload bytes.
  Bytes bytes = DataFrame(0x80, 0xa3, {0x02, 0x05, 0x06, 0x0a, 0x77, 0x88});
  Frame frame(bytes.data(), bytes.size());

  EXPECT_EQ(frame.MType(), Lora::kConfirmedUp);
  EXPECT_EQ(frame.Major(), 0u);
  EXPECT_TRUE(frame.IsConfirmed());
  EXPECT_EQ(frame.DevAddr(), 0x01020304u);
  EXPECT_EQ(frame.FCtrl(), 0xa3);
  EXPECT_EQ(frame.FOptsLen(), 3u);
  EXPECT_TRUE(frame.IsAdr());
  EXPECT_FALSE(frame.IsAdrAckReq());
  EXPECT_TRUE(frame.IsAck());
  EXPECT_EQ(frame.FCnt(), 0x1234);
  ASSERT_TRUE(frame.HasFOpts());
  EXPECT_EQ(Bytes(frame.FOpts(), frame.FOpts() + 3), (Bytes{0x02, 0x05, 0x06}));
  ASSERT_TRUE(frame.HasFPort());
  EXPECT_EQ(frame.FPort(), 10);
  EXPECT_EQ(frame.FrmPayloadOffset(), 12u);
  EXPECT_EQ(frame.FrmPayloadLength(), 2u);
  EXPECT_EQ(frame.data[frame.FrmPayloadOffset()], 0x77);
  EXPECT_EQ(frame.Mic(), 0xefbeadde);
  const uint8_t mic[] = {0xde, 0xad, 0xbe, 0xef};
  EXPECT_TRUE(frame.MicEquals(mic));
  const uint8_t flipped[] = {0xde, 0xad, 0xbe, 0xee};
  EXPECT_FALSE(frame.MicEquals(flipped));

  ReceivedFrame received(bytes.data(), bytes.size());
  EXPECT_FALSE(Lora::IsClassB(received));
  received.data[Lora::kFCtrlOffset] |= Lora::kFCtrlClassB;
  EXPECT_TRUE(Lora::IsClassB(received));
}

TEST(FrameTest, FPortNeedsOneByteBetweenFOptsAndMic) {
  struct Case {
    const char* name;
    uint8_t fctrl;
    Bytes tail;
    bool hasFPort;
    size_t payloadLength;
  } cases[] = {
      {"header and MIC only", 0x00, {}, false, 0},
      {"port without payload", 0x00, {0x01}, true, 0},
      {"port and one byte", 0x00, {0x01, 0xaa}, true, 1},
      {"options fill everything", 0x02, {0x01, 0x02}, false, 0},
      {"options then port 0", 0x02, {0x01, 0x02, 0x00, 0xaa, 0xbb}, true, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = DataFrame(0x40, c.fctrl, c.tail);
    Frame frame(bytes.data(), bytes.size());
    EXPECT_EQ(frame.HasFPort(), c.hasFPort);
    EXPECT_EQ(frame.FrmPayloadLength(), c.payloadLength);
    EXPECT_EQ(frame.FPort(), c.hasFPort ? c.tail[frame.FOptsLen()] : 0);
  }
}

// Bytes left in the array beyond the length must never leak into a field.
TEST(FrameTest, ShortFrameReadsNothingPastItsLength) {
  Bytes join = JoinRequest();
  Bytes data = DataFrame(0x40, 0x01, {0x09, 0x05, 0x66});  // FOpts 1, FPort 5, payload 1
  for (size_t n = 0; n <= join.size(); ++n) {
    SCOPED_TRACE(n);
    ReceivedFrame frame(join.data(), join.size());
    frame.length = static_cast<unsigned short>(n);
    EXPECT_EQ(frame.JoinEui(), n >= 9 ? 0x70b3d57ed0000001ULL : 0);
    EXPECT_EQ(frame.DevEui(), n >= 17 ? 0x0102030405060708ULL : 0);
    EXPECT_EQ(frame.DevNonce(), n >= 19 ? 0xbeef : 0);
    EXPECT_EQ(frame.HasMic(), n >= 4);
  }
  ReceivedFrame request(join.data(), join.size());
  EXPECT_EQ(request.JoinEui(true), 0x010000d07ed5b370ULL);
  EXPECT_EQ(request.DevEui(true), 0x0807060504030201ULL);
  for (size_t n = 0; n <= data.size(); ++n) {
    SCOPED_TRACE(n);
    Frame frame(data.data(), data.size());
    frame.length = static_cast<unsigned short>(n);
    EXPECT_EQ(frame.Mhdr(), n >= 1 ? 0x40 : 0);
    EXPECT_EQ(frame.DevAddr(), n >= 5 ? 0x01020304u : 0);
    EXPECT_EQ(frame.FCtrl(), n >= 6 ? 0x01 : 0);
    EXPECT_EQ(frame.FCnt(), n >= 8 ? 0x1234 : 0);
    EXPECT_EQ(frame.HasFOpts(), n >= 9);
    EXPECT_EQ(frame.HasFPort(), n >= 14);
    EXPECT_EQ(frame.FPort(), n >= 14 ? 5 : 0);
    EXPECT_EQ(frame.FrmPayloadLength(), n >= 14 ? n - 14 : 0);
    EXPECT_EQ(frame.Mic(), n >= 4 ? static_cast<uint32_t>(Lora::ReadLE(frame.data + n - 4, 4)) : 0);
  }
}

TEST(FrameTest, MessageTypeNamesAndConfirmedBit) {
  struct Case {
    uint8_t mhdr;
    const char* name;
    bool confirmed;
  } cases[] = {
      {0x00, "Join Request", false},   {0x20, "Join Accept", false},
      {0x40, "Unconfirmed Up", false}, {0x60, "Unconfirmed Down", false},
      {0x80, "Confirmed Up", true},    {0xa0, "Confirmed Down", true},
      {0xc0, "Unknown Type", true},    {0xe0, "Unknown Type", true},
      {0x5c, "Unconfirmed Up", false},  // RFU bits ignored
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Frame frame(&c.mhdr, 1);
    EXPECT_STREQ(Lora::MessageTypeName(frame.MType()), c.name);
    EXPECT_EQ(frame.IsConfirmed(), c.confirmed);
    EXPECT_EQ(Lora::MakeMhdr(frame.MType()), c.mhdr & 0xe0);
  }
  EXPECT_STREQ(Lora::MessageTypeName(8), "Unknown Type");
}

TEST(FrameTest, CopiesKeepAtMost255Bytes) {
  Bytes bytes(300);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);

  Frame whole(bytes.data(), 255);
  EXPECT_EQ(whole.size(), 255u);
  EXPECT_EQ(Contents(whole), Bytes(bytes.begin(), bytes.begin() + 255));

  Frame cut(bytes.data(), bytes.size());
  EXPECT_EQ(cut.length, 255);
  EXPECT_EQ(Contents(cut), Contents(whole));

  // A length set out of range by hand is clamped on the next copy.
  cut.length = 300;
  cut.direction = Frame::kDownlink;
  cut.scheduledTimestamp = 0xfedcba98;
  cut.dueTime = 0x123456789aULL;
  cut.downlinkId = 42;
  Frame copy(cut);
  EXPECT_EQ(copy.length, 255);
  EXPECT_EQ(copy.MicEquals(whole.data + 251), true);
  EXPECT_EQ(copy.direction, Frame::kDownlink);
  EXPECT_EQ(copy.scheduledTimestamp, 0xfedcba98u);
  EXPECT_EQ(copy.dueTime, 0x123456789aULL);
  EXPECT_EQ(copy.downlinkId, 42u);

  Bytes short_ = {0x40, 1, 2};
  Frame assigned(short_.data(), short_.size());
  assigned = cut;
  EXPECT_EQ(assigned.length, 255);
  EXPECT_EQ(assigned.downlinkId, 42u);
  assigned = Frame(short_.data(), short_.size());
  EXPECT_EQ(Contents(assigned), short_);
  EXPECT_EQ(assigned.data[3], 0) << "bytes of the longer frame before must not remain";

  ReceivedFrame received(short_.data(), short_.size());
  received.rssi = -57;
  received.rxpk = R"({"tmst":1})";
  ReceivedFrame original(received);
  ReceivedFrame moved(std::move(original));
  EXPECT_EQ(Contents(moved), short_);
  EXPECT_EQ(moved.rssi, -57);
  EXPECT_EQ(moved.rxpk, received.rxpk);
}

TEST(FrameWriterTest, NeverWritesPast255Bytes) {
  Frame frame;
  Lora::FrameWriter writer(frame);
  Bytes filler(250, 0x11);
  writer.Bytes(filler.data(), filler.size()).U32(0x04030201);
  ASSERT_TRUE(writer.ok());
  EXPECT_EQ(writer.room(), 1u);

  writer.U16(0xbbaa);  // does not fit: nothing of it is written
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(frame.size(), 254u);
  writer.Eui(0x0102030405060708ULL).U8(0xcc);
  EXPECT_FALSE(writer.ok());
  EXPECT_EQ(frame.size(), 255u);
  EXPECT_EQ(frame.data[250], 0x01);
  EXPECT_EQ(frame.data[253], 0x04);
  EXPECT_EQ(frame.data[254], 0xcc);

  // A writer starts its record afresh.
  Lora::FrameWriter again(frame);
  again.Eui(0x0102030405060708ULL);
  EXPECT_TRUE(again.ok());
  EXPECT_EQ(Contents(frame), (Bytes{8, 7, 6, 5, 4, 3, 2, 1}));
}

sockaddr_in Loopback() {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(1700);
  inet_aton("127.0.0.1", &address.sin_addr);
  return address;
}

class ClassifyFrameTest : public ::testing::Test {
 protected:
  enum class Route { none, uplink, join };

  ClassifyFrameTest() : gateways_(nullptr, Gateway::DutyCycleSettings{}, false) {
    sockaddr_in sender = Loopback();
    gateways_.seen(kGatewayEui, 2, &sender, 0);
    routes_.gateways = &gateways_;
    routes_.dispatchUplink = [this](ReceivedFrame& frame) { record(Route::uplink, frame); };
    routes_.handleJoinRequest = [this](ReceivedFrame& frame) { record(Route::join, frame); };
  }

  void record(Route route, const ReceivedFrame&) {
    routed_.push_back(route);
    // Routes run after the count: the uplink path relies on it.
    countAtDispatch_ = received();
  }

  static ReceivedFrame Received(const Bytes& bytes) {
    ReceivedFrame frame(bytes.data(), bytes.size());
    frame.gatewayEui = kGatewayEui;
    frame.gatewayAddress = Loopback();
    return frame;
  }

  uint32_t received() const {
    return gateways_.find(kGatewayEui)->counter(Gateway::Counter::uplinks);
  }

  GatewayMemoryList gateways_;
  Lora::FrameRoutes routes_;
  std::vector<Route> routed_;
  uint32_t countAtDispatch_ = 0;
};

TEST_F(ClassifyFrameTest, ChecksInOrderThenCountsAndDispatches) {
  Bytes proprietary = DataFrame(0xe0, 0x00);
  Bytes fullOptions = DataFrame(0x40, 0x0f, Bytes(15, 0x03));
  struct Case {
    const char* name;
    Bytes bytes;
    const char* reject;  // nullptr: passes classification
    uint16_t detail;
    Route route;
    bool counted;
    const char* typeName;  // nullptr: no TYPE line
  } cases[] = {
      {"empty", {}, "Frame too short ", 0, Route::none, false, nullptr},
      {"seven bytes", {0x40, 4, 3, 2, 1, 0, 0}, "Frame too short ", 7, Route::none, false, nullptr},
      {"seven bytes, bad version",
       {0x41, 4, 3, 2, 1, 0, 0},
       "Frame too short ",
       7,
       Route::none,
       false,
       nullptr},
      {"12 bytes, FOptsLen 5", DataFrame(0x40, 0x05), "Frame too short ", 12, Route::none, false,
       nullptr},
      {"12 bytes, FOptsLen 4", DataFrame(0x40, 0x04), nullptr, 0, Route::uplink, true,
       "Unconfirmed Up"},
      {"15 option bytes", fullOptions, nullptr, 0, Route::uplink, true, "Unconfirmed Up"},
      {"Major 1", DataFrame(0x41, 0x00, {0x01, 0xaa}), "Incorrect version ", 1, Route::none, false,
       nullptr},
      {"Major 3 on a join request",
       [] {
         Bytes b = JoinRequest();
         b[0] = 0x03;
         return b;
       }(),
       "Incorrect version ", 3, Route::none, false, nullptr},
      {"confirmed up", DataFrame(0x80, 0x20, {0x01}), nullptr, 0, Route::uplink, true,
       "Confirmed Up"},
      {"join request", JoinRequest(), nullptr, 0, Route::join, true, "Join Request"},
      {"join accept", Bytes(17, 0x20), "Unexpected message type", 1, Route::none, true,
       "Join Accept"},
      {"unconfirmed down", DataFrame(0x60, 0x00), "Unexpected message type", 3, Route::none, true,
       "Unconfirmed Down"},
      {"confirmed down", DataFrame(0xa0, 0x00), "Unexpected message type", 5, Route::none, true,
       "Confirmed Down"},
      {"RFU type", DataFrame(0xc0, 0x00), "Unexpected message type", 6, Route::none, true,
       "Unknown Type"},
      {"proprietary", proprietary, "Unexpected message type", 7, Route::none, true, "Unknown Type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    routed_.clear();
    uint32_t before = received();
    ReceivedFrame frame = Received(c.bytes);
    if (c.reject == nullptr) {
      EXPECT_NO_THROW(Lora::ClassifyFrame(frame, routes_));
    } else {
      try {
        Lora::ClassifyFrame(frame, routes_);
        ADD_FAILURE() << "not rejected";
      } catch (const ReceivedFrame::MessageRejectException& e) {
        EXPECT_EQ(e.message, c.reject);
        EXPECT_STREQ(e.what(), c.reject);
        EXPECT_EQ(e.detail, c.detail);
        EXPECT_EQ(Contents(e.frame), c.bytes);
      }
    }
    EXPECT_EQ(received() - before, c.counted ? 1u : 0u);
    if (c.route == Route::none) {
      EXPECT_TRUE(routed_.empty());
    } else {
      ASSERT_EQ(routed_.size(), 1u);
      EXPECT_EQ(routed_[0], c.route);
      EXPECT_EQ(countAtDispatch_, before + 1);
    }
    std::string typeLine = std::string("GW:") + kGatewayText + "|FRAME-RX|TYPE: ";
    if (c.typeName == nullptr) {
      EXPECT_FALSE(log.contains(typeLine)) << log.dump();
    } else {
      EXPECT_TRUE(log.contains(typeLine + c.typeName)) << log.dump();
    }
  }
}

TEST_F(ClassifyFrameTest, RejectionFromDispatchLeavesTheCountStanding) {
  routes_.dispatchUplink = [](ReceivedFrame& frame) {
    throw ReceivedFrame::MessageRejectException("Message received from unknown device 01-02-03-04",
                                                32767, frame);
  };
  ReceivedFrame frame = Received(DataFrame(0x40, 0x00));
  EXPECT_THROW(Lora::ClassifyFrame(frame, routes_), ReceivedFrame::MessageRejectException);
  EXPECT_EQ(received(), 1u);
}

// A frame from a gateway the registry does not know, or with no registry at all, is still
// dispatched; empty routes reach the server's own handlers.
TEST_F(ClassifyFrameTest, CountingIsOptionalAndEmptyRoutesFallBack) {
  ReceivedFrame stranger = Received(DataFrame(0x40, 0x00));
  stranger.gatewayEui = 0x1122334455667788ULL;
  Lora::ClassifyFrame(stranger, routes_);
  routes_.gateways = nullptr;
  ReceivedFrame join = Received(JoinRequest());
  Lora::ClassifyFrame(join, routes_);
  EXPECT_EQ(received(), 0u);
  EXPECT_EQ(routed_, (std::vector<Route>{Route::uplink, Route::join}));

  LogCapture log;
  Lora::FrameRoutes defaults;
  defaults.gateways = &gateways_;
  ReceivedFrame uplink = Received(DataFrame(0x80, 0x00, {0x01}));
  EXPECT_NO_THROW(Lora::ClassifyFrame(uplink, defaults));
  EXPECT_NO_THROW(Lora::ClassifyFrame(join, defaults));
  EXPECT_EQ(received(), 2u);
  EXPECT_EQ(routed_.size(), 2u);
  EXPECT_EQ(log.count(std::string("GW:") + kGatewayText + "|FRAME-RX|TYPE: "), 2u);
}

}  // namespace
