// The process-wide server state: owns the configuration document, the derived settings and every
// shared object of the running server (sockets, channel plan, database, registries, queues). It is
// created by main(), filled by the start-up sequence while the process is still single-threaded,
// and lives until the process exits.
#pragma once

#include <json/json.h>

#include <memory>
#include <optional>

#include "Database/Lora-Database.h"
#include "Options.h"
#include "Settings.h"
#include "devices/NetworkStatistics.h"
#include "gateway/GatewayMemoryList.h"
#include "gateway/UdpSocket.h"
#include "lora/ChannelPlan.h"

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

 private:
  // Start-up up to the point where the threads run; an exit status when the process must end.
  std::optional<int> StartUp(int argc, char** argv);
  bool ReadConfigurationFile();
  bool ValidateConfiguration();
  void OpenDatabase();
  void LoadLists();
  void StartThreads();
  void RunGatewayReceiveLoop();
  int Shutdown();
};
