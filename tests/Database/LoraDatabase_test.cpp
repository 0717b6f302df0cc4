#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>

#include "Database/Lora-Database.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::TempDir;

constexpr uint32_t kAddr = 0x26011bd4;
const char* const kEui = "00-80-00-00-00-00-e1-9c";

// SQL on a database file through a connection of its own; rows as "a|b" joined by ";".
std::string QueryFile(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  std::string out;
  char* error = nullptr;
  sqlite3_exec(
      db, sql.c_str(),
      [](void* context, int columns, char** values, char**) {
        auto* text = static_cast<std::string*>(context);
        if (!text->empty()) text->append(";");
        for (int i = 0; i < columns; ++i) {
          if (i > 0) text->append("|");
          text->append(values[i] != nullptr ? values[i] : "NULL");
        }
        return 0;
      },
      &out, &error);
  if (error != nullptr) out = std::string("error: ") + error;
  sqlite3_free(error);
  sqlite3_close(db);
  return out;
}

class LoraDatabaseTest : public ::testing::Test {
 protected:
  LoraDatabase::Options Options() const {
    LoraDatabase::Options options;
    options.flashPath = dir_.file("vallorin.db");
    options.runDir = dir_.file("run");
    options.whitelistFile = dir_.file("whitelist.jsonlines");
    options.netId = 0x13;
    return options;
  }
  // Opens (and closes any previous instance first, so the run-time copy is reloaded).
  LoraDatabase& Open() {
    db_.reset();
    db_ = std::make_unique<LoraDatabase>(Options());
    return *db_;
  }
  LoraDatabase& OpenInitialised() {
    Open();
    EXPECT_TRUE(db_->InitSchema());
    return *db_;
  }
  std::string Runtime(const std::string& sql) {
    return QueryFile(dir_.file("run/vallorin.db"), sql);
  }
  std::string Flash(const std::string& sql) { return QueryFile(dir_.file("vallorin.db"), sql); }

  void AddDevice(uint32_t devAddr, const std::string& eui) {
    LoraDatabase::NewSession session;
    session.devAddr = devAddr;
    session.deviceEui = eui;
    session.joinEui = "01-02-03-04-05-06-07-08";
    session.appEui = session.joinEui;
    session.nwkSKey = "2b7e151628aed2a6abf7158809cf4f3c";
    session.appSKey = "000102030405060708090a0b0c0d0e0f";
    ASSERT_TRUE(db_->AddDeviceWithSession(session));
  }

  TempDir dir_;
  LogCapture capture_;
  std::unique_ptr<LoraDatabase> db_;
};

TEST_F(LoraDatabaseTest, FreshFileGetsVersion17AndOneZeroStatisticsRow) {
  testsupport::WriteFile(dir_.file("whitelist.jsonlines"), "{\"deveui\":\"from before\"}\n");
  LoraDatabase& db = OpenInitialised();
  EXPECT_TRUE(capture_.contains("Database version: 0"));
  EXPECT_TRUE(capture_.contains("Latest version:   17"));
  EXPECT_TRUE(capture_.contains("Creating database"));
  EXPECT_EQ(Runtime("SELECT version FROM schema;"), "17");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM network_statistics;"), "1");
  LoraDatabase::StatsClient stats(db);
  ASSERT_TRUE(db.GetNetworkStatistics(stats));
  ASSERT_TRUE(stats.Next());
  for (uint32_t value : stats.record().values) EXPECT_EQ(value, 0u);
  SqlDb::Timestamp created;
  EXPECT_TRUE(SqlDb::ParseTimestamp(stats.record().createdAt, created)) << stats.record().createdAt;
  // SQLite's own CURRENT_TIMESTAMP: whole seconds, no fraction.
  EXPECT_EQ(Runtime("SELECT created_at GLOB '[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9] "
                    "[0-9][0-9]:[0-9][0-9]:[0-9][0-9]' FROM network_statistics;"),
            "1");
  EXPECT_EQ(Runtime("SELECT name FROM sqlite_master WHERE type = 'table' AND name IN "
                    "('ranges', 'gateway_statistics', 'groups') ORDER BY name;"),
            "gateway_statistics;groups;ranges");
  // Nothing carried over, so the whitelist file lists nothing, and no query of the older layout
  // was tried.
  EXPECT_EQ(testsupport::ReadFile(dir_.file("whitelist.jsonlines")), "");
  EXPECT_FALSE(capture_.contains("no such table: nodes"));
}

