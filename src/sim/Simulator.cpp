#include "sim/Simulator.h"

#include <arpa/inet.h>
#include <json/json.h>
#include <mosquittopp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <sstream>
#include <string_view>
#include <unordered_map>

#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "lora/Crypto.h"
#include "lora/TimeOnAir.h"
#include "sim/SimFrames.h"
#include "sim/SimServer.h"

namespace Sim {

namespace {

std::atomic<bool> g_stop{false};

double CpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
void OnSignal(int) { g_stop = true; }

// The server's clock: arrival stamps (UdpSocket::ArrivalUs) are on it too.
int64_t NowUs() { return MonotonicUs(); }

std::string EuiText(uint64_t value) { return UInt64ToHex(value, 16, '-'); }

// Sorted samples with percentile read-out, in milliseconds.
struct Samples {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double at(double fraction) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t i = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size()))) ;
    return values[std::min(values.size() - 1, i == 0 ? 0 : i - 1)];
  }
  Json::Value json() {
    Json::Value v(Json::objectValue);
    auto round = [](double x) { return std::round(x * 1000) / 1000; };
    v["n"] = static_cast<Json::UInt64>(values.size());
    v["min"] = round(at(0.0));
    v["p50"] = round(at(0.5));
    v["p90"] = round(at(0.9));
    v["p99"] = round(at(0.99));
    v["max"] = round(at(1.0));
    return v;
  }
};

// A packet forwarder: one socket for both directions, as the server answers every datagram on
// its downstream socket to the sender's address.
struct Gateway {
  uint64_t eui = 0;
  int fd = -1;
  uint16_t token = 0;
  uint32_t tmstBase = 0;  // the concentrator counter is tmstBase + local microseconds
  std::unordered_map<uint16_t, int64_t> pushSent;  // token -> send time
  int64_t nextPull = 0;
  int64_t nextStat = 0;
  uint32_t rxnb = 0, dwnb = 0, txnb = 0, pushes = 0, acks = 0;
  // The frames it has taken, [start, end) in local microseconds: the radio sends one at a time.
  std::vector<std::pair<int64_t, int64_t>> onAir;

  uint32_t tmst(int64_t us) const { return tmstBase + static_cast<uint32_t>(us); }
};

// Microseconds on air of a txpk ("datr" "SF9BW125", or a number for FSK), 0 when unreadable.
// Spreading factor and bandwidth (kHz) of a LoRa "datr" such as "SF9BW125"; false otherwise.
bool LoraRate(const Json::Value& txpk, unsigned& sf, unsigned& bw) {
  return txpk["datr"].isString() &&
         std::sscanf(txpk["datr"].asCString(), "SF%uBW%u", &sf, &bw) == 2 && bw != 0 && sf <= 12;
}

int64_t AirUs(const Json::Value& txpk) {
  const uint32_t size = txpk["size"].asUInt();
  if (!txpk["datr"].isString()) return static_cast<int64_t>(Lora::getTimeOnAirMs(13, 125, 8, size)) * 1000;
  unsigned sf = 0, bw = 0;
  if (!LoraRate(txpk, sf, bw)) return 0;
  return static_cast<int64_t>(Lora::getTimeOnAirMs(sf, bw, 8, size)) * 1000;
}

// Microseconds of one LoRa symbol at the txpk's "datr", 0 when it is not LoRa.
int64_t SymbolUs(const Json::Value& txpk) {
  unsigned sf = 0, bw = 0;
  return LoraRate(txpk, sf, bw) ? (int64_t{1} << sf) * 1000 / bw : 0;
}

// Where a device of the plan listens, as the regional parameters give it (RX1 offset 0, the
// default RX2), typed in here rather than taken from the server's plans.
struct Listen {
  double mhz = 0;
  std::string datr;  // empty: any rate
};

// The LoRa rate of a downlink datarate index; empty for FSK or an index the plan lacks.
std::string DownlinkDatr(const SimRegion& region, int dr) {
  if (region.wideBand()) return dr >= 8 && dr <= 13 ? "SF" + std::to_string(20 - dr) + "BW500" : "";
  if (dr >= 0 && dr <= 5) return "SF" + std::to_string(12 - dr) + "BW125";
  return dr == 6 && dr <= region.fastestDr ? "SF7BW250" : "";
}

// RX2 at the plan's defaults, or at the rate the join accept gave (rx2Dr, -1 for none).
Listen Rx2Listen(const SimRegion& region, int rx2Dr = -1) {
  Listen listen{region.rx2Mhz, region.rx2Datr};
  if (rx2Dr >= 0) listen.datr = DownlinkDatr(region, rx2Dr);
  return listen;
}

Listen Rx1Listen(const SimRegion& region, double upMhz, const std::string& upDatr) {
  unsigned sf = 0, bw = 0;
  const bool lora = std::sscanf(upDatr.c_str(), "SF%uBW%u", &sf, &bw) == 2;
  if (region.wideBand()) {
    // Eight downlink channels 600 kHz apart, one per block of eight uplink channels' position;
    // the rate keeps the spreading factor at 500 kHz.
    const long channel = std::lround((upMhz - region.firstUpMhz) / 0.2);
    return {923.3 + 0.6 * static_cast<double>(channel % 8),
            lora && bw == 125 ? "SF" + std::to_string(sf) + "BW500" : ""};
  }
  // The dwell-time limit raises a slow uplink's RX1 rate in AS923; that case is not judged.
  if (std::string(region.band) == "AS923" && lora && sf > 10) return {upMhz, ""};
  return {upMhz, upDatr};
}

struct Device {
  uint64_t devEui = 0;
  uint32_t devAddr = 0;
  Lora::CypherKey nwkSKey, appSKey;
  Lora::CypherKey appKey;  // what it joins with
  bool joined = false;
  bool wantsDownlinks = false;
  uint32_t fcnt = 0;
  int32_t lastDownFcnt = -1;
  bool ackDue = false;       // a confirmed downlink waits for our ACK
  uint16_t devNonce = 0;
  int64_t joinSentUs = 0;    // 0: no join in flight
  int64_t lastUpUs = 0;      // local time of the last uplink (the gateways' tmst follow it)
  double lastUpMhz = 0;      // and its channel
  // What its join accept's DLSettings told it: RX1's rate offset and RX2's rate (-1: the plan's
  // default, as an ABP device starts).
  int rx1DrOffset = 0;
  int rx2Dr = -1;
  // No uplink before this: a device sends only once the receive windows of its last uplink have
  // passed and a frame it is receiving has ended, and once its join accept has come.
  int64_t readyUs = 0;
  bool lastUpConfirmed = false;
  bool downlinkQueued = false;  // one of ours waits in the server's queue
  bool answerDue = false;       // the last uplink must be answered (confirmed, or data queued)
};

struct MqttEvent {
  uint64_t devEui;
  std::string event;
  uint32_t fcnt;
  int64_t atUs;
};

// The EUI of a topic level, whatever separators its text has ("00-80-00-...").
uint64_t EuiFromTopic(std::string_view text) {
  uint64_t eui = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') eui = (eui << 4) | static_cast<uint64_t>(c - '0');
    if (c >= 'a' && c <= 'f') eui = (eui << 4) | static_cast<uint64_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') eui = (eui << 4) | static_cast<uint64_t>(c - 'A' + 10);
  }
  return eui;
}

class Broker : public mosqpp::mosquittopp {
 public:
  explicit Broker(const char* id) : mosqpp::mosquittopp(id, true) {}
  std::mutex mutex;
  std::vector<MqttEvent> events;
  std::atomic<bool> subscribed{false};
  int pending = 0;

