// The server's threads: the gateway receive loop on the main thread with its packet workers, the
// downstream receive thread with the packet-forwarder watchdog, the database backup and trim
// thread, and the 10 ms time thread. All of them end their loops on the stop flag.
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "Exception.h"
#include "NetworkServer.h"
#include "ServerTimers.h"
#include "StopFlag.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

constexpr size_t kDatagramBuffer = 16384;
constexpr size_t kDownstreamBuffer = 16385;
constexpr int64_t kRoundMs = 10;  // the time thread's period
constexpr unsigned kHousekeepingRounds = 100;   // about once a second
constexpr unsigned kReportRounds = 30000;       // about every five minutes
constexpr size_t kRecentUplinksKept = 30;
constexpr size_t kRecentJoinsKept = 20;
constexpr size_t kSweptPerRound = 16;
constexpr int kPauseAfterExceptionMs = 1000;

bool AllowPublic(const Json::Value& config) {
  const Json::Value& value = config["udp"]["allowPublic"];
  return value.isBool() && value.asBool();
}

uint16_t PortOr(const Json::Value& config, const char* key, uint16_t fallback) {
  const Json::Value& value = config["udp"][key];
  return value.isUInt() && value.asUInt() <= 0xFFFF ? static_cast<uint16_t>(value.asUInt()) : fallback;
}

}  // namespace

void NetworkServer::LinkProtocol() {
  protocolLinks.downstream = &downstreamSocket;
  protocolLinks.gateways = gateways.get();
  protocolLinks.statistics = &statistics;
  protocolLinks.plan = plan.get();
  protocolLinks.recentUplinks = &recentUplinks;
  protocolLinks.routes.countUplink = [list = gateways.get()](uint64_t eui) { list->countUplink(eui); };
  protocolLinks.routes.dispatchUplink = [handler = uplinks.get()](Lora::ReceivedFrame& frame) {
    handler->DispatchUplink(frame);
  };
  protocolLinks.routes.handleJoinRequest = [handler = joins.get()](Lora::ReceivedFrame& frame) {
    handler->handleJoinRequest(frame);
  };
  protocolLinks.skipFieldCheck = settings.skipPacketForwarderFieldCheck;
  workers = std::make_unique<PacketWorkerPool>(
      [this](const uint8_t* begin, const uint8_t* end, const sockaddr_in& sender,
             int64_t arrivalUs) {
        MessageProtocol::HandleDatagram(protocolLinks, begin, end, sender, arrivalUs);
      });
}

void NetworkServer::StartThread(ThreadSlot& slot, ThreadSlot::Entry entry, const char* name,
                                const char* trace, const char* failure) {
  LOG_TRACE("%s", trace);
  slot.configure(entry, ThreadSlot::kServerStack, name);
  int result = slot.start(this);
  if (result != 0) THROW_EXCEPTION(failure, result);
}

void NetworkServer::StartThreads() {
  LOG_TRACE("Testing Upstream UDP Port");
  uint16_t upstreamPort = PortOr(config, "upstreamPort", 1780);
  if (!upstreamSocket.open(upstreamPort, false)) {
    THROW_EXCEPTION("Cannot open Upstream UDP socket.  " + upstreamSocket.errorText());
  }
  upstreamSocket.close();

  // The beacon thread takes its place after the Mqtt thread once it exists.
  LOG_TRACE("Start Command Thread");
  CommandThread::Links commandLinks;
  commandLinks.commands.database = database.get();
  commandLinks.commands.devices = devices.get();
  commandLinks.commands.gateways = gateways.get();
  commandLinks.commands.statistics = &statistics;
  commandLinks.commands.downlinks = appDownlinks.get();
  commandLinks.commands.recentUplinks = &recentUplinks;
  commandLinks.commands.recentJoins = &recentJoins;
  commandLinks.commands.config = &config;
  commandLinks.commands.settings = &settings;
  commandLinks.commands.plan = plan.get();
  commandLinks.commands.addressRange = &addressRange;
  commandLinks.commands.orba = orba.get();
  commandLinks.commands.fileFolder = settings.paths.commandDir;
  commandLinks.socket = &commandSocket;
  commandLinks.console = config["log"]["console"].isBool() && config["log"]["console"].asBool();
  commandLinks.port = PortOr(config, "commandPort", 6677);
  commandThread = std::make_unique<CommandThread>(commandLinks);
  LOG_TRACE("Start Command Receive thread");
  if (int result = commandThread->Start(); result != 0) {
    THROW_EXCEPTION("Unable to create command receive thread", result);
  }
  StartWebConsole();
  StartThread(timeSlot_, &NetworkServer::TimeThread, "time", "Start Time thread",
              "Unable to create time thread");
  StartThread(backupSlot_, &NetworkServer::BackupThread, "db-backup", "Start Db Backup thread",
              "Unable to create Db Backup thread");

  LOG_TRACE("Start Mqtt thread");
  AppPublisherLinks publisherLinks;
  publisherLinks.messages = &messages;
  publisherLinks.mqtt = mqtt.get();
  publisherLinks.appPortUp = PortOr(config, "appPortUp", 1784);
  publisher = std::make_unique<AppPublisher>(publisherLinks);
  if (int result = publisher->Start(); result != 0) {
    THROW_EXCEPTION("Unable to create mqtt thread", result);
  }
  LOG_TRACE("Start Beacon thread");
  if (int result = beacon->Start(); result != 0) {
    THROW_EXCEPTION("Unable to create beacon thread", result);
  }
  LOG_TRACE("Start appData thread");
  AppDataReceiverLinks receiverLinks;
  receiverLinks.downlinks = appDownlinks.get();
  receiverLinks.appPortDown = PortOr(config, "appPortDown", 1786);
  appDataReceiver = std::make_unique<AppDataReceiver>(receiverLinks);
  if (int result = appDataReceiver->Start(); result != 0) {
    THROW_EXCEPTION("Unable to create appData thread", result);
  }

  StartThread(downstreamSlot_, &NetworkServer::DownstreamThread, "downstream",
              "Start GatewayDownstreamReceive thread",
              "Unable to create downstream receive thread");
}