// The schema script fails (an index of that name already belongs to another table): the previous
// tables stay as they were, and devices with the invalid address are still removed from them.
TEST_F(LoraDatabaseTest, FailedCreationKeepsOldTablesAndStillRemovesBadDevices) {
  {
    LoraDatabase& db = OpenInitialised();
    AddDevice(LoraDatabase::kInvalidDevAddr, kEui);
    AddDevice(kAddr, "00-00-00-00-00-00-00-01");
    ASSERT_TRUE(db.Backup(true));
  }
  ASSERT_EQ(Flash("UPDATE schema SET version = '16'; DROP INDEX gateway_eui; "
                  "CREATE TABLE other (x); CREATE INDEX gateway_eui ON other (x);"),
            "");
  capture_.clear();
  Open();
  EXPECT_FALSE(db_->InitSchema());
  EXPECT_TRUE(capture_.contains("Creating database"));
  EXPECT_TRUE(capture_.contains("SQL Query failed to update create database"));
  EXPECT_EQ(Runtime("SELECT version FROM schema;"), "16");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sqlite_master WHERE name = 'other';"), "1");
  EXPECT_EQ(Runtime("SELECT device_eui FROM end_devices;"), "00-00-00-00-00-00-00-01");
  EXPECT_EQ(Runtime("SELECT dev_addr FROM sessions;"), std::to_string(kAddr));
}

TEST_F(LoraDatabaseTest, Version17IsKeptAndSavesNothingWhenUnchanged) {
  {
    LoraDatabase& db = OpenInitialised();
    AddDevice(LoraDatabase::kInvalidDevAddr, kEui);  // would be cleaned up by an upgrade
    ASSERT_TRUE(db.Backup(true));
  }
  const std::string before = testsupport::ReadFile(dir_.file("vallorin.db"));
  capture_.clear();
  LoraDatabase& db = OpenInitialised();
  EXPECT_TRUE(capture_.contains("Database version: 17"));
  EXPECT_FALSE(capture_.contains("Creating database"));
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM end_devices;"), "1");  // no bad-device cleanup
  capture_.clear();
  EXPECT_TRUE(db.Backup(false));
  EXPECT_TRUE(capture_.contains("DB not dirty"));
  EXPECT_EQ(testsupport::ReadFile(dir_.file("vallorin.db")), before);

  // A change after the load survives a save and a new open.
  ASSERT_TRUE(db.UpdateUpCounter(LoraDatabase::kInvalidDevAddr, 77));
  ASSERT_TRUE(db.Backup(false));
  LoraDatabase& again = OpenInitialised();
  LoraDatabase::SessionClient session(again);
  ASSERT_TRUE(again.GetSession(LoraDatabase::kInvalidDevAddr, session));
  ASSERT_TRUE(session.Next());
  EXPECT_EQ(session.record().upCounter, 77u);
}