 private:
  void on_connect(int rc) override {
    if (rc != 0) return;
    subscribe(&pending, "lora/+/up", 1);
    subscribe(&pending, "lora/+/joined", 1);
  }
  void on_subscribe(int, int, const int*) override { subscribed = true; }
  void on_message(const mosquitto_message* m) override {
    const int64_t at = NowUs();
    const std::string topic(m->topic);
    const size_t first = topic.find('/'), last = topic.rfind('/');
    if (first == std::string::npos || last <= first) return;
    const uint64_t eui = EuiFromTopic(std::string_view(topic).substr(first + 1, last - first - 1));
    // "seqn" is the whole counter the server worked out from the frame's low 16 bits, so a
    // wrong guess after a roll-over shows as an uplink never published.
    uint32_t fcnt = 0;
    const std::string body(static_cast<const char*>(m->payload), static_cast<size_t>(m->payloadlen));
    const size_t at_seqn = body.find("\"seqn\":");
    if (at_seqn != std::string::npos) fcnt = static_cast<uint32_t>(std::strtoul(body.c_str() + at_seqn + 7, nullptr, 10));
    std::lock_guard<std::mutex> lock(mutex);
    events.push_back({eui, topic.substr(last + 1), fcnt, at});
  }
};

class Simulation {
 public:
  explicit Simulation(const Options& o) : o_(o), random_(o.seed) {}
  int run();

 private:
  const Options& o_;
  std::mt19937 random_;
  std::vector<Gateway> gateways_;
  std::vector<Device> devices_;
  std::unordered_map<uint32_t, size_t> byAddr_;
  std::unordered_map<uint64_t, size_t> byEui_;
  std::vector<size_t> active_;  // devices with a session, in the order they got it
  std::unordered_map<uint64_t, int64_t> upInFlight_;  // devEui << 32 | fcnt -> send time
  std::unique_ptr<Broker> broker_;
  Lora::CypherKey networkKey_;
  sockaddr_in upstream_{}, downstream_{};

  // Counters for the report.
  uint64_t upSent_ = 0, confirmedSent_ = 0, upPublished_ = 0, upUnmatched_ = 0;
  uint64_t joinsSent_ = 0, joinsAccepted_ = 0, joinsRx1_ = 0, joinsRx2_ = 0, joinedEvents_ = 0;
  uint64_t downRx1_ = 0, downRx2_ = 0, downLate_ = 0, downOther_ = 0, downImme_ = 0;
  uint64_t downCollisions_ = 0;
  uint64_t downBad_ = 0, downFcntErrors_ = 0, downUnknown_ = 0, downAcks_ = 0, downData_ = 0;
  uint64_t downClassC_ = 0, beacons_ = 0, downClassB_ = 0, downOffSlot_ = 0, downRfErrors_ = 0;
  // The last beacon heard: when it went on air (local us, 0: none yet) and its Time field.
  int64_t lastBeaconUs_ = 0;
  uint32_t lastBeaconTime_ = 0;
  int commandFd_ = -1;  // for telling the server a joined device's class
  uint64_t downConfirmed_ = 0, downQueued_ = 0, pullResps_ = 0;
  uint64_t answersDue_ = 0, answeredRx1_ = 0, answeredRx2_ = 0, answeredLate_ = 0;
  int appFd_ = -1;  // the UDP application's socket on the up port (--udp-app)
  uint64_t udpUp_ = 0, udpEvents_ = 0, udpLineEnds_ = 0;
  Samples upLatency_, pushAck_, rx1Lead_, joinLatency_, pingSlotError_;
  std::vector<std::string> faults_;

  bool openGateways();
  bool setUpAbp();
  void queueDownlink(Device& d);
  void tellClass(Device& d);
  void sendUplink(Device& d);
  void sendJoin(Device& d, int64_t now);
  void push(Gateway& g, const Bytes& phy, int64_t now, int index, unsigned channel);
  // The channel of a new transmission: every gateway that hears it hears it there.
  unsigned pickChannel(Device& d);
  void pull(Gateway& g, int64_t now);
  void stat(Gateway& g, int64_t now);
  void receive(Gateway& g);
  void pullResp(Gateway& g, const uint8_t* data, size_t size, int64_t now);
  int64_t pingSlotErrorUs(const Device& d, int64_t onAirUs) const;
  void drainMqtt();
  bool openUdpApp();
  void drainUdpApp();
  void fault(const std::string& text);
  void progress(int64_t elapsedUs, bool final);
  Json::Value report(double seconds, int pid, const ProcessUsage& before, const ProcessUsage& after);
  double simCpuAtStart_ = 0;
  bool sendCommand(int fd, const std::string& command, std::string& reply);
  bool quiet() const { return o_.load; }
};

void Simulation::fault(const std::string& text) {
  if (faults_.size() < 20) faults_.push_back(text);
  if (!quiet()) fprintf(stdout, "FAULT %s\n", text.c_str());
}

