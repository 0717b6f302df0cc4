#include "gateway/GatewayMemoryList.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Database/Lora-Database.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::TempDir;

constexpr uint64_t kEui = 0x0080000000a00f4dULL;

sockaddr_in Address(const char* ip, uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_aton(ip, &address.sin_addr);
  return address;
}

GatewayStatus Stat(int second, uint32_t rxnb = 1) {
  GatewayStatus status;
  char time[32];
  snprintf(time, sizeof time, "2026-12-05 19:%02d:%02d GMT", second / 60 % 60, second % 60);
  status.time = time;
  status.rxnb = rxnb;
  status.rxok = rxnb;
  status.rxfw = rxnb;
  status.dwnb = 1;
  status.txnb = 1;
  status.ackr = 100;
  return status;
}

class GatewayMemoryListTest : public ::testing::Test {
 protected:
  GatewayMemoryListTest() {
    LoraDatabase::Options options;
    options.flashPath = dir_.file("vallorin.db");
    options.runDir = dir_.file("run");
    db_ = std::make_unique<LoraDatabase>(options);
    db_->InitSchema();
  }
  std::string Query(const std::string& sql) {
    SqlDb::Client client(db_->GetConnection());
    db_->GetConnection().Execute(client, sql, true);
    std::string out;
    while (client.Next()) {
      for (size_t i = 0; i < client.Columns(); ++i) {
        if (!out.empty()) out += "|";
        out += client.Value(i);
      }
    }
    return out;
  }

  TempDir dir_;
  LogCapture capture_{ZEV::Logger::PrintLevel::WARNING_LEVEL};
  std::unique_ptr<LoraDatabase> db_;
};

TEST_F(GatewayMemoryListTest, PullDataRegistersAndFollowsTheSender) {
  int infoReports = 0;
  GatewayMemoryList::ReportHooks hooks;
  hooks.gatewayInfo = [&](const Gateway&) { ++infoReports; };
  GatewayMemoryList list(db_.get(), {}, false, hooks);

  // Invalid EUIs and a missing sender (PUSH_DATA) never register anything.
  const sockaddr_in first = Address("10.0.0.7", 40001);
  list.seen(0, 2, &first, 100);
  list.seen(UINT64_MAX, 2, &first, 100);
  list.seen(kEui, 2, nullptr, 100);
  EXPECT_EQ(list.size(), 0u);
  EXPECT_EQ(list.downlinkAddress(kEui).sin_port, 0);  // "cannot transmit"

  list.seen(kEui, 2, &first, 100);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(ntohs(list.downlinkAddress(kEui).sin_port), 40001);
  EXPECT_EQ(list.find(kEui)->lastSeenMs(), 100u);
  EXPECT_EQ(infoReports, 1);

  list.seen(kEui, 2, &first, 200);  // same address: no report
  EXPECT_EQ(infoReports, 1);
  const sockaddr_in moved = Address("10.0.0.7", 40099);
  list.seen(kEui, 1, &moved, 300);
  EXPECT_EQ(ntohs(list.downlinkAddress(kEui).sin_port), 40099);  // used by the next PULL_RESP
  EXPECT_EQ(list.find(kEui)->protocolVersion(), 1);
  EXPECT_EQ(infoReports, 2);
  // The database keeps the address of the first registration.
  EXPECT_EQ(Query("SELECT gateway_eui, ip_address, ip_port, protocol_version FROM gateways;"),
            "00-80-00-00-00-a0-0f-4d|10.0.0.7|40001|2");
  EXPECT_EQ(Query("SELECT COUNT(*) FROM gateway_statistics;"), "1");

  // A fresh registry knows the gateway at start-up, at its first address.
  GatewayMemoryList restarted(db_.get(), {}, false);
  EXPECT_EQ(restarted.load(5000), 1u);
  std::shared_ptr<Gateway> loaded = restarted.find(kEui);
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->euiText(), "00-80-00-00-00-a0-0f-4d");
  EXPECT_EQ(loaded->protocolVersion(), 2);
  const sockaddr_in address = restarted.downlinkAddress(kEui);
  EXPECT_EQ(ntohs(address.sin_port), 40001);
  EXPECT_EQ(address.sin_addr.s_addr, first.sin_addr.s_addr);
  EXPECT_EQ(restarted.load(5000), 0u);  // known EUIs are skipped
}

