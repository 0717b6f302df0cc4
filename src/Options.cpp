#include "Options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>

#include "support/Text.h"
#include "web/WebPassword.h"

namespace {

// Leading decimal digits (with an optional sign); the rest is ignored, as atoi does.
Json::Int64 LeadingNumber(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

// What an option does with the argument(s) that follow it.
struct OptionContext {
  Json::Value& config;
  Settings& settings;
  CommandLine& line;
  const std::string& value;   // first argument after the option
  const std::string& value2;  // second argument (only --range reads it)
};

using Handler = std::function<void(OptionContext&)>;

struct Option {
  int values;  // arguments read after the option
  Handler apply;
};

Handler SetNumber(const char* section, const char* key) {
  return [section, key](OptionContext& c) {
    Json::Value& target = section != nullptr ? c.config[section][key] : c.config[key];
    target = LeadingNumber(c.value);
  };
}

Handler SetText(const char* section, const char* key) {
  return [section, key](OptionContext& c) {
    Json::Value& target = section != nullptr ? c.config[section][key] : c.config[key];
    target = c.value;
  };
}

Handler SetValue(const char* section, const char* key, Json::Value value) {
  return [section, key, value](OptionContext& c) { c.config[section][key] = value; };
}

Handler SetFlag(bool CommandLine::*flag) {
  return [flag](OptionContext& c) { c.line.*flag = true; };
}

const std::map<std::string, Option>& OptionTable() {
  static const std::map<std::string, Option> table = [] {
    std::map<std::string, Option> t;
    t["c"] = {1, [](OptionContext&) {}};  // read by the first pass
    t["l"] = {1, [](OptionContext& c) { c.line.logFile = c.value; }};
    t["p"] = {1, [](OptionContext& c) {
                if (!c.value.empty() && std::isdigit(static_cast<unsigned char>(c.value[0]))) {
                  c.config["log"]["level"] = LeadingNumber(c.value);
                } else {
                  fprintf(stderr, "Invalid setting for print level '%s'\n", c.value.c_str());
                }
              }};
    t["-error"] = {0, SetValue("log", "level", 10)};
    t["-warning"] = {0, SetValue("log", "level", 20)};
    t["-info"] = {0, SetValue("log", "level", 30)};
    t["-debug"] = {0, SetValue("log", "level", 50)};
    t["-trace"] = {0, SetValue("log", "level", 60)};
    t["-console"] = {0, SetValue("log", "console", true)};
    t["-noconsole"] = {0, SetValue("log", "console", false)};
    t["-syslog"] = {0, SetValue("log", "syslog", true)};
    Handler card1Eui = [](OptionContext& c) {
      c.config["lora"]["eui_1"] = c.value;
      c.line.card1Eui = c.value;
    };
    t["-lora-eui"] = {1, card1Eui};
    t["-lora-eui-1"] = {1, card1Eui};
    t["-lora-eui-2"] = {1, [](OptionContext& c) {
                          c.config["lora"]["eui_2"] = c.value;
                          c.line.card2Eui = c.value;
                        }};
    t["-lora-prod-1"] = {1, [](OptionContext& c) { c.settings.card1["productId"] = c.value; }};
    t["-lora-hw-1"] = {1, [](OptionContext& c) { c.settings.card1["hwVersion"] = c.value; }};
    t["-lora-prod-2"] = {1, [](OptionContext& c) { c.settings.card2["productId"] = c.value; }};
    t["-lora-hw-2"] = {1, [](OptionContext& c) { c.settings.card2["hwVersion"] = c.value; }};
    t["-lora-path"] = {1, [](OptionContext& c) { c.line.loraPath = c.value; }};
    t["-db"] = {1, SetText(nullptr, "db")};
    t["-backup-interval"] = {1, SetNumber(nullptr, "backupInterval")};
    t["-freq"] = {1, SetText("lora", "frequencyBand")};
    t["-join-byte-order"] = {1, [](OptionContext& c) {
                               c.config["lora"]["joinByteOrder"] = ZEV::Text::toUpperCase(c.value);
                             }};
    t["-subband"] = {1, SetNumber("lora", "frequencySubBand")};
    t["-subband-1"] = {1, SetNumber("lora", "frequencySubBand")};
    t["-subband-2"] = {1, SetNumber("lora", "frequencySubBand2")};
    t["-rx1-datarate-offset"] = {1, SetNumber("lora", "rx1DatarateOffset")};
    t["-rx2-datarate"] = {1, SetNumber("lora", "rx2Datarate")};
    t["-range"] = {2, [](OptionContext& c) {
                     c.config["addressRange"]["start"] = c.value;
                     c.config["addressRange"]["end"] = c.value2;
                   }};
    t["-mqtt"] = {1, SetText("mqtt", "host")};
    t["-public-lorawan"] = {0, SetValue("network", "public", 1)};
    t["-private-lorawan"] = {0, SetValue("network", "public", 2)};
    t["-private-zev"] = {0, SetValue("network", "public", 0)};
    t["-eui"] = {1, SetText("network", "eui")};
    t["-key"] = {1, SetText("network", "key")};
    t["-passphrase"] = {1, SetText("network", "passphrase")};
    t["-leasetime"] = {1, SetNumber("network", "leasetime")};
    t["-allow-public-udp"] = {0, SetValue("udp", "allowPublic", true)};
    t["-down-port"] = {1, SetNumber("udp", "downstreamPort")};
    t["-up-port"] = {1, SetNumber("udp", "upstreamPort")};
    t["-app-port-down"] = {1, SetNumber("udp", "appPortDown")};
    t["-app-port-up"] = {1, SetNumber("udp", "appPortUp")};
    t["-max-tx-power"] = {1, SetNumber("lora", "maxTxPower")};
    t["-antenna-gain"] = {1, SetNumber("lora", "antennaGain")};
    t["-max-device-queue-size"] = {1, SetNumber("lora", "deviceQueueSize")};
    t["-device-reset-time"] = {1, SetNumber("lora", "deviceResetTime")};
    t["-device-lost-time"] = {1, SetNumber("lora", "deviceLostTime")};
    t["-network-lead-time"] = {1, SetNumber("lora", "networkLeadTime")};
    t["-net-id"] = {1, SetText("lora", "netID")};
    t["-adr-step"] = {1, SetNumber("lora", "ADRStep")};
    for (const char* name : {"-min-dr", "-min-dr-us", "-min-dr-eu"}) {
      t[name] = {1, SetNumber("lora", "minDatarate")};
    }
    for (const char* name : {"-max-dr", "-max-dr-us", "-max-dr-eu"}) {
      t[name] = {1, SetNumber("lora", "maxDatarate")};
    }
    t["-beacon-interval"] = {1, SetNumber("lora", "beaconInterval")};
    t["-beacon-power"] = {1, SetNumber("lora", "beaconPower")};
    t["-beacon-delay"] = {1, SetNumber("lora", "beaconDelay")};
    t["-disable-join-rx1"] = {0, SetFlag(&CommandLine::disableJoinRx1)};
    t["-disable-join-rx2"] = {0, SetFlag(&CommandLine::disableJoinRx2)};
    t["-disable-rx1"] = {0, SetFlag(&CommandLine::disableRx1)};
    t["-disable-rx2"] = {0, SetFlag(&CommandLine::disableRx2)};
    t["-disable-duty-cycle"] = {0, SetFlag(&CommandLine::disableDutyCycle)};
    t["-check-config"] = {0, SetFlag(&CommandLine::checkConfig)};
    return t;
  }();
  return table;
}

void PrintMissingValue(const std::string& name) {
  fprintf(stderr, "Missing value for option -%s\n", name.c_str());
}

}  // namespace

FirstPass ScanFirstPass(int argc, char** argv, CommandLine& line) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    std::string name(argv[i] + 1);
    if (name == "-version") {
      printf("ZEV Network Server - Version %s\r\n", VALLORIN_VERSION);
      return FirstPass::ExitSuccess;
    }
    if (name == "help" || name == "-help") {
      printf("%s\n", UsageText(VALLORIN_VERSION).c_str());
      return FirstPass::ExitSuccess;
    }
    if (name == "-check-config") line.checkConfig = true;
    if (name == "-web-password-hash") {
      // Read from standard input, never from the command line: arguments show in ps and in
      // the shell's history.
      std::string password;
      if (!std::getline(std::cin, password) || password.empty()) {
        fprintf(stderr, "Type the web console's password on standard input\n");
        return FirstPass::ExitFailure;
      }
      if (!password.empty() && password.back() == '\r') password.pop_back();
      printf("%s\n", WebPassword::Hash(password).c_str());
      return FirstPass::ExitSuccess;
    }
    if (name == "c" || name == "l") {
      if (i + 1 >= argc) {
        PrintMissingValue(name);
        return FirstPass::ExitFailure;
      }
      (name == "c" ? line.configPath : line.logFile) = argv[i + 1];
    }
  }
  return FirstPass::Continue;
}

