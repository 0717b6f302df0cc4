// The network database: end-devices, sessions, gateways and their statistics, packet logs, the
// downlink queue, network statistics, address ranges. Owns the schema (version "17"), creates or
// upgrades it at start-up and offers one operation per query family. Every statement goes through
// the SqlDb::Connection, every outside value is bound, and each query reads its rows through its
// own reader (LoraDatabase::*Client, declared in LoraDatabaseReaders.h).
//
// Conventions of the stored values:
//   - EUIs are text, 8 lower-case hex pairs joined by "-" (00-80-00-00-00-00-e1-9c). EUI texts
//     handed in are brought to that form when they parse as 8 hex bytes (with or without "-" or
//     ":"), and used unchanged otherwise.
//   - dev_addr is the 32-bit DevAddr as an unsigned integer; 4294967295 marks an invalid address.
//   - Keys are hex text; frequencies are MHz; time stamps are DbTime.h's text form.
//   - uplink_packets.message_type 0 is a join request (its counter column holds the DevNonce);
//     downlink_packets.message_type 1 is a join accept.
//
// Failures are logged with a line naming the failed query and reported by the result (false, -1,
// an empty reader); nothing here throws. Thread use: any thread; the connection serialises.
#pragma once

#include <json/json.h>
#include <netinet/in.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "Database/DbTime.h"
#include "Database/SqlDb.h"

class LoraDatabase {
 public:
  using Timestamp = SqlDb::Timestamp;

  static constexpr const char* kSchemaVersion = "17";
  static constexpr uint32_t kInvalidDevAddr = 0xFFFFFFFF;
  static constexpr size_t kNetworkStatisticsColumns = 20;
  // Rows a trim deletes per statement (a few milliseconds of holding the database), and the
  // pause that lets the packet workers in between two statements.
  static constexpr int kTrimStepRows = 1000;
  static constexpr int kTrimPauseMs = 5;

  struct Options {
    std::string flashPath = "/var/config/lora/vallorin.db";
    std::string runDir = SqlDb::Connection::kDefaultRunDir;
    std::string whitelistFile = "/home/root/whitelist.jsonlines";  // written by the upgrade
    uint32_t netId = 0;                                            // for upgraded sessions
  };

  // One uplink as written to uplink_packets. device_id and session_id are found from devAddr
  // through sessions, gateway_id from gatewayEui through gateways.
  struct UplinkPacketRecord {
    uint32_t devAddr = kInvalidDevAddr;
    uint64_t gatewayEui = 0;
    uint8_t protocolVersion = 0;
    Timestamp rxTime{};
    uint64_t tmst = 0;
    uint32_t frequencyHz = 0;
    uint16_t channel = 0;
    uint16_t rfChain = 0;
    bool fsk = false;      // "FSK" and an empty datarate; else "LORA"
    std::string datarate;  // "SF7BW125"
    std::string coderate;  // "4/5"
    int16_t rssi = 0;      // dBm
    int16_t snrCb = 0;     // centibels; stored in dB
    uint16_t dataSize = 0;
    uint8_t majorVersion = 0;
    uint8_t messageType = 0;  // 0 = join request
    uint8_t control = 0;      // FCtrl
    uint32_t counter = 0;     // full FCnt; the DevNonce of a join request
    std::string commands;     // FOpts as hex
    int port = -1;            // FPort; -1 stores NULL
    std::string data;         // payload text (Base64)
    std::string mic;          // 8 hex digits
  };

  // One downlink as written to downlink_packets (from the "txpk" of the frame that was sent).
  struct DownlinkPacketRecord {
    uint32_t devAddr = kInvalidDevAddr;
    uint64_t gatewayEui = 0;
    uint8_t protocolVersion = 0;
    Timestamp txTime{};
    uint64_t tmst = 0;  // 0 for an immediate transmission
    uint32_t frequencyHz = 0;
    int32_t txPower = 0;  // "powe"
    uint16_t rfChain = 0;
    bool fsk = false;
    std::string datarate;
    std::string coderate;
    uint16_t dataSize = 0;
    uint8_t majorVersion = 0;
    uint8_t messageType = 0;  // 1 = join accept
    uint8_t control = 0;
    uint32_t counter = 0;
    std::string commands;
    int port = -1;
    std::string data;
    std::string mic;
    uint8_t rxWindow = 0;  // "twnd"
    bool rxAckReceived = false;
    bool txAckReceived = false;