TEST_F(GatewayMemoryListTest, LoadWarnsAboutUnreadableAddresses) {
  const sockaddr_in address = Address("10.0.0.7", 1);
  ASSERT_TRUE(db_->AddGateway(kEui, 2, address, std::chrono::system_clock::now()));
  ASSERT_TRUE(db_->AddGateway(kEui + 1, 2, address, std::chrono::system_clock::now()));
  Query("UPDATE gateways SET ip_address = 'not an ip' WHERE id = 2;");
  GatewayMemoryList list(db_.get(), {}, false);
  EXPECT_EQ(list.load(0), 2u);
  EXPECT_TRUE(capture_.contains("Could not get gw address."));
  EXPECT_EQ(list.all().front()->eui(), kEui);  // sorted by EUI
}

TEST_F(GatewayMemoryListTest, StatusIsAppliedOnceAndPositionAveragedOverTen) {
  GatewayMemoryList list(db_.get(), {}, false);
  const sockaddr_in sender = Address("10.0.0.7", 40001);
  list.seen(kEui, 2, &sender, 0);
  std::shared_ptr<Gateway> gateway = list.find(kEui);

  EXPECT_FALSE(list.applyStatus(kEui + 1, Stat(0)));  // unknown
  ASSERT_TRUE(list.applyStatus(kEui, Stat(0, 5)));
  EXPECT_FALSE(list.applyStatus(kEui, Stat(0, 5)));  // the same status again: nothing
  Gateway::StatusBlock block = gateway->status();
  EXPECT_EQ(block.rxnb, 5u);
  EXPECT_DOUBLE_EQ(block.ackrAverage, 0.5);  // (100 / 100 + 0) * 0.5
  EXPECT_EQ(gateway->statusCount(), 1u);
  EXPECT_EQ(gateway->positionSamples(), 1u);  // no position members: a zero sample
  EXPECT_EQ(Query("SELECT last_seen FROM gateways;"), "2026-12-05 19:00:00.000");
  EXPECT_EQ(Query("SELECT rx_count, ack_rate FROM gateway_statistics;"), "5|0.5");

  for (int i = 1; i < 20; ++i) {
    GatewayStatus status = Stat(i);
    status.hasLati = status.hasLong = status.hasAlti = true;
    status.lati = i < 10 ? 50.0 : 1.0;  // samples after the tenth are ignored
    status.lon = -73.0;
    status.alti = 100;
    ASSERT_TRUE(list.applyStatus(kEui, status));
  }
  const Gateway::Position position = gateway->position();
  ASSERT_TRUE(position.valid);
  EXPECT_DOUBLE_EQ(position.latitude, 45.0);  // (0 + 9 * 50) / 10
  EXPECT_DOUBLE_EQ(position.longitude, -65.7);
  EXPECT_DOUBLE_EQ(position.altitude, 90.0);
  EXPECT_EQ(Query("SELECT latitude, longitude, altitude FROM gateways;"), "45.0|-65.7|90.0");
  EXPECT_EQ(gateway->status().rxnb, 5u + 19u);
}

TEST_F(GatewayMemoryListTest, CountingPeriodEndsAfter4320Statuses) {
  int statisticsReports = 0;
  GatewayMemoryList::ReportHooks hooks;
  hooks.gatewayStatistics = [&](const Gateway&) { ++statisticsReports; };
  GatewayMemoryList list(nullptr, {}, false, hooks);
  const sockaddr_in sender = Address("10.0.0.7", 40001);
  list.seen(kEui, 2, &sender, 0);
  std::shared_ptr<Gateway> gateway = list.find(kEui);
  gateway->countChannel(3);
  gateway->countChannel(10);  // not an IF channel
  gateway->countCrcError();
  gateway->count(Gateway::Counter::uplinks_ok);

  for (uint32_t i = 0; i + 1 < Gateway::kStatusPeriod; ++i) {
    ASSERT_TRUE(list.applyStatus(kEui, Stat(static_cast<int>(i) + 1, 2)));
  }
  EXPECT_EQ(gateway->statusCount(), Gateway::kStatusPeriod - 1);
  EXPECT_EQ(gateway->status().rxnb, 2 * (Gateway::kStatusPeriod - 1));

  ASSERT_TRUE(list.applyStatus(kEui, Stat(100000, 2)));
  EXPECT_EQ(gateway->statusCount(), 0u);
  const Gateway::StatusBlock now = gateway->status();
  EXPECT_EQ(now.rxnb, 0u);
  EXPECT_EQ(now.ackrAverage, 0.0);
  EXPECT_EQ(now.channels[3], 0u);
  EXPECT_EQ(now.crcErrors, 0u);
  const Gateway::StatusBlock previous = gateway->previousPeriod();
  EXPECT_EQ(previous.rxnb, 2 * Gateway::kStatusPeriod);
  EXPECT_EQ(previous.channels[3], 1u);
  EXPECT_EQ(previous.crcErrors, 1u);
  EXPECT_EQ(previous.counters[static_cast<size_t>(Gateway::Counter::uplinks_ok)], 1u);
  EXPECT_EQ(statisticsReports, static_cast<int>(Gateway::kStatusPeriod / 15));
}

