#include "NetworkServer.h"


#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sstream>

#include "Configuration.h"
#include "Exception.h"
#include "PacketForwarderConfig.h"
#include "StopFlag.h"
#include "lora/Bytes.h"
#include "lora/ChannelPlanSetup.h"
#include "lora/ConfigRead.h"
#include "support/JsonText.h"
#include "support/Logger.h"

namespace {

// The operator's own file, read on the main thread: deeper than any outside message may nest,
// still bounded.
constexpr int kConfigDepth = 64;
// Down counters a session skips after an unclean stop ("lora"."crashCounterGap").
constexpr uint32_t kCrashCounterGap = 1000;
// How long the run-time copy's writes are grouped into one transaction: one time-thread round,
// so an outside reader of the file is at most about two rounds behind.
constexpr uint32_t kWriteGroupMs = 10;

// Sections that other code indexes by key: anything but an object there would make every later
// lookup fail, so such a document is refused at once.
constexpr const char* kObjectSections[] = {"log",  "udp",          "lora",  "network",
                                           "mqtt", "addressRange", "paths", "web"};

void ReportToStandardError(const Exception& e) {
  std::string text = "File " + e.file() + " Line " + std::to_string(e.line()) + ": " + e.message();
  if (e.errorNumber() != -1) text += "   Error #" + std::to_string(e.errorNumber());
  fprintf(stderr, "%s\n", text.c_str());
  LOG_ERROR("%s", text.c_str());
}

}  // namespace

int NetworkServer::Run(int argc, char** argv) {
  if (std::optional<int> status = StartUp(argc, argv)) return *status;
  // Whatever ends the run this way (the upstream port taken, a thread not created) is a failure a
  // supervisor must see, even though the shutdown still saves everything.
  bool failed = true;
  try {
    StartThreads();
    RunGatewayReceiveLoop();
    failed = false;
  } catch (const Exception& e) {
    ReportToStandardError(e);
  } catch (const char* text) {
    fprintf(stderr, "%s", text);
  } catch (const std::string& text) {
    fprintf(stderr, "%s", text.c_str());
  }
  const int status = Shutdown();
  return failed ? 1 : status;
}

std::optional<int> NetworkServer::StartUp(int argc, char** argv) {
  srand(static_cast<unsigned>(time(nullptr)));
  messages.setObserver([feed = &webFeed](const AppMessage& message) { feed->Post(message); });
  // A few milliseconds on an uplink's way to the applications buy the broker link one wake-up
  // per burst instead of one per uplink: thread wake-ups are a large share of an uplink's cost.
  messages.setGather(kAppGatherMs, kAppGatherCount);

  switch (ScanFirstPass(argc, argv, commandLine)) {
    case FirstPass::ExitSuccess: return 0;
    case FirstPass::ExitFailure: return 1;
    case FirstPass::Continue: break;
  }
  if (commandLine.checkConfig) return CheckConfiguration(argc, argv);
  if (!ReadConfigurationFile()) return 1;
  if (!ApplyOptions(argc, argv, config, settings, commandLine)) return 1;
  StopFlag::InstallSignalHandlers();

  try {
    if (!ValidateConfiguration()) return 1;
    if (!OpenDatabase()) return 1;
    ConnectJoinServer();
    ConnectApplications();
    LoadLists();
    LinkProtocol();
  } catch (const Json::Exception& e) {
    // A key of an unexpected JSON type deep inside a section: refuse rather than guess.
    LOG_ERROR("Invalid configuration: %s", e.what());
    return 1;
  }
  return std::nullopt;
}