TEST_F(LoraDatabaseTest, OlderVersionsAreRecreatedAndBadDevicesRemoved) {
  struct Case {
    const char* name;
    const char* setup;
    bool recreated;
  } cases[] = {
      {"version 16", "CREATE TABLE schema (version CHAR[5]); INSERT INTO schema VALUES ('16');",
       true},
      {"no version row", "CREATE TABLE schema (version CHAR[5]);", true},
      {"version 18", "CREATE TABLE schema (version CHAR[5]); INSERT INTO schema VALUES ('18');",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_.reset();
    std::remove(dir_.file("vallorin.db").c_str());
    {
      LoraDatabase& db = OpenInitialised();  // a full version-17 layout with a bad device
      AddDevice(LoraDatabase::kInvalidDevAddr, kEui);
      AddDevice(kAddr, "00-00-00-00-00-00-00-01");
      ASSERT_TRUE(db.Backup(true));
    }
    ASSERT_EQ(Flash(std::string("DROP TABLE schema; ") + c.setup), "");
    capture_.clear();
    OpenInitialised();
    EXPECT_EQ(capture_.contains("Creating database"), c.recreated);
    if (c.recreated) {
      EXPECT_EQ(Runtime("SELECT version FROM schema;"), "17");
      EXPECT_EQ(Runtime("SELECT COUNT(*) FROM end_devices;"), "0");
    } else {
      // Kept, but the device with the invalid address is gone with its session.
      EXPECT_EQ(Runtime("SELECT device_eui FROM end_devices;"), "00-00-00-00-00-00-00-01");
      EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sessions;"), "1");
    }
  }
}

TEST_F(LoraDatabaseTest, OlderLayoutIsCarriedOverWithWhitelist) {
  testsupport::WriteFile(dir_.file("whitelist.jsonlines"), "stale line\n");
  ASSERT_EQ(
      Flash("CREATE TABLE nodes (address, appeui, deveui, authenticationkey, encryptionkey, "
            "lastdownmsgseqno, lastmessagems, jointime, class); "
            "CREATE TABLE packets (node, seqno); CREATE TABLE appkeys (deveui, appeui, appkey); "
            "CREATE TABLE statistics (x); "
            "INSERT INTO nodes VALUES ('26:01:1b:d4', '01-02-03-04-05-06-07-08', "
            "'00-80-00-00-00-00-e1-9c', '2B7E151628AED2A6ABF7158809CF4F3C', "
            "'000102030405060708090a0b0c0d0e0f', 9, 0, '', 'C'); "
            "INSERT INTO nodes VALUES (42, '0102030405060708', '0000000000000002', "
            "'11111111111111111111111111111111', '22222222222222222222222222222222', 0, 0, "
            "'', 'A'); "
            "INSERT INTO packets VALUES ('26:01:1b:d4', 5), ('26:01:1b:d4', 5), (42, 0); "
            "INSERT INTO appkeys VALUES ('00-80-00-00-00-00-e1-9c', "
            "'01-02-03-04-05-06-07-08', 'AABBCCDDEEFF00112233445566778899');"),
      "");
  OpenInitialised();
  EXPECT_EQ(Runtime("SELECT d.device_eui, d.class, s.dev_addr, s.join_eui, s.net_id, "
                    "s.fnwk_sint_key, s.up_counter, s.nwk_down_counter FROM sessions s JOIN "
                    "end_devices d ON d.id = s.device_id ORDER BY s.dev_addr;"),
            "00-00-00-00-00-00-00-02|A|42|01-02-03-04-05-06-07-08|19|"
            "11111111111111111111111111111111|1|0;"
            "00-80-00-00-00-00-e1-9c|C|637606868|01-02-03-04-05-06-07-08|19|"
            "2b7e151628aed2a6abf7158809cf4f3c|6|9");
  EXPECT_EQ(testsupport::ReadFile(dir_.file("whitelist.jsonlines")),
            "{\"deveui\":\"008000000000e19c\",\"appeui\":\"0102030405060708\","
            "\"appkey\":\"aabbccddeeff00112233445566778899\",\"class\":\"C\"}\n"
            "{\"deveui\":\"0000000000000002\",\"appeui\":\"0102030405060708\","
            "\"appkey\":\"\",\"class\":\"A\"}\n");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('nodes', 'packets', "
                    "'appkeys', 'statistics');"),
            "0");
}

// Older tables whose device query cannot run (no packets table) carry nothing over, but are
// dropped all the same and leave an empty whitelist.
TEST_F(LoraDatabaseTest, IncompleteOlderLayoutIsDroppedWithEmptyWhitelist) {
  testsupport::WriteFile(dir_.file("whitelist.jsonlines"), "stale line\n");
  ASSERT_EQ(Flash("CREATE TABLE nodes (address, appeui, deveui); CREATE TABLE network (x); "
                  "INSERT INTO nodes VALUES (42, '0102030405060708', '0000000000000002');"),
            "");
  OpenInitialised();
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM end_devices;"), "0");
  EXPECT_EQ(testsupport::ReadFile(dir_.file("whitelist.jsonlines")), "");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('nodes', 'network');"), "0");
}