bool Simulation::openGateways() {
  upstream_.sin_family = downstream_.sin_family = AF_INET;
  if (inet_pton(AF_INET, o_.host.c_str(), &upstream_.sin_addr) != 1) return false;
  downstream_.sin_addr = upstream_.sin_addr;
  upstream_.sin_port = htons(o_.upstreamPort);
  downstream_.sin_port = htons(o_.downstreamPort);
  for (unsigned i = 0; i < o_.gateways; ++i) {
    Gateway g;
    g.eui = o_.gatewayEuiBase + i;
    g.fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (g.fd < 0) return false;
    int size = 4 << 20;
    setsockopt(g.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // Acknowledgements and PULL_RESP are dated by their arrival, as a forwarder woken on time
    // would see them: the simulator's own wake-ups stay out of the server's figures.
    const int stamp = 1;
    setsockopt(g.fd, SOL_SOCKET, SO_TIMESTAMPNS, &stamp, sizeof stamp);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr = upstream_.sin_addr;
    if (bind(g.fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
    g.tmstBase = static_cast<uint32_t>(random_());
    g.token = static_cast<uint16_t>(random_());
    gateways_.push_back(std::move(g));
  }
  return true;
}

bool Simulation::sendCommand(int fd, const std::string& command, std::string& reply) {
  sockaddr_in to = upstream_;
  to.sin_port = htons(o_.commandPort);
  sendto(fd, command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 3000) <= 0) return false;
  char buffer[4096];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  reply.assign(buffer, n > 0 ? static_cast<size_t>(n) : 0);
  return n > 0;
}

// Personalised devices: a device record and a session for each, through the command port.
bool Simulation::setUpAbp() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  bool ok = true;
  // A class B device is in class A until it has heard a beacon; its uplinks then say it is B.
  const char startClass = o_.deviceClass == 'B' ? 'A' : o_.deviceClass;
  for (size_t i = 0; i < devices_.size() && ok && !g_stop; ++i) {
    Device& d = devices_[i];
    const std::string eui = EuiText(d.devEui);
    char addr[9];
    snprintf(addr, sizeof addr, "%08x", d.devAddr);
    char netId[7];
    snprintf(netId, sizeof netId, "%06x", o_.netId);
    std::string reply;
    if (!sendCommand(fd, "device add {\"deveui\":\"" + eui + "\",\"name\":\"sim-" +
                             std::to_string(i) + "\",\"class\":\"" + startClass + "\"}",
                     reply)) {
      fprintf(stderr, "no answer from the command port %u\n", o_.commandPort);
      ok = false;
      break;
    }
    const std::string session = "session add {\"deveui\":\"" + eui + "\",\"appeui\":\"" +
                                EuiText(o_.joinEui) + "\",\"dev_addr\":\"" + addr +
                                "\",\"net_id\":\"" + netId + "\",\"app_senc_key\":\"" +
                                d.appSKey.text() + "\",\"fnwk_sint_key\":\"" + d.nwkSKey.text() + "\"}";
    ok = sendCommand(fd, session, reply);
    // A session left from an earlier run holds its counters: start it afresh.
    if (ok && reply.find("already exists") != std::string::npos) {
      ok = sendCommand(fd, "session delete " + eui, reply) && sendCommand(fd, session, reply);
    }
    if (!ok || reply.find("success") == std::string::npos) {
      fprintf(stderr, "session add for %s failed: %s\n", eui.c_str(), reply.c_str());
      ok = false;
    }
    // The server keeps the last counter it accepted; the first uplink is one more.
    if (ok && o_.fcntStart > 0) {
      ok = sendCommand(fd, "device update {\"deveui\":\"" + eui + "\",\"up_counter\":" +
                               std::to_string(o_.fcntStart - 1) + "}", reply) &&
           reply.find("success") != std::string::npos;
      if (!ok) fprintf(stderr, "counter start for %s failed: %s\n", eui.c_str(), reply.c_str());
    }
    if (quiet() && i % 500 == 499) fprintf(stderr, "\rsessions %zu/%zu", i + 1, devices_.size());
  }
  if (quiet()) fprintf(stderr, "\n");
  close(fd);
  return ok;
}

// A joined device's class is the device record's, which starts as A.
void Simulation::tellClass(Device& d) {
  if (commandFd_ < 0) commandFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string reply;
  const std::string eui = EuiText(d.devEui);
  if (!sendCommand(commandFd_, "device update {\"deveui\":\"" + eui + "\",\"class\":\"" +
                                   o_.deviceClass + "\"}", reply) ||
      reply.find("success") == std::string::npos) {
    fault("class " + std::string(1, o_.deviceClass) + " for " + eui + ": " + reply);
  }
}

void Simulation::queueDownlink(Device& d) {
  if (!broker_) return;
  Bytes data(4);
  for (uint8_t& b : data) b = static_cast<uint8_t>(random_());
  const std::string body = std::string("{\"data\":\"") + ToBase64(data) + "\",\"port\":2,\"ack\":" +
                           (o_.confirmedDownlinks ? "true" : "false") + "}";
  const std::string topic = "lora/" + UInt64ToHex(d.devEui, 16, 0) + "/down";
  broker_->publish(nullptr, topic.c_str(), static_cast<int>(body.size()), body.data(), 1, false);
  ++downQueued_;
  d.downlinkQueued = true;
}

std::string UtcText(int64_t) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc;
  gmtime_r(&now.tv_sec, &utc);
  char text[64];
  const size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  snprintf(text + n, sizeof text - n, ".%06ldZ", now.tv_nsec / 1000);
  return text;
}

unsigned Simulation::pickChannel(Device& d) {
  const unsigned channel = static_cast<unsigned>(random_() % o_.frequencies.size());
  d.lastUpMhz = o_.frequencies[channel];
  return channel;
}

void Simulation::push(Gateway& g, const Bytes& phy, int64_t now, int index, unsigned channel) {
  const unsigned radio = channel >= (o_.frequencies.size() + 1) / 2 ? 1u : 0u;
  // Each gateway hears the device a little differently.
  const int rssi = -40 - index * 12 - static_cast<int>(random_() % 30);
  const double snr = 9.5 - index * 3.0 - static_cast<double>(random_() % 40) / 10.0;
  char record[1024];
  snprintf(record, sizeof record,
           "{\"rxpk\":[{\"time\":\"%s\",\"tmst\":%u,\"chan\":%u,\"rfch\":%u,\"freq\":%.6f,\"stat\":1,"
           "\"modu\":\"LORA\",\"datr\":\"%s\",\"codr\":\"4/5\",\"lsnr\":%.1f,\"rssi\":%d,\"size\":%zu,"
           "\"data\":\"%s\"}]}",
           UtcText(now).c_str(), g.tmst(now), channel, radio, o_.frequencies[channel],
           o_.datr.c_str(), snr, rssi, phy.size(), ToBase64(phy).c_str());
  std::string datagram = {2, static_cast<char>(g.token >> 8), static_cast<char>(g.token & 0xFF), 0};
  for (int i = 7; i >= 0; --i) datagram += static_cast<char>(g.eui >> (8 * i));
  datagram += record;
  g.pushSent[g.token++] = NowUs();
  ++g.rxnb;
  ++g.pushes;
  sendto(g.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&upstream_),
         sizeof upstream_);
}

void Simulation::pull(Gateway& g, int64_t now) {
  std::string datagram = {2, static_cast<char>(g.token >> 8), static_cast<char>(g.token & 0xFF), 2};
  for (int i = 7; i >= 0; --i) datagram += static_cast<char>(g.eui >> (8 * i));
  ++g.token;
  sendto(g.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&downstream_),
         sizeof downstream_);
  g.nextPull = now + 5'000'000;
}

void Simulation::stat(Gateway& g, int64_t now) {
  timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  tm utc;
  gmtime_r(&wall.tv_sec, &utc);
  char time[40];
  strftime(time, sizeof time, "%Y-%m-%d %H:%M:%S GMT", &utc);
  char record[400];
  snprintf(record, sizeof record,
           "{\"stat\":{\"time\":\"%s\",\"lati\":46.52%03u,\"long\":6.63%03u,\"alti\":%u,\"rxnb\":%u,"
           "\"rxok\":%u,\"rxfw\":%u,\"ackr\":%.1f,\"dwnb\":%u,\"txnb\":%u}}",
           time, static_cast<unsigned>(g.eui % 1000), static_cast<unsigned>(g.eui % 997),
           400 + static_cast<unsigned>(g.eui % 50), g.rxnb, g.rxnb, g.rxnb,
           g.pushes ? 100.0 * g.acks / g.pushes : 100.0, g.dwnb, g.txnb);
  std::string datagram = {2, static_cast<char>(g.token >> 8), static_cast<char>(g.token & 0xFF), 0};
  for (int i = 7; i >= 0; --i) datagram += static_cast<char>(g.eui >> (8 * i));
  datagram += record;
  g.pushSent[g.token++] = NowUs();
  sendto(g.fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&upstream_),
         sizeof upstream_);
  g.rxnb = g.dwnb = g.txnb = 0;
  g.nextStat = now + 30'000'000;
}