bool NetworkServer::ReadConfigurationFile() {
  const std::string& path = commandLine.configPath;
  auto refuse = [this](const char* format, const std::string& file) {
    if (!commandLine.logFile.empty()) ZEV::Logger::setup(ZEV::Logger::FILE, commandLine.logFile);
    LOG_ERROR(format, file.c_str());
    return false;
  };
  std::ifstream in(path);
  if (!in.is_open()) return refuse("Configuration file not found [%s]", path);

  // The whole file is one document: a stray second object or garbage after it is a fault, not
  // something to ignore silently.
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string errors;
  if (!JsonText::Parse(text, config, errors, JsonText::Comments::Skipped, kConfigDepth) || !config.isObject()) {
    config = Json::Value(Json::objectValue);
    return refuse("Failed to parse config file [%s], invalid JSON", path);
  }
  for (const char* section : kObjectSections) {
    if (config.isMember(section) && !config[section].isObject()) {
      LOG_ERROR("Configuration section '%s' must be a JSON object [%s]", section, path.c_str());
      return false;
    }
  }
  return true;
}

bool NetworkServer::ValidateConfiguration() {
  // Const access for the reads below: a missing "log" or "db" must stay missing, not turn into a
  // null member of the document that is logged as the effective configuration.
  const Json::Value& read = config;
  Configuration::ApplyPaths(config, settings);
  Configuration::ClampNumbers(config);
  if (read["log"]["level"].isInt()) ZEV::Logger::setPrintLevel(read["log"]["level"].asInt(), false);

  Configuration::ValidateModeAndDelays(config, settings);
  std::string logFile = Configuration::ResolveLogFile(config, commandLine);
  auto mode = static_cast<ZEV::Logger::PrintMode>(Configuration::SelectPrintMode(config, !logFile.empty()));
  if (logFile.empty()) {
    ZEV::Logger::setup(mode);
  } else {
    ZEV::Logger::setup(mode, logFile);
  }

  settings.gatewaySerial = Configuration::ReadGatewaySerial(settings.paths.deviceIdFile);
  LOG_INFO("Lora Network Server started, Version: %s GwSerial: %s", settings.version.c_str(),
           settings.gatewaySerial.c_str());

  Configuration::ApplyUdpDefaults(config);
  Configuration::ApplyWebDefaults(config);

  plan = ResolveChannelPlan(config, settings);
  if (!plan) return false;
  ApplyRegionalDefaults(config, settings, *plan);
  Configuration::ApplyTimingKeys(config, settings);
  if (!Configuration::ApplyNetworkIdentity(config, settings)) return false;

  // Every check that can refuse the configuration lies above: the packet forwarder's files are
  // never written for a configuration that then ends the process.
  if (!commandLine.loraPath.empty() && !commandLine.card1Eui.empty() &&
      Lora::ConfigRead::Member(config, "lora").isObject()) {
    WritePacketForwarderConfiguration(config, settings,
                                      Lora::ConfigRead::Text(config["lora"], "frequencyBand"),
                                      commandLine.loraPath, commandLine.card1Eui,
                                      commandLine.card2Eui);
  }
  Configuration::ApplyLocalCardEui(commandLine, settings);

  Configuration::ApplyJoinKeys(config, settings);
  Configuration::ApplyBeaconKeys(config);
  Configuration::ApplyAdrKeys(config);
  plan->refreshDatarateBounds();
  ApplyPlanLimits(config, *plan);
  Configuration::ApplyTestAndWhitelist(config, commandLine);

  const Json::Value& card1 = settings.card1;
  const Json::Value& card2 = settings.card2;
  LOG_INFO("Lora Card AP 1: %s %s", card1["productId"].asString().c_str(),
           card1["hwVersion"].asString().c_str());
  LOG_INFO("Lora Card AP 2: %s %s", card2["productId"].asString().c_str(),
           card2["hwVersion"].asString().c_str());
  if (ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::INFO_LEVEL)) {
    std::string document = Configuration::StyledJson(config);
    LOG_INFO("Network Server Config --------------------- \r\n%s", document.c_str());
    LOG_INFO("-------------------------------------------");
  }
  Configuration::ApplyDeviceKeys(config, settings);

  if (read["db"].isString()) settings.databasePath = read["db"].asString();
  if (FILE* probe = fopen(settings.databasePath.c_str(), "r")) {
    fclose(probe);
  } else {
    LOG_INFO("Failed to open database [%s].", settings.databasePath.c_str());
  }
  return true;
}

