// Everything the packet-forwarder protocol reaches through its links, owned in one place, for the
// programs that drive the datagram handler outside the server (the benchmark and the fuzzer).
// No downstream socket: acknowledgements are dropped unless the user sets links.downstream.
#pragma once

#include <json/json.h>

#include <memory>

#include "Settings.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "lora/ChannelPlans.h"
#include "support/RecentList.h"

struct ProtocolRig {
  Json::Value config{Json::objectValue};
  Settings settings;
  std::unique_ptr<Lora::ChannelPlan> plan;
  GatewayMemoryList gateways{nullptr, Gateway::DutyCycleSettings{}, false};
  NetworkStatistics statistics;
  RecentList recent;
  MessageProtocol::Links links;

  ProtocolRig() {
    config["lora"] = Json::objectValue;
    plan = std::make_unique<Lora::ChannelPlan_EU868>(config, settings);
    links.gateways = &gateways;
    links.statistics = &statistics;
    links.plan = plan.get();
    links.recentUplinks = &recent;
    links.routes.countUplink = [this](uint64_t eui) { gateways.countUplink(eui); };
  }
};
