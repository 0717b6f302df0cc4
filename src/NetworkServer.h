// The process-wide server state: owns the configuration document, the derived settings and every
// shared object of the running server (sockets, channel plan, database, registries, queues). It is
// created by main(), filled by the start-up sequence while the process is still single-threaded,
// and lives until the process exits.
#pragma once

#include <json/json.h>

#include <atomic>
#include <memory>
#include <optional>

#include "Database/Lora-Database.h"
#include "app/AppDataReceiver.h"
#include "app/AppDownlink.h"
#include "app/AppEvents.h"
#include "app/AppMessageQueue.h"
#include "app/AppPublisher.h"
#include "app/HttpClient.h"
#include "app/OrbaReporter.h"
#include "app/Mosquitto.h"
#include "commands/CommandThread.h"
#include "devices/AddressRange.h"
#include "devices/DeviceDownlinkSink.h"
#include "devices/DeviceList.h"
#include "devices/JoinHandler.h"
#include "devices/UplinkHandler.h"
#include "downlink/Beacon.h"
#include "downlink/DownlinkScheduler.h"
#include "downlink/OptionControllers.h"
#include "downlink/TransmitQueue.h"
#include "Options.h"
#include "PacketWorkers.h"
#include "Settings.h"
#include "ThreadSlot.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/MessageProtocol.h"
#include "gateway/UdpSocket.h"
#include "lora/ChannelPlan.h"
#include "support/RecentList.h"
#include "web/WebConsole.h"
#include "web/WebFeed.h"

class NetworkServer {
 public:
  // Runs the whole process: start-up, the gateway receive loop, shutdown. Returns the exit status.
  int Run(int argc, char** argv);

  Json::Value config{Json::objectValue};
  Settings settings;
  CommandLine commandLine;

  UdpSocket upstreamSocket;
  UdpSocket downstreamSocket;
  UdpSocket appUpSocket;
  UdpSocket appDownSocket;
  UdpSocket commandSocket;

  // Built in start-up order; declared so that destruction runs in reverse (the plan and the
  // registry refer to the configuration and the database).
  std::unique_ptr<Lora::ChannelPlan> plan;
  std::unique_ptr<LoraDatabase> database;
  NetworkStatistics statistics;
  std::unique_ptr<GatewayMemoryList> gateways;

  // Reports to the management agent; made before the registries that report through it.
  std::unique_ptr<OrbaReporter> orba;
  // The remote join server's client (start-up warms it when the whitelist is off).
  std::unique_ptr<HttpClient> http;
  // What the web console's browsers see live of the event stream; fed by `messages`.
  WebFeed webFeed;
  // Every application event leaves through this queue; it outlives all that post into it.
  // Its publisher gathers bursts of up to kAppGatherCount messages for kAppGatherMs.
  static constexpr uint64_t kAppGatherMs = 2;
  static constexpr size_t kAppGatherCount = 64;
  AppMessageQueue messages;
  AppEvents events{messages};
  AddressRangeConfig addressRange;
  // Downlinks: the schedule every answer, join accept and beacon is booked in, the MAC-command
  // links every device's controllers read, and the scheduler over both. Made before the devices.
  TransmitQueue transmitQueue;
  MacLinks macLinks;
  std::unique_ptr<DownlinkScheduler> scheduler;
  std::unique_ptr<Beacon> beacon;
  // The sessions in memory, and the uplink path and the inbound downlink path over them.
  std::unique_ptr<DeviceList> devices;
  std::unique_ptr<UplinkHandler> uplinks;
  std::unique_ptr<JoinHandler> joins;
  std::unique_ptr<DeviceDownlinkSink> downlinkSink;
  std::unique_ptr<AppDownlink> appDownlinks;
  // The broker client (null while MQTT is disabled), then the two application threads that use
  // it; declared after it so they stop before it goes.
  std::unique_ptr<Mosquitto> mqtt;
  std::unique_ptr<AppPublisher> publisher;
  std::unique_ptr<AppDataReceiver> appDataReceiver;

  // Filled by the packet workers, trimmed by the time thread, drained by commands.
  RecentList recentUplinks;
  RecentList recentJoins;
  // What the packet-forwarder protocol reaches; complete before the first thread starts.
  MessageProtocol::Links protocolLinks;
  std::unique_ptr<PacketWorkerPool> workers;
  // The operator's console or UDP command port.
  std::unique_ptr<CommandThread> commandThread;
  // The browser console; its API runs commands through commandThread. Null while "web" is off.
  std::unique_ptr<WebConsole> webConsole;

  // The time thread's millisecond tick; read by timers elsewhere without a lock.
  std::atomic<uint64_t> tickMs{0};
  // Sender of the newest datagram on the downstream port (written by that thread only).
  sockaddr_in downstreamSender{};

 private:
  // Start-up up to the point where the threads run; an exit status when the process must end.
  std::optional<int> StartUp(int argc, char** argv);
  bool ReadConfigurationFile();
  // --check-config: the validation of start-up alone; the exit status (src/ConfigCheck.cpp).
  int CheckConfiguration(int argc, char** argv);
  bool ValidateConfiguration();
  bool OpenDatabase();
  void MoveCountersAfterUncleanStop();
  void ConnectJoinServer();
  void ConnectApplications();
  void LoadLists();
  void LinkDownlinks();
  void LinkDevices();
  void LinkProtocol();
  void StartThreads();
  void StartWebConsole();
  void StartThread(ThreadSlot& slot, ThreadSlot::Entry entry, const char* name, const char* trace,
                   const char* failure);
  void RunGatewayReceiveLoop();
  void WaitForIdleWorkers();
  int Shutdown();

  // Thread bodies; each entry takes the server as its argument.
  static void* TimeThread(void* server);
  static void* BackupThread(void* server);
  static void* DownstreamThread(void* server);
  void RunTimeThread();
  void RunBackupThread();
  void RunDownstreamThread();

  // What the broker client's thread hands inbound messages to, once the device list exists.
  std::atomic<AppDownlink*> inboundDownlinks_{nullptr};
  ThreadSlot timeSlot_;
  ThreadSlot backupSlot_;
  ThreadSlot downstreamSlot_;
};
