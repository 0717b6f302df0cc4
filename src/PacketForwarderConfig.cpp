#include "PacketForwarderConfig.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "Settings.h"
#include "lora/ConfigRead.h"
#include "support/JsonText.h"
#include "support/Logger.h"

namespace ConfigRead = Lora::ConfigRead;

namespace {

constexpr int kMultiSfChannelCount = 8;
// Templates are operators' files: deeper than any message may nest, still bounded.
constexpr int kTemplateDepth = 64;
constexpr const char* kFileName = "global_conf.json";
constexpr const char* kServerAddress = "127.0.0.1";
// The SPI devices of the two accessory slots; a single card keeps the template's device.
constexpr const char* kCardSpiDevice[] = {"/dev/spidev32766.2", "/dev/spidev32765.2"};
constexpr uint32_t kPublicSyncWord = 0x34;
constexpr uint32_t kPrivateSyncWord = 0x12;
constexpr uint32_t kMultiSfBandwidthHz = 125000;
constexpr uint32_t kTxNotchFrequencyHz = 129000;

struct FrequencyRange {
  uint32_t lowHz;   // inclusive
  uint32_t highHz;  // inclusive
  bool contains(uint32_t hz) const { return hz >= lowHz && hz <= highHz; }
};

// One demodulator: the radio it listens through and its offset from that radio's centre.
struct ChannelSlot {
  bool used;
  uint8_t radio;
  int32_t ifHz;
};

// Single-datarate channels take their offset from the plan, or from the process-wide DR6 and DR7
// offsets so that they sit where the channel plan announces those datarates.
enum class Offset : uint8_t { kFixed, kDatarate6, kDatarate7 };

struct SingleChannel {
  bool used;
  uint8_t radio;
  Offset offset;
  int32_t ifHz;             // kFixed only
  uint8_t spreadingFactor;  // standard LoRa channel only
  uint32_t bandwidthHz;     // standard LoRa channel only
};

// Everything that differs between the regions when the concentrator is laid out.
struct PlanLayout {
  const char* band;
  // US915 and AU915 move both radios with the sub-band s: radio 0 at
  // radio0Hz + subBandStepHz * (s - 1), radio 1 radio1AboveRadio0Hz higher.
  bool wideBand;
  uint32_t radio0Hz;
  uint32_t subBandStepHz;
  uint32_t radio1AboveRadio0Hz;
  // The other plans place radio 1 where the "lora" key says, within the ranges that keep all of
  // its channels inside the band.
  const char* radio1Key;
  uint32_t radio1DefaultHz;
  FrequencyRange radio1Valid[2];
  uint8_t radio1ValidCount;
  // EU868: a centre near the 869.4 - 869.65 MHz sub-band is moved to radio1SnapHz and the channels
  // follow snappedMultiSf, which shares that sub-band with channels on radio 0.
  FrequencyRange radio1Snap;
  uint32_t radio1SnapHz;
  const ChannelSlot* snappedMultiSf;
  const ChannelSlot* multiSf;  // kMultiSfChannelCount entries
  SingleChannel loraStd;
  SingleChannel fsk;
  FrequencyRange tx;
  bool txNotch;
  // Listen-before-talk channel list: the multi-SF channels and the RX2 frequency.
  bool lbtChannels;
  uint32_t lbtSkipChannel3AtRadio1Hz;  // 0: never; KR920 at 922.9 MHz, where it doubles channel 2
  uint32_t lbtRx2UnlessHz;             // 0: RX2 always listed; AS923 leaves out its default RX2
};

// clang-format off
constexpr ChannelSlot kWideBandMultiSf[kMultiSfChannelCount] = {
    {true, 0, -400000}, {true, 0, -200000}, {true, 0, 0}, {true, 0, 200000},
    {true, 1, -400000}, {true, 1, -200000}, {true, 1, 0}, {true, 1, 200000}};
// Three channels on radio 0, five on radio 1.
constexpr ChannelSlot kThreePlusFiveMultiSf[kMultiSfChannelCount] = {
    {true, 0, -400000}, {true, 0, -200000}, {true, 0, 0},
    {true, 1, -400000}, {true, 1, -200000}, {true, 1, 0}, {true, 1, 200000}, {true, 1, 400000}};
// EU868 with radio 1 at 869.4 MHz: 868.1, 868.3, 868.5, 868.8, 869.0, 869.525 and 869.8 MHz.
constexpr ChannelSlot kEU868SnappedMultiSf[kMultiSfChannelCount] = {
    {true, 0, -400000}, {true, 0, -200000}, {true, 0, 0}, {true, 0, 300000},
    {true, 1, -400000}, {true, 1, 125000}, {true, 1, 400000}, {false, 1, 0}};
// IN865: 865.0625, 865.4025 and 865.2325 MHz on radio 0.
constexpr ChannelSlot kIN865MultiSf[kMultiSfChannelCount] = {
    {true, 0, -137500}, {true, 0, 202500}, {true, 0, 32500},
    {true, 1, -400000}, {true, 1, -200000}, {true, 1, 0}, {true, 1, 200000}, {true, 1, 400000}};

constexpr SingleChannel kNoChannel = {false, 0, Offset::kFixed, 0, 0, 0};
constexpr SingleChannel kSf8Bw500At300k = {true, 0, Offset::kFixed, 300000, 8, 500000};
constexpr SingleChannel kSf7Bw250AtDr6 = {true, 0, Offset::kDatarate6, 0, 7, 250000};
constexpr SingleChannel kFskAtDr7 = {true, 0, Offset::kDatarate7, 0, 0, 0};

// Per row: band, wide band, radio 0 centre, sub-band step, radio 1 above radio 0;
//   radio 1 key, default, valid ranges and their count, snap range, snapped centre and layout;
//   multi-SF layout, standard LoRa channel, FSK channel;
//   transmit range, TX notch, LBT channels, LBT channel 3 left out at, RX2 left out at.
constexpr PlanLayout kLayouts[] = {
    {"US915", true, 902700000, 1600000, 800000, nullptr, 0, {}, 0, {0, 0}, 0, nullptr,
     kWideBandMultiSf, kSf8Bw500At300k, kNoChannel,
     {902000000, 928000000}, false, false, 0, 0},
    {"AU915", true, 915600000, 1600000, 800000, nullptr, 0, {}, 0, {0, 0}, 0, nullptr,
     kWideBandMultiSf, kSf8Bw500At300k, kNoChannel,
     {915000000, 928000000}, false, false, 0, 0},
    {"EU868", false, 868500000, 0, 0, "frequencyEU", 869500000,
     {{863500000, 867500000}}, 1, {869100000, 869500000}, 869400000, kEU868SnappedMultiSf,
     kThreePlusFiveMultiSf, kSf7Bw250AtDr6, kFskAtDr7,
     {863000000, 870000000}, true, true, 0, 0},
    {"AS923", false, 923600000, 0, 0, "frequencyAS", 922600000,
     {{920500000, 922600000}, {924100000, 927500000}}, 2, {0, 0}, 0, nullptr,
     kThreePlusFiveMultiSf, kSf7Bw250AtDr6, kFskAtDr7,
     {920000000, 928000000}, false, true, 0, 923200000},
    {"KR920", false, 922500000, 0, 0, "frequencyKR", 922900000,
     {{921300000, 921500000}, {922900000, 922900000}}, 2, {0, 0}, 0, nullptr,
     kThreePlusFiveMultiSf, kNoChannel, kNoChannel,
     {920900000, 923300000}, false, true, 922900000, 0},
    {"IN865", false, 865200000, 0, 0, "frequencyIN", 866385000,
     {{866000000, 867000000}}, 1, {0, 0}, 0, nullptr,
     kIN865MultiSf, {true, 0, Offset::kFixed, 0, 7, 250000},
     {true, 1, Offset::kDatarate7, 0, 0, 0},
     {865000000, 867000000}, true, false, 0, 0},
};
// clang-format on

const PlanLayout* FindLayout(const std::string& band) {
  for (const PlanLayout& layout : kLayouts) {
    if (band == layout.band) return &layout;
  }
  return nullptr;
}

// Where the two radios of one card listen.
struct RadioPlan {
  uint32_t centreHz[2];
  bool radio1Valid;
  const ChannelSlot* multiSf;  // kMultiSfChannelCount entries

