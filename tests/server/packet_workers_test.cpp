#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Exception.h"
#include "PacketWorkers.h"
#include "StopFlag.h"
#include "TestSupport.h"
#include "gateway/MessageProtocol.h"
#include "lora/Bytes.h"

namespace {

bool HandOver(PacketWorkerPool& pool, const std::string& text) {
  return pool.handOver(reinterpret_cast<const uint8_t*>(text.data()), text.size(), sockaddr_in{});
}

bool WaitIdle(const PacketWorkerPool& pool) {
  for (int i = 0; i < 500 && pool.busyCount() > 0; ++i) SleepMs(10);
  return pool.busyCount() == 0;
}

// With all five workers busy a hand-over waits: until the stop flag ends it, or until a worker is
// free again.
TEST(PacketWorkerPool, HandOverWaitsForAFreeWorker) {
  StopFlag::Reset();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::mutex seenMutex;
  std::set<std::string> seen;
  PacketWorkerPool pool([&](const uint8_t* begin, const uint8_t* end, const sockaddr_in&, int64_t) {
    EXPECT_EQ(*end, 0) << "datagram not terminated";
    released.wait();
    std::lock_guard<std::mutex> lock(seenMutex);
    seen.insert(std::string(begin, end));
  });
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(HandOver(pool, "datagram " + std::to_string(i)));
  EXPECT_EQ(pool.busyCount(), 5u);

  std::thread stopper([] {
    SleepMs(30);
    StopFlag::Set();
  });
  EXPECT_FALSE(HandOver(pool, "dropped"));
  stopper.join();
  StopFlag::Reset();

  std::atomic<bool> sixthTaken{false};
  std::thread receiver([&] {
    EXPECT_TRUE(HandOver(pool, "datagram 5"));
    sixthTaken = true;
  });
  SleepMs(50);
  EXPECT_FALSE(sixthTaken) << "the sixth datagram must wait while all five workers are busy";
  release.set_value();
  receiver.join();
  ASSERT_TRUE(WaitIdle(pool));
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen.count("datagram 5"), 1u);
}

// Every kind of failure is logged with the worker's texts and frees the worker.
TEST(PacketWorkerPool, FailuresAreLoggedAndFreeTheWorker) {
  StopFlag::Reset();
  testsupport::LogCapture log;
  PacketWorkerPool pool([](const uint8_t* begin, const uint8_t*, const sockaddr_in&, int64_t) {
    switch (begin[0]) {
      case 's': throw MessageProtocol::SyntaxError("Packet too short");
      case 'e': throw Exception(ZEV::Logger::PrintLevel::INFO_LEVEL, "src/x.cpp", 7, "broken", 5);
      default: throw 42;
    }
  });
  for (const char* text : {"s", "e", "x"}) {
    ASSERT_TRUE(HandOver(pool, text));
    ASSERT_TRUE(WaitIdle(pool));
  }
  EXPECT_TRUE(log.contains("Message Protocol syntax error Packet too short"));
  // An error line even when the exception was raised at a lower level.
  const std::vector<testsupport::LogCapture::Line> lines = log.lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const auto& line) {
    return line.text == "Rx Msg exception : src/x.cpp:7: broken 5" && line.label == "ERROR";
  })) << log.dump();
  EXPECT_TRUE(log.contains("Catch-all packet thread exception"));
}

TEST(PacketWorkerPool, OversizedDatagramIsCutToTheBuffer) {
  StopFlag::Reset();
  std::atomic<size_t> length{0};
  PacketWorkerPool pool([&](const uint8_t* begin, const uint8_t* end, const sockaddr_in&, int64_t) {
    length = static_cast<size_t>(end - begin);
  });
  ASSERT_TRUE(HandOver(pool, std::string(40000, 'x')));
  ASSERT_TRUE(WaitIdle(pool));
  EXPECT_EQ(length.load(), PacketWorker::kBufferSize - 1);
}

}  // namespace
