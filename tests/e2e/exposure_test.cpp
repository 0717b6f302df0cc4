// What the running binary exposes and what hostile input does to its database: the listening
// sockets read from /proc, and every input channel driven with SQL fragments, quotes, NUL bytes,
// huge numbers and overlong texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ForwarderRecords.h"
#include "NetworkRig.h"

using e2e::NetworkRig;
using e2e::SeededSession;
using namespace std::string_literals;

namespace {

struct Listener {
  std::string table;    // "udp", "tcp", "udp6" or "tcp6"
  std::string address;  // dotted IPv4, or the kernel's hex for IPv6
  unsigned port = 0;
};

// The sockets of the process that anyone may send to: TCP in LISTEN, UDP not connected.
std::vector<Listener> Listeners(pid_t pid) {
  std::set<std::string> inodes;
  std::error_code error;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
    const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::vector<Listener> out;
  for (const std::string table : {"udp", "tcp", "udp6", "tcp6"}) {
    std::istringstream rows(testsupport::ReadFile("/proc/net/" + table));
    std::string row;
    std::getline(rows, row);  // the header
    while (std::getline(rows, row)) {
      std::istringstream f(row);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
      const bool open = table[0] == 't' ? state == "0A" : state == "07";
      if (!open || inodes.count(inode) == 0) continue;
      const size_t colon = local.find(':');
      Listener l{table, local.substr(0, colon), static_cast<unsigned>(std::stoul(local.substr(colon + 1), nullptr, 16))};
      if (table.size() == 3) {  // IPv4, in the kernel's byte order
        const unsigned long a = std::stoul(l.address, nullptr, 16);
        l.address = std::to_string(a & 255) + "." + std::to_string(a >> 8 & 255) + "." +
                    std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 24 & 255);
      }
      out.push_back(l);
    }
  }
  return out;
}

TEST(Exposure, EverySocketIsOnLoopbackUnlessThePublicSwitchOpensTheGatewayPorts) {
  for (const bool allowPublic : {false, true}) {
    SCOPED_TRACE(allowPublic ? "allowPublic" : "default");
    NetworkRig rig;
    if (allowPublic) rig.config["udp"]["allowPublic"] = true;
    rig.config["network"]["orbaEnabled"] = true;  // its socket too
    ASSERT_TRUE(rig.Start());
    const auto port = [&](const char* key) { return rig.config["udp"][key].asUInt(); };
    const std::set<unsigned> gateway = {port("upstreamPort"), port("downstreamPort")};
    const std::set<unsigned> local = {port("commandPort"), port("appPortDown")};
    std::vector<Listener> listeners;
    std::set<unsigned> seen;
    // The threads bind their ports as they start.
    for (int i = 0; i < 100; ++i) {
      listeners = Listeners(rig.serverPid());
      seen.clear();
      for (const Listener& l : listeners) seen.insert(l.port);
      if (seen.count(port("commandPort")) && seen.count(port("appPortDown"))) break;
      e2e::Pause(50);
    }
    for (unsigned p : gateway) EXPECT_EQ(seen.count(p), 1u) << p;
    for (unsigned p : local) EXPECT_EQ(seen.count(p), 1u) << p;
    for (const Listener& l : listeners) {
      SCOPED_TRACE(l.table + " " + l.address + ":" + std::to_string(l.port));
      EXPECT_EQ(l.table, "udp") << "the server listens on nothing but its UDP ports";
      const bool open = allowPublic && gateway.count(l.port) != 0;
      EXPECT_EQ(l.address, open ? "0.0.0.0" : "127.0.0.1");
    }
    EXPECT_EQ(rig.Stop(), 0);
  }
}

// Tables and their definitions, one line each.
std::vector<std::string> Schema(const NetworkRig& rig) {
  return rig.Query("SELECT name || ' ' || sql FROM sqlite_master WHERE type = 'table' ORDER BY name");
}