  bool enabled(const ChannelSlot& slot) const {
    return slot.used && (slot.radio == 0 || radio1Valid);
  }
  bool enabled(const SingleChannel& channel) const {
    return channel.used && (channel.radio == 0 || radio1Valid);
  }
  uint32_t frequency(uint8_t radio, int32_t ifHz) const {
    return static_cast<uint32_t>(static_cast<int64_t>(centreHz[radio]) + ifHz);
  }
};

// ---------------------------------------------------------------------------------------------
// Reading the configuration.

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

// The card EUI as 16 lower-case hex digits; "" when the text is not an EUI.
std::string CompactEui(const std::string& text) {
  std::string compact;
  for (char c : text) {
    if (c == '-' || c == ':' || c == '.') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return "";
    compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return compact.size() == 16 ? compact : "";
}

// A frequency key in Hz; 0 when present but not a frequency, the fallback when missing.
uint32_t ReadFrequency(const Json::Value& lora, const char* key, uint32_t fallback) {
  const Json::Value& value = ConfigRead::Member(lora, key);
  if (value.isNull()) return fallback;
  int64_t hz = 0;
  if (!ConfigRead::Integer(value, &hz) || hz <= 0 || hz > UINT32_MAX) return 0;
  return static_cast<uint32_t>(hz);
}

// The US915/AU915 sub-band of one card, 1 to 8; anything else is replaced by 1 in the document.
int ReadSubBand(Json::Value& lora, const char* key) {
  constexpr int kDefault = 1;
  const Json::Value& value = ConfigRead::Member(lora, key);
  if (value.isNull()) {
    LOG_WARNING("Setting ['%s']['%s'] not found in config, using sub-band %d", "lora", key,
                kDefault);
    lora[key] = kDefault;
    return kDefault;
  }
  int64_t subBand = 0;
  if (!ConfigRead::Integer(value, &subBand) || subBand < 1 || subBand > 8) {
    LOG_WARNING("Invalid ['%s']['%s'] setting %d, using sub-band %d", "lora", key,
                static_cast<int>(std::clamp<int64_t>(subBand, INT32_MIN, INT32_MAX)), kDefault);
    lora[key] = kDefault;
    return kDefault;
  }
  return static_cast<int>(subBand);
}

RadioPlan PlanRadios(const PlanLayout& layout, const Json::Value& lora, int subBand) {
  RadioPlan radios{{layout.radio0Hz, 0}, true, layout.multiSf};
  if (layout.wideBand) {
    radios.centreHz[0] =
        layout.radio0Hz + layout.subBandStepHz * static_cast<uint32_t>(subBand - 1);
    radios.centreHz[1] = radios.centreHz[0] + layout.radio1AboveRadio0Hz;
    return radios;
  }
  uint32_t radio1 = ReadFrequency(lora, layout.radio1Key, layout.radio1DefaultHz);
  radios.centreHz[1] = radio1;
  if (layout.snappedMultiSf != nullptr && layout.radio1Snap.contains(radio1)) {
    radios.centreHz[1] = layout.radio1SnapHz;
    radios.multiSf = layout.snappedMultiSf;
    return radios;
  }
  radios.radio1Valid = false;
  for (uint8_t i = 0; i < layout.radio1ValidCount; ++i) {
    if (layout.radio1Valid[i].contains(radio1)) radios.radio1Valid = true;
  }
  if (!radios.radio1Valid) {
    LOG_WARNING("Invalid frequency for radio 1, only radio 0 will be enabled");
  }
  return radios;
}

int32_t ChannelOffset(const SingleChannel& channel, const Settings& settings) {
  switch (channel.offset) {
    case Offset::kDatarate6:
      return settings.frequencyOffsetDR6;
    case Offset::kDatarate7:
      return settings.frequencyOffsetDR7;
    case Offset::kFixed:
      break;
  }
  return channel.ifHz;
}

// ---------------------------------------------------------------------------------------------
// The document.

// parent[key] as an object; a template member of another type is replaced.
Json::Value& ObjectMember(Json::Value& parent, const char* key) {
  Json::Value& member = parent[key];
  if (!member.isObject()) member = Json::Value(Json::objectValue);
  return member;
}

bool ReadTemplate(const std::string& file, Json::Value* document) {
  std::ifstream in(file, std::ios::binary);
  if (!in.is_open()) return false;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Json::Value parsed;
  std::string errors;
  // Operators annotate their templates, so comments pass; depth stays bounded.
  if (!JsonText::Parse(text, parsed, errors, JsonText::Comments::Kept, kTemplateDepth) || !parsed.isObject()) return false;
  *document = std::move(parsed);
  return true;
}

Json::Value LoadTemplate(const GatewayPaths& paths) {
  Json::Value document(Json::objectValue);
  for (const std::string* folder : {&paths.templateDir, &paths.templateFallbackDir}) {
    if (ReadTemplate(JoinPath(*folder, kFileName), &document)) {
      LOG_INFO("Loaded default global_conf.json from %s", folder->c_str());
      return document;
    }
    LOG_WARNING("Failed to load default global_conf.json from %s", folder->c_str());
  }
  return document;
}

// lbt_cfg without its channel list; true when listen-before-talk is on.
bool ApplyLbtSettings(Json::Value& sx1301, const Json::Value& lora) {
  bool enabled = ConfigRead::Flag(lora, "lbtEnabled");
  Json::Value& lbt = ObjectMember(sx1301, "lbt_cfg");
  lbt["enable"] = enabled;
  if (!enabled) return false;
  LOG_INFO("LBT is enabled");
  lbt["sx127x_rssi_offset"] = Json::Int64(ConfigRead::IntegerOr(lora, "lbtSxOffset", -24));
  int64_t threshold = 0;
  // Only the regions that require LBT have a default threshold; elsewhere the template's stays.
  if (ConfigRead::Integer(ConfigRead::Member(lora, "lbtThreshold"), &threshold)) {
    lbt["rssi_target"] = Json::Int64(threshold);
  }
  return true;
}

Json::Value LbtChannels(const PlanLayout& layout, const RadioPlan& radios,
                        const Json::Value& lora) {
  std::vector<uint32_t> frequencies;
  if (layout.lbtChannels) {
    for (int i = 0; i < kMultiSfChannelCount; ++i) {
      const ChannelSlot& slot = radios.multiSf[i];
      if (!radios.enabled(slot)) continue;
      if (i == 3 && layout.lbtSkipChannel3AtRadio1Hz != 0 &&
          radios.centreHz[1] == layout.lbtSkipChannel3AtRadio1Hz) {
        continue;
      }
      frequencies.push_back(radios.frequency(slot.radio, slot.ifHz));
    }
    // The concentrator must also be allowed to answer on RX2; it takes the last place.
    uint32_t rx2 = ReadFrequency(lora, "rx2Frequency", 0);
    size_t index = radios.radio1Valid ? 7 : 3;
    if (rx2 != 0 && rx2 != layout.lbtRx2UnlessHz) {
      if (index < frequencies.size()) {
        frequencies[index] = rx2;
      } else {
        frequencies.push_back(rx2);
      }
    }
  }
  Json::Value channels(Json::arrayValue);
  const Json::Int64 scanTime = ConfigRead::IntegerOr(lora, "lbtScanTime", 5000);
  for (uint32_t hz : frequencies) {
    Json::Value entry(Json::objectValue);
    entry["freq_hz"] = Json::UInt(hz);
    entry["scan_time_us"] = scanTime;
    channels.append(entry);
  }
  return channels;
}

void ApplyChannels(Json::Value& sx1301, const PlanLayout& layout, const RadioPlan& radios,
                   const Settings& settings) {
  for (int i = 0; i < kMultiSfChannelCount; ++i) {
    const ChannelSlot& slot = radios.multiSf[i];
    Json::Value& channel = ObjectMember(sx1301, ("chan_multiSF_" + std::to_string(i)).c_str());
    channel["enable"] = radios.enabled(slot);
    channel["radio"] = slot.radio;
    channel["if"] = slot.ifHz;
  }

  Json::Value& loraStd = ObjectMember(sx1301, "chan_Lora_std");
  loraStd["enable"] = radios.enabled(layout.loraStd);
  loraStd["radio"] = 0;
  if (layout.loraStd.used) {
    loraStd["spread_factor"] = layout.loraStd.spreadingFactor;
    loraStd["bandwidth"] = Json::UInt(layout.loraStd.bandwidthHz);
    loraStd["if"] = ChannelOffset(layout.loraStd, settings);
  }

  Json::Value& fsk = ObjectMember(sx1301, "chan_FSK");
  fsk["enable"] = radios.enabled(layout.fsk);
  fsk["radio"] = layout.fsk.radio;
  if (layout.fsk.used) {
    fsk["datarate"] = 50000;
    fsk["bandwidth"] = 125000;
    fsk["freq_deviation"] = 25000;
    fsk["if"] = ChannelOffset(layout.fsk, settings);
  }
}

void ApplyRadios(Json::Value& sx1301, const PlanLayout& layout, const RadioPlan& radios,
                 const Json::Value& lora) {
  const Json::Int64 rssiOffset = ConfigRead::IntegerOr(lora, "sxOffset", -162);

  Json::Value& radio0 = ObjectMember(sx1301, "radio_0");
  radio0["enable"] = true;
  radio0["freq"] = Json::UInt(radios.centreHz[0]);
  radio0["tx_enable"] = true;
  radio0["tx_freq_min"] = Json::UInt(layout.tx.lowHz);
  radio0["tx_freq_max"] = Json::UInt(layout.tx.highHz);
  radio0["rssi_offset"] = rssiOffset;
  radio0.removeMember("tx_notch_freq");
  if (layout.txNotch) radio0["tx_notch_freq"] = Json::UInt(kTxNotchFrequencyHz);

  // A radio 1 outside the band would listen where no channel of the plan is: it is switched off
  // together with its channels.
  Json::Value& radio1 = ObjectMember(sx1301, "radio_1");
  radio1["enable"] = radios.radio1Valid;
  radio1["freq"] = Json::UInt(radios.centreHz[1]);
  radio1["tx_enable"] = false;
  radio1["rssi_offset"] = rssiOffset;
}

// The channels card 1 listens on, as the rest of the server sees them: the eight multi-SF
// channels, then the standard LoRa channel.
Json::Value ChannelMap(const PlanLayout& layout, const RadioPlan& radios,
                       const Settings& settings) {
  Json::Value channels(Json::arrayValue);
  for (int i = 0; i < kMultiSfChannelCount; ++i) {
    const ChannelSlot& slot = radios.multiSf[i];
    Json::Value entry(Json::objectValue);
    if (slot.radio == 0 || radios.radio1Valid) {
      entry["frequency"] = Json::UInt(radios.frequency(slot.radio, slot.ifHz));
    }
    entry["enabled"] = radios.enabled(slot);
    entry["bandwidth"] = Json::UInt(kMultiSfBandwidthHz);
    channels.append(entry);
  }
  Json::Value loraStd(Json::objectValue);
  if (layout.loraStd.used) {
    loraStd["frequency"] = Json::UInt(radios.frequency(0, ChannelOffset(layout.loraStd, settings)));
  }
  loraStd["enabled"] = radios.enabled(layout.loraStd);
  if (layout.loraStd.used) loraStd["bandwidth"] = Json::UInt(layout.loraStd.bandwidthHz);
  channels.append(loraStd);

  Json::Value forwarder(Json::objectValue);
  forwarder["channels"] = channels;
  Json::Value forwarders(Json::arrayValue);
  forwarders.append(forwarder);
  return forwarders;
}

// The network mode decides the sync word; a configured public sync word makes the mode public.
void ApplyNetworkMode(Json::Value& document, Json::Value& config) {
  int64_t mode = ConfigRead::NetworkMode(config);
  Json::UInt syncWord = mode == 1 ? kPublicSyncWord : kPrivateSyncWord;
  const Json::Value& configured =
      ConfigRead::Member(ConfigRead::Member(config, "lora"), "syncWord");
  if (configured.isUInt()) {
    syncWord = configured.asUInt();
    if (syncWord == kPublicSyncWord) {
      ObjectMember(config, "network")["public"] = 1;
      mode = 1;
    }
  }
  ObjectMember(document, "SX1301_conf")["lorawan_public"] = (mode == 1);
  ObjectMember(document, "gateway_conf")["synch_word"] = syncWord;
}

void ApplyGatewayConf(Json::Value& document, const Json::Value& config) {
  const Json::Value& udp = ConfigRead::Member(config, "udp");
  Json::Value& gateway = ObjectMember(document, "gateway_conf");
  gateway["forward_crc_disabled"] = false;
  gateway["forward_crc_error"] = true;
  gateway["forward_crc_valid"] = true;
  gateway["keepalive_interval"] = 10;
  gateway["push_timeout_ms"] = 120;
  gateway["serv_port_down"] = Json::Int64(ConfigRead::IntegerOr(udp, "downstreamPort", 1782));
  gateway["serv_port_up"] = Json::Int64(ConfigRead::IntegerOr(udp, "upstreamPort", 1780));
  gateway["server_address"] = kServerAddress;
  gateway["stat_interval"] = 20;
}

void SetCard(Json::Value& document, const std::string& eui, int card, bool twoCards) {
  Json::Value& gateway = ObjectMember(document, "gateway_conf");
  gateway["gateway_ID"] = eui;
  if (twoCards) gateway["spi_device"] = kCardSpiDevice[card - 1];
}

// Replaces path/<card>/global_conf.json in one step, so that a packet forwarder starting meanwhile
// reads either the old file or the new one.
bool WriteCardFile(const Json::Value& document, const std::string& path, int card) {
  const std::string folder = JoinPath(path, std::to_string(card));
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
  const std::string file = JoinPath(folder, kFileName);
  const std::string partial = file + ".tmp";

  Json::StreamWriterBuilder builder;
  builder["indentation"] = "\t";
  builder["commentStyle"] = "All";
  std::unique_ptr<Json::StreamWriter> writer(builder.newStreamWriter());
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out.is_open()) return false;
    writer->write(document, &out);
    out << '\n';
    out.close();
    if (out.fail()) {
      std::remove(partial.c_str());
      return false;
    }
  }
  if (std::rename(partial.c_str(), file.c_str()) != 0) {
    std::remove(partial.c_str());
    return false;
  }
  return true;
}

}  // namespace

