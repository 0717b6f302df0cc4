#include "commands/CommandTables.h"

#include <cstdarg>
#include <cstdio>

namespace CommandTables {
namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int length = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) vsnprintf(&out[0], out.size() + 1, format, args);
  va_end(args);
  return out;
}

std::string AddrText(uint32_t devAddr) { return Format("%08x", devAddr); }

const std::string& OrNotSet(const std::string& text) {
  static const std::string notSet = "(Not Set)";
  return text.empty() ? notSet : text;
}

std::string PortText(bool hasPort, uint32_t port) { return hasPort ? std::to_string(port) : "-"; }

}  // namespace

std::string Bold(const std::string& header) { return "\x1b[1m" + header + "\x1b[0m\n"; }

std::string DeviceHeader() {
  return Bold(Format(
      "%-24s %-16s %-12s %-10s %-10s %-5s %-7s %-9s %-10s %-6s %-10s %-9s %-9s %-20s %s", "Dev EUI",
      "Serial", "Product", "HW Version", "FW Version", "Class", "Rejoins", "Rx1 Delay",
      "Rx1 Offset", "Rx2 DR", "Rx2 Freq", "ACK Limit", "ACK Delay", "Created", "Tags/Name"));
}

std::string DeviceRow(const LoraDatabase::DeviceClient::Record& r) {
  return Format(
      "%-24s %-16s %-12s %-10s %-10s %-5s %-7lld %-9lld %-10lld %-6lld %-10.6f %-9lld %-9lld %-20s "
      "%s/%s\n",
      r.deviceEui.c_str(), r.serialNumber.c_str(), r.productId.c_str(), r.hardwareVersion.c_str(),
      r.firmwareVersion.c_str(), r.deviceClass.c_str(), static_cast<long long>(r.rejoinCount),
      static_cast<long long>(r.rx1Delay), static_cast<long long>(r.rx1DatarateOffset),
      static_cast<long long>(r.rx2DatarateIndex), r.rx2Frequency,
      static_cast<long long>(r.adrAckLimit), static_cast<long long>(r.adrAckDelay),
      r.createdAt.c_str(), r.tags.c_str(), r.name.c_str());
}

std::string SessionHeader() {
  return Bold(
      Format("%-24s %-24s %-24s %-9s %-7s %-33s %-33s %-10s %-10s %-9s %-10s %-6s %-10s %-7s %s",
             "Dev EUI", "Join EUI", "App EUI", "Dev Addr", "Net ID", "Application SKey",
             "Network SKey", "Up FCnt", "Down FCnt", "RX1 Delay", "RX1 Offset", "RX2 DR",
             "RX2 Freq", "Battery", "Created"));
}

std::string SessionRow(const LoraDatabase::SessionClient::Record& r) {
  return Format(
      "%-24s %-24s %-24s %-9s %06x  %-33s %-33s %-10u %-10u %-9lld %-10lld %-6lld %-10.6f %-7lld "
      "%s\n",
      r.deviceEui.c_str(), r.joinEui.c_str(), r.appEui.c_str(), AddrText(r.devAddr).c_str(),
      r.netId, r.appSEncKey.c_str(), r.fNwkSIntKey.c_str(), r.upCounter, r.nwkDownCounter,
      static_cast<long long>(r.rx1Delay), static_cast<long long>(r.rx1DatarateOffset),
      static_cast<long long>(r.rx2DatarateIndex), r.rx2Frequency,
      static_cast<long long>(r.statusBattery), r.createdAt.c_str());
}

