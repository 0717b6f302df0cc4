// Joins against a real device list and database. The join accept is opened with OpenSSL's AES and
// CMAC, as a device would, never with the server's own crypto.
#include "devices/JoinHandler.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "../lora/PlanTestSupport.h"
#include "DeviceRig.h"
#include "HttpStub.h"
#include "app/HttpClient.h"
#include "devices/AddressRange.h"
#include "devices/DeviceList.h"
#include "downlink/DownlinkScheduler.h"
#include "downlink/OptionControllers.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "support/RecentList.h"

namespace {

using devicetest::Rig;

const uint8_t kNetworkKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
const uint8_t kListedKey[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
constexpr uint64_t kDevEui = 0x0080000000000001ull;
constexpr uint64_t kJoinEui = 0x70b3d57ed0000001ull;

std::vector<uint8_t> Cmac(const uint8_t* key, const uint8_t* data, size_t length) {
  std::vector<uint8_t> out(16);
  size_t outLength = 0;
  EVP_Q_mac(nullptr, "CMAC", nullptr, "AES-128-CBC", nullptr, key, 16, data, length, out.data(),
            out.size(), &outLength);
  return out;
}

void AesEncrypt(const uint8_t* key, const uint8_t* in, uint8_t* out) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  int n = 0;
  EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, key, nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out, &n, in, 16);
  EVP_CIPHER_CTX_free(ctx);
}

// A device's view of the join accept: AES-encrypt (the network decrypted) block by block.
std::vector<uint8_t> OpenJoinAccept(const uint8_t* key, const Lora::FrameBytes& accept) {
  std::vector<uint8_t> plain(accept.data, accept.data + accept.size());
  for (size_t at = 1; at + 16 <= plain.size(); at += 16) AesEncrypt(key, &plain[at], &plain[at]);
  return plain;
}

class JoinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config["network"]["key"] = "000102030405060708090a0b0c0d0e0f";
    config["lora"]["netID"] = "000013";
    config["lora"]["rx1Delay"] = 1;
    config["lora"]["rx2Datarate"] = 0;
    config["lora"]["rx1DatarateOffset"] = 0;
    range.start = 1;
    range.end = 0x01FFFFFE;
    range.nwkId = 0x13;
    macLinks = MacLinks::From(*eu868->plan, config["lora"], rig.settings);
    SchedulerLinks scheduling;
    scheduling.plan = eu868->plan.get();
    scheduling.settings = &rig.settings;
    scheduling.mac = &macLinks;
    scheduler = std::make_unique<DownlinkScheduler>(scheduling);
    rig.links.scheduler = scheduler.get();
    devices = std::make_unique<DeviceList>(rig.links, [this] { return now.load(); });
    JoinLinks links;
    links.devices = devices.get();
    links.database = rig.database.get();
    links.messages = &rig.messages;
    links.statistics = &rig.statistics;
    links.gateways = &rig.gateways;
    links.plan = eu868->plan.get();
    links.settings = &rig.settings;
    links.config = &config;
    links.addressRange = &range;
    links.recentJoins = &joins;
    links.clockMs = [this] { return now.load(); };
    links.bookWindow = [this](Device&, const Lora::ReceivedFrame&, const JoinWindow& w) {
      booked.push_back(w);
      return acceptWindow == 0 || acceptWindow == w.window;
    };
    links.postJoinServer = [this](const std::string& url, const std::string& body,
                                  Json::Value& response, uint64_t timeoutMs) {
      postTimeoutMs = timeoutMs;
      return http.requestText(url, "POST", body, response, true, timeoutMs);
    };
    handler = std::make_unique<JoinHandler>(links);
  }

  Lora::ReceivedFrame Request(uint16_t nonce, const uint8_t* key = kNetworkKey,
                              uint64_t devEui = kDevEui) {
    Lora::FrameBytes bytes;
    Lora::FrameWriter w(bytes);
    w.U8(0x00).Eui(kJoinEui).Eui(devEui).U16(nonce);
    std::vector<uint8_t> mic = Cmac(key, bytes.data, bytes.size());
    w.Bytes(mic.data(), 4);
    Lora::ReceivedFrame frame(bytes.data, bytes.size());
    frame.gatewayEui = devicetest::kGatewayEui;
    frame.tmst = 1000000;
    frame.frequency = 868100000;
    frame.spreadingFactor = 9;
    frame.receptionTimeMs = now;
    frame.rxpk = R"({"tmst":1000000})";
    return frame;
  }
  // The request handled; the result of the last join recorded, or "".
  std::string Join(Lora::ReceivedFrame frame) {
    handler->handleJoinRequest(frame);
    std::vector<std::string> records = joins.drain();
    if (records.empty()) return "";
    return testsupport::ParseJson(records.back())["result"].asString();
  }
  // The address the database gave the device, or 0.
  uint32_t AddressOf(const char* devEui) {
    uint32_t devAddr = 0;
    EXPECT_TRUE(rig.database->GetAddressFromEui(devEui, devAddr)) << devEui;
    return devAddr;
  }
  std::string LastEvent() {
    const std::string line = rig.Events().back();
    return line.substr(0, line.find(' '));
  }

  Rig rig;
  std::unique_ptr<plantest::TestPlan> eu868 = plantest::MakePlan("EU868");
  Json::Value config;
  AddressRangeConfig range;
  RecentList joins;
  std::atomic<uint64_t> now{100000};
  uint8_t acceptWindow = 0;
  uint64_t postTimeoutMs = 0;
  std::vector<JoinWindow> booked;
  testsupport::HttpStub joinServer;
  HttpClient http{"/nonexistent-ca.pem"};
  MacLinks macLinks;
  std::unique_ptr<DownlinkScheduler> scheduler;
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<JoinHandler> handler;
};