TEST_F(GatewayMemoryListTest, RemovedRecordStaysValidForItsHolder) {
  GatewayMemoryList list(db_.get(), {}, false);
  const sockaddr_in sender = Address("10.0.0.7", 40001);
  list.seen(kEui, 2, &sender, 0);
  std::shared_ptr<Gateway> held = list.find(kEui);
  ASSERT_TRUE(held);
  EXPECT_TRUE(list.remove(kEui));
  EXPECT_FALSE(list.remove(kEui));
  EXPECT_FALSE(list.find(kEui));
  EXPECT_EQ(list.downlinkAddress(kEui).sin_port, 0);
  EXPECT_FALSE(list.applyStatus(kEui, Stat(1)));
  // The holder keeps working on its record (AddressSanitizer would catch a freed one).
  held->countChannel(2);
  EXPECT_EQ(held->channelCount(2), 1u);
  EXPECT_EQ(ntohs(held->downlinkAddress().sin_port), 40001);
}

TEST(GatewayDutyCycle, CreditsRefillAtTheBandRateUpToTheMaximum) {
  struct Case {
    const char* name;
    uint32_t frequencyEU;
    uint32_t band0Divisor;
  } cases[] = {
      {"default band 0 at 0.1 %", 0, 1000},
      {"866 MHz band 0 at 1 %", 866000000, 100},
      {"lower edge is outside", 865499999, 1000},
      {"upper edge is outside", 867500001, 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Gateway::DutyCycleSettings settings;
    settings.frequencyEU = c.frequencyEU;
    GatewayMemoryList list(nullptr, settings, true);
    const sockaddr_in sender = Address("10.0.0.7", 1);
    list.seen(kEui, 2, &sender, 1000);
    std::shared_ptr<Gateway> gateway = list.find(kEui);
    EXPECT_EQ(gateway->divisor(0), c.band0Divisor);
    EXPECT_EQ(gateway->maximum(1), 36000u);  // 60 minutes at 1 %
    list.housekeeping(2000);
    {
      MutexLock lock(gateway->dutyCycleMutex());
      EXPECT_EQ(gateway->available(0), 1000u / c.band0Divisor);
      EXPECT_EQ(gateway->available(1), 10u);
      EXPECT_EQ(gateway->available(2), 100u);
      gateway->use(1, 4);
      EXPECT_EQ(gateway->available(1), 6u);
      gateway->use(1, 400);
      EXPECT_EQ(gateway->available(1), 0u);  // never below empty
    }
    list.housekeeping(2000 + 10ULL * 3600 * 1000);
    MutexLock lock(gateway->dutyCycleMutex());
    EXPECT_EQ(gateway->available(1), 36000u);
    EXPECT_EQ(gateway->available(2), 360000u);
  }

  // Without a duty cycle in the plan nothing is refilled.
  GatewayMemoryList off(nullptr, {}, false);
  const sockaddr_in sender = Address("10.0.0.7", 1);
  off.seen(kEui, 2, &sender, 0);
  off.housekeeping(100000);
  std::shared_ptr<Gateway> gateway = off.find(kEui);
  MutexLock lock(gateway->dutyCycleMutex());
  EXPECT_EQ(gateway->available(1), 0u);
}

}  // namespace