std::string DeviceConfig(const LoraDatabase::SessionClient::Record& r) {
  std::string out =
      Bold(Format("%-12s %-24s %-6s %-24s %-24s %-33s %-33s %s", "Dev Addr", "Dev EUI", "Class",
                  "App EUI", "Join EUI", "Network SKey", "Application SKey", "Created"));
  out += Format("%-12s %-24s %-6s %-24s %-24s %-33s %-33s %s\n", AddrText(r.devAddr).c_str(),
                OrNotSet(r.deviceEui).c_str(), OrNotSet(r.deviceClass).c_str(),
                OrNotSet(r.appEui).c_str(), OrNotSet(r.joinEui).c_str(),
                OrNotSet(r.fNwkSIntKey).c_str(), OrNotSet(r.appSEncKey).c_str(),
                OrNotSet(r.createdAt).c_str());
  return out;
}

std::string DeviceStatsHeader() {
  return Bold(
      "Dev Addr     Dev EUI                  Class  Joined                Seq Num       Up     "
      "Down      1st      2nd  Dropped  RSSI min   max   avg  SNR min   max   avg  PER%");
}

Json::Value DeviceStats::toJson() const {
  Json::Value json(Json::objectValue);
  json["dev_addr"] = AddrText(devAddr);
  json["deveui"] = devEui;
  json["class"] = deviceClass;
  json["joined"] = joined;
  json["seqNum"] = seqNum;
  json["pktsUp"] = up;
  json["pktsDown"] = down;
  json["pkts1st"] = first;
  json["pkts2nd"] = second;
  json["dropped"] = dropped;
  json["rssiMin"] = rssi.minimum;
  json["rssiMax"] = rssi.maximum;
  json["rssiAvg"] = rssi.average;
  json["snrMin"] = snr.minimum / 10.0;
  json["snrMax"] = snr.maximum / 10.0;
  json["snrAvg"] = snr.average / 10.0;
  return json;
}

std::string DeviceStats::row() const {
  // Frames missed against frames expected: what the radio link loses.
  const uint64_t expected = static_cast<uint64_t>(up) + dropped;
  const double per = expected == 0 ? 0.0 : 100.0 * dropped / static_cast<double>(expected);
  return Format(
      "%-12s %-24s %-6s %-21s %8u %8u %8u %8u %8u %8u %9d %5d %5d %8.1f %5.1f %5.1f %5.1f\n",
      AddrText(devAddr).c_str(), devEui.c_str(), deviceClass.c_str(), joined.c_str(), seqNum, up,
      down, first, second, dropped, rssi.minimum, rssi.maximum, rssi.average, snr.minimum / 10.0,
      snr.maximum / 10.0, snr.average / 10.0, per);
}

std::string PacketHeader() {
  return Bold(
      Format("%-24s %-24s %-24s %-10s %-10s %-9s %-5s %-8s %-6s %-12s %-20s %-5s %-5s %-10s %s",
             "Gw EUI", "App EUI", "Dev EUI", "Frequency", "Datarate", "Dev Addr", "Ctrl", "FCnt",
             "RSSI", "Tmst", "Rx Time", "Type", "Port", "Commands", "Payload"));
}

std::string PacketRow(const LoraDatabase::PacketClient::Record& r) {
  return Format(
      "%-24s %-24s %-24s %-10.6f %-10s %-9s %-5u %-8u %-6s %-12s %-20s %-5u %-5s %-10s %s\n",
      r.gatewayEui.c_str(), r.appEui.c_str(), r.deviceEui.c_str(), r.frequency, r.datarate.c_str(),
      AddrText(r.devAddr).c_str(), r.control, r.counter,
      r.hasRssi ? std::to_string(r.rssi).c_str() : "-", r.tmst.c_str(), r.time.c_str(),
      r.messageType, PortText(r.hasPort, r.port).c_str(), r.commands.c_str(), r.data.c_str());
}

std::string UplinkHeader() {
  return Bold(
      Format("%-24s %-24s %-24s %-10s %-10s %-9s %-5s %-8s %-6s %-12s %-20s %-5s %-5s %-10s %s",
             "Gw EUI", "App EUI", "Dev EUI", "Frequency", "Datarate", "Dev Addr", "Ctrl", "FCnt",
             "RSSI", "Tmst", "Rx Time", "Type", "Port", "Commands", "Payload"));
}