TEST(Exposure, HostileInputOnEveryChannelLeavesEveryTableIntact) {
  const std::string sql = "x'); DROP TABLE sessions; DELETE FROM end_devices; --\"";
  const std::string q = testsupport::CompactJson(Json::Value(sql));  // as a JSON string
  const std::string huge = "1" + std::string(300, '9');  // still a double, far beyond any field
  const std::string longText(70000, 'A');
  NetworkRig rig;
  SeededSession device;
  // Configuration: a database path and a gateway serial full of quotes and SQL.
  rig.config["db"] = rig.config["db"].asString() + "'; DROP TABLE gateways;--.db";
  testsupport::WriteFile(rig.config["paths"]["deviceIdFile"].asString(), "GW'); " + sql + "\n");
  rig.config["network"]["vendorId"] = sql;
  rig.config["mqtt"]["username"] = sql;
  rig.config["mqtt"]["password"] = std::string("pass\"'\\;") + std::string(3000, 'p');
  rig.Seed({device});
  const std::vector<std::string> schema = Schema(rig);
  ASSERT_FALSE(schema.empty());
  ASSERT_TRUE(rig.Start());

  // Radio: the forwarder's record fields, the status record and the payload itself.
  const std::string sqlText = sql + std::string(1, '\0') + "'";
  const std::string sqlHex = e2e::Hex(std::vector<uint8_t>(sqlText.begin(), sqlText.end()));
  unsigned fcnt = 1;
  const std::vector<std::string> patches = {
      R"({"datr":)" + q + "}", R"({"codr":)" + q + "}",
      R"({"time":"2026-12-07T10:00:00Z\u0027;--"})", R"({"modu":"LORA\u0000')"  "\"}",
      R"({"tmst":)" + huge + "}", R"({"rssi":-)" + huge + "}", R"({"freq":)" + huge + "}",
      R"({"lsnr":)" + huge + "}", R"({"chan":)" + huge + "}", R"({"datr":")" + longText + R"("})"};
  for (const std::string& patch : patches) {
    rig.Push(e2e::DeviceUplink(device, fcnt++, 10, sqlHex), patch);
  }
  rig.PushText(R"({"stat":{"time":)" + q + R"(,"lati":)" + huge + R"(,"long":-)" + huge +
               R"(,"alti":)" + huge + R"(,"rxnb":-1,"desc":")" + longText + R"("}})");
  rig.PushText(R"({"rxpk":[{"tmst":1)" + std::string(400, '0') + R"(,"data":"QAAA"}]})");
  rig.PushText("{\"rxpk\":[{\"data\":\"QAAA\0\0'--\"}]}"s + sql);
  rig.PushText("{\"rxpk\":\"\0\0\0\"}"s);

  // Applications: MQTT topics and downlink members, then the UDP down port with NUL bytes.
  const std::string down = "lora/" + device.devEui + "/down";
  const std::vector<std::pair<std::string, std::string>> messages = {
      {"lora/" + device.devEui + sql + "/down", R"({"data":"AQID"})"},
      {"lora/'" + sql + "/clear", ""},
      {down, R"({"data":"AQID","port":)" + q + "}"},
      {down, R"({"data":"AQID","port":)" + huge + R"(,"ack_retries":-)" + huge + "}"},
      {down, R"({"data":"AQID","id":)" + huge + R"(,"priority":)" + q + R"(,"rx_wnd":)" + huge + "}"},
      {down, R"({"data":"AQID","deveui":)" + q + "," + q + ":" + q + "}"},
      {down, R"({"data":")" + longText + R"("})"},
      {down, R"({"data":)" + q + "}"},
      {down, "{\"data\":\"" + sql + "\"}"}};
  for (const auto& [topic, payload] : messages) rig.application().Publish(topic, payload);
  e2e::UdpPeer application;
  const auto appDown = static_cast<uint16_t>(rig.config["udp"]["appPortDown"].asUInt());
  for (const std::string& datagram :
       {down + " {\"data\":\"AQ\0ID\",\"port\":\"1\0'; DROP TABLE sessions;\"}"s,
        "lora/\0"s + sql + "/down {\"data\":\"AQID\"}", down + " " + std::string(16384, '\'')}) {
    application.send(appDown, std::vector<uint8_t>(datagram.begin(), datagram.end()));
  }

  // Operators: NUL bytes, huge numbers and overlong words on the command port.
  e2e::UdpPeer operatorPeer;
  const auto commandPort = static_cast<uint16_t>(rig.config["udp"]["commandPort"].asUInt());
  for (const std::string& command :
       {"session list json\0; DROP TABLE sessions;"s,
        "device update " + device.devEui + " up_counter " + huge,
        "device update " + device.devEui + " name " + std::string(8000, '\''),
        "packet queue add {\"deveui\":\"" + device.devEui + "\",\"data\":\"AQID\",\"port\":" + huge + "}"}) {
    operatorPeer.send(commandPort, std::vector<uint8_t>(command.begin(), command.end()));
  }

  // The server is still there and still takes the device's uplinks.
  rig.Push(e2e::DeviceUplink(device, 100, 11, "01"));
  ASSERT_TRUE(rig.WaitFor("/11/up", 1, 10000)) << rig.Log().substr(0, 20000);
  EXPECT_EQ(rig.Stop(), 0);

  // Start-up may add tables of its own; none of the others may change or go.
  const std::vector<std::string> after = Schema(rig);
  for (const std::string& table : schema) {
    EXPECT_NE(std::find(after.begin(), after.end(), table), after.end()) << table;
  }
  EXPECT_EQ(rig.Query("SELECT device_eui FROM end_devices"), std::vector<std::string>{device.devEui});
  EXPECT_EQ(rig.Query("SELECT dev_addr, app_senc_key, fnwk_sint_key FROM sessions"),
            std::vector<std::string>{std::to_string(device.devAddr) + "|" + device.appSKey +
                                     "|" + device.nwkSKey});
  EXPECT_EQ(rig.Query("SELECT gateway_eui FROM gateways"),
            std::vector<std::string>{"01-02-03-04-05-06-07-08"});
  // Whatever was queued belongs to the device and kept its text as sent.
  for (const std::string& owner : rig.Query("SELECT device_eui FROM downlink_queue")) {
    EXPECT_EQ(owner, device.devEui);
  }
}

}  // namespace