bool NetworkServer::OpenDatabase() {
  LOG_TRACE("Connect to db");
  database = std::make_unique<LoraDatabase>(LoraDatabase::OptionsFrom(
      settings.databasePath, settings.paths.runDir, settings.paths.whitelistFile, config));
  // Without its folder the flash file can never be written: running on would lose everything
  // at the next restart while looking healthy.
  if (database->GetConnection().FolderMissing()) return false;
  if (database->GetConnection().RuntimeFailed()) {
    LOG_ERROR("Cannot open the run-time database in '%s', stopping", settings.paths.runDir.c_str());
    return false;
  }
  database->InitSchema();
  MoveCountersAfterUncleanStop();
  database->GetConnection().GroupWrites(kWriteGroupMs);
  statistics.load(*database);
  return true;
}

// Counter changes since the last backup die with a crash: a restored session would repeat down
// counters its device has already seen. After an unclean stop every session's counter moves
// ahead by a safety gap. The flash file learns at once that this run has begun, so a crash
// before the first hourly backup is seen as one too.
void NetworkServer::MoveCountersAfterUncleanStop() {
  bool unclean = false;
  if (!database->BeginRun(unclean)) return;
  if (unclean) {
    const Json::Value& gap = config["lora"]["crashCounterGap"];
    const uint32_t step = gap.isUInt() ? gap.asUInt() : kCrashCounterGap;
    const int moved = database->AdvanceDownCounters(step);
    LOG_WARNING("Last stop was not clean: down counters of %d sessions moved ahead by %u", moved,
                step);
  }
  database->Backup(true);
}

void NetworkServer::LoadLists() {
  LOG_TRACE("Initialize Lists");
  const Json::Value& lora = config["lora"];
  Gateway::DutyCycleSettings dutyCycle;
  dutyCycle.periodMinutes = lora["dutyCyclePeriod"].asUInt();
  dutyCycle.frequencyEU = lora["frequencyEU"].isUInt() ? lora["frequencyEU"].asUInt() : 0;
  OrbaLinks orbaLinks;
  orbaLinks.config = &config;
  orbaLinks.settings = &settings;
  orbaLinks.statistics = &statistics;
  const Json::Value& orbaPort = config["udp"]["orbaPort"];
  orbaLinks.port = orbaPort.isUInt() && orbaPort.asUInt() <= 0xFFFF && orbaPort.asUInt() > 0
                       ? static_cast<uint16_t>(orbaPort.asUInt())
                       : 1790;
  orba = std::make_unique<OrbaReporter>(orbaLinks);
  GatewayMemoryList::ReportHooks hooks;
  hooks.gatewayInfo = [reporter = orba.get()](const Gateway& gateway) {
    reporter->GatewayInformation(gateway);
  };
  hooks.gatewayStatistics = [reporter = orba.get()](Gateway& gateway) {
    reporter->GatewayStatistics(gateway);
  };
  gateways = std::make_unique<GatewayMemoryList>(database.get(), dutyCycle, plan->dutyCycleEnforced(),
                                                 hooks);
  gateways->load();
  LinkDevices();
  const size_t restored = devices->LoadDevices(addressRange);
  LOG_INFO("Restored %zu devices", restored);
}

void NetworkServer::ConnectJoinServer() {
  http = std::make_unique<HttpClient>(settings.paths.caFile);
  const Json::Value& enabled = config["whitelist"]["enabled"];
  const Json::Value& url = config["network"]["joinServer"];
  if (enabled.isBool() && !enabled.asBool() && url.isString() && !url.asString().empty()) {
    // Name resolution and the TLS session are made now, not on the first join's time budget.
    Json::Value response;
    http->request(url.asString(), "POST", Json::Value(Json::objectValue), response, true, 20000);
  }
}