void Simulation::sendUplink(Device& d) {
  Uplink up;
  up.devAddr = d.devAddr;
  up.fcnt = d.fcnt++;
  up.port = o_.port;
  up.confirmed = std::uniform_real_distribution<double>(0, 100)(random_) < o_.confirmedPct;
  up.ack = d.ackDue;
  up.classB = o_.deviceClass == 'B' && lastBeaconUs_ != 0;
  d.ackDue = false;
  up.payload.resize(o_.payloadSize);
  for (uint8_t& b : up.payload) b = static_cast<uint8_t>(random_());
  const Bytes phy = BuildUplink(up, d.nwkSKey, d.appSKey);
  // The concentrator counter in the rxpk is read as the frame goes, as a radio stamps it on
  // reception: a counter read before a burst of others were sent would run behind the server's
  // arrival time, and put every frame timed by it (ping slots) early by as much.
  const int64_t now = NowUs();
  d.lastUpUs = now;
  d.readyUs = now + (static_cast<int64_t>(o_.rx1DelayS) + 1) * 1'000'000 + 50'000;
  d.lastUpConfirmed = up.confirmed;
  d.answerDue = up.confirmed || d.downlinkQueued;
  answersDue_ += d.answerDue;
  upInFlight_[(d.devEui << 32) | up.fcnt] = now;
  ++upSent_;
  confirmedSent_ += up.confirmed;
  // Neighbouring gateways hear it: the device's "home" gateway first.
  const size_t home = (&d - devices_.data()) % gateways_.size();
  const unsigned channel = pickChannel(d);
  for (unsigned k = 0; k < o_.hear; ++k) {
    push(gateways_[(home + k) % gateways_.size()], phy, now, static_cast<int>(k), channel);
  }
  if (!quiet()) {
    printf("up    %s fcnt %u port %d %zu bytes%s%s via %u gateway(s)\n", EuiText(d.devEui).c_str(),
           up.fcnt, up.port, up.payload.size(), up.confirmed ? " confirmed" : "",
           up.ack ? " ACK" : "", o_.hear);
  }
}

void Simulation::sendJoin(Device& d, int64_t now) {
  d.devNonce = static_cast<uint16_t>(random_());
  const Bytes phy = BuildJoinRequest(o_.joinEui, d.devEui, d.devNonce, d.appKey);
  d.joinSentUs = now;
  d.lastUpUs = now;
  ++joinsSent_;
  const size_t home = (&d - devices_.data()) % gateways_.size();
  const unsigned channel = pickChannel(d);
  for (unsigned k = 0; k < o_.hear; ++k) {
    push(gateways_[(home + k) % gateways_.size()], phy, now, static_cast<int>(k), channel);
  }
  if (!quiet()) printf("join  %s nonce %04x\n", EuiText(d.devEui).c_str(), d.devNonce);
}

void Simulation::receive(Gateway& g) {
  uint8_t buffer[4096];
  for (;;) {
    iovec data{buffer, sizeof buffer};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(g.fd, &message, MSG_DONTWAIT);
    if (n < 4) return;
    const int64_t now = UdpSocket::ArrivalUs(message);
    const uint16_t token = static_cast<uint16_t>(buffer[1] << 8 | buffer[2]);
    switch (buffer[3]) {
      case 1: {  // PUSH_ACK
        const auto sent = g.pushSent.find(token);
        if (sent != g.pushSent.end()) {
          pushAck_.add(static_cast<double>(now - sent->second) / 1000.0);
          g.pushSent.erase(sent);
          ++g.acks;
        }
        break;
      }
      case 3:
        pullResp(g, buffer, static_cast<size_t>(n), now);
        break;
      default:  // PULL_ACK
        break;
    }
  }
}