TEST_F(LoraDatabaseTest, DevicesAndSessionsRoundTrip) {
  LoraDatabase& db = OpenInitialised();
  AddDevice(kAddr, "008000000000E19C");  // stored in the canonical text
  LoraDatabase::NewSession again;
  again.devAddr = kAddr;
  again.deviceEui = "00-00-00-00-00-00-00-09";
  EXPECT_FALSE(db.AddDeviceWithSession(again));  // address taken: not written, not an error
  EXPECT_FALSE(capture_.contains("SQL Query failed"));

  uint32_t found = 0;
  ASSERT_TRUE(db.GetAddressFromEui("00:80:00:00:00:00:e1:9c", found));
  EXPECT_EQ(found, kAddr);
  EXPECT_GE(db.GetDeviceId(kEui), 1);
  EXPECT_EQ(db.GetDeviceId("00-00-00-00-00-00-00-09"), -1);

  ASSERT_TRUE(db.UpdateDownCounter(kAddr, 12));
  ASSERT_TRUE(db.UpdateDeviceClass(kAddr, "B"));
  ASSERT_TRUE(db.UpdateJoinTime(kAddr, SqlDb::Timestamp(std::chrono::seconds(1796497306))));
  EXPECT_EQ(Runtime("SELECT class, jointime FROM end_devices;"), "B|2026-12-05 19:01:46.000");

  LoraDatabase::UplinkPacketRecord up;
  up.devAddr = kAddr;
  up.messageType = 2;
  up.rxTime = SqlDb::Timestamp(std::chrono::seconds(1796497306));
  ASSERT_GT(db.AddUplinkPacket(up), 0);

  LoraDatabase::DeviceSessionClient sessions(db);
  sessions.SetNow(SqlDb::Timestamp(std::chrono::seconds(1796497306)));
  ASSERT_TRUE(db.GetDeviceSessions(sessions));
  ASSERT_TRUE(sessions.Next());
  const auto& r = sessions.record();
  EXPECT_EQ(r.devAddr, kAddr);
  EXPECT_EQ(r.deviceEui, kEui);
  EXPECT_EQ(r.nwkSKey, "2b7e151628aed2a6abf7158809cf4f3c");
  EXPECT_EQ(r.nwkDownCounter, 12u);
  EXPECT_EQ(r.deviceClass, "B");
  EXPECT_FALSE(r.lastSeenText.empty());
  EXPECT_FALSE(sessions.Next());

  // NULL columns read as empty texts.
  LoraDatabase::SessionClient session(db);
  ASSERT_TRUE(db.GetSession(kAddr, session));
  ASSERT_TRUE(session.Next());
  EXPECT_EQ(session.record().sNwkSIntKey, "");
  EXPECT_EQ(session.record().jsIntKey, "");
  EXPECT_EQ(session.record().toJson()["dev_addr"].asString(), "26011bd4");

  ASSERT_TRUE(db.DeleteDeviceByAddress(kAddr));
  EXPECT_EQ(Runtime("SELECT (SELECT COUNT(*) FROM end_devices) + (SELECT COUNT(*) FROM sessions) "
                    "+ (SELECT COUNT(*) FROM uplink_packets);"),
            "0");
}