    // The members a "txpk" object carries ("tmst", "freq", "powe", "rfch", "modu", "datr", "codr",
    // "size", "twnd", "data", "gweui", "port", "mic", "opts"); devAddr and the frame header fields
    // are the caller's. Members of the wrong type are left at their defaults.
    static DownlinkPacketRecord FromTxpk(const Json::Value& txpk);
  };

  // A session written by AddDeviceWithSession (join, upgrade).
  struct NewSession {
    uint32_t devAddr = kInvalidDevAddr;
    std::string deviceEui;
    std::string joinEui;
    std::string appEui;
    uint32_t netId = 0;
    std::string nwkSKey;  // stored as fnwk_sint_key
    std::string appSKey;  // stored as app_senc_key
    uint32_t upCounter = 0;
    uint32_t downCounter = 0;  // the last down counter used (nwk_down_counter)
    std::string deviceClass = "A";
  };

  struct GatewayStatistics {
    uint32_t downlinkCount = 0;  // "dwnb" sum
    uint32_t rxOk = 0;
    uint32_t txCount = 0;  // "txnb" sum
    double ackRate = 0;
    uint32_t rxForwarded = 0;
    uint32_t rxCount = 0;  // "rxnb" sum
  };

  // Outcome of the updates that take a JSON object of optional members.
  enum class UpdateResult { kUpdated, kNothingToUpdate, kNotFound, kFailed };

  class Client;
  class DeviceClient;
  class SessionClient;
  class DeviceSessionClient;
  class NodeClient;
  class PacketClient;
  class JoinRequestClient;
  class UplinkPacketClient;
  class DownlinkPacketClient;
  class DownlinkQueueClient;
  class GatewayClient;
  class RangeClient;
  class StatsClient;

  // Opens the connection (run-time copy loaded from flash). InitSchema must run next.
  explicit LoraDatabase(const Options& options);

  // The options from the settings' paths and database file and "lora"."netID".
  static Options OptionsFrom(const std::string& databasePath, const std::string& runDir,
                             const std::string& whitelistFile, const Json::Value& config);
  // 8 hex pairs joined by "-", most significant first.
  static std::string EuiText(uint64_t eui);
  // The stored form of an EUI text (see above).
  static std::string EuiKey(const std::string& eui);