void Simulation::pullResp(Gateway& g, const uint8_t* data, size_t size, int64_t now) {
  ++pullResps_;
  ++g.dwnb;
  Json::Value txpk;
  std::string errors;
  std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 4, size - 4));
  Json::parseFromStream(Json::CharReaderBuilder(), in, &txpk, &errors);
  txpk = txpk["txpk"];
  const Bytes phy = FromBase64(txpk["data"].asString());
  // When the concentrator would have to send it, and whether that moment is already past.
  const bool imme = txpk["imme"].asBool();
  const uint32_t at = static_cast<uint32_t>(txpk["tmst"].asUInt64());
  const int64_t leadUs = imme ? 0 : static_cast<int32_t>(at - g.tmst(now));
  const bool late = !imme && leadUs < 0;
  // A frame whose air time overlaps one already taken is refused, as a forwarder's queue does:
  // it would never reach the device.
  const int64_t startUs = now + std::max<int64_t>(leadUs, 0);
  const int64_t endUs = startUs + AirUs(txpk);
  g.onAir.erase(std::remove_if(g.onAir.begin(), g.onAir.end(),
                               [now](const auto& frame) { return frame.second <= now; }),
                g.onAir.end());
  const bool collides = !late && std::any_of(g.onAir.begin(), g.onAir.end(), [&](const auto& frame) {
    return startUs < frame.second && frame.first < endUs;
  });
  std::string ack = {2, static_cast<char>(data[1]), static_cast<char>(data[2]), 5};
  for (int i = 7; i >= 0; --i) ack += static_cast<char>(g.eui >> (8 * i));
  if (late) {
    ack += "{\"txpk_ack\":{\"error\":\"TOO_LATE\"}}";
  } else if (collides) {
    ack += "{\"txpk_ack\":{\"error\":\"COLLISION_PACKET\"}}";
  } else {
    ++g.txnb;
    g.onAir.emplace_back(startUs, endUs);
  }
  sendto(g.fd, ack.data(), ack.size(), 0, reinterpret_cast<sockaddr*>(&downstream_), sizeof downstream_);

  if (phy.empty() || static_cast<size_t>(txpk["size"].asUInt()) != phy.size()) {
    ++downBad_;
    fault("PULL_RESP with a malformed txpk");
    return;
  }
  if (collides) {
    ++downCollisions_;
    if (!quiet()) printf("down  refused: on air with another frame of gateway %016llx\n",
                         static_cast<unsigned long long>(g.eui));
    return;
  }
  // A beacon is sent without a header and is nobody's downlink.
  if (txpk["nhdr"].asBool()) {
    ++beacons_;
    // Both layouts carry the Time field in bytes 3..6, least significant first.
    if (phy.size() >= 7) {
      lastBeaconUs_ = startUs;
      lastBeaconTime_ = static_cast<uint32_t>(phy[3] | phy[4] << 8 | phy[5] << 16) |
                        static_cast<uint32_t>(phy[6]) << 24;
    }
    return;
  }
  const bool accept = (phy[0] >> 5) == 1;
  Device* d = nullptr;
  if (accept) {
    uint64_t eui = 0;
    for (char c : txpk["deveui"].asString()) {
      if (isxdigit(static_cast<unsigned char>(c))) eui = (eui << 4) | std::stoul(std::string(1, c), nullptr, 16);
    }
    const auto found = byEui_.find(eui);
    if (found != byEui_.end()) d = &devices_[found->second];
  } else {
    const auto found = byAddr_.find(PeekDevAddr(phy));
    if (found != byAddr_.end()) d = &devices_[found->second];
  }
  if (d == nullptr) {
    ++downUnknown_;
    return;
  }
  if (!late) d->readyUs = std::max(d->readyUs, endUs);
  // The window is the delay between the uplink's tmst on this gateway and the downlink's.
  const int64_t first = static_cast<int64_t>(accept ? o_.joinDelayS : o_.rx1DelayS) * 1'000'000;
  const int64_t offset = static_cast<int32_t>(at - g.tmst(d->lastUpUs));
  const char* window = imme ? "imme" : std::llabs(offset - first) < 1000 ? "RX1"
                                   : std::llabs(offset - first - 1'000'000) < 1000 ? "RX2" : "other";
  // A class C device hears RX2 between its uplinks too, so that is where its other downlinks go.
  const bool offWindow = !accept && window[2] != '1' && window[2] != '2';
  const bool classC = o_.deviceClass == 'C' && offWindow;
  // A class B device listens between its uplinks only on its ping slots: one missed is lost.
  const bool classB = o_.deviceClass == 'B' && offWindow && !imme;
  const int64_t slotErrorUs = classB ? pingSlotErrorUs(*d, startUs) : 0;
  // The device listens from its slot's start: it catches a frame whose preamble of eight symbols
  // begins up to three symbols either side, keeping the five it needs to lock on.
  const bool onSlot = classB && std::llabs(slotErrorUs) <= 3 * SymbolUs(txpk);
  const bool heardBeacon = slotErrorUs != INT64_MAX;
  if (classB && !late && heardBeacon) pingSlotError_.add(static_cast<double>(slotErrorUs) / 1000.0);
  if (classB && !onSlot && !late) {
    ++downOffSlot_;
    fault("downlink for " + EuiText(d->devEui) + " off its ping slots by " +
          (heardBeacon ? std::to_string(slotErrorUs / 1000) + " ms" : "- (no beacon heard)"));
  }
  // A frame on another frequency or rate than the window's is one the device never hears. A class
  // C device listens on RX2's between its uplinks; ping slots keep their own channels.
  if (o_.checkRf && !late && !classB && (window[0] != 'o' || classC)) {
    // A join accept goes at the plan's defaults; later frames at what it said.
    const SimRegion& region = RegionOf(o_.band);
    Listen want = window[2] == '1' ? Rx1Listen(region, d->lastUpMhz, o_.datr)
                                   : Rx2Listen(region, accept ? -1 : d->rx2Dr);
    if (window[2] == '1' && !accept && d->rx1DrOffset != 0) want.datr.clear();
    const double mhz = txpk["freq"].asDouble();
    const std::string datr = txpk["datr"].isString() ? txpk["datr"].asString() : "";
    if (std::fabs(mhz - want.mhz) > 0.0001 || (!want.datr.empty() && datr != want.datr)) {
      ++downRfErrors_;
      char text[160];
      snprintf(text, sizeof text, "%s downlink for %s on %.4f MHz %s, not %.4f MHz %s", window,
               EuiText(d->devEui).c_str(), mhz, datr.c_str(), want.mhz,
               want.datr.empty() ? "(any rate)" : want.datr.c_str());
      fault(text);
    }
  }
  if (late) ++downLate_;
  else if (onSlot) ++downClassB_;
  else if (classC) ++downClassC_;
  else if (imme) ++downImme_;
  else if (window[2] == '1') ++downRx1_, rx1Lead_.add(static_cast<double>(leadUs) / 1000.0);
  else if (window[2] == '2') ++downRx2_;
  else ++downOther_;

  if (accept) {
    if (d->joinSentUs == 0) return;  // a repeat for a device already joined
    const JoinAccept ja = ReadJoinAccept(phy, d->appKey, d->devNonce);
    if (!ja.valid) {
      ++downBad_;
      fault("join accept for " + EuiText(d->devEui) + ": " + ja.fault);
      return;
    }
    joinLatency_.add(static_cast<double>(now - d->joinSentUs) / 1000.0);
    if (window[2] == '1') ++joinsRx1_;
    if (window[2] == '2') ++joinsRx2_;
    ++joinsAccepted_;
    if (d->joined) byAddr_.erase(d->devAddr);
    d->devAddr = ja.devAddr;
    d->rx1DrOffset = (ja.dlSettings >> 4) & 0x07;
    d->rx2Dr = ja.dlSettings & 0x0F;
    d->nwkSKey = ja.nwkSKey;
    d->appSKey = ja.appSKey;
    d->fcnt = 0;
    d->lastDownFcnt = -1;
    d->joinSentUs = 0;
    byAddr_[d->devAddr] = static_cast<size_t>(d - devices_.data());
    if (!d->joined) active_.push_back(static_cast<size_t>(d - devices_.data()));
    d->joined = true;
    d->readyUs = std::max(d->readyUs, now + leadUs + 50'000);
    if (o_.deviceClass == 'C') tellClass(*d);
    if (d->wantsDownlinks) queueDownlink(*d);
    if (!quiet()) {
      printf("down  %s join accept %s%s (%.0f ms ahead) DevAddr %08x\n", EuiText(d->devEui).c_str(),
             window, late ? " LATE" : "", static_cast<double>(leadUs) / 1000.0, ja.devAddr);
    }
    return;
  }
  const Downlink down = ReadDownlink(phy, d->nwkSKey, d->appSKey);
  if (!down.valid) {
    ++downBad_;
    fault("downlink for " + EuiText(d->devEui) + ": " + down.fault);
    return;
  }
  // A device takes only counters above the last one it accepted.
  if (d->lastDownFcnt >= 0 && static_cast<int16_t>(down.fcnt - d->lastDownFcnt) <= 0) {
    ++downFcntErrors_;
    fault("downlink for " + EuiText(d->devEui) + " repeats FCnt " + std::to_string(down.fcnt));
  }
  d->lastDownFcnt = down.fcnt;
  // The first answer to an uplink that needed one, by the window it was handed over for.
  if (d->answerDue) {
    d->answerDue = false;
    if (late) ++answeredLate_;
    else if (window[2] == '1') ++answeredRx1_;
    else if (window[2] == '2') ++answeredRx2_;
  }
  downAcks_ += down.ack;
  if (down.ack && !d->lastUpConfirmed) fault("ACK for an unconfirmed uplink of " + EuiText(d->devEui));
  if (down.confirmed) {
    ++downConfirmed_;
    d->ackDue = true;
  }
  if (down.port > 0 && !down.payload.empty()) {
    ++downData_;
    d->downlinkQueued = false;
    if (d->wantsDownlinks) queueDownlink(*d);
  }
  if (!quiet()) {
    printf("down  %s %s%s (%.0f ms ahead) fcnt %u%s%s port %d payload %s\n",
           EuiText(d->devEui).c_str(), onSlot ? "ping slot" : classC ? "class C" : window,
           late ? " LATE" : "", static_cast<double>(leadUs) / 1000.0, down.fcnt,
           down.confirmed ? " confirmed" : "", down.ack ? " ACK" : "", down.port,
           ToHex(down.payload).c_str());
  }
}

// From a downlink's time on air to the nearest ping slot of the device, signed; INT64_MAX before
// any beacon was heard. The server may book a slot in a period whose beacon is still to come.
int64_t Simulation::pingSlotErrorUs(const Device& d, int64_t onAirUs) const {
  if (lastBeaconUs_ == 0) return INT64_MAX;
  const uint32_t slots = PingSlots(o_.beaconIntervalS);
  int64_t nearest = INT64_MAX;
  for (uint32_t period = 0; period < 3; ++period) {
    const uint32_t beaconTime = lastBeaconTime_ + period * o_.beaconIntervalS;
    const int64_t slotUs =
        lastBeaconUs_ + int64_t{period} * o_.beaconIntervalS * 1'000'000 +
        (kFirstPingSlotMs + int64_t{kPingSlotMs} * PingOffset(beaconTime, d.devAddr, slots)) * 1000;
    const int64_t error = onAirUs - slotUs;
    if (nearest == INT64_MAX || std::llabs(error) < std::llabs(nearest)) nearest = error;
  }
  return nearest;
}

void Simulation::drainMqtt() {
  if (!broker_) return;
  std::vector<MqttEvent> events;
  {
    std::lock_guard<std::mutex> lock(broker_->mutex);
    events.swap(broker_->events);
  }
  for (const MqttEvent& e : events) {
    if (e.event == "joined") {
      ++joinedEvents_;
      continue;
    }
    const auto sent = upInFlight_.find((e.devEui << 32) | e.fcnt);
    if (sent == upInFlight_.end()) {
      ++upUnmatched_;
      continue;
    }
    const double ms = static_cast<double>(e.atUs - sent->second) / 1000.0;
    upLatency_.add(ms);
    upInFlight_.erase(sent);
    ++upPublished_;
    if (!quiet()) printf("mqtt  %s up fcnt %u after %.1f ms\n", EuiText(e.devEui).c_str(), e.fcnt, ms);
  }
}

