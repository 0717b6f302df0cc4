// The reception path under load: PUSH_DATA datagrams with rxpk records for unknown devices (the
// classification path), decoded directly and through the five packet workers.
#include <benchmark/benchmark.h>
#include <json/json.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "PacketWorkers.h"
#include "ProtocolRig.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpListenerProbe.h"
#include "gateway/UdpSocket.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

struct Receiver : ProtocolRig {
  UdpSocket downstream;

  Receiver() {
    ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::ERROR_LEVEL, false);
    downstream.open(0, false);  // acknowledgements go out for real
    links.downstream = &downstream;
  }
};

// A PUSH_DATA as a busy eight-channel gateway sends it: `packets` rxpk records, each a data frame.
std::vector<uint8_t> PushData(int packets) {
  std::string json = "{\"rxpk\":[";
  for (int i = 0; i < packets; ++i) {
    uint8_t frame[] = {0x40, 4, 3,    2,    1,    0,    static_cast<uint8_t>(i),
                       0,    1, 0x55, 0x10, 0x20, 0x30, static_cast<uint8_t>(i)};
    char data[Base64EncodedCapacity(sizeof frame)];
    Base64Encode(frame, sizeof frame, data, true);
    if (i > 0) json += ",";
    json += "{\"time\":\"2026-12-05T01:02:03.456789Z\",\"tmst\":3512348611,\"chan\":" +
            std::to_string(i % 8) +
            ",\"rfch\":0,\"freq\":868.100000,\"stat\":1,\"modu\":\"LORA\",\"datr\":\"SF7BW125\","
            "\"codr\":\"4/5\",\"lsnr\":7.8,\"rssi\":-42,\"size\":14,\"data\":\"" +
            std::string(data) + "\"}";
  }
  json += "]}";
  const uint8_t header[] = {2, 0x12, 0x34, 0, 1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> datagram(sizeof header + json.size());
  std::memcpy(datagram.data(), header, sizeof header);
  std::memcpy(datagram.data() + sizeof header, json.data(), json.size());
  return datagram;
}

void BM_HandlePushData(benchmark::State& state) {
  Receiver receiver;
  const std::vector<uint8_t> datagram = PushData(static_cast<int>(state.range(0)));
  sockaddr_in sender = UdpSocket::LoopbackAddress(9);  // discard port
  for (auto _ : state) {
    MessageProtocol::HandleDatagram(receiver.links, datagram.data(),
                                    datagram.data() + datagram.size(), sender);
    receiver.recent.trim(30);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["rxpk/s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandlePushData)->Arg(1)->Arg(8)->UseRealTime();

// The receive loop's side: hand-over to the five workers, a thread per datagram, as in service.
void BM_WorkerPoolPushData(benchmark::State& state) {
  Receiver receiver;
  const std::vector<uint8_t> datagram = PushData(static_cast<int>(state.range(0)));
  sockaddr_in sender = UdpSocket::LoopbackAddress(9);
  PacketWorkerPool pool(
      [&](const uint8_t* begin, const uint8_t* end, const sockaddr_in& from, int64_t) {
        MessageProtocol::HandleDatagram(receiver.links, begin, end, from);
      });
  for (auto _ : state) {
    pool.handOver(datagram.data(), datagram.size(), sender);
    receiver.recent.trim(30);
  }
  while (pool.busyCount() > 0) SleepMs(1);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WorkerPoolPushData)->Arg(1)->Arg(8)->UseRealTime();

}  // namespace

// An event for the application up port with nobody bound there: two datagrams, each refused with
// an ICMP "port unreachable" the kernel builds and delivers on the sending thread (arg 0), against
// asking the kernel whether anybody is there (arg 1).
void BM_UpPortWithoutListener(benchmark::State& state) {
  UdpSocket sender, vacated;
  sender.open(0, false);
  vacated.open(0, false);
  const sockaddr_in to = UdpSocket::LoopbackAddress(vacated.localPort());
  vacated.close();
  const sockaddr_in self = UdpSocket::LoopbackAddress(sender.localPort());
  UdpListenerProbe probe;
  if (state.range(0) == 1 && !probe.open(self)) {
    state.SkipWithError("no UDP socket diagnostics in this kernel");
    return;
  }
  const std::string event = "lora/00-80-00-00-00-00-e1-9c/up {\"fcnt\":1,\"port\":2}";
  static const uint8_t kLineEnd[] = {'\r', '\n'};
  for (auto _ : state) {
    if (state.range(0) == 1) {
      benchmark::DoNotOptimize(probe.ask(self, to));
    } else {
      sender.send(to, reinterpret_cast<const uint8_t*>(event.data()), event.size());
      sender.send(to, kLineEnd, sizeof kLineEnd);
    }
  }
}
BENCHMARK(BM_UpPortWithoutListener)->Arg(0)->Arg(1);