std::string UplinkRow(const LoraDatabase::UplinkPacketClient::Record& r) {
  return Format(
      "%-24s %-24s %-24s %-10.6f %-10s %-9s %-5u %-8u %-6lld %-12s %-20s %-5u %-5s %-10s %s\n",
      r.gatewayEui.c_str(), r.appEui.c_str(), r.deviceEui.c_str(), r.frequency, r.datarate.c_str(),
      AddrText(r.devAddr).c_str(), r.control, r.counter, static_cast<long long>(r.rssi),
      r.tmst.c_str(), r.rxTime.c_str(), r.messageType, PortText(r.hasPort, r.port).c_str(),
      r.commands.c_str(), r.data.c_str());
}

std::string DownlinkHeader() {
  return Bold(Format(
      "%-24s %-24s %-24s %-10s %-10s %-9s %-5s %-8s %-5s %-5s %-12s %-20s %-5s %-5s %-10s %s",
      "Gw EUI", "App EUI", "Dev EUI", "Frequency", "Datarate", "Dev Addr", "Ctrl", "FCnt", "RxACK",
      "TxACK", "Tmst", "Tx Time", "Type", "Port", "Commands", "Payload"));
}

std::string DownlinkRow(const LoraDatabase::DownlinkPacketClient::Record& r) {
  return Format(
      "%-24s %-24s %-24s %-10.6f %-10s %-9s %-5u %-8u %-5d %-5d %-12s %-20s %-5u %-5s %-10s %s\n",
      r.gatewayEui.c_str(), r.appEui.c_str(), r.deviceEui.c_str(), r.frequency, r.datarate.c_str(),
      AddrText(r.devAddr).c_str(), r.control, r.counter, r.rxAckReceived ? 1 : 0,
      r.txAckReceived ? 1 : 0, r.tmst.c_str(), r.txTime.c_str(), r.messageType,
      PortText(r.hasPort, r.port).c_str(), r.commands.c_str(), r.data.c_str());
}

std::string JoinHeader() {
  return Bold(Format("%-24s %-40s %-10s %-10s %-6s %s", "Gw EUI", "Payload", "Frequency",
                     "Datarate", "RSSI", "Tx/Rx Time"));
}

std::string JoinRow(const LoraDatabase::JoinRequestClient::Record& r) {
  const std::string payload = r.joinEui + " " + r.deviceEui + " " + std::to_string(r.nonce);
  return Format("%-24s %-40s %-10.6f %-10s %-6s %s\n", r.gatewayEui.c_str(), payload.c_str(),
                r.frequency, r.datarate.c_str(), r.hasRssi ? std::to_string(r.rssi).c_str() : "-",
                r.time.c_str());
}

std::string QueueHeader() {
  return Bold(Format("%-6s %-24s %-5s %-5s %-8s %-5s %-9s %-9s %-20s %s", "ID", "Dev EUI", "Size",
                     "Port", "Priority", "RxWnd", "Retry Max", "Retry Cnt", "Queued", "Payload"));
}

std::string QueueRow(const LoraDatabase::DownlinkQueueClient::Record& r) {
  return Format("%-6lld %-24s %-5u %-5u %-8u %-5u %-9u %-9u %-20s %s\n",
                static_cast<long long>(r.id), r.deviceEui.c_str(), r.dataSize, r.port, r.priority,
                r.rxWindow, r.retryMax, r.retryCount, r.createdAt.c_str(), r.data.c_str());
}

std::string GatewayHeader() {
  return Bold(Format(
      "Mac Addr                 IP Address       IP Port  Version  %-20s %-8s %-8s %-8s %-8s %s",
      "Last Seen", "Rx OK", "Rx Fwd", "Rx Cnt", "Tx Cnt", "Ack Rate"));
}

}  // namespace CommandTables