TEST_F(LoraDatabaseTest, JsonDeviceAndSessionUpdates) {
  LoraDatabase& db = OpenInitialised();
  Json::Value device;
  device["deveui"] = "0080000000000002";
  device["name"] = "meter";
  device["rx1_delay"] = 3;
  device["unknown_member"] = "ignored";
  ASSERT_GT(db.AddDevice(device), 0);
  EXPECT_EQ(db.AddDevice(Json::Value("not an object")), -1);
  EXPECT_TRUE(capture_.contains("Add device called with invalid address"));

  Json::Value update;
  update["deveui"] = "00-80-00-00-00-00-00-02";
  EXPECT_EQ(db.UpdateDevice(update), LoraDatabase::UpdateResult::kNothingToUpdate);
  update["class"] = "C";
  EXPECT_EQ(db.UpdateDevice(update), LoraDatabase::UpdateResult::kUpdated);
  update["deveui"] = "00-80-00-00-00-00-00-03";
  EXPECT_EQ(db.UpdateDevice(update), LoraDatabase::UpdateResult::kNotFound);

  Json::Value session;
  session["deveui"] = "0080000000000002";
  session["dev_addr"] = "26011bd5";
  session["net_id"] = "000013";
  session["appeui"] = "0102030405060708";
  session["app_senc_key"] = "000102030405060708090a0b0c0d0e0f";
  ASSERT_TRUE(db.AddSession(session));
  session["dev_addr"] = "not hex";
  EXPECT_EQ(db.UpdateSession(session), LoraDatabase::UpdateResult::kFailed);
  Json::Value counters;
  counters["deveui"] = "0080000000000002";
  counters["up_counter"] = 40000;
  EXPECT_EQ(db.UpdateSession(counters), LoraDatabase::UpdateResult::kUpdated);

  LoraDatabase::DeviceClient devices(db);
  ASSERT_TRUE(db.GetDevices(devices));
  ASSERT_TRUE(devices.Next());
  EXPECT_EQ(devices.record().name, "meter");
  EXPECT_EQ(devices.record().rx1Delay, 3);
  EXPECT_EQ(devices.record().deviceClass, "C");
  EXPECT_EQ(devices.record().adrAckLimit, 64);  // column default
  EXPECT_EQ(Runtime("SELECT dev_addr, net_id, app_eui, up_counter FROM sessions;"),
            "637606869|19|01-02-03-04-05-06-07-08|40000");

  ASSERT_TRUE(db.UpdateDeviceField(0x26011bd5, "tags", "north"));
  EXPECT_FALSE(db.UpdateDeviceField(0x26011bd5, "id", "1"));
  EXPECT_TRUE(capture_.contains("Invalid device field 'id'"));
  EXPECT_EQ(Runtime("SELECT id, tags FROM end_devices;"), "1|north");
}