void NetworkServer::StartWebConsole() {
  const WebConsoleSettings web = WebConsoleSettings::FromConfig(config);
  if (!web.enabled) return;
  WebApiLinks links;
  links.runCommand = [commands = commandThread.get()](std::deque<std::string> words) {
    return commands->RunCaptured(std::move(words));
  };
  links.feed = &webFeed;
  webConsole = std::make_unique<WebConsole>(web, links);
  // The console is a window on the server, not part of its work: without it the server runs on.
  if (!webConsole->Start()) webConsole.reset();
}

void NetworkServer::RunGatewayReceiveLoop() {
  LOG_TRACE("Start GatewayReceive thread");
  const uint16_t port = PortOr(config, "upstreamPort", 1780);
  const bool allowPublic = AllowPublic(config);
  while (!StopFlag::IsSet()) {
    try {
      std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDatagramBuffer]);
      if (!upstreamSocket.open(port, allowPublic)) {
        throw Exception(ZEV::Logger::PrintLevel::ERROR_LEVEL, __FILE__, __LINE__,
                        upstreamSocket.errorText(), upstreamSocket.errorNumber());
      }
      while (!StopFlag::IsSet()) {
        sockaddr_in sender{};
        int64_t arrivalUs = 0;
        // One byte stays free for the terminating zero the workers rely on.
        ssize_t received =
            upstreamSocket.receive(sender, buffer.get(), kDatagramBuffer - 1, &arrivalUs);
        if (received < 0) continue;
        buffer[received] = 0;
        // The receive windows count from the uplink's arrival, however long it waited for a worker.
        workers->handOver(buffer.get(), static_cast<size_t>(received), sender, arrivalUs);
      }
      upstreamSocket.close();
    } catch (...) {
      LogCaughtException("Rx Msg exception : ");
      upstreamSocket.close();
      if (StopFlag::IsSet()) break;
      SleepMs(kPauseAfterExceptionMs);
    }
  }
  LOG_INFO("Shutdown signal received %d", StopFlag::Signal());
}

void NetworkServer::WaitForIdleWorkers() {
  // Workers finish one datagram each; give them a moment so the final backup sees their writes.
  for (int i = 0; i < 200 && workers && workers->busyCount() > 0; ++i) SleepMs(10);
}

void* NetworkServer::TimeThread(void* server) {
  static_cast<NetworkServer*>(server)->RunTimeThread();
  return nullptr;
}

void* NetworkServer::BackupThread(void* server) {
  static_cast<NetworkServer*>(server)->RunBackupThread();
  return nullptr;
}

void* NetworkServer::DownstreamThread(void* server) {
  static_cast<NetworkServer*>(server)->RunDownstreamThread();
  return nullptr;
}

