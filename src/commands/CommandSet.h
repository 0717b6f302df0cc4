// The operator commands: each first word's handler, its sub-commands, their replies. Handlers
// run on the command thread with the command mutex held; they take the device list, device and
// gateway locks themselves (list before device), never the other way round.
#pragma once

#include <json/json.h>

#include <string>

#include "commands/CommandReply.h"

class AppDownlink;
struct AddressRangeConfig;
class CommandParser;
class DeviceList;
class GatewayMemoryList;
class LoraDatabase;
class NetworkStatistics;
class OrbaReporter;
class RecentList;
struct Settings;
namespace Lora {
class ChannelPlan;
}

// What the commands reach; filled once by the server, constant while the thread runs. Tests
// leave out what they do not observe (null): the commands that need it then answer with a fail.
struct CommandLinks {
  LoraDatabase* database = nullptr;
  DeviceList* devices = nullptr;
  GatewayMemoryList* gateways = nullptr;
  NetworkStatistics* statistics = nullptr;
  AppDownlink* downlinks = nullptr;  // "packet queue add" queues as an application would
  RecentList* recentUplinks = nullptr;
  RecentList* recentJoins = nullptr;
  const Json::Value* config = nullptr;
  const Settings* settings = nullptr;
  const Lora::ChannelPlan* plan = nullptr;
  // The management agent hears of every end-device a device update changed (null: nobody).
  OrbaReporter* orba = nullptr;
  // Addresses a session added by hand may take: those a restart would restore.
  const AddressRangeConfig* addressRange = nullptr;
  // Files that commands read or write ("include", "json file", "log file") lie under this folder.
  std::string fileFolder;
};

class CommandSet {
 public:
  CommandSet(const CommandLinks& links, ReplyChannel& reply) : links_(links), reply_(reply) {}

  ReplyChannel& reply() { return reply_; }

  // First-word handlers; the parser has taken the first word.
  void Stats(CommandParser& p);
  void Device(CommandParser& p);
  void Join(CommandParser& p);
  void Packet(CommandParser& p);
  void Session(CommandParser& p);
  void Gateway(CommandParser& p);
  void Database(CommandParser& p);
  void Config(CommandParser& p);
  void Include(CommandParser& p);
  void Debug(CommandParser& p);
  void Log(CommandParser& p);
  void Ping(CommandParser& p);
  void Help(CommandParser& p);

  // A path an operator named, made absolute under the file folder; false for anything that
  // would leave it ("..", another absolute folder) or when no folder is configured.
  static bool ResolvePath(const std::string& folder, const std::string& path, std::string& out);
  // Device EUIs as operators type them: 16 hex digits, or 8 pairs joined by "-".
  static bool ParseEui(const std::string& text, std::string& canonical);
  // 2*bytes hex digits.
  static bool ParseHexBytes(const std::string& text, size_t bytes);

 private:
  void DeviceAdd(CommandParser& p);
  void DeviceStats(CommandParser& p);
  void DeviceUpdate(CommandParser& p);
  void DeviceUpdateField(const std::string& euiText, const std::string& field,
                         const std::string& value);
  void DeviceUpdateJson(const std::string& text);
  // The changed end-device record to the management agent, when its reports are on.
  void ReportDevice(const std::string& eui);
  void DeviceDelete(CommandParser& p);
  void DeviceConfig(CommandParser& p);
  void DeviceReset(CommandParser& p);
  void DeviceList(CommandParser& p);
  void DeviceKeygen(CommandParser& p);
  void SessionAdd(CommandParser& p);
  void SessionDelete(CommandParser& p);
  void SessionList(CommandParser& p);
  void PacketList(CommandParser& p, const std::string& which);
  void PacketQueue(CommandParser& p);
  void PacketQueueAdd(CommandParser& p);
  void PacketQueueDelete(CommandParser& p);
  void DrainRecent(RecentList* list);
  void GatewayList(CommandParser& p);
  void GatewayDelete(CommandParser& p);
  void StatsReset();

  // A list's output form: text table, JSON reply, or JSON written to a file. Takes "json" and
  // "json file <path>" from the parser; any other word is a syntax error.
  enum class Form { kTable, kJson, kFile };
  Form ReadForm(CommandParser& p, bool fileAllowed, std::string& path);
  // Sends the JSON, or writes it to the file and answers success.
  void SendListing(Form form, const std::string& path, const Json::Value& json,
                   const std::string& table);
  // Throws the database failure the parser turns into its error reply.
  [[noreturn]] void DatabaseFailure(const char* what) const;
  bool Need(const void* link, const char* name);

  const CommandLinks links_;
  ReplyChannel& reply_;
};
