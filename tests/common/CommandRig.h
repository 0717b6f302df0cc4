// The whole command set over real collaborators: a database in a folder of the caller's, the
// device list, the gateway registry, the application downlink path and the recent lists. Replies
// are captured instead of printed. Header-only, so the fuzz target can use it without the test
// library.
#pragma once

#include <sys/stat.h>

#include <deque>
#include <memory>
#include <string>

#include "Database/Lora-Database.h"
#include "Settings.h"
#include "TestSupport.h"
#include "app/AppDownlink.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "app/OrbaReporter.h"
#include "commands/CommandParser.h"
#include "commands/CommandReply.h"
#include "commands/CommandSet.h"
#include "devices/AddressRange.h"
#include "devices/DeviceDownlinkSink.h"
#include "devices/DeviceList.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "support/RecentList.h"

namespace commandtest {

class CommandRig {
 public:
  explicit CommandRig(const std::string& folder) : folder_(folder) {
    mkdir((folder + "/flash").c_str(), 0777);
    mkdir((folder + "/run").c_str(), 0777);
    LoraDatabase::Options options;
    options.flashPath = folder + "/flash/vallorin.db";
    options.runDir = folder + "/run";
    options.whitelistFile = folder + "/whitelist.jsonlines";
    database = std::make_unique<LoraDatabase>(options);
    database->InitSchema();
    gateways =
        std::make_unique<GatewayMemoryList>(database.get(), Gateway::DutyCycleSettings{}, false);
    DeviceLinks deviceLinks;
    deviceLinks.database = database.get();
    deviceLinks.messages = &messages;
    deviceLinks.statistics = &statistics;
    deviceLinks.gateways = gateways.get();
    deviceLinks.settings = &settings;
    devices = std::make_unique<DeviceList>(deviceLinks);
    sink = std::make_unique<DeviceDownlinkSink>(*devices, *database);
    AppDownlinkLinks downlinkLinks;
    downlinkLinks.events = &events;
    downlinkLinks.devices = sink.get();
    downlinkLinks.database = database.get();
    downlinkLinks.deviceQueueSize = 4;
    downlinks = std::make_unique<AppDownlink>(downlinkLinks);

    config["network"]["baseKey"] = "000102030405060708090a0b0c0d0e0f";
    config["network"]["salt"] = "pepper";
    config["udp"]["commandPort"] = 6677;
    // The management agent's port; reports stay off until a test turns them on.
    orbaListener.open(0, false);
    OrbaLinks orbaLinks;
    orbaLinks.config = &config;
    orbaLinks.settings = &settings;
    orbaLinks.statistics = &statistics;
    orbaLinks.port = orbaListener.localPort();
    orba = std::make_unique<OrbaReporter>(orbaLinks);
    CommandLinks links;
    links.orba = orba.get();
    links.database = database.get();
    links.devices = devices.get();
    links.gateways = gateways.get();
    links.statistics = &statistics;
    links.downlinks = downlinks.get();
    links.recentUplinks = &recentUplinks;
    links.recentJoins = &recentJoins;
    links.config = &config;
    links.settings = &settings;
    links.fileFolder = folder;
    range.start = 1;
    range.end = AddressRangeConfig::kHighestAddress;
    range.nwkId = 0x13;
    links.addressRange = &range;
    commands = std::make_unique<CommandSet>(links, reply);
  }

  // The reply to one line. A syntax error is answered and swallowed here (syntaxErrors counts
  // them); "quit" sets quit.
  std::string Run(const std::string& line) {
    return Reply([&](CommandParser& parser) { parser.parse(line); });
  }

  // The reply to words given one by one, as the web console runs a command.
  std::string RunWords(std::deque<std::string> words) {
    return Reply([&](CommandParser& parser) { parser.run(std::move(words)); });
  }

  // The reply parsed as JSON (null when it is not).
  Json::Value RunJson(const std::string& line) { return testsupport::ParseJson(Run(line)); }

  template <typename Command>
  std::string Reply(Command&& command) {
    replies.clear();
    reply.BeginConsole();
    try {
      CommandParser parser(*commands);
      command(parser);
    } catch (const CommandParser::SyntaxError&) {
      ++syntaxErrors;
    } catch (const CommandParser::QuitCommand&) {
      quit = true;
    }
    reply.End();
    return replies;
  }

  std::string folder_;
  Settings settings;
  AppMessageQueue messages;
  AppEvents events{messages};
  NetworkStatistics statistics;
  std::unique_ptr<LoraDatabase> database;
  std::unique_ptr<GatewayMemoryList> gateways;
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<DeviceDownlinkSink> sink;
  std::unique_ptr<AppDownlink> downlinks;
  RecentList recentUplinks;
  RecentList recentJoins;
  Json::Value config{Json::objectValue};
  AddressRangeConfig range;
  UdpSocket orbaListener;
  std::unique_ptr<OrbaReporter> orba;
  std::string replies;
  ReplyChannel reply{[this](const char* data, size_t length) { replies.append(data, length); }};
  std::unique_ptr<CommandSet> commands;
  int syntaxErrors = 0;
  bool quit = false;
};

}  // namespace commandtest
