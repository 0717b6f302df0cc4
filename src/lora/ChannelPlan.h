// The regional channel plan: every rule of the LoRaWAN radio layer that the server needs (datarate
// meaning, receive windows, payload limits, transmit power, channel masks, the join-accept CFList,
// duty-cycle bands) is asked of one object of this family.
//
// Exactly one plan exists per process. Start-up builds it (ChannelPlanSetup.h), configures its
// sub-band and channel mask, and from then on nothing writes it: the gateway receive thread, the
// packet workers, the transmit path and the beacon thread read it without a lock. The plan keeps
// references to the configuration document and the process settings and reads the regional keys
// when an operation runs; both must outlive the plan and stay unchanged once threads run.
//
// Regional values live in constexpr tables (RegionTables.h); this base implements every operation
// that the tables can drive, and the six plans (ChannelPlans.h) override only what differs.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

struct Settings;

// What a datarate index means on air. FSK is bandwidth 0 with spreading factor 13.
struct DatarateParams {
  uint32_t bandwidth = 125;       // kHz: 125, 250, 500; 0 for FSK
  uint32_t spreadingFactor = 12;  // 7 to 12; 13 marks FSK
};

// One receive window of a downlink.
struct RxWindowParams {
  uint8_t window = 0;        // 1 or 2
  uint32_t frequency = 0;    // Hz
  uint32_t bandwidth = 125;  // kHz, as in DatarateParams
  uint32_t spreadingFactor = 12;
};

namespace Lora {

enum class Region : uint8_t { AS923, AU915, EU868, IN865, KR920, US915 };

// How RX1DROffset moves the uplink datarate to the RX1 datarate.
enum class Rx1OffsetRule : uint8_t {
  kSubtract,  // uplink - offset
  kExtended,  // offsets 6 and 7 raise the datarate by 1 and 2 (AS923, IN865)
};

struct DatarateEntry {
  uint8_t spreadingFactor;  // 0: the index is not in the plan
  uint16_t bandwidthKhz;
};

struct DutyCycleBandRange {
  uint32_t lowHz;   // inclusive
  uint32_t highHz;  // inclusive
  uint8_t band;
};

constexpr int kDatarateCount = 16;

// The constants of one region; one constexpr instance per plan in RegionTables.h.
struct RegionParams {
  Region region;
  const char* name;
  int8_t maxDeviceTxPower;  // dBm; ADR falls back to it
  // Uplink datarate bounds. fixedMin/MaxDatarate >= 0 replace the configured "minDatarate" and
  // "maxDatarate"; otherwise the configured value applies, missing -> 0 and defaultMaxDatarate,
  // either kept within [0, highestUplinkDatarate].
  int8_t fixedMinDatarate;
  int8_t fixedMaxDatarate;
  int8_t defaultMaxDatarate;
  int8_t highestUplinkDatarate;
  int8_t minDownlinkDatarate;
  int8_t maxDownlinkDatarate;
  int8_t maxRx1DatarateOffset;
  int32_t snrOffset;  // tenths of a dB
  bool cfListSupported;
  bool dutyCycleEnforced;
  uint32_t defaultChannelMask;
  const DatarateEntry* datarates;  // kDatarateCount entries
  // An index the plan does not have keeps SF12 and 125 kHz, or invalidHighBandwidthKhz above
  // highest125KhzDatarate (the wide-band plans report their 500 kHz range there).
  int8_t highest125KhzDatarate;
  uint16_t invalidHighBandwidthKhz;
  const uint8_t* maxPayloadTable;  // kDatarateCount entries, bytes of frame; 0: not allowed
  Rx1OffsetRule rx1OffsetRule;
  int8_t rx1UplinkShift;  // added to the uplink datarate for RX1 (the 500 kHz downlink range)
  int8_t joinRx2Datarate;
  uint32_t joinRx2FrequencyHz;  // also the RX2 frequency while "rx2Frequency" is unset
  int8_t txPowerStep;           // dB one step down
  int8_t txPowerStepFrom20;     // dB one step down from 20 dBm
  int32_t radioEirpCap;         // dBm EIRP the radio may reach
  const DutyCycleBandRange* dutyCycleBands;
  size_t dutyCycleBandCount;
};

// The 64 + 8 channel plans (US915, AU915): 125 kHz uplinks every 200 kHz, 500 kHz uplinks every
// 1.6 MHz, eight 500 kHz downlink channels every 600 kHz.
struct WideBandParams {
  uint32_t first125KhzUplinkHz;
  uint32_t first500KhzUplinkHz;
  uint32_t firstDownlinkHz;
  uint32_t downlinkStepHz;
};

class ChannelPlan {
 public:
  // Bytes of a join accept after the MHDR: fields 12, CFList 16, MIC 4.
  static constexpr uint8_t kJoinAcceptLengthWithCfList = 32;
  static constexpr uint8_t kJoinAcceptLengthWithoutCfList = 16;
  // buildCfList needs bytes 0 to 31 of the join accept (MHDR included).
  static constexpr size_t kJoinAcceptBufferSize = 32;
  static constexpr size_t kCfListOffset =
      13;  // after MHDR, JoinNonce, NetID, DevAddr, DLSettings, RxDelay
  static constexpr size_t kCfListSize = 16;
  static constexpr size_t kMaxLinkAdrBlocks = 2;