  virtual bool Backup(bool allAtOnce);
  // Start of a run: records in the database that the server runs, and tells whether the run
  // before ended without its clean stop (a crash or power cut after which counters are stale).
  bool BeginRun(bool& stoppedUncleanly);
  // The clean stop, recorded just before the final backup.
  bool MarkCleanStop();
  // Every valid session's stored down counter moves ahead by gap; returns the sessions moved.
  int AdvanceDownCounters(uint32_t gap);
  virtual ~LoraDatabase();
  virtual bool InitSchema();
  virtual bool IsOpen();
  virtual bool Reopen();
  virtual std::string LastError();
  virtual bool UpdateJoinTime(uint32_t devAddr, Timestamp time);
  virtual bool GetAddressFromEui(const std::string& deviceEui, uint32_t& devAddr);
  virtual bool SaveSessionKeys(uint32_t devAddr, const std::string& nwkSKey,
                               const std::string& appSKey);
  virtual bool UpdateDeviceClass(uint32_t devAddr, const std::string& deviceClass);
  virtual int64_t AddUplinkPacket(const UplinkPacketRecord& packet);
  virtual int64_t AddDownlinkPacket(const DownlinkPacketRecord& packet);
  virtual int64_t QueueDownlink(const Json::Value& message);
  virtual bool GetDevices(DeviceClient& client);
  // False when a session for the address or the device already exists (nothing written, nothing
  // logged) or on failure (logged).
  virtual bool AddDeviceWithSession(const NewSession& session);
  virtual int64_t AddDevice(const Json::Value& device);
  virtual std::unique_ptr<DeviceClient> NewDeviceClient();
  virtual bool GetSession(uint32_t devAddr, SessionClient& client);
  virtual bool GetDeviceSessions(DeviceSessionClient& client);
  virtual bool UpdateSessionJoin(uint32_t devAddr, const std::string& joinEui,
                                 const std::string& appEui, bool remoteJoin);
  // Keyed by "deveui"; writes the session members present.
  virtual UpdateResult UpdateSession(const Json::Value& session);
  virtual bool DeleteDeviceByAddress(uint32_t devAddr);
  virtual bool DeleteDeviceByEui(const std::string& deviceEui);
  virtual bool DeleteAllDevices();
  // Creates (or, when the device has one, rewrites) the session of "deveui" from "joineui",
  // "appeui", "dev_addr" (8 hex digits or a number), "net_id" (hex or a number), "app_senc_key",
  // "fnwk_sint_key". False when the device is unknown or on failure.
  virtual bool AddSession(const Json::Value& session);
  virtual bool GetSessions(SessionClient& client);
  virtual bool DeleteSession(uint32_t devAddr);
  virtual bool DeleteAllSessions();
  virtual bool TrimPackets(uint32_t rowsToKeep);
  virtual bool DeleteAllPackets();
  virtual bool DeleteJoinRequests();
  virtual bool DeleteUplinkPackets();
  virtual bool DeleteDownlinkPackets();
  // id 0 deletes every queued row of the device.
  virtual bool DeleteQueuedDownlink(int64_t id, const std::string& deviceEui);
  // Transmissions a confirmed queued downlink has had so far (retry_count).
  virtual bool UpdateQueuedDownlinkRetries(int64_t id, uint32_t retryCount);
  // -1 when unknown or on failure.
  virtual int64_t GetDeviceId(const std::string& deviceEui);
  virtual bool UpdateDownCounter(uint32_t devAddr, uint32_t value);
  virtual bool UpdateUpCounter(uint32_t devAddr, uint32_t value);
  // Only end_devices columns may be named (refused otherwise); the value is bound as text.
  virtual bool UpdateDeviceField(uint32_t devAddr, const std::string& column,
                                 const std::string& value);
  // Keyed by "deveui"; writes the end-device members present.
  virtual UpdateResult UpdateDevice(const Json::Value& device);
  // False when a range with that start exists or on failure.
  virtual bool AddRange(uint32_t start, uint32_t size);
  virtual bool DeleteRange(uint32_t start);
  // A gateways row (kept when the EUI is known) and its zero statistics row.
  virtual bool AddGateway(uint64_t eui, uint8_t protocolVersion, const sockaddr_in& address,
                          Timestamp lastSeen);
  virtual bool UpdateGatewaySeen(uint64_t eui, uint8_t protocolVersion, Timestamp lastSeen);
  virtual bool UpdateGatewayLocation(uint64_t eui, double latitude, double longitude,
                                     double altitude);
  virtual bool DeleteGateway(uint64_t eui);
  virtual SqlDb::Connection& GetConnection();

  // Network statistics: the twenty persisted counters in column order (mic_fails ... tx_ack_dups).
  bool UpdateNetworkStatistics(const std::array<uint32_t, kNetworkStatisticsColumns>& values);
  bool GetNetworkStatistics(StatsClient& client);
  bool UpdateGatewayStatistics(uint64_t eui, const GatewayStatistics& statistics);
  // Listings of the command interface, newest first where a time order applies.
  bool GetPackets(PacketClient& client);              // uplinks and downlinks
  bool GetJoinPackets(JoinRequestClient& client);     // join requests and join accepts
  bool GetUplinkPackets(UplinkPacketClient& client);  // not join requests
  bool GetDownlinkPackets(DownlinkPacketClient& client);
  // The whole queue, or one device's rows when deviceEui is not empty, oldest first.
  bool GetDownlinkQueue(DownlinkQueueClient& client, const std::string& deviceEui = "");
  // The rows the gateway registry loads at start-up.
  bool GetGateways(GatewayClient& client);
  // Gateways with their statistics row.
  bool GetGatewayList(GatewayClient& client);
  bool GetRanges(RangeClient& client);
  // The session of one address as GetDeviceSessions reads it (restore of a single device).
  bool GetDeviceSession(uint32_t devAddr, DeviceSessionClient& client);

 private:
  bool CreateSchema();
  void UpgradeOldSchema();
  bool DeleteBadDevices();
  bool EnsureAdditions();

  Options options_;
  SqlDb::Connection connection_;
};

#include "Database/LoraDatabaseReaders.h"
