#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>

#include "Database/Lora-Database.h"
#include "QueryFile.h"
#include "TestSupport.h"

namespace {

using testsupport::LogCapture;
using testsupport::ReadFile;
using testsupport::TempDir;
using Result = LoraDatabase::UpdateResult;

constexpr uint32_t kAddr = 0x26011bd4;
const char* const kEui = "00-80-00-00-00-00-e1-9c";

using dbtest::QueryFile;

class LoraDatabaseTest : public ::testing::Test {
 protected:
  // Closes any previous instance first, so the run-time copy is reloaded from flash.
  LoraDatabase& Open(bool initialise = true) {
    db_.reset();
    LoraDatabase::Options options;
    options.flashPath = dir_.file("vallorin.db");
    options.runDir = dir_.file("run");
    options.whitelistFile = dir_.file("whitelist.jsonlines");
    options.netId = 0x13;
    db_ = std::make_unique<LoraDatabase>(options);
    EXPECT_TRUE(!initialise || db_->InitSchema());
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
    ASSERT_TRUE(db_->AddDeviceWithSession(session));
  }
  // A version-17 flash file with a device at the invalid address and a good one.
  void SaveTwoDevices() {
    Open();
    AddDevice(LoraDatabase::kInvalidDevAddr, kEui);
    AddDevice(kAddr, "00-00-00-00-00-00-00-01");
    ASSERT_TRUE(db_->Backup(true));
  }

