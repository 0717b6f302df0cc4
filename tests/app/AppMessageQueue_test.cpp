#include "app/AppMessageQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "TestSupport.h"
#include "app/AppEvents.h"

namespace {

using testsupport::LogCapture;

std::string Drain(AppMessageQueue& queue) {
  std::string order;
  AppMessage message;
  while (queue.pop(message, 0)) order += message.payload + ",";
  return order;
}

TEST(AppMessageQueueTest, KeepsOrderAcrossARefusedPublishAndNeverCutsALongPayload) {
  AppMessageQueue queue;
  queue.postAppMessage("a", "up", "1");
  queue.postAppMessage("a", "up", "2");
  AppMessage first;
  ASSERT_TRUE(queue.pop(first, 0));
  queue.pushFront(std::move(first));  // the broker refused it
  const std::string payload(5000, 'p');
  queue.postAppMessage("a", "up", payload);
  EXPECT_EQ("1,2," + payload + ",", Drain(queue));
  EXPECT_EQ(0u, queue.bytes());
}

TEST(AppMessageQueueTest, DropsTheOldestOverBudgetAndWarnsOnceAMinute) {
  uint64_t now = 1000;
  const size_t one = AppMessage{"e", "up", "x"}.footprint();
  AppMessageQueue queue(3 * one, [&] { return now; });
  LogCapture log;
  for (const char* payload : {"1", "2", "3", "4", "5"}) queue.postAppMessage("e", "up", payload);
  EXPECT_EQ(3u, queue.size());
  EXPECT_EQ(2u, queue.dropped());
  EXPECT_EQ(1u, log.count("dropped 1 oldest messages"));  // the second drop waits for a minute
  now += AppMessageQueue::kDropWarningIntervalMs;
  queue.postAppMessage("e", "up", "6");
  EXPECT_EQ(1u, log.count("dropped 2 oldest messages"));
  EXPECT_EQ("4,5,6,", Drain(queue));
}

TEST(AppMessageQueueTest, PopWakesForAMessageOrAnInterruptFromAnotherThread) {
  AppMessageQueue queue;
  std::thread producer([&] { queue.postAppMessage("e", "up", "late"); });
  AppMessage message;
  EXPECT_TRUE(queue.pop(message, 5000));
  producer.join();
  EXPECT_EQ("late", message.payload);

  // A stopping publisher must not sit out its long idle wait. The pop may start after the
  // interrupt; interrupting until it returns covers both orders.
  std::atomic<bool> returned{false};
  const auto start = std::chrono::steady_clock::now();
  std::thread idle([&] {
    EXPECT_FALSE(queue.pop(message, 60000));
    returned = true;
  });
  while (!returned) {
    queue.interrupt();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  idle.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST(AppMessageQueueTest, AGatheringPopLeavesWhenTheBatchIsFull) {
  AppMessageQueue queue;
  queue.setGather(60000, 3);
  std::thread producer([&] {
    queue.postAppMessage("e", "up", "1");
    AppMessage rest[] = {{"e", "up", "2"}, {"e", "up", "3"}};
    queue.postAppMessages(rest, 2);
  });
  const auto start = std::chrono::steady_clock::now();
  AppMessage message;
  ASSERT_TRUE(queue.pop(message, 60000));
  producer.join();
  // The batch, not the minute, ended the wait; the pop only took the first of it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_EQ("1", message.payload);
  EXPECT_EQ("2,3,", Drain(queue));
}

TEST(AppEventsTest, PayloadsAsApplicationsParseThem) {
  AppMessageQueue queue;
  AppEvents events(queue);
  const Lora::EUI eui("0080000000000001");
  events.Class(eui, 7);
  events.Class(eui, 2);
  events.PacketMissed(eui, 3);
  events.PacketAck(eui, 0, 12);
  events.PacketDrop(eui, 101);
  events.PacketDrop(eui, 102);
  events.QueueFull(eui);
  std::vector<std::string> seen;
  AppMessage message;
  while (queue.pop(message, 0)) seen.push_back(message.eui + " " + message.event + " " + message.payload);
  const std::vector<std::string> expected = {
      "00-80-00-00-00-00-00-01 class {\"class\":\"A\"}",
      "00-80-00-00-00-00-00-01 class {\"class\":\"C\"}",
      "00-80-00-00-00-00-00-01 packet_missed {\"count\":3}",
      "00-80-00-00-00-00-00-01 packet_ack {\"seqn\":0, \"id\": 12}",
      "00-80-00-00-00-00-00-01 packet_drop {\"code\":101,\"message\":\"Downlink ACK could not be scheduled\"}",
      "00-80-00-00-00-00-00-01 packet_drop {\"code\":102,\"message\":\"Max retries exceeded for packet\"}",
      "00-80-00-00-00-00-00-01 queue_full ",
  };
  EXPECT_EQ(expected, seen);
}

}  // namespace
