#include "gateway/GatewayMemoryList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "../devices/DeviceRig.h"

namespace {

constexpr uint64_t kEui = 0x0080000000a00f4dULL;

sockaddr_in Address(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(0x0a000007);  // 10.0.0.7
  return address;
}
const sockaddr_in kSender = Address(40001);

GatewayStatus Stat(int second, uint32_t rxnb = 1) {
  GatewayStatus status;
  char time[32];
  snprintf(time, sizeof time, "2026-12-05 19:%02d:%02d GMT", second / 60 % 60, second % 60);
  status.time = time;
  status.rxnb = status.rxok = status.rxfw = rxnb;
  status.ackr = 100;
  return status;
}

// The device rig's database, and only it: the rig's own gateway registry has none.
class GatewayMemoryListTest : public ::testing::Test {
 protected:
  std::string Query(const std::string& sql) { return rig_.Query(sql); }

  devicetest::Rig rig_;
  LoraDatabase* db_ = rig_.database.get();
  testsupport::LogCapture capture_{ZEV::Logger::PrintLevel::WARNING_LEVEL};
};

TEST_F(GatewayMemoryListTest, PullDataRegistersFollowsTheSenderAndReloads) {
  int infoReports = 0;
  GatewayMemoryList::ReportHooks hooks;
  hooks.gatewayInfo = [&](const Gateway&) { ++infoReports; };
  GatewayMemoryList list(db_, {}, false, hooks);
  // Invalid EUIs and a missing sender (PUSH_DATA) never register anything.
  list.seen(0, 2, &kSender, 100);
  list.seen(UINT64_MAX, 2, &kSender, 100);
  list.seen(kEui, 2, nullptr, 100);
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.downlinkAddress(kEui).sin_port, 0);  // "cannot transmit"

  list.seen(kEui, 2, &kSender, 100);
  list.seen(kEui, 1, &kSender, 200);  // a new version from the same address is not reported
  EXPECT_EQ(infoReports, 1);
  const sockaddr_in moved = Address(40099);
  list.seen(kEui, 1, &moved, 300);
  EXPECT_EQ(infoReports, 2);
  EXPECT_EQ(ntohs(list.downlinkAddress(kEui).sin_port), 40099);  // used by the next PULL_RESP
  // The database keeps the address of the first registration, and a restart starts from it.
  EXPECT_EQ(Query("SELECT gateway_eui, ip_address, ip_port, protocol_version FROM gateways;"),
            "00-80-00-00-00-a0-0f-4d|10.0.0.7|40001|2");
  ASSERT_TRUE(db_->AddGateway(kEui + 1, 2, kSender, std::chrono::system_clock::now()));
  Query("UPDATE gateways SET ip_address = 'not an ip' WHERE id = 2;");
  GatewayMemoryList restarted(db_, {}, false);
  EXPECT_EQ(restarted.load(5000), 2u);
  EXPECT_TRUE(capture_.contains("Could not get gw address."));
  EXPECT_EQ(ntohs(restarted.downlinkAddress(kEui).sin_port), 40001);
  EXPECT_EQ(restarted.load(5000), 0u);  // known EUIs are skipped
}

