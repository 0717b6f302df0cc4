// Garbage into the packet-forwarder datagram handler, as the packet workers would hand it over:
// header faults may throw the protocol's syntax error, nothing else may escape, and no read or
// write may leave the datagram.
#include <json/json.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "Settings.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayClock.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "lora/ChannelPlans.h"
#include "support/Logger.h"
#include "support/RecentList.h"

namespace {

struct World {
  Json::Value config{Json::objectValue};
  Settings settings;
  std::unique_ptr<Lora::ChannelPlan> plan;
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  NetworkStatistics statistics;
  RecentList recent;
  GatewayClock clock;
  MessageProtocol::Links links;

  World() {
    config["lora"] = Json::objectValue;
    plan = std::make_unique<Lora::ChannelPlan_EU868>(config, settings);
    links.gateways = &gateways;
    links.statistics = &statistics;
    links.plan = plan.get();
    links.recentUplinks = &recent;
    links.clock = &clock;
    links.routes.gateways = &gateways;
  }
};

World* TheWorld() {
  static World* world = new World;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& world = *TheWorld();
  // An exact-size copy with the terminating zero the workers add, so overruns are seen.
  std::vector<uint8_t> datagram(data, data + size);
  datagram.push_back(0);
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  try {
    MessageProtocol::HandleDatagram(world.links, datagram.data(), datagram.data() + size, sender);
  } catch (const MessageProtocol::SyntaxError&) {
  }
  world.recent.trim(30);
  return 0;
}
