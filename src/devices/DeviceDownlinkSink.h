// The device list as the inbound application path sees it: a device named by its EUI, found
// through its session row, restored into memory when only the database holds it, and handed out
// locked for one downlink operation.
#pragma once

#include <memory>

#include "app/AppDownlink.h"

class DeviceList;
class LoraDatabase;

class DeviceDownlinkSink : public DownlinkSink {
 public:
  DeviceDownlinkSink(DeviceList& devices, LoraDatabase& database)
      : devices_(devices), database_(database) {}

  // Database first (the EUI's session names the address), then memory; takes the list lock and
  // then the device lock, as every lookup does.
  std::unique_ptr<DownlinkTarget> Lock(const Lora::EUI& devEui) override;

 private:
  DeviceList& devices_;
  LoraDatabase& database_;
};