TEST_F(LoraDatabaseTest, QueueDownlinkDefaultsAndRequiredMembers) {
  LoraDatabase& db = OpenInitialised();
  struct Case {
    const char* name;
    const char* json;
    const char* stored;  // port|priority|ack|rx_window|retry_max, or the failure line
  } cases[] = {
      {"no ack", R"({"deveui":"x","data_size":1,"data":"AQ=="})", "1|0|0|0|0"},
      {"ack", R"({"deveui":"x","data_size":1,"data":"AQ==","ack":true})", "1|0|1|0|8"},
      {"ack retries", R"({"deveui":"x","data_size":1,"data":"AQ==","ack":true,"ack_retries":3})",
       "1|0|1|0|3"},
      {"all set", R"({"deveui":"x","data_size":1,"data":"AQ==","port":9,"priority":2,"rx_wnd":2})",
       "9|2|0|2|0"},
      {"no data", R"({"deveui":"x","data_size":1})",
       "SQL Query failed to queue downlink missing 'data'"},
      {"no deveui", R"({"data_size":1,"data":"AQ=="})",
       "SQL Query failed to queue downlink missing 'deveui'"},
      {"deveui not text", R"({"deveui":7,"data_size":1,"data":"AQ=="})",
       "SQL Query failed to queue downlink missing 'deveui'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Json::Value message;
    ASSERT_TRUE(Json::Reader().parse(c.json, message));
    capture_.clear();
    const int64_t id = db.QueueDownlink(message);
    if (std::string(c.stored).find("SQL") == 0) {
      EXPECT_EQ(id, -1);
      EXPECT_TRUE(capture_.contains(c.stored));
      continue;
    }
    ASSERT_GT(id, 0);
    EXPECT_EQ(Runtime("SELECT port, priority, ack, rx_window, retry_max FROM downlink_queue "
                      "WHERE id = " +
                      std::to_string(id) + ";"),
              c.stored);
  }
  LoraDatabase::DownlinkQueueClient queue(db);
  ASSERT_TRUE(db.GetDownlinkQueue(queue, "x"));
  EXPECT_EQ(queue.RowCount(), 4u);
  ASSERT_TRUE(db.DeleteQueuedDownlink(1, "x"));
  ASSERT_TRUE(db.DeleteQueuedDownlink(0, "y"));  // another device: nothing
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM downlink_queue;"), "3");
  ASSERT_TRUE(db.DeleteQueuedDownlink(0, "x"));
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM downlink_queue;"), "0");
}

TEST_F(LoraDatabaseTest, TrimKeepsNewestRowsAndListingsReadThem) {
  LoraDatabase& db = OpenInitialised();
  AddDevice(kAddr, kEui);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(1782);
  inet_aton("10.0.0.5", &address.sin_addr);
  ASSERT_TRUE(db.AddGateway(0x0080000000000001, 2, address, std::chrono::system_clock::now()));
  for (int i = 0; i < 150; ++i) {
    LoraDatabase::UplinkPacketRecord up;
    up.devAddr = kAddr;
    up.gatewayEui = 0x0080000000000001;
    up.messageType = i == 0 ? 0 : 2;
    up.counter = static_cast<uint32_t>(i);
    up.frequencyHz = 868100000;
    up.datarate = "SF7BW125";
    up.port = i % 2 == 0 ? 1 : -1;
    ASSERT_GT(db.AddUplinkPacket(up), 0);
  }
  LoraDatabase::DownlinkPacketRecord down;
  down.devAddr = kAddr;
  down.messageType = 1;
  down.fsk = true;
  down.datarate = "ignored for FSK";
  ASSERT_GT(db.AddDownlinkPacket(down), 0);

  ASSERT_TRUE(db.TrimPackets(100));
  EXPECT_EQ(Runtime("SELECT COUNT(*), MIN(id), MAX(id) FROM uplink_packets;"), "100|51|150");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM downlink_packets;"), "1");

  LoraDatabase::UplinkPacketClient ups(db);
  ASSERT_TRUE(db.GetUplinkPackets(ups));
  ASSERT_TRUE(ups.Next());
  EXPECT_EQ(ups.record().counter, 149u);  // newest first
  EXPECT_EQ(ups.record().gatewayEui, "00-80-00-00-00-00-00-01");
  EXPECT_EQ(ups.record().deviceEui, kEui);
  EXPECT_DOUBLE_EQ(ups.record().frequency, 868.1);
  EXPECT_EQ(ups.record().modulation, "LORA");
  EXPECT_FALSE(ups.record().hasPort);

  LoraDatabase::PacketClient all(db);
  ASSERT_TRUE(db.GetPackets(all));
  EXPECT_EQ(all.RowCount(), 101u);
  LoraDatabase::JoinRequestClient joins(db);
  ASSERT_TRUE(db.GetJoinPackets(joins));
  ASSERT_TRUE(joins.Next());
  EXPECT_EQ(joins.record().direction, "down");  // the accept; the request was trimmed
  EXPECT_FALSE(joins.Next());
  EXPECT_EQ(Runtime("SELECT modulation, datarate FROM downlink_packets;"), "FSK|");

  ASSERT_TRUE(db.DeleteAllPackets());
  EXPECT_EQ(Runtime("SELECT (SELECT COUNT(*) FROM uplink_packets) + "
                    "(SELECT COUNT(*) FROM downlink_packets);"),
            "0");
}

TEST_F(LoraDatabaseTest, GatewaysAndRanges) {
  LoraDatabase& db = OpenInitialised();
  sockaddr_in address{};
  address.sin_port = htons(40000);
  inet_aton("192.168.1.20", &address.sin_addr);
  const uint64_t eui = 0x0080000000abcdef;
  ASSERT_TRUE(db.AddGateway(eui, 2, address, std::chrono::system_clock::now()));
  ASSERT_TRUE(db.AddGateway(eui, 1, address, std::chrono::system_clock::now()));  // kept as is
  ASSERT_TRUE(db.UpdateGatewayLocation(eui, 45.5, -73.25, 100));
  LoraDatabase::GatewayStatistics statistics;
  statistics.rxCount = 7;
  statistics.ackRate = 0.5;
  ASSERT_TRUE(db.UpdateGatewayStatistics(eui, statistics));
  LoraDatabase::GatewayClient list(db);
  ASSERT_TRUE(db.GetGatewayList(list));
  ASSERT_TRUE(list.Next());
  EXPECT_EQ(list.record().eui, eui);
  EXPECT_EQ(list.record().protocolVersion, 2);
  EXPECT_EQ(list.record().ipAddress, "192.168.1.20");
  EXPECT_EQ(list.record().ipPort, 40000);
  EXPECT_TRUE(list.record().hasPosition);
  EXPECT_DOUBLE_EQ(list.record().longitude, -73.25);
  EXPECT_EQ(list.record().statistics.rxCount, 7u);
  EXPECT_FALSE(list.Next());
  ASSERT_TRUE(db.DeleteGateway(eui));
  EXPECT_EQ(Runtime("SELECT (SELECT COUNT(*) FROM gateways) + "
                    "(SELECT COUNT(*) FROM gateway_statistics);"),
            "0");

  EXPECT_TRUE(db.AddRange(0x100, 16));
  EXPECT_TRUE(db.AddRange(0x10, 4));
  EXPECT_FALSE(db.AddRange(0x10, 8));
  LoraDatabase::RangeClient ranges(db);
  ASSERT_TRUE(db.GetRanges(ranges));
  ASSERT_TRUE(ranges.Next());
  EXPECT_EQ(ranges.record().start, 0x10u);
  EXPECT_EQ(ranges.record().size, 4u);
  ASSERT_TRUE(db.DeleteRange(0x10));
  EXPECT_EQ(Runtime("SELECT start, size FROM ranges;"), "256|16");
}

// Hostile texts go through every statement that takes outside input: they are stored as given and
// no table changes shape.
TEST_F(LoraDatabaseTest, HostileTextsAreStoredVerbatim) {
  LoraDatabase& db = OpenInitialised();
  AddDevice(kAddr, kEui);
  const std::string schema = Runtime("SELECT type, name, sql FROM sqlite_master ORDER BY name;");
  const std::string hostile[] = {
      "\"); DROP TABLE sessions; --",
      "x'); DROP TABLE end_devices; --",
      "a\"b'c;d",
      "' OR '1'='1",
  };
  for (const std::string& h : hostile) {
    SCOPED_TRACE(h);
    Json::Value device;
    device["deveui"] = h;
    device["name"] = h;
    device["tags"] = h;
    ASSERT_GT(db.AddDevice(device), 0);
    EXPECT_GT(db.GetDeviceId(h), 0);
    Json::Value update;
    update["deveui"] = h;
    update["serial_number"] = h;
    EXPECT_EQ(db.UpdateDevice(update), LoraDatabase::UpdateResult::kUpdated);
    Json::Value session;
    session["deveui"] = h;
    session["app_senc_key"] = h;
    session["channel_mask"] = h;
    ASSERT_TRUE(db.AddSession(session));
    EXPECT_EQ(db.UpdateSession(session), LoraDatabase::UpdateResult::kUpdated);
    Json::Value queued;
    queued["deveui"] = h;
    queued["data"] = h;
    queued["data_size"] = 3;
    EXPECT_GT(db.QueueDownlink(queued), 0);

    ASSERT_TRUE(db.UpdateDeviceField(kAddr, "name", h));
    EXPECT_FALSE(db.UpdateDeviceField(kAddr, h, "1"));
    ASSERT_TRUE(db.SaveSessionKeys(kAddr, h, h));
    ASSERT_TRUE(db.UpdateSessionJoin(kAddr, h, h, true));
    ASSERT_TRUE(db.UpdateDeviceClass(kAddr, h));
    LoraDatabase::UplinkPacketRecord up;
    up.devAddr = kAddr;
    up.messageType = 2;
    up.datarate = up.coderate = up.commands = up.data = up.mic = h;
    ASSERT_GT(db.AddUplinkPacket(up), 0);
    LoraDatabase::DownlinkPacketRecord down;
    down.devAddr = kAddr;
    down.datarate = down.coderate = down.commands = down.data = down.mic = h;
    ASSERT_GT(db.AddDownlinkPacket(down), 0);
    uint32_t none = 0;
    EXPECT_FALSE(db.GetAddressFromEui(h + "z", none));
    ASSERT_TRUE(db.DeleteQueuedDownlink(0, h + "z"));
    ASSERT_TRUE(db.DeleteDeviceByEui(h + "z"));

    LoraDatabase::DeviceClient devices(db);
    ASSERT_TRUE(db.GetDevices(devices));
    bool seen = false;
    while (devices.Next()) {
      const auto& r = devices.record();
      if (r.deviceEui != h) continue;
      seen = true;
      EXPECT_EQ(r.name, h);
      EXPECT_EQ(r.tags, h);
      EXPECT_EQ(r.serialNumber, h);
    }
    EXPECT_TRUE(seen);
    LoraDatabase::DownlinkQueueClient queue(db);
    ASSERT_TRUE(db.GetDownlinkQueue(queue, h));
    ASSERT_TRUE(queue.Next());
    EXPECT_EQ(queue.record().data, h);
    LoraDatabase::SessionClient sessions(db);
    ASSERT_TRUE(db.GetSession(kAddr, sessions));
    ASSERT_TRUE(sessions.Next());
    EXPECT_EQ(sessions.record().joinEui, h);
    EXPECT_EQ(sessions.record().fNwkSIntKey, h);
    EXPECT_EQ(sessions.record().deviceClass, h);
    LoraDatabase::UplinkPacketClient ups(db);
    ASSERT_TRUE(db.GetUplinkPackets(ups));
    ASSERT_TRUE(ups.Next());
    EXPECT_EQ(ups.record().mic, h);
    EXPECT_EQ(ups.record().commands, h);
  }
  EXPECT_EQ(Runtime("SELECT type, name, sql FROM sqlite_master ORDER BY name;"), schema);
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM end_devices;"), "5");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sessions;"), "5");
}