  TempDir dir_;
  LogCapture capture_;
  std::unique_ptr<LoraDatabase> db_;
};

TEST_F(LoraDatabaseTest, SchemaVersionDecidesBetweenKeepRecreateAndCleanup) {
  const struct {
    const char *name, *setup;
    bool ok, created;
    const char *version, *devices;  // devices: EUIs | session count
  } cases[] = {
      {"version 17", "", true, false, "17", "00-00-00-00-00-00-00-01,00-80-00-00-00-00-e1-9c|2"},
      {"version 16", "UPDATE schema SET version = '16';", true, true, "17", "NULL|0"},
      {"version 18", "UPDATE schema SET version = '18';", true, false, "18",
       "00-00-00-00-00-00-00-01|1"},
      // The index name belongs to another table, so the script fails half-way: the old tables
      // stay, and the device with the invalid address is still removed.
      {"creation fails",
       "UPDATE schema SET version = '16'; DROP INDEX gateway_eui; CREATE TABLE other (x); "
       "CREATE INDEX gateway_eui ON other (x);",
       false, true, "16", "00-00-00-00-00-00-00-01|1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db_.reset();
    std::remove(dir_.file("vallorin.db").c_str());
    SaveTwoDevices();
    ASSERT_EQ(Flash(c.setup), "");
    capture_.clear();
    EXPECT_EQ(Open(false).InitSchema(), c.ok);
    EXPECT_EQ(capture_.contains("Creating database"), c.created);
    EXPECT_EQ(capture_.contains("SQL Query failed to update create database"), !c.ok);
    EXPECT_EQ(Runtime("SELECT version FROM schema;"), c.version);
    EXPECT_EQ(Runtime("SELECT group_concat(device_eui), (SELECT COUNT(*) FROM sessions) FROM "
                      "(SELECT device_eui FROM end_devices ORDER BY device_eui);"),
              c.devices);
  }
}

TEST_F(LoraDatabaseTest, UnchangedSaveLeavesFlashAloneAndChangesSurviveReopen) {
  SaveTwoDevices();
  const std::string before = ReadFile(dir_.file("vallorin.db"));
  LoraDatabase& db = Open();
  capture_.clear();
  EXPECT_TRUE(db.Backup(false));
  EXPECT_TRUE(capture_.contains("DB not dirty"));
  EXPECT_EQ(ReadFile(dir_.file("vallorin.db")), before);

  ASSERT_TRUE(db.UpdateUpCounter(kAddr, 77));
  ASSERT_TRUE(db.Backup(false));
  Open();
  EXPECT_EQ(Runtime("SELECT up_counter FROM sessions WHERE dev_addr = 637606868;"), "77");
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
  Open();
  EXPECT_EQ(Runtime("SELECT d.device_eui, d.class, s.dev_addr, s.join_eui, s.net_id, "
                    "s.fnwk_sint_key, s.up_counter, s.nwk_down_counter FROM sessions s JOIN "
                    "end_devices d ON d.id = s.device_id ORDER BY s.dev_addr;"),
            "00-00-00-00-00-00-00-02|A|42|01-02-03-04-05-06-07-08|19|"
            "11111111111111111111111111111111|1|0;"
            "00-80-00-00-00-00-e1-9c|C|637606868|01-02-03-04-05-06-07-08|19|"
            "2b7e151628aed2a6abf7158809cf4f3c|6|9");
  EXPECT_EQ(ReadFile(dir_.file("whitelist.jsonlines")),
            "{\"deveui\":\"008000000000e19c\",\"appeui\":\"0102030405060708\","
            "\"appkey\":\"aabbccddeeff00112233445566778899\",\"class\":\"C\"}\n"
            "{\"deveui\":\"0000000000000002\",\"appeui\":\"0102030405060708\","
            "\"appkey\":\"\",\"class\":\"A\"}\n");
  EXPECT_EQ(Runtime("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('nodes', 'packets', "
                    "'appkeys', 'statistics');"),
            "0");
}

TEST_F(LoraDatabaseTest, DevicesSessionsAndQueueFromJson) {
  LoraDatabase& db = Open();
  AddDevice(kAddr, "008000000000E19C");  // stored in the canonical text
  LoraDatabase::NewSession taken;
  taken.devAddr = kAddr;
  taken.deviceEui = "00-00-00-00-00-00-00-09";
  EXPECT_FALSE(db.AddDeviceWithSession(taken));  // address taken: not written, not an error
  EXPECT_FALSE(capture_.contains("SQL Query failed"));
  LoraDatabase::SessionClient session(db);  // NULL columns read as empty texts
  ASSERT_TRUE(db.GetSession(kAddr, session));
  ASSERT_TRUE(session.Next());
  EXPECT_EQ(session.record().jsIntKey, "");

  Json::Value update;
  update["deveui"] = "00:80:00:00:00:00:e1:9c";
  EXPECT_EQ(db.UpdateDevice(update), Result::kNothingToUpdate);
  update["class"] = "C";
  EXPECT_EQ(db.UpdateDevice(update), Result::kUpdated);
  update["deveui"] = "00-80-00-00-00-00-00-03";
  EXPECT_EQ(db.UpdateDevice(update), Result::kNotFound);
  update["deveui"] = kEui;
  update["dev_addr"] = "not hex";
  EXPECT_EQ(db.UpdateSession(update), Result::kFailed);
  update["dev_addr"] = "26011bd5";
  update["up_counter"] = 40000;
  EXPECT_EQ(db.UpdateSession(update), Result::kUpdated);
  EXPECT_FALSE(db.UpdateDeviceField(0x26011bd5, "id", "2"));
  EXPECT_TRUE(capture_.contains("Invalid device field 'id'"));
  EXPECT_EQ(Runtime("SELECT d.id, d.class, s.dev_addr, s.up_counter FROM end_devices d JOIN "
                    "sessions s ON s.device_id = d.id;"),
            "1|C|637606869|40000");
  // A command may store a real far beyond any counter; reading it back gives the fallback.
  update["up_counter"] = 5.5e45;
  EXPECT_EQ(db.UpdateSession(update), Result::kUpdated);
  LoraDatabase::SessionClient huge(db);
  ASSERT_TRUE(db.GetSession(0x26011bd5, huge));
  ASSERT_TRUE(huge.Next());
  EXPECT_EQ(huge.record().upCounter, 0u);
  EXPECT_TRUE(capture_.contains("column 'up_counter' is not a number"));

  Json::Value queued =
      testsupport::ParseJson(R"({"deveui":"x","data_size":1,"data":"AQ==","ack":true})");
  const int64_t id = db.QueueDownlink(queued);
  EXPECT_EQ(Runtime("SELECT port, priority, rx_window, retry_max FROM downlink_queue WHERE id = " +
                    std::to_string(id) + ";"),
            "1|0|0|8");  // defaults, with eight retries for a confirmed one
  queued.removeMember("data");
  EXPECT_EQ(db.QueueDownlink(queued), -1);
  EXPECT_TRUE(capture_.contains("SQL Query failed to queue downlink missing 'data'"));
}

TEST_F(LoraDatabaseTest, TrimKeepsNewestRows) {
  LoraDatabase& db = Open();
  AddDevice(kAddr, kEui);
  // More than two of the trim's steps, so that it has to go on after a full one.
  const int rows = 2 * LoraDatabase::kTrimStepRows + 150;
  for (int i = 0; i < rows; ++i) {
    LoraDatabase::UplinkPacketRecord up;
    up.devAddr = kAddr;
    up.counter = static_cast<uint32_t>(i);
    ASSERT_GT(db.AddUplinkPacket(up), 0);
  }
  ASSERT_TRUE(db.TrimPackets(100));
  EXPECT_EQ(Runtime("SELECT COUNT(*), MIN(id), MAX(id) FROM uplink_packets;"),
            "100|" + std::to_string(rows - 99) + "|" + std::to_string(rows));
}

// Hostile texts through every statement that takes outside input: each is stored as given (read
// back through a connection of its own), lookups of them find nothing else, and no table changes.
TEST_F(LoraDatabaseTest, HostileTextsAreStoredVerbatim) {
  LoraDatabase& db = Open();
  AddDevice(kAddr, kEui);
  const std::string schema = Runtime("SELECT sql FROM sqlite_master ORDER BY name;");
  auto json = [](const std::string& h, const char* member) {  // the device EUI is hostile too
    Json::Value value;
    value["deveui"] = value[member] = h;
    return value;
  };
  auto packet = [](auto record, const std::string& h) {
    record.devAddr = kAddr;
    record.datarate = record.coderate = record.commands = record.data = record.mic = h;
    return record;
  };
  const std::string newest = " ORDER BY id DESC LIMIT 1;", first = " WHERE id = 1;";
  uint32_t none = 0;
  using Run = std::function<bool(const std::string&)>;
  const std::pair<std::string, Run> cases[] = {
      {"SELECT tags FROM end_devices" + newest,
       [&](auto& h) { return db.AddDevice(json(h, "tags")) > 0; }},
      {"", [&](auto& h) { return db.GetDeviceId(h) > 1; }},
      {"SELECT name FROM end_devices" + newest,
       [&](auto& h) { return db.UpdateDevice(json(h, "name")) == Result::kUpdated; }},
      {"SELECT app_senc_key FROM sessions" + newest,
       [&](auto& h) { return db.AddSession(json(h, "app_senc_key")); }},
      {"SELECT channel_mask FROM sessions" + newest,
       [&](auto& h) { return db.UpdateSession(json(h, "channel_mask")) == Result::kUpdated; }},
      {"SELECT data FROM downlink_queue" + newest,
       [&](auto& h) {
         Json::Value queued = json(h, "data");
         queued["data_size"] = 3;
         return db.QueueDownlink(queued) > 0;
       }},
      {"SELECT serial_number FROM end_devices" + first,
       [&](auto& h) { return db.UpdateDeviceField(kAddr, "serial_number", h); }},
      {"", [&](auto& h) { return !db.UpdateDeviceField(kAddr, h, "1"); }},
      {"SELECT app_senc_key FROM sessions" + first,
       [&](auto& h) { return db.SaveSessionKeys(kAddr, "00", h); }},
      {"SELECT join_eui FROM sessions" + first,
       [&](auto& h) { return db.UpdateSessionJoin(kAddr, h, h, true); }},
      {"SELECT class FROM end_devices" + first,
       [&](auto& h) { return db.UpdateDeviceClass(kAddr, h); }},
      {"SELECT mic FROM uplink_packets" + newest,
       [&](auto& h) {
         return db.AddUplinkPacket(packet(LoraDatabase::UplinkPacketRecord{}, h)) > 0;
       }},
      {"SELECT commands FROM downlink_packets" + newest,
       [&](auto& h) {
         return db.AddDownlinkPacket(packet(LoraDatabase::DownlinkPacketRecord{}, h)) > 0;
       }},
      {"", [&](auto& h) { return !db.GetAddressFromEui(h + "z", none); }},
      {"", [&](auto& h) { return db.DeleteQueuedDownlink(0, h + "z"); }},
      {"", [&](auto& h) { return db.DeleteDeviceByEui(h + "z"); }},
  };
  for (const std::string h : {"\"); DROP TABLE sessions; --", "x'); DROP TABLE end_devices; --",
                              "a\"b'c;d", "' OR '1'='1"}) {
    for (size_t i = 0; i < std::size(cases); ++i) {
      SCOPED_TRACE("case " + std::to_string(i) + " with " + h);
      EXPECT_TRUE(cases[i].second(h));
      EXPECT_EQ(cases[i].first.empty() ? h : Runtime(cases[i].first), h);
    }
  }
  EXPECT_EQ(Runtime("SELECT sql FROM sqlite_master ORDER BY name;"), schema);
  EXPECT_EQ(Runtime("SELECT (SELECT COUNT(*) FROM end_devices), (SELECT COUNT(*) FROM sessions), "
                    "(SELECT COUNT(*) FROM downlink_queue);"),
            "5|5|4");
}

}  // namespace
