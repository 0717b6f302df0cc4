// Uplink-packet inserts per second on the run-time copy, kept in RAM-backed storage as on the
// gateway (/dev/shm when present, else the temporary folder).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Database/Lora-Database.h"
#include "support/Logger.h"

namespace {

std::string MakeFolder() {
  struct stat info {};
  const char* tmp = std::getenv("TMPDIR");
  std::string base = stat("/dev/shm", &info) == 0 ? "/dev/shm" : (tmp != nullptr ? tmp : "/tmp");
  std::string pattern = base + "/vallorin-bench-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) return "";
  return pattern;
}

// Arg 0: one device, every insert its own transaction. Arg 1: as the server stores them, 10 000
// devices in turn and the writes grouped, so that the indexes on the device columns are written at
// random places as they are under load.
void BM_AddUplinkPacket(benchmark::State& state) {
  // A fresh file logs the failed version query once; that is expected here.
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  const bool asServed = state.range(0) != 0;
  const uint32_t devices = asServed ? 10000 : 1;
  const std::string folder = MakeFolder();
  if (folder.empty()) {
    state.SkipWithError("cannot create a folder");
    return;
  }
  {
    LoraDatabase::Options options;
    options.flashPath = folder + "/flash.db";
    options.runDir = folder + "/run";
    LoraDatabase db(options);
    db.InitSchema();
    for (uint32_t i = 0; i < devices; ++i) {
      LoraDatabase::NewSession session;
      session.devAddr = 0x26000000 + i * 7919;
      char eui[32];
      snprintf(eui, sizeof eui, "00-80-00-00-00-%02x-%02x-%02x", (i >> 16) & 0xff, (i >> 8) & 0xff,
               i & 0xff);
      session.deviceEui = eui;
      db.AddDeviceWithSession(session);
    }
    sockaddr_in address{};
    address.sin_port = htons(1782);
    db.AddGateway(0x0080000000a00f4d, 2, address, std::chrono::system_clock::now());
    if (asServed) db.GetConnection().GroupWrites(10);

    LoraDatabase::UplinkPacketRecord up;
    up.gatewayEui = 0x0080000000a00f4d;
    up.protocolVersion = 2;
    up.frequencyHz = 868100000;
    up.datarate = "SF7BW125";
    up.coderate = "4/5";
    up.rssi = -57;
    up.snrCb = 95;
    up.dataSize = 12;
    up.messageType = 2;
    up.port = 1;
    up.data = "AQIDBAUGBwgJCgsM";
    up.mic = "1a2b3c4d";
    uint32_t n = 0;
    for (auto _ : state) {
      const uint32_t device = (n++ * 104729u) % devices;
      up.devAddr = 0x26000000 + device * 7919;
      up.rxTime = std::chrono::system_clock::now();
      up.tmst = n * 1000003u;
      ++up.counter;
      benchmark::DoNotOptimize(db.AddUplinkPacket(up));
    }
    state.SetItemsProcessed(state.iterations());
    if (asServed) db.GetConnection().GroupWrites(0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(BM_AddUplinkPacket)->Arg(0)->Arg(1)->MinTime(3);

}  // namespace