TEST_F(JoinTest, ANonceComesBackOnlyAfterTenMinutesAndTheAddressStays) {
  // A forged MIC takes no nonce from the device.
  EXPECT_EQ(Join(Request(7, kListedKey)), "Server Error");
  EXPECT_EQ(Join(Request(7)), "Success");
  const uint32_t first = AddressOf("00-80-00-00-00-00-00-01");
  devices->FindDevice(first)->transmitController.MacCommands()->adr.Refused(0x06, "");
  now += JoinHandler::kNonceMemoryMs;
  EXPECT_EQ(Join(Request(7)), "Duplicate Dev Nonce");
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::rx_join_dups), 1u);
  now += 1000;
  EXPECT_EQ(Join(Request(7)), "Success");
  EXPECT_EQ(AddressOf("00-80-00-00-00-00-00-01"), first);
  EXPECT_EQ(devices->size(), 1u);
  EXPECT_FALSE(devices->FindDevice(first)->transmitController.MacCommands()->adr.stopped())
      << "a refused LinkADRReq keeps ADR off only until the next join";
}

TEST_F(JoinTest, WhitelistGivesKeyEuiAndClassOrTheRequestIsRefused) {
  config["whitelist"]["enabled"] = true;
  Json::Value entry;
  entry["deveui"] = "0080000000000002";
  entry["appkey"] = "2b7e151628aed2a6abf7158809cf4f3c";
  entry["appeui"] = "1122334455667788";
  entry["class"] = "C";
  config["whitelist"]["devices"].append(entry);

  config["network"]["joinServer"] = joinServer.url();
  // Not listed, and no zero-touch key.
  EXPECT_EQ(Join(Request(1, kListedKey, 0x0080000000000003ull)), "MICFailed");
  EXPECT_EQ(devices->size(), 0u);
  EXPECT_TRUE(joinServer.exchanges().empty()) << "the whitelist decides alone";

  config["lora"]["netID"] = "00000013";  // start-up's eight-digit form of the same NetID
  EXPECT_EQ(Join(Request(1, kListedKey, 0x0080000000000002ull)), "Success");
  const uint32_t devAddr = AddressOf("00-80-00-00-00-00-00-02");
  auto device = devices->FindDevice(devAddr);
  ASSERT_TRUE(device);
  EXPECT_EQ(device->deviceClass, Device::kClassC);
  EXPECT_EQ(device->appEui.text(), "11-22-33-44-55-66-77-88");
  std::vector<uint8_t> plain = OpenJoinAccept(kListedKey, device->transmitController.Front());
  std::vector<uint8_t> mic = Cmac(kListedKey, plain.data(), plain.size() - 4);
  EXPECT_TRUE(std::equal(mic.begin(), mic.begin() + 4, plain.end() - 4));
  EXPECT_EQ(std::vector<uint8_t>(plain.begin() + 4, plain.begin() + 7),
            (std::vector<uint8_t>{0x13, 0, 0}));
  EXPECT_EQ(devAddr >> 25, 0x13u) << "the NwkID of the address matches the accept's NetID";
  device.reset();

  // A device keyed from the base key and salt joins without being listed.
  config["network"]["baseKey"] = "base";
  config["network"]["salt"] = "salt";
  const Lora::CypherKey zeroTouch = ZeroTouchAppKey(Lora::EUI::FromValue(0x0080000000000004ull),
                                                    Lora::EUI::FromValue(kJoinEui), "base", "salt");
  EXPECT_EQ(Join(Request(1, zeroTouch.data, 0x0080000000000004ull)), "Success");
  // Listed without a key: unknown, except that the zero-touch key names it.
  Json::Value keyless;
  keyless["deveui"] = "0080000000000005";
  config["whitelist"]["devices"].append(keyless);
  EXPECT_EQ(Join(Request(1, kListedKey, 0x0080000000000005ull)), "MICFailed");
  config["network"].removeMember("baseKey");
  EXPECT_EQ(Join(Request(2, kListedKey, 0x0080000000000005ull)), "UnknownDevEUI");
}

