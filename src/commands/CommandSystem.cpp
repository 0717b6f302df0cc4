// The commands about the server itself: database backup, configuration, logging, include files,
// liveness and help; and what the listing commands share.
#include <fstream>

#include "Configuration.h"
#include "Database/Lora-Database.h"
#include "Database/SqlDb.h"
#include "commands/CommandParser.h"
#include "commands/CommandSet.h"
#include "support/Logger.h"

namespace {

using Mode = ZEV::Logger::PrintMode;

// The console half of a mode switched on or off, the rest kept.
Mode WithConsole(Mode mode, bool on) {
  switch (mode) {
    case Mode::NONE:
    case Mode::STDOUT:
      return on ? Mode::STDOUT : Mode::NONE;
    case Mode::FILE:
    case Mode::FILE_STDOUT:
      return on ? Mode::FILE_STDOUT : Mode::FILE;
    case Mode::SYSLOG:
    case Mode::SYSLOG_STDOUT:
      return on ? Mode::SYSLOG_STDOUT : Mode::SYSLOG;
  }
  return mode;
}

struct HelpEntry {
  const char* command;
  const char* description;
  const char* format;
  const char* example;
};

constexpr HelpEntry kHelp[] = {
    {"stats", "network statistics, 'stats reset' zeroes them", "stats [reset]", "stats"},
    {"device add", "create an end-device record", "device add <DEV-JSON>",
     "device add {\"deveui\":\"00-80-00-00-00-00-e1-9c\",\"class\":\"A\"}"},
    {"device list", "end-device records", "device list [json | json file <path>]",
     "device list json"},
    {"device stats", "per-device counters and signal", "device stats [json]", "device stats"},
    {"device update", "change class, keys, counters or configuration",
     "device update <DEV-EUI> <FIELD> <VALUE> | device update <DEV-JSON>",
     "device update 00-80-00-00-00-00-e1-9c class c"},
    {"device delete", "remove a device with its session and packets", "device delete <DEV-EUI>",
     "device delete 008000000000e19c"},
    {"device config", "one device's configuration and keys", "device config <DEV-ADDR>",
     "device config 26011234"},
    {"device reset", "zero the session's frame counters", "device reset <DEV-EUI>",
     "device reset 00-80-00-00-00-00-e1-9c"},
    {"device keygen", "the device's key from the network base key and salt",
     "device keygen <DEV-EUI> [APP-EUI]", "device keygen 00-80-00-00-00-00-e1-9c"},
    {"session add", "activate a device by personalisation", "session add <SESSION-JSON>",
     "session add {\"deveui\":\"00-80-00-00-00-00-e1-9c\",\"dev_addr\":\"26011234\","
     "\"app_senc_key\":\"...\",\"fnwk_sint_key\":\"...\"}"},
    {"session list", "active sessions", "session list [json | json file <path>]", "session list"},
    {"session delete", "remove a device's session", "session delete <DEV-EUI>",
     "session delete 00-80-00-00-00-00-e1-9c"},
    {"session reset", "zero the session's frame counters", "session reset <DEV-EUI>",
     "session reset 00-80-00-00-00-00-e1-9c"},
    {"packet list", "joins, uplinks and downlinks, newest first",
     "packet [list|join|up|down] [json]", "packet up json"},
    {"packet queue", "the downlink queue", "packet queue [json]", "packet queue"},
    {"packet queue add", "queue a downlink", "packet queue add <PACKET-JSON>",
     "packet queue add {\"deveui\":\"00-80-00-00-00-00-e1-9c\",\"data\":\"AQID\",\"port\":2}"},
    {"packet queue delete", "delete queued downlinks", "packet queue delete <DEV-EUI> [ID]",
     "packet queue delete 00-80-00-00-00-00-e1-9c 3"},
    {"packet recent", "uplinks received since the last call", "packet recent", "packet recent"},
    {"join", "join requests received since the last call", "join", "join"},
    {"gateway list", "known gateways and their counters", "gateway [list] [json]", "gateway"},
    {"gateway delete", "forget a gateway", "gateway delete <GW-EUI>",
     "gateway delete 01-02-03-04-05-06-07-08"},
    {"database backup", "copy the database to flash now", "database backup", "database backup"},
    {"config", "the running configuration", "config", "config"},
    {"debug", "log threshold or console output",
     "debug error|warning|info|debug|trace | debug display on|off", "debug trace"},
    {"log file", "log to this file and the console", "log file <path>", "log file vallorin.log"},
    {"include", "run the commands of a file", "include <path>", "include commands.txt"},
    {"ping", "liveness", "ping", "ping"},
    {"help", "this text", "help", "help"},
    {"quit", "end the command interface", "quit", "quit"},
};

}  // namespace

