// Result readers of the network database. Each wraps one query's rows (filled by a LoraDatabase
// operation) and parses the current row into its record on every Next(); Next() returns false at
// the end of the rows. Columns are found by name, so a reader serves every query that selects its
// columns; a missing or NULL column leaves the field at its default, and a value that does not
// parse is logged (warning, naming "src/Database/Lora-Database") and left at its default.
// Included by Lora-Database.h; not meant to be included on its own.
#pragma once

#include <json/json.h>

#include <array>
#include <cstdint>
#include <string>

#include "Database/SqlDb.h"

class LoraDatabase::Client : public SqlDb::Client {
 public:
  explicit Client(LoraDatabase& database);
  bool Next() override;

 protected:
  virtual void Parse() = 0;

  // Current-row values by column name.
  bool Has(const char* column) const;  // present and not NULL/empty
  std::string Text(const char* column) const;
  int64_t Integer(const char* column, int64_t fallback = 0) const;
  double Real(const char* column, double fallback = 0) const;
  // Current-row values by column index.
  int64_t IntegerAt(size_t index, int64_t fallback = 0) const;

 private:
  int64_t ParseInteger(const std::string& name, const std::string& value, int64_t fallback) const;
};

class LoraDatabase::DeviceClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    std::string deviceEui;
    std::string serialNumber;
    std::string productId;
    std::string hardwareVersion;
    std::string firmwareVersion;
    std::string name;
    std::string tags;
    std::string deviceClass;
    std::string lorawanVersion;
    int64_t rejoinCount = 0;
    int64_t rx1Delay = 0;
    int64_t rx1DatarateOffset = 0;
    int64_t rx2DatarateIndex = 0;
    double rx2Frequency = 0;
    std::string channelMask;
    int64_t redundancy = 0;
    int64_t maxDutyCycle = 0;
    int64_t downlinkDwellTime = 0;
    int64_t uplinkDwellTime = 0;
    int64_t maxEirp = 0;
    std::string uplinkChannels;
    std::string downlinkChannels;
    int64_t adrAckLimit = 0;
    int64_t adrAckDelay = 0;
    int64_t pingSlotPeriodicity = 0;
    int64_t pingSlotDatarate = 0;
    double pingSlotFrequency = 0;
    std::string createdAt;
    std::string lastSeen;  // newest uplink; empty when none
    std::string joinTime;

    // The end-device record of the command interface.
    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::SessionClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    int64_t deviceId = -1;
    uint32_t devAddr = kInvalidDevAddr;
    std::string deviceEui;
    std::string deviceClass;
    std::string joinEui;
    std::string appEui;
    uint32_t netId = 0;
    std::string appSEncKey;
    std::string fNwkSIntKey;
    std::string sNwkSIntKey;
    std::string nwkSEncKey;
    std::string jsEncKey;
    std::string jsIntKey;
    uint32_t upCounter = 0;
    uint32_t nwkDownCounter = 0;
    uint32_t appDownCounter = 0;
    int64_t txPower = 0;
    int64_t txDatarate = 0;
    int64_t rx1Delay = 0;
    int64_t rx1DatarateOffset = 0;
    int64_t rx2DatarateIndex = 0;
    double rx2Frequency = 0;
    std::string channelMask;
    int64_t redundancy = 0;
    int64_t maxDutyCycle = 0;
    int64_t downlinkDwellTime = 0;
    int64_t uplinkDwellTime = 0;
    int64_t maxEirp = 0;
    std::string uplinkChannels;
    std::string downlinkChannels;
    int64_t adrAckLimit = 0;
    int64_t adrAckDelay = 0;
    int64_t pingSlotPeriodicity = 0;
    int64_t pingSlotDatarate = 0;
    double pingSlotFrequency = 0;
    int64_t statusBattery = 0;
    int64_t statusSnr = 0;
    bool remoteJoin = false;
    std::string createdAt;
    std::string lastSeen;

    // The session record of the command interface (dev_addr as 8 hex digits, net_id as 6).
    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

// The rows a device is restored from (all sessions at start-up, or one on demand).
class LoraDatabase::DeviceSessionClient : public LoraDatabase::Client {
 public:
  struct Record {
    uint32_t devAddr = kInvalidDevAddr;
    std::string deviceEui;
    std::string joinEui;
    std::string appEui;
    uint32_t netId = 0;
    std::string appSKey;  // app_senc_key
    std::string nwkSKey;  // fnwk_sint_key
    uint32_t nwkDownCounter = 0;
    uint32_t upCounter = 0;
    std::string createdAtText;
    Timestamp createdAt{};  // the epoch when the text does not parse
    std::string deviceClass;
    std::string lastSeenText;  // newest uplink; empty when none
    // Milliseconds from the newest uplink to now; 0 without uplinks (a restored device then
    // counts as just seen).
    uint64_t msSinceLastSeen = 0;
  };
  explicit DeviceSessionClient(LoraDatabase& database) : LoraDatabase::Client(database) {}
  // Tests fix "now"; otherwise the real time at each Next().
  void SetNow(Timestamp now) {
    fixedNow_ = now;
    nowFixed_ = true;
  }
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
  Timestamp fixedNow_{};
  bool nowFixed_ = false;
};