bool Simulation::openUdpApp() {
  appFd_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  if (appFd_ < 0) return false;
  // Eight datagrams an uplink: room for a few seconds of them between two drains.
  int size = 8 << 20;
  setsockopt(appFd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in local = upstream_;
  local.sin_port = htons(o_.appPortUp);
  return bind(appFd_, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
}

// Each event arrives as "<topic> <payload>" and then a datagram of "\r\n"; "lora/<EUI>/up" is the
// device's own up event, one an uplink.
void Simulation::drainUdpApp() {
  if (appFd_ < 0) return;
  char buffer[2048];
  for (;;) {
    const ssize_t n = recv(appFd_, buffer, sizeof buffer, 0);
    if (n < 0) return;
    const std::string_view text(buffer, static_cast<size_t>(n));
    if (text == "\r\n") {
      ++udpLineEnds_;
      continue;
    }
    ++udpEvents_;
    const std::string_view topic = text.substr(0, text.find(' '));
    if (topic.size() < 9 || topic.substr(0, 5) != "lora/" || topic.substr(topic.size() - 3) != "/up") continue;
    const std::string_view eui = topic.substr(5, topic.size() - 8);
    if (eui.find('/') != std::string_view::npos) continue;
    if (byEui_.count(EuiFromTopic(eui))) ++udpUp_;
  }
}

void Simulation::progress(int64_t elapsedUs, bool final) {
  fprintf(stderr, "\r%6.1f s  up %llu sent %llu published  joins %llu/%llu  down RX1 %llu RX2 %llu late %llu bad %llu   %s",
          static_cast<double>(elapsedUs) / 1e6, static_cast<unsigned long long>(upSent_),
          static_cast<unsigned long long>(upPublished_), static_cast<unsigned long long>(joinsAccepted_),
          static_cast<unsigned long long>(joinsSent_), static_cast<unsigned long long>(downRx1_),
          static_cast<unsigned long long>(downRx2_), static_cast<unsigned long long>(downLate_),
          static_cast<unsigned long long>(downBad_), final ? "\n" : "");
}


Json::Value Simulation::report(double seconds, int pid, const ProcessUsage& before,
                               const ProcessUsage& after) {
  Json::Value r(Json::objectValue);
  r["devices"] = static_cast<Json::UInt>(devices_.size());
  r["gateways"] = static_cast<Json::UInt>(gateways_.size());
  r["hear"] = o_.hear;
  r["seconds"] = std::round(seconds * 10) / 10;
  r["rate_target"] = o_.rate;
  r["rate_sent"] = seconds > 0 ? std::round(static_cast<double>(upSent_) / seconds * 10) / 10 : 0.0;
  r["uplinks_sent"] = static_cast<Json::UInt64>(upSent_);
  r["confirmed_sent"] = static_cast<Json::UInt64>(confirmedSent_);
  r["uplinks_published"] = static_cast<Json::UInt64>(upPublished_);
  const uint64_t lost = broker_ ? upSent_ - upPublished_ : 0;
  r["lost"] = static_cast<Json::UInt64>(lost);
  r["lost_pct"] = upSent_ ? std::round(1e4 * static_cast<double>(lost) / static_cast<double>(upSent_)) / 100 : 0.0;
  r["up_latency_ms"] = upLatency_.json();
  r["push_ack_ms"] = pushAck_.json();
  if (o_.udpApp) {
    Json::Value& udp = r["udp_app"];
    udp["up"] = static_cast<Json::UInt64>(udpUp_);
    udp["events"] = static_cast<Json::UInt64>(udpEvents_);
    udp["line_ends"] = static_cast<Json::UInt64>(udpLineEnds_);
  }
  Json::Value& down = r["downlinks"];
  down["rx1"] = static_cast<Json::UInt64>(downRx1_);
  down["rx2"] = static_cast<Json::UInt64>(downRx2_);
  down["late"] = static_cast<Json::UInt64>(downLate_);
  down["collisions"] = static_cast<Json::UInt64>(downCollisions_);
  down["imme"] = static_cast<Json::UInt64>(downImme_);
  down["other"] = static_cast<Json::UInt64>(downOther_);
  down["class_c"] = static_cast<Json::UInt64>(downClassC_);
  down["class_b"] = static_cast<Json::UInt64>(downClassB_);
  down["off_slot"] = static_cast<Json::UInt64>(downOffSlot_);
  if (o_.deviceClass == 'B') down["ping_slot_error_ms"] = pingSlotError_.json();
  down["beacons"] = static_cast<Json::UInt64>(beacons_);
  down["bad"] = static_cast<Json::UInt64>(downBad_);
  down["rf_errors"] = static_cast<Json::UInt64>(downRfErrors_);
  down["fcnt_errors"] = static_cast<Json::UInt64>(downFcntErrors_);
  down["unknown_device"] = static_cast<Json::UInt64>(downUnknown_);
  down["acks"] = static_cast<Json::UInt64>(downAcks_);
  down["confirmed"] = static_cast<Json::UInt64>(downConfirmed_);
  down["data"] = static_cast<Json::UInt64>(downData_);
  down["queued"] = static_cast<Json::UInt64>(downQueued_);
  down["rx1_lead_ms"] = rx1Lead_.json();
  Json::Value& answers = r["answers"];
  answers["due"] = static_cast<Json::UInt64>(answersDue_);
  answers["rx1"] = static_cast<Json::UInt64>(answeredRx1_);
  answers["rx2"] = static_cast<Json::UInt64>(answeredRx2_);
  answers["late"] = static_cast<Json::UInt64>(answeredLate_);
  answers["none"] = static_cast<Json::UInt64>(answersDue_ - answeredRx1_ - answeredRx2_ - answeredLate_);
  answers["rx1_pct"] = answersDue_ ? std::round(1e4 * static_cast<double>(answeredRx1_) / static_cast<double>(answersDue_)) / 100 : 0.0;
  Json::Value& joins = r["joins"];
  joins["sent"] = static_cast<Json::UInt64>(joinsSent_);
  joins["accepted"] = static_cast<Json::UInt64>(joinsAccepted_);
  joins["rx1"] = static_cast<Json::UInt64>(joinsRx1_);
  joins["rx2"] = static_cast<Json::UInt64>(joinsRx2_);
  joins["joined_events"] = static_cast<Json::UInt64>(joinedEvents_);
  joins["devices_joined"] = static_cast<Json::UInt64>(o_.abp ? 0 : active_.size());
  joins["latency_ms"] = joinLatency_.json();
  Json::Value& server = r["server"];
  server["pid"] = pid;
  if (before.ok && after.ok) {
    const double cpu = after.cpuSeconds - before.cpuSeconds;
    server["cpu_s"] = std::round(cpu * 100) / 100;
    server["cpu_us_per_uplink"] = upSent_ ? std::round(cpu * 1e6 / static_cast<double>(upSent_)) : 0.0;
    server["vmhwm_kb"] = static_cast<Json::Int64>(after.vmHwmKb);
    server["vmrss_kb"] = static_cast<Json::Int64>(after.vmRssKb);
    // Where the CPU went, for a reader looking for the thread to work on; wake-ups are most of
    // what a lightly loaded server spends, so they are counted beside it.
    if (upSent_) {
      const double uplinks = static_cast<double>(upSent_);
      Json::Value& threads = server["threads_us_per_uplink"];
      threads = Json::Value(Json::objectValue);
      for (const auto& [name, total] : after.threadCpuSeconds) {
        auto earlier = before.threadCpuSeconds.find(name);
        const double spent =
            total - (earlier != before.threadCpuSeconds.end() ? earlier->second : 0);
        threads[name] = std::round(std::max(spent, 0.0) * 1e6 / uplinks);
      }
      server["switches_per_uplink"] =
          std::round(100 * static_cast<double>(after.contextSwitches - before.contextSwitches) /
                     uplinks) /
          100;
    }
  }
  // The simulator's own share of the machine while the load ran, beside the server's.
  r["sim_cpu_s"] = std::round((CpuSeconds() - simCpuAtStart_) * 100) / 100;
  for (const std::string& f : faults_) r["faults"].append(f);
  return r;
}

// The options hold keys as 32 hex digits, checked when they were read.
Lora::CypherKey KeyOf(const std::string& hex) {
  if (hex.empty()) return Lora::CypherKey();
  uint8_t key[16];
  HexToBytes(hex.c_str(), key, 16, false);
  return Lora::CypherKey(key);
}

int Simulation::run() {
  networkKey_ = KeyOf(o_.networkKey);
  const Lora::CypherKey appKey = KeyOf(o_.appKey);
  if (!openGateways()) {
    fprintf(stderr, "cannot open the gateway sockets towards %s\n", o_.host.c_str());
    return 2;
  }
  const uint32_t nwkId = (o_.netId & 0x7F) << 25;
  std::uniform_real_distribution<double> percent(0, 100);
  devices_.resize(o_.devices);
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device& d = devices_[i];
    d.devEui = o_.devEuiBase + i;
    byEui_[d.devEui] = i;
    d.wantsDownlinks = percent(random_) < o_.downlinkPct;
    d.appKey = networkKey_;
    if (!o_.appKey.empty()) d.appKey = appKey;
    if (o_.zeroTouch) {
      d.appKey = ZeroTouchAppKey(Lora::EUI::FromValue(d.devEui), Lora::EUI::FromValue(o_.joinEui),
                                 o_.baseKey, o_.salt);
    }
    if (o_.abp) {
      d.devAddr = nwkId | ((o_.devAddrBase + static_cast<uint32_t>(i)) & 0x01FFFFFF);
      // Keys that are the same on every run, so a rerun meets the sessions it left.
      d.nwkSKey = CmacKeyFromText("sim nwk " + EuiText(d.devEui));
      d.appSKey = CmacKeyFromText("sim app " + EuiText(d.devEui));
      d.fcnt = o_.fcntStart;
      byAddr_[d.devAddr] = i;
    }
  }

  if (o_.mqtt) {
    mosqpp::lib_init();
    const std::string id = "vallorin-sim-" + std::to_string(getpid());
    broker_ = std::make_unique<Broker>(id.c_str());
    if (!o_.mqttUser.empty()) broker_->username_pw_set(o_.mqttUser.c_str(), o_.mqttPassword.c_str());
    broker_->max_inflight_messages_set(0);
    if (broker_->connect(o_.mqttHost.c_str(), o_.mqttPort, 30) != MOSQ_ERR_SUCCESS ||
        broker_->loop_start() != MOSQ_ERR_SUCCESS) {
      fprintf(stderr, "cannot reach the MQTT broker at %s:%d\n", o_.mqttHost.c_str(), o_.mqttPort);
      return 2;
    }
    for (int i = 0; i < 500 && !broker_->subscribed; ++i) usleep(10000);
    if (!broker_->subscribed) {
      fprintf(stderr, "no subscription on the MQTT broker at %s:%d\n", o_.mqttHost.c_str(), o_.mqttPort);
      return 2;
    }
  }
  if (o_.udpApp && !openUdpApp()) {
    fprintf(stderr, "cannot listen on the application up port %u\n", o_.appPortUp);
    return 2;
  }
  // Start-up time as a forwarder sees it: from now (the server was just started) to the first
  // PUSH_ACK, keeping a status record in flight every 10 ms.
  double firstAckMs = -1;
  if (o_.firstAck > 0) {
    const int64_t from = NowUs();
    Gateway& g = gateways_.front();
    while (firstAckMs < 0 && NowUs() - from < static_cast<int64_t>(o_.firstAck * 1e6) && !g_stop) {
      stat(g, NowUs());
      pollfd p{g.fd, POLLIN, 0};
      if (poll(&p, 1, 10) > 0) {
        receive(g);
        if (g.acks > 0) firstAckMs = static_cast<double>(NowUs() - from) / 1000.0;
      }
    }
    if (quiet()) fprintf(stderr, "first PUSH_ACK after %.1f ms\n", firstAckMs);
  }
  // The forwarders pull first, so downlinks have somewhere to go.
  for (Gateway& g : gateways_) {
    pull(g, NowUs());
    stat(g, NowUs());
  }
  if (o_.abp && !setUpAbp()) return 2;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (!o_.abp) continue;
    devices_[i].joined = true;
    active_.push_back(i);
    if (devices_[i].wantsDownlinks) queueDownlink(devices_[i]);
  }

  // Acknowledgements of the status records sent before a long set-up are no measure of anything.
  for (Gateway& g : gateways_) {
    receive(g);
    g.pushSent.clear();
  }
  pushAck_.values.clear();
  const int pid = o_.serverPid ? o_.serverPid : FindUdpPortOwner(o_.upstreamPort);
  const ProcessUsage before = ReadProcessUsage(pid);
  simCpuAtStart_ = CpuSeconds();
  signal(SIGINT, OnSignal);
  signal(SIGTERM, OnSignal);
  const int64_t start = NowUs();
  const int64_t end = o_.duration > 0 ? start + static_cast<int64_t>(o_.duration * 1e6) : INT64_MAX;
  const double drain = o_.drain >= 0 ? o_.drain : (o_.abp ? 3.0 : o_.joinDelayS + 3.0);
  int64_t stopAt = INT64_MAX;
  double upDue = 0, joinDue = 0;  // seconds since start of the next uplink / join request
  uint64_t upSeq = 0;
  size_t nextJoiner = 0;
  int64_t nextProgress = start + 1'000'000;
  std::vector<pollfd> fds;
  for (const Gateway& g : gateways_) fds.push_back({g.fd, POLLIN, 0});

  while (!g_stop) {
    const int64_t now = NowUs();
    if (now >= end && stopAt == INT64_MAX) stopAt = now + static_cast<int64_t>(drain * 1e6);
    if (now >= stopAt) break;
    const double t = static_cast<double>(now - start) / 1e6;
    if (stopAt == INT64_MAX) {
      // Join requests at their own pace; a device without an answer after both windows retries.
      while (!o_.abp && joinDue <= t) {
        Device* joiner = nullptr;
        for (size_t k = 0; k < devices_.size() && joiner == nullptr; ++k) {
          Device& d = devices_[(nextJoiner + k) % devices_.size()];
          const bool stale = d.joinSentUs && now - d.joinSentUs > (o_.joinDelayS + 3) * 1'000'000ll;
          if (!d.joined && (d.joinSentUs == 0 || stale)) {
            joiner = &d;
            nextJoiner = (nextJoiner + k + 1) % devices_.size();
          }
        }
        if (joiner == nullptr) break;
        sendJoin(*joiner, now);
        joinDue += 1.0 / o_.joinRate;
      }
      if (joinDue < t) joinDue = t;
      const double rate = o_.rate > 0 ? o_.rate : static_cast<double>(active_.size()) / o_.interval;
      while (!active_.empty() && rate > 0 && upDue <= t) {
        // A device that is still waiting for its join accept to go out lets the next one speak.
        for (size_t tries = 0; tries < active_.size(); ++tries) {
          Device& d = devices_[active_[upSeq++ % active_.size()]];
          if (d.readyUs > now) continue;
          sendUplink(d);
          break;
        }
        upDue += 1.0 / rate;
      }
      if (active_.empty() || rate <= 0) upDue = t;
    }
    for (Gateway& g : gateways_) {
      if (now >= g.nextPull) pull(g, now);
      if (now >= g.nextStat) stat(g, now);
    }
    // Sleep to the next uplink to the microsecond: at thousands a second, whole milliseconds would
    // turn the wait into a busy loop that takes CPU from the server being measured.
    const bool joining = !o_.abp && active_.size() < devices_.size();
    const double wait = std::min(active_.empty() ? 1e9 : upDue, joining ? joinDue : 1e9) -
                        static_cast<double>(NowUs() - start) / 1e6;
    const long waitUs = stopAt != INT64_MAX ? 5000 : std::max(0L, std::min(5000L, static_cast<long>(wait * 1e6)));
    const timespec timeout{0, waitUs * 1000};
    if (ppoll(fds.data(), fds.size(), &timeout, nullptr) > 0) {
      for (size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents & POLLIN) receive(gateways_[i]);
      }
    }
    drainMqtt();
    drainUdpApp();
    if (stopAt != INT64_MAX && upInFlight_.empty()) {
      // Every uplink was published: wait only for the answers the last ones may still get.
      const int64_t lastAnswer = static_cast<int64_t>(o_.abp ? o_.rx1DelayS : o_.joinDelayS) + 1;
      if (NowUs() > end + lastAnswer * 1'000'000) break;
    }
    if (quiet() && NowUs() >= nextProgress) {
      progress(NowUs() - start, false);
      nextProgress += 1'000'000;
    }
  }
  const double seconds = static_cast<double>(std::min(NowUs(), end) - start) / 1e6;
  const ProcessUsage after = ReadProcessUsage(pid);
  drainMqtt();
  drainUdpApp();
  if (appFd_ >= 0) close(appFd_);
  if (commandFd_ >= 0) close(commandFd_);
  if (broker_) {
    broker_->disconnect();
    broker_->loop_stop();
    mosqpp::lib_cleanup();
  }
  for (Gateway& g : gateways_) close(g.fd);

  Json::Value r = report(seconds, pid, before, after);
  if (o_.firstAck > 0) r["first_push_ack_ms"] = std::round(firstAckMs * 10) / 10;
  const bool clean =
      r["lost"].asUInt64() == 0 && downBad_ == 0 && downFcntErrors_ == 0 && downOffSlot_ == 0 &&
      downRfErrors_ == 0;
  if (quiet()) progress(NowUs() - start, true);
  Json::StreamWriterBuilder compact;
  compact["indentation"] = "";
  compact["precision"] = 7;
  printf("%s\n", Json::writeString(compact, r).c_str());
  fflush(stdout);
  fprintf(stderr,
          "%llu uplinks sent in %.1f s (%.0f/s), %llu published, %llu lost (%.2f %%)\n"
          "PUSH_DATA -> MQTT up: p50 %.2f ms, p99 %.2f ms, max %.2f ms; PUSH_ACK p99 %.2f ms\n"
          "downlinks: %llu RX1, %llu RX2, %llu late, %llu imme, %llu other, %llu class C, %llu class B (%llu off their ping slots), %llu refused on air with another; %llu bad MIC, %llu FCnt faults, %llu on the wrong frequency or rate\n"
          "answers due %llu: %llu in RX1 (%.2f %%), %llu in RX2, %llu late, %llu none\n"
          "RX1 hand-over ahead of the window: min %.2f ms, p50 %.2f ms, max %.2f ms\n"
          "joins: %llu sent, %llu accepted (%llu RX1, %llu RX2)\n",
          static_cast<unsigned long long>(upSent_), seconds, r["rate_sent"].asDouble(),
          static_cast<unsigned long long>(upPublished_), static_cast<unsigned long long>(r["lost"].asUInt64()),
          r["lost_pct"].asDouble(), r["up_latency_ms"]["p50"].asDouble(), r["up_latency_ms"]["p99"].asDouble(),
          r["up_latency_ms"]["max"].asDouble(), r["push_ack_ms"]["p99"].asDouble(),
          static_cast<unsigned long long>(downRx1_), static_cast<unsigned long long>(downRx2_),
          static_cast<unsigned long long>(downLate_), static_cast<unsigned long long>(downImme_),
          static_cast<unsigned long long>(downOther_), static_cast<unsigned long long>(downClassC_),
          static_cast<unsigned long long>(downClassB_), static_cast<unsigned long long>(downOffSlot_),
          static_cast<unsigned long long>(downCollisions_),
          static_cast<unsigned long long>(downBad_), static_cast<unsigned long long>(downFcntErrors_),
          static_cast<unsigned long long>(downRfErrors_), static_cast<unsigned long long>(answersDue_), static_cast<unsigned long long>(answeredRx1_),
          r["answers"]["rx1_pct"].asDouble(), static_cast<unsigned long long>(answeredRx2_),
          static_cast<unsigned long long>(answeredLate_),
          static_cast<unsigned long long>(r["answers"]["none"].asUInt64()),
          r["downlinks"]["rx1_lead_ms"]["min"].asDouble(), r["downlinks"]["rx1_lead_ms"]["p50"].asDouble(),
          r["downlinks"]["rx1_lead_ms"]["max"].asDouble(),
          static_cast<unsigned long long>(joinsSent_),
          static_cast<unsigned long long>(joinsAccepted_), static_cast<unsigned long long>(joinsRx1_),
          static_cast<unsigned long long>(joinsRx2_));
  if (o_.udpApp) {
    fprintf(stderr, "UDP application: %llu device up events of %llu events, %llu line ends\n",
            static_cast<unsigned long long>(udpUp_), static_cast<unsigned long long>(udpEvents_),
            static_cast<unsigned long long>(udpLineEnds_));
  }
  if (r["server"].isMember("cpu_s")) {
    fprintf(stderr, "server pid %d: %.2f s CPU (%.0f us/uplink), peak RSS %.1f MB\n", pid,
            r["server"]["cpu_s"].asDouble(), r["server"]["cpu_us_per_uplink"].asDouble(),
            static_cast<double>(r["server"]["vmhwm_kb"].asInt64()) / 1024.0);
    const Json::Value& threads = r["server"]["threads_us_per_uplink"];
    if (threads.isObject() && !threads.empty()) {
      std::string parts;
      for (const std::string& name : threads.getMemberNames()) {
        parts += " " + name + " " + std::to_string(threads[name].asInt64());
      }
      fprintf(stderr, "server threads (us/uplink):%s; %.2f context switches/uplink\n",
              parts.c_str(), r["server"]["switches_per_uplink"].asDouble());
    }
  }
  return clean ? 0 : 1;
}

}  // namespace

int Run(const Options& options) { return Simulation(options).run(); }

}  // namespace Sim
