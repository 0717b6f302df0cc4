// The six regional channel plans. Each one is its RegionParams table (RegionTables.h) plus the few
// rules the table cannot express: power coding, default channel masks and the CFList everywhere;
// the downlink dwell time in AS923; the 64 + 8 channel masks, sub-bands and RX1 channel mapping
// that US915 and AU915 share through ChannelPlanWideBand.
//
// Construct one through ResolveChannelPlan (ChannelPlanSetup.h) at start-up; tests construct them
// directly. config is the whole configuration document, settings the process settings; both are
// kept by reference and must outlive the plan.
#pragma once

#include "lora/ChannelPlan.h"

namespace Lora {

class ChannelPlan_AS923 : public ChannelPlan {
 public:
  ChannelPlan_AS923(const Json::Value& config, const Settings& settings);

  void configureChannelMask(const std::string& text) override;
  uint8_t txPowerIndex(int8_t dBm) const override;
  RxWindowParams rxWindow(bool isJoin, uint32_t uplinkFrequencyHz, int8_t uplinkDatarate,
                          uint8_t window) const override;
  uint8_t maxPayload(int8_t datarate) const override;
  bool buildCfList(uint8_t* joinAccept, size_t size) const override;

 private:
  // The 400 ms downlink limit holds unless "dwelltimeDown" is an explicit number 0. One reading
  // for the payload table, the lowest downlink rate and RX1's floor: with the limit judged on
  // for payloads but off for rates, an absent key put RX2 (and every class C frame) on DR0,
  // which can carry nothing.
  bool downlinkDwellTime() const;
};

class ChannelPlan_EU868 : public ChannelPlan {
 public:
  ChannelPlan_EU868(const Json::Value& config, const Settings& settings);

  int32_t maxRadioTxPower(uint32_t frequencyHz) const override;
  void configureChannelMask(const std::string& text) override;
  uint8_t txPowerIndex(int8_t dBm) const override;
  bool buildCfList(uint8_t* joinAccept, size_t size) const override;
};

class ChannelPlan_IN865 : public ChannelPlan {
 public:
  ChannelPlan_IN865(const Json::Value& config, const Settings& settings);

  void configureChannelMask(const std::string& text) override;
  uint8_t txPowerIndex(int8_t dBm) const override;
  bool buildCfList(uint8_t* joinAccept, size_t size) const override;
};

class ChannelPlan_KR920 : public ChannelPlan {
 public:
  ChannelPlan_KR920(const Json::Value& config, const Settings& settings);

  void configureChannelMask(const std::string& text) override;
  uint8_t txPowerIndex(int8_t dBm) const override;
  bool buildCfList(uint8_t* joinAccept, size_t size) const override;
};

// US915 and AU915: 64 channels of 125 kHz in eight sub-bands of eight, plus 8 channels of 500 kHz,
// each sub-band owning one. Devices get no CFList; the channels are chosen with LinkADRReq masks.
class ChannelPlanWideBand : public ChannelPlan {
 public:
  // A text of 20 or more characters: characters 2-3 hex for channels 64-71, characters 4-19 hex
  // for channels 63 to 0, most significant first. Shorter texts select "frequencySubBand".
  void configureChannelMask(const std::string& text) override;
  // 0: channels 0-31, 1: channels 32-63, 2: channels 64-71, any other index 0.
  uint32_t channelMaskWord(unsigned index) const override;
  // The 16 channels of the sub-band's half of the mask, with ChMaskCntl selecting that half.
  void fillLinkAdrChannelMask(uint8_t* out) const override;
  // Two blocks: the 500 kHz channels with every 125 kHz channel off (ChMaskCntl 7), then the
  // sub-band's half of the 125 kHz mask.
  size_t fillLinkAdrBlocks(uint8_t* out) const override;
  uint8_t txPowerIndex(int8_t dBm) const override;
  uint32_t rx1Frequency(uint32_t uplinkFrequencyHz) const override;
  RxWindowParams rxWindow(bool isJoin, uint32_t uplinkFrequencyHz, int8_t uplinkDatarate,
                          uint8_t window) const override;
  // Enables the eight 125 kHz channels of sub-band 1-8 and its 500 kHz channel; any other value
  // enables none.
  void setSubBand(uint8_t subBand) override;

  // "frequencySubBand" (1 when unset); a value beyond 8 bits gives 0, which enables no channel.
  uint8_t configuredSubBand() const;

  uint16_t channelMask64to71() const { return channelMask64to71_; }
  uint32_t channelMask32to63() const { return channelMask32to63_; }
  uint32_t channelMask0to31() const { return channelMask0to31_; }

 protected:
  ChannelPlanWideBand(const Json::Value& config, const Settings& settings,
                      const RegionParams& region, const WideBandParams& channels);

 private:
  const WideBandParams& channels_;
  // Constant after start-up configuration.
  uint16_t channelMask64to71_ = 0x0001;     // bit n: 500 kHz channel 64 + n
  uint32_t channelMask32to63_ = 0;          // bit n: 125 kHz channel 32 + n
  uint32_t channelMask0to31_ = 0x000000FF;  // bit n: 125 kHz channel n
};

class ChannelPlan_US915 : public ChannelPlanWideBand {
 public:
  ChannelPlan_US915(const Json::Value& config, const Settings& settings);

  int32_t maxRadioTxPower(uint32_t frequencyHz) const override;
};

class ChannelPlan_AU915 : public ChannelPlanWideBand {
 public:
  ChannelPlan_AU915(const Json::Value& config, const Settings& settings);
};

}  // namespace Lora