bool ApplyOptions(int argc, char** argv, Json::Value& config, Settings& settings, CommandLine& line) {
  const auto& table = OptionTable();
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') continue;
    std::string name(argv[i] + 1);
    auto found = table.find(name);
    if (found == table.end()) {
      fprintf(stderr, "Unrecognized parameter -%s\n", name.c_str());
      line.failed = true;
      continue;
    }
    const Option& option = found->second;
    if (i + option.values >= argc) {
      PrintMissingValue(name);
      line.failed = true;
      continue;
    }
    static const std::string none;
    const std::string value = option.values >= 1 ? argv[i + 1] : none;
    const std::string value2 = option.values >= 2 ? argv[i + 2] : none;
    OptionContext context{config, settings, line, value, value2};
    option.apply(context);
  }
  return !line.failed;
}

std::string UsageText(const std::string& version) {
  std::string text = "Kestrawin Lora Network Server v" + version + "\n\n";
  text +=
      "Usage: vallorin [-l log-file] [-c config-file] [-p print-level]\n"
      "        [--lora-eui|--lora-eui-1 eui] [--lora-prod-1 id] [--lora-hw-1 version]\n"
      "        [--lora-eui-2 eui] [--lora-prod-2 id] [--lora-hw-2 version] [--lora-path path]\n"
      "        [--db path] [--backup-interval seconds] [--freq band] [--subband n]\n"
      "        [--rx1-datarate-offset n] [--rx2-datarate n] [--range start end] [--mqtt host]\n"
      "        [{--public-lorawan|--private-lorawan|--private-zev}] [--join-byte-order LSB|MSB]\n"
      "        [--eui eui] [--key key] [--passphrase text] [--leasetime minutes]\n"
      "        [--allow-public-udp] [--down-port port] [--up-port port] [--app-port-up port]\n"
      "        [--app-port-down port] [--max-tx-power dBm] [--max-device-queue-size n]\n"
      "        [--device-reset-time seconds] [--device-lost-time seconds]\n"
      "        [--network-lead-time ms] [--net-id id] [--adr-step cB] [--min-dr-us n]\n"
      "        [--max-dr-us n] [--min-dr-eu n] [--max-dr-eu n] [--beacon-interval seconds]\n"
      "        [--beacon-power dBm] [--beacon-delay ms] [{--console|--noconsole}] [--syslog]\n"
      "        [{--error|--warning|--info|--debug|--trace}]\n"
      "        [--disable-join-rx1] [--disable-join-rx2] [--disable-rx1] [--disable-rx2]\n"
      "        [--disable-duty-cycle]\n"
      "vallorin --check-config [-c config-file] [options]\n"
      "vallorin --web-password-hash < password-file\n"
      "vallorin --version\n"
      "vallorin --help\n"
      "\n";
  static const char* const kLines[] = {
      " -c : provide path to config file to load",
      " -p : set print level for console messages and logging [0-100]",
      " --lora-eui : id of lora accessory card in slot 1",
      " --lora-eui-1 : id of lora accessory card in slot 1",
      " --lora-prod-1 : product id of lora accessory card in slot 1",
      " --lora-hw-1 : hw version of lora accessory card in slot 1",
      " --lora-eui-2 : id of lora accessory card in slot 2",
      " --lora-prod-2 : product id of lora accessory card in slot 2",
      " --lora-hw-2 : hw version of lora accessory card in slot 2",
      " --lora-path : location to place generated lora configuration",
      " --db : provide path to sqlite3 db to use",
      " --backup-interval : time in seconds between db backups",
      " --freq : set frequency band to use for lora (868|915)",
      " --subband : set frequency subband for 915 NA usage 0:using all 64 channels",
      " --rx1-datarate-offset : datarate offset for mote rx window 1 sent in join response",
      " --rx2-datarate : datarate for mote rx window 2 sent in join response",
      " --range : set address range to use for motes",
      " --mqtt : provide host name and port",
      " --public-lorawan : set network mode to public",
      " --private-lorawan : set network mode to private",
      " --private-zev : set network mode to private ZEV network",
      " --join-byte-order : config byte order to expect join requests (LSB|MSB)",
      " --eui : set network eui",
      " --key : set network key to use for encryption",
      " --passphrase : set pass phrase to generate network eui",
      " --leasetime : set expiration of mote network addresses in minutes ",
      " --allow-public-udp : bind udp ports to public address",
      " --down-port : set udp port for downstream messages from Lora radio",
      " --up-port : set udp port for upstream messages to Lora radio",
      " --app-port-up : set udp port for application server upstream communication",
      " --app-port-down : set udp port for application server downstream communication",
      " --max-tx-power : set max tx power",
      " --max-device-queue-size : set queue size per device for downstream packets",
      " --device-reset-time : time period after which device may have been reset",
      " --device-lost-time : time period after which device may have lost contact",
      " --network-lead-time : time period in ms to reach packet forwarder",
      " --net-id : lora network id",
      " --adr-step : cB step between datarates in ADR (default:30)",
      " --min-dr-us : minimum datarate for ADR US (default:0)",
      " --max-dr-us : maximum datarate for ADR US (default:4)",
      " --min-dr-eu : minimum datarate for ADR EU (default:0)",
      " --max-dr-eu : maximum datarate for ADR EU (default:6)",
      " --beacon-interval : interval in seconds to broadcast beacon packet",
      " --beacon-power : power in dBm to broadcast beacon packet",
      " --beacon-delay : delay in ms before broadcast of beacon packet (max:50)",
      " --console : enable console output and command input",
      " --noconsole : disable console output and command input",
      " --syslog : enable syslog messaging",
      " --version : display binary version info",
      " --error : set log level to 10",
      " --warning : set log level to 20",
      " --info : set log level to 30",
      " --debug : set log level to 50",
      " --trace : set log level to 60",
      " --check-config : validate the configuration, print it with every warning, and exit",
      " --web-password-hash : print the \"web\".\"password\" hash of a password read from stdin",
      "",
      "** Options for testing purposes **",
      " --disable-join-rx1 : disable transmitting join accept on first window",
      " --disable-join-rx2 : disable transmitting join accept on second window",
      " --disable-rx1 : disable transmitting on first window",
      " --disable-rx2 : disable transmitting on second window",
      " --disable-duty-cycle : disable duty cycle",
  };
  bool first = true;
  for (const char* line : kLines) {
    if (!first) text += "\n";
    text += line;
    first = false;
  }
  return text;
}