// Rows of the device tables of the older schema, read once by the upgrade.
class LoraDatabase::NodeClient : public LoraDatabase::Client {
 public:
  struct Record {
    uint32_t address = kInvalidDevAddr;
    std::string appEui;
    std::string devEui;
    std::string authenticationKey;  // network session key
    std::string encryptionKey;      // application session key
    uint32_t lastDownSeqNo = 0;
    uint32_t lastUpSeqNo = 0;
    std::string joinTime;
    std::string deviceClass;
    std::string appKey;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

// Uplinks and downlinks in one list.
class LoraDatabase::PacketClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    std::string gatewayEui;
    std::string appEui;
    std::string deviceEui;
    double frequency = 0;  // MHz
    std::string datarate;
    std::string coderate;
    uint32_t devAddr = kInvalidDevAddr;
    uint32_t control = 0;
    uint32_t counter = 0;
    bool hasRssi = false;  // uplinks only
    int64_t rssi = 0;
    uint32_t dataSize = 0;
    std::string tmst;
    std::string time;  // rx_time or tx_time
    uint32_t majorVersion = 0;
    uint32_t messageType = 0;
    bool hasPort = false;
    uint32_t port = 0;
    std::string mic;
    std::string commands;
    std::string data;
    std::string createdAt;
    std::string direction;  // "up" or "down"

    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

// Join requests and join accepts in one list.
class LoraDatabase::JoinRequestClient : public LoraDatabase::Client {
 public:
  struct Record {
    std::string gatewayEui;
    std::string joinEui;
    std::string deviceEui;
    uint32_t nonce = 0;
    std::string mic;
    std::string tmst;
    double frequency = 0;
    std::string datarate;
    bool hasRssi = false;
    int64_t rssi = 0;
    std::string time;
    std::string direction;

    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::UplinkPacketClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    std::string gatewayEui;
    std::string appEui;
    std::string deviceEui;
    uint32_t protocolVersion = 0;
    double frequency = 0;
    uint32_t channel = 0;
    uint32_t rfChain = 0;
    std::string modulation;
    std::string datarate;
    std::string coderate;
    uint32_t devAddr = kInvalidDevAddr;
    uint32_t control = 0;
    uint32_t counter = 0;
    int64_t rssi = 0;
    double snr = 0;
    std::string tmst;
    std::string rxTime;
    uint32_t dataSize = 0;
    uint32_t majorVersion = 0;
    uint32_t messageType = 0;
    bool hasPort = false;
    uint32_t port = 0;
    std::string mic;
    std::string commands;
    std::string data;
    std::string createdAt;

    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::DownlinkPacketClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    std::string gatewayEui;
    std::string appEui;
    std::string deviceEui;
    uint32_t protocolVersion = 0;
    double frequency = 0;
    int64_t txPower = 0;
    uint32_t rfChain = 0;
    std::string modulation;
    std::string datarate;
    std::string coderate;
    uint32_t devAddr = kInvalidDevAddr;
    uint32_t control = 0;
    uint32_t counter = 0;
    std::string tmst;
    std::string txTime;
    uint32_t dataSize = 0;
    uint32_t majorVersion = 0;
    uint32_t messageType = 0;
    bool hasPort = false;
    uint32_t port = 0;
    std::string mic;
    std::string commands;
    std::string data;
    uint32_t rxWindow = 0;
    bool rxAckReceived = false;
    bool txAckReceived = false;
    std::string createdAt;

    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::DownlinkQueueClient : public LoraDatabase::Client {
 public:
  struct Record {
    int64_t id = -1;
    int64_t deviceId = -1;
    std::string deviceEui;
    uint32_t dataSize = 0;
    uint32_t port = 0;
    std::string data;  // Base64
    uint32_t priority = 0;
    bool ack = false;
    uint32_t rxWindow = 0;
    uint32_t retryMax = 0;
    uint32_t retryCount = 0;
    std::string createdAt;

    Json::Value toJson() const;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::GatewayClient : public LoraDatabase::Client {
 public:
  struct Record {
    std::string gatewayEuiText;
    uint64_t eui = 0;  // 0 when the text does not parse
    uint8_t protocolVersion = 0;
    std::string ipAddress;
    uint16_t ipPort = 0;
    std::string lastSeen;
    bool hasPosition = false;
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    std::string createdAt;
    GatewayStatistics statistics;  // GetGatewayList only
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

class LoraDatabase::RangeClient : public LoraDatabase::Client {
 public:
  struct Record {
    uint32_t start = 0;
    uint32_t size = 0;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};

// "SELECT * FROM network_statistics;": columns 1 to 20 are the persisted counters.
class LoraDatabase::StatsClient : public LoraDatabase::Client {
 public:
  struct Record {
    std::array<uint32_t, kNetworkStatisticsColumns> values{};
    std::string createdAt;
  };
  using LoraDatabase::Client::Client;
  const Record& record() const { return record_; }

 protected:
  void Parse() override;

 private:
  Record record_;
};