void NetworkServer::ConnectApplications() {
  LOG_TRACE("Connect to MQTT");
  if (!MqttOptions::Enabled(config)) return;
  MqttOptions options = MqttOptions::FromConfig(config, settings.gatewaySerial);
  // The publisher bounds what is unacknowledged itself; a lower cap in the library would only
  // park the rest in a queue of its own and wake its loop once per acknowledgement to send the
  // next.
  options.maxInflight = AppPublisher::kMaxUnacknowledged;
  mqtt = std::make_unique<Mosquitto>(
      options,
      [this](const std::string& topic, const std::string& payload) {
        // The client connects before the device list is loaded; until then nothing can take a
        // downlink.
        AppDownlink* inbound = inboundDownlinks_.load();
        if (inbound == nullptr) {
          LOG_WARNING("Dropping downstream message on %s - devices not loaded yet", topic.c_str());
          return;
        }
        inbound->HandleInbound(AppDownlink::kBrokerPrefix, topic, payload);
      });
}

// The device list and the two paths over it, wired once while the process is single-threaded.
// The scheduler, the MAC-command links and the beacon, wired before any device exists.
void NetworkServer::LinkDownlinks() {
  macLinks = MacLinks::From(*plan, config["lora"], settings);
  BeaconLinks beaconLinks;
  beaconLinks.config = &config;
  beaconLinks.plan = plan.get();
  beaconLinks.gateways = gateways.get();
  beaconLinks.downstream = &downstreamSocket;
  beaconLinks.forwarderAddress = [list = gateways.get()] {
    const auto all = list->all();
    return all.empty() ? sockaddr_in{} : all.front()->downlinkAddress();
  };
  beaconLinks.reserve = [this](uint64_t gatewayEui, uint64_t dueMs, uint32_t durationMs) {
    scheduler->ReserveAirtime(gatewayEui, dueMs, durationMs);
  };
  beacon = std::make_unique<Beacon>(beaconLinks);
  if (beacon->intervalSeconds() > 0) {
    // BeaconTimingAns counts on the beacon's own clock.
    macLinks.beacon.intervalSeconds = beacon->intervalSeconds();
    macLinks.beacon.nowMs = [source = beacon.get()] { return source->nowMs(); };
    macLinks.beacon.lastBeaconMs = [source = beacon.get()] { return source->lastBeaconMs(); };
    macLinks.beacon.lastBeaconSeconds = [source = beacon.get()] {
      return source->lastBeaconSeconds();
    };
  }
  SchedulerLinks schedulerLinks;
  schedulerLinks.gateways = gateways.get();
  schedulerLinks.queue = &transmitQueue;
  schedulerLinks.plan = plan.get();
  schedulerLinks.settings = &settings;
  schedulerLinks.statistics = &statistics;
  schedulerLinks.messages = &messages;
  schedulerLinks.protocol = &protocolLinks;  // complete before the first thread starts
  schedulerLinks.mac = &macLinks;
  schedulerLinks.clockMs = [] { return static_cast<uint64_t>(MonotonicMs()); };
  scheduler = std::make_unique<DownlinkScheduler>(schedulerLinks);
}