TEST_F(GatewayMemoryListTest, StatusIsAppliedOnceAndPositionAveragedOverTen) {
  GatewayMemoryList list(db_, {}, false);
  list.seen(kEui, 2, &kSender, 0);
  std::shared_ptr<Gateway> gateway = list.find(kEui);
  EXPECT_FALSE(list.applyStatus(kEui + 1, Stat(0)));  // unknown
  ASSERT_TRUE(list.applyStatus(kEui, Stat(0, 5)));
  EXPECT_FALSE(list.applyStatus(kEui, Stat(0, 5)));  // the same status again: nothing
  EXPECT_EQ(gateway->status().rxnb, 5u);
  EXPECT_EQ(Query("SELECT last_seen FROM gateways;"), "2026-12-05 19:00:00.000");

  for (int i = 1; i < 20; ++i) {
    GatewayStatus status = Stat(i);
    status.hasLati = status.hasLong = status.hasAlti = true;
    status.lati = i < 10 ? 50.0 : 1.0;  // samples after the tenth are ignored
    status.lon = -73.0;
    status.alti = 100;
    ASSERT_TRUE(list.applyStatus(kEui, status));
  }
  // The first status had no position members: a zero sample.
  EXPECT_TRUE(gateway->position().valid);
  // Latitude (0 + 9 * 50) / 10.
  EXPECT_EQ(Query("SELECT latitude, longitude, altitude FROM gateways;"), "45.0|-65.7|90.0");
}

TEST_F(GatewayMemoryListTest, CountingPeriodEndsAfter4320Statuses) {
  int statisticsReports = 0;
  GatewayMemoryList::ReportHooks hooks;
  hooks.gatewayStatistics = [&](const Gateway&) { ++statisticsReports; };
  GatewayMemoryList list(nullptr, {}, false, hooks);
  list.seen(kEui, 2, &kSender, 0);
  std::shared_ptr<Gateway> gateway = list.find(kEui);
  gateway->countChannel(3);
  gateway->countCrcError();
  for (uint32_t i = 0; i + 1 < Gateway::kStatusPeriod; ++i) {
    ASSERT_TRUE(list.applyStatus(kEui, Stat(static_cast<int>(i) + 1, 2)));
  }

  gateway->setLastReported(gateway->status());
  ASSERT_TRUE(list.applyStatus(kEui, Stat(100000, 2)));
  // The next report counts from the new period, as it does after the operator's reset.
  EXPECT_EQ(gateway->lastReported().rxnb + gateway->lastReported().crcErrors, 0u);
  gateway->countCrcError();
  gateway->setLastReported(gateway->status());
  gateway->resetCounters();
  EXPECT_EQ(gateway->lastReported().crcErrors, 0u);
  const Gateway::StatusBlock now = gateway->status();
  EXPECT_EQ(now.rxnb + now.channels[3] + now.crcErrors, 0u);
  EXPECT_EQ(now.ackrAverage, 0.0);
  const Gateway::StatusBlock previous = gateway->previousPeriod();
  EXPECT_EQ(previous.rxnb, 2 * Gateway::kStatusPeriod);
  EXPECT_EQ(previous.channels[3], 1u);
  EXPECT_EQ(previous.crcErrors, 1u);
  EXPECT_EQ(statisticsReports, static_cast<int>(Gateway::kStatusPeriod / 15));
}

TEST(GatewayDutyCycle, CreditsStartFullAndRefillAtTheBandRateUpToTheMaximum) {
  GatewayMemoryList list(nullptr, {}, true);
  list.seen(kEui, 2, &kSender, 1000);
  std::shared_ptr<Gateway> gateway = list.find(kEui);
  {
    MutexLock lock(gateway->dutyCycleMutex());
    EXPECT_EQ(gateway->available(0), 3600u);   // 60 minutes at 0.1 %
    EXPECT_EQ(gateway->available(1), 36000u);  // at 1 %
    gateway->use(0, 3600);
    gateway->use(1, 36400);
    EXPECT_EQ(gateway->available(1), 0u);  // never below empty
  }
  list.housekeeping(2000);
  {
    MutexLock lock(gateway->dutyCycleMutex());
    EXPECT_EQ(gateway->available(0), 1u);   // 1 s at 0.1 %
    EXPECT_EQ(gateway->available(1), 10u);  // 1 s at 1 %
  }
  list.housekeeping(2000 + 10ULL * 3600 * 1000);
  MutexLock lock(gateway->dutyCycleMutex());
  EXPECT_EQ(gateway->available(1), 36000u);  // capped at 60 minutes' worth
}

}  // namespace