bool WritePacketForwarderConfiguration(Json::Value& config, const Settings& settings,
                                       const std::string& band, const std::string& path,
                                       const std::string& card1Eui, const std::string& card2Eui) {
  const PlanLayout* layout = FindLayout(band);
  if (layout == nullptr) {
    LOG_ERROR("Unsupported channel plan %s.", band.c_str());
    return false;
  }
  const std::string eui1 = CompactEui(card1Eui);
  if (eui1.empty()) {
    LOG_ERROR("Invalid EUI of LoRa card %d [%s], global_conf.json not written", 1,
              card1Eui.c_str());
    return false;
  }
  // Start-up only gets here with a "lora" section.
  if (!ConfigRead::Member(config, "lora").isObject()) return false;
  Json::Value& lora = config["lora"];

  Json::Value document = LoadTemplate(settings.paths);
  LOG_INFO("Setup for global_conf.json for %s", band.c_str());

  Json::Value& sx1301 = ObjectMember(document, "SX1301_conf");
  bool lbt = ApplyLbtSettings(sx1301, lora);

  int subBand = layout->wideBand ? ReadSubBand(lora, "frequencySubBand") : 0;
  RadioPlan radios = PlanRadios(*layout, lora, subBand);
  ApplyChannels(sx1301, *layout, radios, settings);
  if (lbt) sx1301["lbt_cfg"]["chan_cfg"] = LbtChannels(*layout, radios, lora);
  ApplyRadios(sx1301, *layout, radios, lora);
  config["packetForwarders"] = ChannelMap(*layout, radios, settings);
  sx1301["clksrc"] = 0;
  ApplyNetworkMode(document, config);

  const bool twoCards = !card2Eui.empty();
  ApplyGatewayConf(document, config);
  SetCard(document, eui1, 1, twoCards);
  LOG_INFO("Write global_conf.json card 1");
  bool written = WriteCardFile(document, path, 1);

  if (twoCards) {
    LOG_INFO("Write global_conf.json card 2");
    const std::string eui2 = CompactEui(card2Eui);
    if (eui2.empty()) {
      LOG_ERROR("Invalid EUI of LoRa card %d [%s], global_conf.json not written", 2,
                card2Eui.c_str());
      return false;
    }
    SetCard(document, eui2, 2, twoCards);
    if (layout->wideBand) {
      RadioPlan radios2 = PlanRadios(*layout, lora, ReadSubBand(lora, "frequencySubBand2"));
      Json::Value& sx1301Card2 = document["SX1301_conf"];
      ApplyChannels(sx1301Card2, *layout, radios2, settings);
      ApplyRadios(sx1301Card2, *layout, radios2, lora);
    }
    written = WriteCardFile(document, path, 2) && written;
  }
  return written;
}