bool CommandSet::ResolvePath(const std::string& folder, const std::string& path, std::string& out) {
  if (folder.empty() || path.empty()) return false;
  // No component may climb out, whatever the path starts with.
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (path.compare(start, end - start, "..") == 0 && end - start == 2) return false;
    start = end + 1;
  }
  std::string base = folder;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (path[0] == '/') {
    if (path.compare(0, base.size(), base) != 0 ||
        (path.size() > base.size() && path[base.size()] != '/' && base != "/")) {
      return false;
    }
    out = path;
    return true;
  }
  out = base + "/" + path;
  return true;
}

CommandSet::Form CommandSet::ReadForm(CommandParser& p, bool fileAllowed, std::string& path) {
  const std::string word = p.nextWord();
  if (word.empty()) return Form::kTable;
  if (word != "json") p.syntaxError();
  const std::string next = p.nextWord();
  if (next.empty()) return Form::kJson;
  if (!fileAllowed || next != "file") p.syntaxError();
  path = p.nextWord();
  if (path.empty() || p.hasWords()) p.syntaxError();
  return Form::kFile;
}

void CommandSet::SendListing(Form form, const std::string& path, const Json::Value& json,
                             const std::string& table) {
  if (form == Form::kTable) return reply_.SendText(table);
  if (form == Form::kJson) return reply_.SendJson(json);
  std::string resolved;
  if (!ResolvePath(links_.fileFolder, path, resolved)) {
    return reply_.SendFail("Unable to write file " + path);
  }
  std::ofstream out(resolved, std::ios::trunc);
  out << ReplyChannel::CompactJson(json);
  out.close();
  if (!out) return reply_.SendFail("Unable to write file " + path);
  reply_.SendSuccess();
}

void CommandSet::DatabaseFailure(const char* what) const {
  std::string detail = links_.database != nullptr ? links_.database->LastError() : "";
  THROW_SQL_EXCEPTION(std::string(what) + (detail.empty() ? "" : ": " + detail));
}

bool CommandSet::Need(const void* link, const char* name) {
  if (link != nullptr) return true;
  reply_.SendFail(std::string("No ") + name + " available");
  return false;
}

void CommandSet::Database(CommandParser& p) {
  const std::string word = p.nextWord();
  if (word != "backup") p.syntaxError();
  if (!Need(links_.database, "database")) return;
  if (!links_.database->Backup(true)) DatabaseFailure("backup");
  reply_.SendOk();
}

void CommandSet::Config(CommandParser&) {
  if (!Need(links_.config, "configuration")) return;
  reply_.SendLongText(Configuration::StyledJson(*links_.config));
}

void CommandSet::Include(CommandParser& p) {
  const std::string path = p.nextWord();
  if (path.empty()) p.syntaxError();
  std::string resolved;
  if (!ResolvePath(links_.fileFolder, path, resolved)) {
    return reply_.SendText("Unable to open include file \"" + path + "\"\n");
  }
  p.include(resolved, path);
}

void CommandSet::Debug(CommandParser& p) {
  const std::string word = p.nextWord();
  const std::pair<const char*, int> levels[] = {{"error", ZEV::Logger::PrintLevel::ERROR_LEVEL},
                                                {"warning", ZEV::Logger::PrintLevel::WARNING_LEVEL},
                                                {"info", ZEV::Logger::PrintLevel::INFO_LEVEL},
                                                {"debug", ZEV::Logger::PrintLevel::DEBUG_LEVEL},
                                                {"trace", ZEV::Logger::PrintLevel::TRACE_LEVEL}};
  for (const auto& [name, level] : levels) {
    if (word == name) {
      ZEV::Logger::setPrintLevel(level, false);
      return reply_.SendOk();
    }
  }
  if (word == "display" || word == "console") {
    const std::string state = p.nextWord();
    if (!state.empty() && state != "on" && state != "off") p.syntaxError();
    ZEV::Logger::setup(WithConsole(ZEV::Logger::printMode(), state != "off"));
    return reply_.SendOk();
  }
  if (word == "help") return reply_.SendText("debug 'error|warning|info|debug|trace'\n");
  p.syntaxError();
}

void CommandSet::Log(CommandParser& p) {
  if (p.nextWord() != "file") p.syntaxError();
  const std::string path = p.nextWord();
  if (path.empty()) p.syntaxError();
  std::string resolved;
  if (!ResolvePath(links_.fileFolder, path, resolved)) {
    return reply_.SendFail("Unable to open log file " + path);
  }
  ZEV::Logger::setup(ZEV::Logger::FILE_STDOUT, resolved);
  reply_.SendOk();
}

void CommandSet::Ping(CommandParser&) { reply_.SendText("ZEV ORBA Server is alive"); }

void CommandSet::Help(CommandParser&) {
  std::string text = "\x1b[1mZEV Lora Server Command Help\x1b[0m\n\n\x1b[1mCommands:\x1b[0m\n";
  for (const HelpEntry& e : kHelp) {
    text += std::string("  ") + e.command + " - " + e.description + "\n";
    text += std::string("      format: ") + e.format + "\n";
    text += std::string("      example: ") + e.example + "\n";
  }
  text += "\n  fields (device update): class, nskey, dskey, ulc, dlc, or an end-device column\n";
  reply_.SendText(text);
}