  ChannelPlan(const ChannelPlan&) = delete;
  ChannelPlan& operator=(const ChannelPlan&) = delete;

  // The operations, in their fixed slot order.
  virtual ~ChannelPlan();
  // Writes the last three bytes of a LinkADRReq: ChMask (least significant byte first) and
  // Redundancy (ChMaskCntl in bits 4-6, NbTrans in bits 0-3). out holds at least 3 bytes.
  virtual void fillLinkAdrChannelMask(uint8_t* out) const;
  // One power step below dBm, never below minDeviceTxPower.
  virtual int8_t nextLowerTxPower(int8_t dBm) const;
  // The datarate an SNR (tenths of a dB) supports, within [minDatarate, maxDatarate].
  virtual int8_t datarateForSnr(int32_t snrTenths) const;
  // The highest conducted power (dBm, at least 0) the gateway radio may use at that frequency.
  virtual int32_t maxRadioTxPower(uint32_t frequencyHz) const;
  // Enables the channels of the "channelMask" text, or the plan's defaults for the empty text.
  virtual void configureChannelMask(const std::string& text);
  // Plans with one mask return channelMask whatever the index.
  virtual uint32_t channelMaskWord(unsigned index) const;
  // The TXPower field (0-15) that asks a device for dBm.
  virtual uint8_t txPowerIndex(int8_t dBm) const = 0;
  // The RX1 downlink frequency for an uplink frequency.
  virtual uint32_t rx1Frequency(uint32_t uplinkFrequencyHz) const;
  // The duty-cycle band of a frequency; 0 when the plan has no bands.
  virtual uint8_t dutyCycleBand(uint32_t frequencyHz) const;
  virtual DatarateParams datarateToSfBw(int8_t datarate) const;
  // 0 when the pair is not in the plan.
  virtual int8_t sfBwToDatarate(uint32_t bandwidthKhz, uint32_t spreadingFactor) const;
  virtual uint8_t joinAcceptLength() const;
  // Where and how to answer an uplink in window 1 or 2; isJoin selects the join-accept rules.
  virtual RxWindowParams rxWindow(bool isJoin, uint32_t uplinkFrequencyHz, int8_t uplinkDatarate,
                                  uint8_t window) const;
  // The largest frame in bytes at a datarate; 0 when not allowed or out of range.
  virtual uint8_t maxPayload(int8_t datarate) const;
  // Clears join-accept bytes 13-31 and writes the plan's CFList at bytes 13-28. joinAccept holds
  // size bytes, at least kJoinAcceptBufferSize. False: no CFList (join accept of 17 bytes).
  virtual bool buildCfList(uint8_t* joinAccept, size_t size) const;
  // The CFList as 32 lower-case hex digits, or "" when the plan sends none.
  virtual std::string cfListHex() const;
  // Selects the US915/AU915 sub-band; the other plans only keep the number.
  virtual void setSubBand(uint8_t subBand);
  // The channel blocks of a LinkADRReq, 3 bytes each (ChMask least significant byte first, then
  // Redundancy), enabling only channels a joined device knows. out holds kMaxLinkAdrBlocks * 3
  // bytes. Returns the number of blocks written.
  virtual size_t fillLinkAdrBlocks(uint8_t* out) const;

