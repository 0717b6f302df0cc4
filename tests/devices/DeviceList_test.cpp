#include "devices/DeviceList.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <thread>

#include "DeviceRig.h"

namespace {

using devicetest::Rig;
using testsupport::LogCapture;

class DeviceListTest : public ::testing::Test {
 protected:
  DeviceList& List() {
    if (!list_) list_ = std::make_unique<DeviceList>(rig_.links, [this] { return now_; });
    return *list_;
  }
  void Add(uint32_t devAddr) {
    ASSERT_TRUE(List().AddDevice(rig_.MakeDevice(devAddr, now_), false));
  }
  bool Expired(uint32_t devAddr) {
    auto device = List().FindDevice(devAddr);
    return device && device->IsExpired();
  }
  void StoreSession(uint32_t devAddr, const std::string& eui, uint32_t up, uint32_t down,
                    const char* deviceClass) {
    LoraDatabase::NewSession s;
    s.devAddr = devAddr;
    s.deviceEui = eui;
    s.appEui = devicetest::kAppEui;
    s.joinEui = devicetest::kAppEui;
    s.nwkSKey = devicetest::Key(0x10).text();
    s.appSKey = devicetest::Key(0x20).text();
    s.upCounter = up;
    s.downCounter = down;
    s.deviceClass = deviceClass;
    ASSERT_TRUE(rig_.database->AddDeviceWithSession(s));
  }
  void QueueRow(const std::string& eui, const char* base64, int port, bool ack = false) {
    Json::Value m;
    m["deveui"] = eui;
    m["data"] = base64;
    m["data_size"] = 3;
    m["port"] = port;
    m["ack"] = ack;
    ASSERT_GT(rig_.database->QueueDownlink(m), 0);
  }