TEST_F(JoinTest, WindowsFallBackToRx2AndLateOrUnbookableAcceptsAreDropped) {
  acceptWindow = 2;  // RX1 is taken
  Join(Request(1));
  ASSERT_EQ(booked.size(), 2u);
  EXPECT_EQ(booked[0].dueMs, now + 5000 - 250) << "handed over a lead time before RX1";
  EXPECT_EQ(booked[1].tmst, booked[0].tmst + 1000000);
  EXPECT_EQ(booked[1].dueMs, booked[0].dueMs + 1000);
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::tx_joins_2nd_wnd), 1u);

  acceptWindow = 3;  // nothing fits
  booked.clear();
  Join(Request(3, kNetworkKey, 0x0080000000000009ull));
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::tx_joins_dropped), 1u);
  auto device = devices->FindDevice(AddressOf("00-80-00-00-00-00-00-09"));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->transmitController.QueueLength(), 0u)
      << "a join accept that cannot go is not kept";
}

// With the whitelist off, what no local key validates goes to the join server; its answer is
// taken as it stands, in time or not at all.
TEST_F(JoinTest, RemoteJoinServerAnswersAreTakenRefusedOrTooLate) {
  config["whitelist"]["enabled"] = false;
  config["network"]["joinServer"] = joinServer.url();
  auto success = [&](const std::string& extension) {
    joinServer.Answer(200, R"({"Result":{"ResultCode":"Success"},"PHYPayload":"20)" +
                               std::string(32, 'a') +
                               R"(","NwkSKey":{"AESKey":"101112131415161718191a1b1c1d1e1f"},)"
                               R"("AppSKey":{"AESKey":"202122232425262728292a2b2c2d2e2f"},)"
                               R"("VSExtension":)" +
                               extension + "}");
  };
  success(R"({"Object":{"EndDevice":{"ClassType":"C"}}})");
  // The accept going out unchanged and its keys are the end-to-end test's; the class is not.
  EXPECT_EQ(Join(Request(1, kListedKey)), "Success");
  EXPECT_EQ(postTimeoutMs, 5000u + 1000 - 250) << "no longer than an answer can be used";
  EXPECT_EQ(devices->FindDevice(AddressOf("00-80-00-00-00-00-00-01"))->deviceClass,
            Device::kClassC);
  EXPECT_EQ(LastEvent(), "joined");
  success(R"("none")");
  EXPECT_EQ(Join(Request(5, kListedKey)), "Success")
      << "an optional member of the wrong type is left out";

  joinServer.Answer(200, R"({"Result":{"ResultCode":"UnknownDevEUI"}})");
  EXPECT_EQ(Join(Request(2, kListedKey)), "UnknownDevEUI");
  EXPECT_EQ(LastEvent(), "join_rejected");
  using C = NetworkStatistics::Counter;
  uint16_t nonce = 10;
  for (auto [description, counter] : {std::pair{"Gateway not allowed", C::rx_joins_nok_gw},
                                      std::pair{"DevNonce used", C::rx_joins_nok_nonce}}) {
    joinServer.Answer(200, std::string(R"({"Result":{"ResultCode":"JoinReqFailed","Description":")") +
                               description + R"("}})");
    Join(Request(nonce++, kListedKey));
    EXPECT_EQ(rig.statistics.value(counter), 1u) << description;
  }

  joinServer.Answer(200, R"({"Result":{"ResultCode":"Success"}})", [this] { now += 5751; });
  EXPECT_EQ(Join(Request(3, kListedKey)), "Too Late");
  EXPECT_EQ(rig.statistics.value(NetworkStatistics::Counter::rx_joins_too_late), 1u);

  config["network"]["joinServer"] = "http://127.0.0.1:1/unreachable";
  EXPECT_EQ(Join(Request(4, kListedKey)), "Server Error");
}

}  // namespace