  // Start-up validates "minDatarate"/"maxDatarate" after the plan is built (the rules depend on
  // the resolved region); this takes the validated values before the channel mask is configured.
  void refreshDatarateBounds();

  Region region() const { return region_.region; }
  const char* name() const { return region_.name; }
  int8_t minDeviceTxPower() const { return minDeviceTxPower_; }
  int8_t maxDeviceTxPower() const { return maxDeviceTxPower_; }
  int8_t minDatarate() const { return minDatarate_; }
  int8_t maxDatarate() const { return maxDatarate_; }
  int8_t minDownlinkDatarate() const { return minDownlinkDatarate_; }
  int8_t maxDownlinkDatarate() const { return maxDownlinkDatarate_; }
  int8_t maxRx1DatarateOffset() const { return maxRx1DatarateOffset_; }
  uint8_t subBand() const { return subBand_; }
  int32_t snrStep() const { return snrStep_; }
  int32_t snrOffset() const { return snrOffset_; }
  bool cfListSupported() const { return cfListSupported_; }
  bool dutyCycleEnforced() const { return dutyCycleEnforced_; }
  uint32_t channelMask() const { return channelMask_; }
  // Channels 0-15 that a device of a narrow-band plan has after its join: the default channels
  // and those its join accept's CFList adds.
  uint16_t deviceChannelMask() const;

 protected:
  ChannelPlan(const Json::Value& config, const Settings& settings, const RegionParams& region);

  const Json::Value& lora() const;
  int64_t loraInteger(const char* key, int64_t fallback) const;
  bool loraFlag(const char* key) const;
  // "public" of "network": any mode but 0 (private ZEV network) answers like a public network.
  bool isPublicNetwork() const;
  // A frequency key (Hz) of "lora"; 0 when unset or not a 32-bit frequency.
  uint32_t loraFrequency(const char* key) const;
  // "rx2Frequency", or the regional RX2 frequency while it is unset.
  uint32_t configuredRx2Frequency() const;

  // The shared RX1 rule: the uplink datarate moved by "rx1DatarateOffset", then clamped into
  // [minDownlinkDatarate, maxDownlinkDatarate].
  int rx1Datarate(int uplinkDatarate) const;
  RxWindowParams withDatarate(RxWindowParams params, int datarate) const;

  // Applies a non-empty hex text of at most 4 digits to channelMask. False for the empty text and
  // for a text that is not such hex (logged), so that the caller applies its default.
  bool applyChannelMaskText(const std::string& text);
  // Hex digits text[begin, end) (at most 16), most significant first; false on a non-hex digit.
  static bool parseHex(const std::string& text, size_t begin, size_t end, uint64_t* out);

  // Writes entry index (0-4) of the CFList: the frequency in 100 Hz units, 3 bytes, least
  // significant first; logged at debug level unless told otherwise.
  static void writeCfListEntry(uint8_t* joinAccept, int index, uint32_t frequencyHz,
                               bool logged = true);
  // Writes count entries 200 kHz apart, the first at firstHz.
  static void writeCfListSeries(uint8_t* joinAccept, uint32_t firstHz, int count);
  // False (logged) when a join-accept buffer is too small for the CFList.
  static bool cfListBufferFits(size_t size);
  // Zeroes join-accept bytes 13 to 31.
  static void clearCfList(uint8_t* joinAccept);

  const Json::Value& config_;
  const Settings& settings_;
  const RegionParams& region_;

  // Constant after start-up configuration.
  int8_t minDeviceTxPower_ = 2;
  int8_t maxDeviceTxPower_;
  int8_t minDatarate_ = 0;
  int8_t maxDatarate_ = 0;
  int8_t minDownlinkDatarate_;
  int8_t maxDownlinkDatarate_;
  int8_t maxRx1DatarateOffset_;
  uint8_t subBand_ = 1;
  int32_t snrStep_ = 30;
  int32_t snrOffset_;
  bool cfListSupported_;
  bool dutyCycleEnforced_;
  const uint8_t* maxPayloadTable_;
  uint32_t channelMask_;

 private:
  // Worked out on first use, once configuration is complete.
  mutable std::once_flag deviceChannelsOnce_;
  mutable uint16_t deviceChannels_ = 0;
};

}  // namespace Lora