void NetworkServer::LinkDevices() {
  LinkDownlinks();
  DeviceLinks deviceLinks;
  deviceLinks.scheduler = scheduler.get();
  deviceLinks.reportDownlink = [reporter = orba.get()](const std::string& json, uint64_t gateway) {
    reporter->DownlinkPacket(json, gateway);
  };
  deviceLinks.database = database.get();
  deviceLinks.messages = &messages;
  deviceLinks.statistics = &statistics;
  deviceLinks.gateways = gateways.get();
  deviceLinks.settings = &settings;
  addressRange = AddressRangeConfig::FromConfig(config);
  devices = std::make_unique<DeviceList>(deviceLinks);

  UplinkLinks uplinkLinks;
  uplinkLinks.devices = devices.get();
  uplinkLinks.gateways = gateways.get();
  uplinkLinks.database = database.get();
  uplinkLinks.messages = &messages;
  uplinkLinks.statistics = &statistics;
  uplinkLinks.plan = plan.get();
  uplinkLinks.settings = &settings;
  uplinkLinks.reportUplink = [reporter = orba.get()](const std::string& json, uint64_t gateway,
                                                     size_t frameLength) {
    reporter->UplinkPacket(json, gateway, frameLength);
  };
  uplinkLinks.scheduleResponse = [s = scheduler.get()](Device& device, const Lora::ReceivedFrame& frame) {
    s->ScheduleResponse(device, frame);
  };
  uplinkLinks.parseMacCommands = [](Device& device, const Lora::ReceivedFrame& frame,
                                    const uint8_t* bytes, size_t length) {
    device.transmitController.ParseMacCommands(frame, bytes, length);
  };
  uplinks = std::make_unique<UplinkHandler>(uplinkLinks);

  JoinLinks joinLinks;
  joinLinks.devices = devices.get();
  joinLinks.database = database.get();
  joinLinks.messages = &messages;
  joinLinks.statistics = &statistics;
  joinLinks.gateways = gateways.get();
  joinLinks.plan = plan.get();
  joinLinks.settings = &settings;
  joinLinks.config = &config;
  joinLinks.addressRange = &addressRange;
  joinLinks.recentJoins = &recentJoins;
  joinLinks.postJoinServer = [client = http.get()](const std::string& url, const std::string& body,
                                                   Json::Value& response, uint64_t timeoutMs) {
    return client->requestText(url, "POST", body, response, true, timeoutMs);
  };
  joinLinks.bookWindow = [s = scheduler.get()](Device& device, const Lora::ReceivedFrame& frame,
                                                const JoinWindow& window) {
    return s->BookJoinWindow(device, frame, window.window, window.dueMs, window.tmst,
                             window.airTimeMs);
  };
  joinLinks.reportJoin = [reporter = orba.get()](const Json::Value& attributes, uint64_t gateway) {
    reporter->JoinRequest(attributes, gateway);
  };
  joins = std::make_unique<JoinHandler>(joinLinks);

  downlinkSink = std::make_unique<DeviceDownlinkSink>(*devices, *database);
  AppDownlinkLinks downlinkLinks;
  downlinkLinks.events = &events;
  downlinkLinks.devices = downlinkSink.get();
  downlinkLinks.database = database.get();
  downlinkLinks.deviceQueueSize = settings.deviceQueueSize;
  appDownlinks = std::make_unique<AppDownlink>(downlinkLinks);
  inboundDownlinks_.store(appDownlinks.get());
}

int NetworkServer::Shutdown() {
  LOG_DEBUG("Program closing");
  // Browsers first: no request may start a command while the rest closes.
  if (webConsole) webConsole->Stop();
  WaitForIdleWorkers();
  // The threads the server owns leave their loops on the stop flag within one 100 ms slice;
  // joined here, none is cut off by the exit in the middle of a publish or a send.
  if (publisher) publisher->Stop();
  if (appDataReceiver) appDataReceiver->Stop();
  if (beacon) beacon->Stop();
  if (settings.reducedPacketUpdates && devices) devices->WriteUpCounters();
  if (database) statistics.save(*database);
  upstreamSocket.close();
  // The shared objects stay alive: detached threads may still be finishing a round while the
  // process exits, and the exit ends them.
  if (database) {
    database->MarkCleanStop();
    LOG_DEBUG("Start DB Backup");
    database->Backup(true);
    LOG_DEBUG("DB Backup complete");
  }
  CurlApi::Release();
  LOG_DEBUG("Program closed");
  return 0;
}
