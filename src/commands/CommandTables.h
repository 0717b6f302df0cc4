// The fixed-width text tables of the listing commands: a bold header line, then one row per
// record. Widths fit the longest value a column normally holds; longer values push the row.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "Database/Lora-Database.h"
#include "devices/Device.h"

namespace CommandTables {

// The header text between the bold on and off sequences, with a newline.
std::string Bold(const std::string& header);

std::string DeviceHeader();
std::string DeviceRow(const LoraDatabase::DeviceClient::Record& r);
std::string SessionHeader();
std::string SessionRow(const LoraDatabase::SessionClient::Record& r);
// One device's configuration and keys; "(Not Set)" for what the session lacks.
std::string DeviceConfig(const LoraDatabase::SessionClient::Record& r);

// What "device stats" shows of one device in memory.
struct DeviceStats {
  uint32_t devAddr = 0;
  std::string devEui;
  std::string deviceClass;
  std::string joined;
  uint32_t seqNum = 0;
  uint32_t up = 0;
  uint32_t down = 0;
  uint32_t first = 0;
  uint32_t second = 0;
  uint32_t dropped = 0;
  SignalStatistics rssi;
  SignalStatistics snr;  // centibels

  Json::Value toJson() const;
  std::string row() const;
};
std::string DeviceStatsHeader();

std::string PacketHeader();
std::string PacketRow(const LoraDatabase::PacketClient::Record& r);
std::string UplinkHeader();
std::string UplinkRow(const LoraDatabase::UplinkPacketClient::Record& r);
std::string DownlinkHeader();
std::string DownlinkRow(const LoraDatabase::DownlinkPacketClient::Record& r);
std::string JoinHeader();
std::string JoinRow(const LoraDatabase::JoinRequestClient::Record& r);
std::string QueueHeader();
std::string QueueRow(const LoraDatabase::DownlinkQueueClient::Record& r);
std::string GatewayHeader();

}  // namespace CommandTables