void NetworkServer::RunTimeThread() {
  tickMs.store(MonotonicMs());
  uint64_t rounds = 0;
  // Routine lines reach the file within a round; warnings and errors at once.
  ZEV::Logger::holdRoutineLines(true);
  // Rounds start on a fixed 10 ms grid, not 10 ms after the previous round ended: a frame due
  // just after a round's start is handed over one round late, never more.
  int64_t roundStart = MonotonicMs();
  while (!StopFlag::IsSet()) {
    try {
      roundStart += kRoundMs;
      const int64_t now = MonotonicMs();
      if (roundStart > now) {
        SleepMs(static_cast<uint32_t>(roundStart - now));
      } else if (now - roundStart > 100) {
        roundStart = now;  // held up (a stopped process, a long round): no burst of catch-up rounds
      }
      tickMs.fetch_add(kRoundMs);
      ++rounds;
      // Due times count from the uplinks' monotonic reception times; the tick lags behind them.
      // Hand-overs go first: their lead time is what the round's other work would eat into. What
      // falls due within half a round goes now, so a hand-over is at most half a round early
      // (the lead is a minimum, more of it is harmless) rather than up to a whole round late.
      if (scheduler && devices) {
        scheduler->ServeDueTransmissions(*devices, MonotonicMs(), kRoundMs / 2);
      }
      // Leases, deletions and the transmit controllers' service, a few devices a round so that
      // a full pass over ten thousand takes seconds, not a single long hold of the list lock.
      if (devices) devices->SweepDevices(std::min(devices->size(), kSweptPerRound), MonotonicMs());
      if (database) database->GetConnection().CommitAgedWrites();
      ZEV::Logger::flush();
      if (rounds % kHousekeepingRounds == 0) {
        uint64_t now = MonotonicMs();
        if (gateways) gateways->housekeeping(now);
        tickMs.store(now);
        recentUplinks.trim(kRecentUplinksKept);
        recentJoins.trim(kRecentJoinsKept);
      }
      if (rounds % kReportRounds == 0) {
        if (orba) orba->NetworkStatistics();
      }
    } catch (...) {
      LogCaughtException("Time thread exception : ");
      SleepMs(kPauseAfterExceptionMs);
    }
  }
  ZEV::Logger::holdRoutineLines(false);
}

void NetworkServer::RunBackupThread() {
  try {
    BackupSchedule schedule = BackupSchedule::FromConfig(config);
    BackupTrimLoop::Actions actions;
    actions.sleep = [](uint64_t ms) {
      // Sleep in short steps so that a stop does not wait out a whole trim interval.
      for (uint64_t slept = 0; slept < ms && !StopFlag::IsSet(); slept += 100) SleepMs(100);
    };
    actions.trim = [this](uint32_t rows) {
      if (database && !StopFlag::IsSet()) database->TrimPackets(rows);
    };
    actions.backup = [this] { return database && database->Backup(false); };
    actions.stopped = [] { return StopFlag::IsSet(); };
    BackupTrimLoop(schedule, std::move(actions)).run();
  } catch (...) {
    LogCaughtException("Db Backup exception : ");
  }
}

void NetworkServer::RunDownstreamThread() {
  const bool allowPublic = AllowPublic(config);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDownstreamBuffer]);
  while (!StopFlag::IsSet()) {
    const uint16_t port = PortOr(config, "downstreamPort", 1782);
    if (!downstreamSocket.open(port, allowPublic)) {
      LOG_ERROR("Cannot open Downstream UDP socket.  %s", downstreamSocket.errorText().c_str());
    } else {
      ForwarderWatchdog watchdog(MonotonicMs());
      while (!StopFlag::IsSet()) {
        ssize_t received = downstreamSocket.receive(downstreamSender, buffer.get(), kDownstreamBuffer - 1);
        uint64_t now = MonotonicMs();
        if (received < 0) {
          if (watchdog.timeout(now)) {
            int status = system(settings.paths.restartCommand.c_str());
            (void)status;
          }
          continue;
        }
        watchdog.datagram(now);
        buffer[received] = 0;
        try {
          MessageProtocol::HandleDatagram(protocolLinks, buffer.get(), buffer.get() + received,
                                          downstreamSender);
        } catch (const MessageProtocol::SyntaxError& e) {
          LOG_INFO("Message Protocol syntax error %s", e.what());
        } catch (...) {
          // Whatever else a datagram sets off ends only this socket's round, never the thread.
          LogCaughtException("GatewayDownstreamReceive Msg exception : ");
          break;
        }
      }
    }
    // The socket stays open while the process shuts down: the final answers may still need it.
    if (StopFlag::IsSet()) break;
    downstreamSocket.close();
    SleepMs(kPauseAfterExceptionMs);
  }
}