  Rig rig_;
  uint64_t now_ = 1000;
  std::unique_ptr<DeviceList> list_;
};

// The time thread reads its clock, then waits for the device a packet worker holds: the uplink it
// handled meanwhile is newer than the sweep's now, and must not read as a silence of 2^64 ms.
// A session restored soon after boot, silent for longer than the clock has run, has its last
// uplink before the clock's zero (the time wraps, as a restore leaves it): that silence counts.
TEST_F(DeviceListTest, LeasesRunOutOnlyWhenLongEnoughAndAfterTheFullSilence) {
  struct Case {
    const char* name;
    uint64_t leaseMs;
    int64_t lastUplinkMs;  // both from the list's clock at 1000 ms
    int64_t sweepMs;
    bool expired;
  } cases[] = {
      {"leases under a minute never run out", 30000, 0, 61000, false},
      {"a minute's lease, silent 61 s", 60000, 0, 61000, true},
      {"a minute's lease, silent exactly 60 s", 60000, 0, 60000, false},
      {"no lease", 0, 0, 1000000000, false},
      {"an uplink newer than the sweep's clock", 60000, 0, -5, false},
      {"a restored uplink before the clock's zero", 60000, -70000, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list_.reset();
    rig_.settings.deviceLeaseTimeMs = c.leaseMs;
    List().RemoveDevice(0x26000001);
    Add(0x26000001);
    List().FindDevice(0x26000001)->lastUplinkMs = now_ + static_cast<uint64_t>(c.lastUplinkMs);
    List().SweepDevices(1, now_ + static_cast<uint64_t>(c.sweepMs));
    EXPECT_EQ(c.expired, Expired(0x26000001));
  }
}

TEST_F(DeviceListTest, TheSweepVisitsDevicesInTurnAndDeletesLongExpiredOnes) {
  rig_.settings.deviceLeaseTimeMs = 60000;
  for (uint32_t a : {0x26000003u, 0x26000001u, 0x26000002u}) Add(a);
  // One device a sweep of one, in address order, wrapping.
  List().SweepDevices(1, now_ + 61000);
  EXPECT_TRUE(Expired(0x26000001));
  EXPECT_FALSE(Expired(0x26000002));
  List().SweepDevices(2, now_ + 61000);
  EXPECT_TRUE(Expired(0x26000002));
  EXPECT_TRUE(Expired(0x26000003));

  LogCapture log;
  List().SweepDevices(3, now_ + DeviceList::kExpiredDeviceAgeMs);
  EXPECT_EQ(3u, List().size());
  List().SweepDevices(2, now_ + DeviceList::kExpiredDeviceAgeMs + 1);
  EXPECT_EQ(1u, List().size());
  EXPECT_EQ(2u, log.count("Device deleted"));
  List().SweepDevices(5, now_ + DeviceList::kExpiredDeviceAgeMs + 1);  // n above the size
  EXPECT_EQ(0u, List().size());
  EXPECT_EQ("0", rig_.Query("SELECT COUNT(*) FROM sessions;"));
}

TEST_F(DeviceListTest, AddDeviceStoresTheSessionAndKeepsOrReplacesAHeldAddress) {
  auto first = rig_.MakeDevice(0x26000001, now_);
  first->nextDownCounter = 5;
  first->deviceClass = Device::kClassB;
  ASSERT_TRUE(List().AddDevice(std::move(first), false));
  EXPECT_EQ("0|4|B", rig_.Query("SELECT up_counter, nwk_down_counter, class FROM sessions "
                                "JOIN end_devices ON end_devices.id = sessions.device_id;"));

  auto second = rig_.MakeDevice(0x26000001, now_);
  second->upCounter = 99;
  EXPECT_FALSE(List().AddDevice(std::move(second), false));
  EXPECT_EQ(0u, List().FindDevice(0x26000001)->upCounter);

  auto third = rig_.MakeDevice(0x26000001, now_);
  third->upCounter = 77;
  EXPECT_TRUE(List().AddDevice(std::move(third), true));
  EXPECT_EQ(77u, List().FindDevice(0x26000001)->upCounter);
  EXPECT_EQ(1u, List().size());
}

TEST_F(DeviceListTest, LoadDevicesRestoresSessionsInRangeWithTheirQueuedDownlinks) {
  rig_.settings.deviceQueueSize = 2;
  const std::string other = "00-00-00-00-00-00-00-02";
  StoreSession(0x26000010, devicetest::kDevEui, 300, 41, "C");
  StoreSession(0x00000011, other, 0, 0, "A");  // NwkID 0: not this network's
  QueueRow(devicetest::kDevEui, "AQID", 5);
  QueueRow(devicetest::kDevEui, "!!!", 5);
  QueueRow(devicetest::kDevEui, "BgA=", 0);
  QueueRow(devicetest::kDevEui, "AQID", 6);  // one more than the queue holds
  Json::Value config;
  config["addressRange"]["start"] = "00000001";
  config["addressRange"]["end"] = "01FFFFFE";
  config["lora"]["netID"] = "000013";

  LogCapture log;
  EXPECT_EQ(1u, List().LoadDevices(AddressRangeConfig::FromConfig(config)));
  EXPECT_TRUE(log.contains("Deleting saved device 00:00:00:11, address out of range"));
  EXPECT_EQ("637534224", rig_.Query("SELECT dev_addr FROM sessions;"));
  EXPECT_TRUE(log.contains("Dropping downstream message - Unable parse 'data' as base64"));
  EXPECT_TRUE(log.contains("|QUEUE-TX|MAC Command: 0600"));
  EXPECT_TRUE(log.contains("ED:00-80-00-00-00-00-e1-9c|QUEUE-FULL|Dropping downstream message"));
  EXPECT_EQ((std::vector<std::string>{"queue_full "}), rig_.Events());

  auto device = List().FindDevice(0x26000010);
  ASSERT_TRUE(device);
  EXPECT_EQ(devicetest::Key(0x20).text(), device->appSKey.text());
  EXPECT_EQ(300u, device->upCounter);
  EXPECT_EQ(42u, device->nextDownCounter);
  EXPECT_EQ(Device::kClassC, device->deviceClass);
  EXPECT_FALSE(device->uplinkSeen);
  EXPECT_EQ(now_, device->lastUplinkMs);  // no uplink rows: seen at start-up
  ASSERT_EQ(2u, device->transmitController.QueueLength());
  const Lora::FrameApplicationData& front = device->transmitController.Front();
  EXPECT_EQ(5, front.port);
  EXPECT_EQ(3u, front.size());
  EXPECT_EQ(0x03, front.data[2]);
  EXPECT_EQ(1u, front.id);
}

TEST_F(DeviceListTest, AnUplinkForAStoredSessionRestoresTheDeviceOnDemand) {
  StoreSession(0x26000010, devicetest::kDevEui, 12, 3, "A");
  QueueRow(devicetest::kDevEui, "AQID", 5, true);
  // Three of its eight transmissions were made before the restart.
  ASSERT_TRUE(rig_.database->UpdateQueuedDownlinkRetries(1, 3));
  EXPECT_FALSE(List().RestoreDevice(0x26000099));

  LogCapture log;
  {
    auto device = List().RestoreDevice(0x26000010);
    ASSERT_TRUE(device);
    EXPECT_EQ(12u, device->upCounter);
    EXPECT_EQ(4u, device->nextDownCounter);
    ASSERT_EQ(1u, device->transmitController.QueueLength());
    EXPECT_EQ(5, device->transmitController.Front().attempts);
    bool lockedElsewhere = false;
    std::thread other([&]() NO_THREAD_SAFETY_ANALYSIS {
      lockedElsewhere = !device->mutex().try_lock();
      if (!lockedElsewhere) device->mutex().unlock();
    });
    other.join();
    EXPECT_TRUE(lockedElsewhere);  // handed over locked
  }
  EXPECT_TRUE(log.contains("Joined Device was not found in memory, restoring from database"));
  EXPECT_TRUE(List().HasDevice(0x26000010));
  // A second restore finds the device already there instead of making another.
  Device* present = List().FindDevice(0x26000010).get();
  EXPECT_EQ(present, List().RestoreDevice(0x26000010).get());
  EXPECT_EQ(1u, List().size());
}

TEST_F(DeviceListTest, JoinsAtTheSameMomentNeverShareAnAddress) {
  AddressRangeConfig range;
  range.start = 1;
  range.end = 61;  // 60 addresses for 60 devices: every late draw collides
  LogCapture quiet(10);
  DeviceList& list = List();
  std::vector<std::thread> joins;
  for (int t = 0; t < 3; ++t) {
    joins.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(list.AddNewDevice(range, "eui", [](Device& d) {
          d.devEui = Lora::EUI::FromValue(d.devAddr());  // one session row per device
        }));
      }
    });
  }
  for (auto& j : joins) j.join();
  EXPECT_EQ(60u, list.size());
  EXPECT_EQ("60", rig_.Query("SELECT COUNT(DISTINCT dev_addr) FROM sessions;"));
}

}  // namespace