TEST(LoraDatabaseNames, EuiTextsAndOptions) {
  EXPECT_EQ(LoraDatabase::EuiText(0x008000000000e19cULL), "00-80-00-00-00-00-e1-9c");
  struct Case {
    const char* in;
    const char* stored;
  } cases[] = {
      {"008000000000E19C", "00-80-00-00-00-00-e1-9c"},
      {"00:80:00:00:00:00:e1:9c", "00-80-00-00-00-00-e1-9c"},
      {"00-80-00-00-00-00-e1-9c-", "00-80-00-00-00-00-e1-9c-"},  // not an EUI: unchanged
      {"80000000e19c", "80000000e19c"},                          // too short: unchanged
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(LoraDatabase::EuiKey(c.in), c.stored);
  }
  Json::Value config;
  config["lora"]["netID"] = "000013";
  auto options = LoraDatabase::OptionsFrom("/f.db", "/run", "/w", config);
  EXPECT_EQ(options.netId, 0x13u);
  EXPECT_EQ(options.runDir, "/run");
  config["lora"]["netID"] = 19;  // not text: the default
  EXPECT_EQ(LoraDatabase::OptionsFrom("/f.db", "/run", "/w", config).netId, 0u);
}

TEST_F(LoraDatabaseTest, TxpkFillsDownlinkRecord) {
  Json::Value txpk;
  ASSERT_TRUE(Json::Reader().parse(
      R"({"tmst":3000000,"freq":869.525,"powe":27,"rfch":0,"modu":"LORA","datr":"SF9BW125",
          "codr":"4/5","size":17,"twnd":2,"data":"IA==","gweui":"00-80-00-00-a0-00-0f-4d",
          "port":3,"mic":"01020304","opts":"0a"})",
      txpk));
  const auto r = LoraDatabase::DownlinkPacketRecord::FromTxpk(txpk);
  EXPECT_EQ(r.tmst, 3000000u);
  EXPECT_EQ(r.frequencyHz, 869525000u);
  EXPECT_EQ(r.txPower, 27);
  EXPECT_EQ(r.datarate, "SF9BW125");
  EXPECT_EQ(r.rxWindow, 2);
  EXPECT_EQ(r.gatewayEui, 0x00800000a0000f4dULL);
  EXPECT_EQ(r.port, 3);
  EXPECT_EQ(r.commands, "0a");
  const auto junk = LoraDatabase::DownlinkPacketRecord::FromTxpk(Json::Value("garbage"));
  EXPECT_EQ(junk.port, -1);
  EXPECT_EQ(junk.frequencyHz, 0u);
}

}  // namespace
