#include "downlink/DeviceTransmitController.h"

#include <gtest/gtest.h>

#include "../devices/DeviceRig.h"

namespace {

using testsupport::LogCapture;

Lora::FrameApplicationData Record(size_t size, uint32_t id = 0, uint8_t join = 0) {
  uint8_t bytes[255] = {};
  for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(i);
  Lora::FrameApplicationData record(bytes, size);
  record.port = 1;
  record.id = id;
  record.join = join;
  return record;
}

TEST(DeviceTransmitControllerTest, RefusesOversizedRecordsAndDataBeyondTheLimit) {
  devicetest::Rig rig;
  auto device = rig.MakeDevice();
  DeviceTransmitController& queue = device->transmitController;
  LogCapture log;
  EXPECT_FALSE(queue.QueueApplicationData(Record(243)));
  EXPECT_TRUE(log.contains("Cannot queue packet of 243 bytes, too long"));
  EXPECT_TRUE(queue.QueueApplicationData(Record(242)));
  for (int i = 1; i < 16; ++i) EXPECT_TRUE(device->Enqueue(Record(1)));
  EXPECT_EQ(16u, queue.QueueLength());
  EXPECT_FALSE(device->Enqueue(Record(1)));
  EXPECT_TRUE(log.contains("Application Data Queue at max capacity"));
  EXPECT_EQ(242u, queue.Front().size());
}

TEST(DeviceTransmitControllerTest, AJoinAcceptGoesFirstAndPushesOutTheNewestRecordAndItsRow) {
  devicetest::Rig rig;
  rig.settings.deviceQueueSize = 2;
  Json::Value m;
  m["deveui"] = devicetest::kDevEui;
  m["data"] = "AQ==";
  m["data_size"] = 1;
  const int64_t oldest = rig.database->QueueDownlink(m);
  const int64_t newest = rig.database->QueueDownlink(m);
  auto device = rig.MakeDevice();
  DeviceTransmitController& queue = device->transmitController;
  ASSERT_TRUE(queue.QueueApplicationData(Record(1, static_cast<uint32_t>(oldest))));
  ASSERT_TRUE(queue.QueueApplicationData(Record(1, static_cast<uint32_t>(newest))));

  EXPECT_TRUE(queue.QueueApplicationData(Record(17, 0, 1)));
  EXPECT_EQ(2u, queue.QueueLength());
  EXPECT_EQ(1, queue.Front().join);
  EXPECT_EQ(std::to_string(oldest), rig.Query("SELECT id FROM downlink_queue;"));

  queue.ClearQueue();
  EXPECT_EQ(0u, queue.QueueLength());
  EXPECT_EQ("", rig.Query("SELECT id FROM downlink_queue;"));
}

}  // namespace
