// Uplink-packet inserts per second on the run-time copy, kept in RAM-backed storage as on the
// gateway (/dev/shm when present, else the temporary folder).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/stat.h>
#include <unistd.h>

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

void BM_AddUplinkPacket(benchmark::State& state) {
  // A fresh file logs the failed version query once; that is expected here.
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
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
    LoraDatabase::NewSession session;
    session.devAddr = 0x26011bd4;
    session.deviceEui = "00-80-00-00-00-00-e1-9c";
    db.AddDeviceWithSession(session);
    sockaddr_in address{};
    address.sin_port = htons(1782);
    db.AddGateway(0x0080000000a00f4d, 2, address, std::chrono::system_clock::now());

    LoraDatabase::UplinkPacketRecord up;
    up.devAddr = 0x26011bd4;
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
    for (auto _ : state) {
      up.rxTime = std::chrono::system_clock::now();
      ++up.counter;
      benchmark::DoNotOptimize(db.AddUplinkPacket(up));
    }
    state.SetItemsProcessed(state.iterations());
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}
BENCHMARK(BM_AddUplinkPacket);

}  // namespace
