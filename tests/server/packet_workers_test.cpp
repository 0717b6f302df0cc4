#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "Exception.h"
#include "PacketWorkers.h"
#include "StopFlag.h"
#include "TestSupport.h"
#include "gateway/MessageProtocol.h"
#include "lora/Bytes.h"

namespace {

// Holds every worker inside the handler until released.
class Gate {
 public:
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return open_; });
  }
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }
  bool waitForWaiting(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return waiting_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int waiting_ = 0;
  bool open_ = false;
};

bool WaitIdle(const PacketWorkerPool& pool) {
  for (int i = 0; i < 500 && pool.busyCount() > 0; ++i) SleepMs(10);
  return pool.busyCount() == 0;
}

TEST(PacketWorkerPool, SixthDatagramWaitsForAFreeWorker) {
  StopFlag::Reset();
  Gate gate;
  std::mutex seenMutex;
  std::set<std::string> seen;
  PacketWorkerPool pool([&](const uint8_t* begin, const uint8_t* end, const sockaddr_in&) {
    EXPECT_EQ(*end, 0) << "datagram not terminated";
    gate.wait();
    std::lock_guard<std::mutex> lock(seenMutex);
    seen.insert(std::string(begin, end));
  });

  sockaddr_in sender{};
  for (int i = 0; i < 5; ++i) {
    std::string text = "datagram " + std::to_string(i);
    ASSERT_TRUE(pool.handOver(reinterpret_cast<const uint8_t*>(text.data()), text.size(), sender));
  }
  ASSERT_TRUE(gate.waitForWaiting(5));
  EXPECT_EQ(pool.busyCount(), 5u);

  std::atomic<bool> sixthTaken{false};
  std::thread receiver([&] {
    std::string text = "datagram 5";
    pool.handOver(reinterpret_cast<const uint8_t*>(text.data()), text.size(), sender);
    sixthTaken = true;
  });
  SleepMs(50);
  EXPECT_FALSE(sixthTaken) << "the sixth datagram must wait while all five workers are busy";
  gate.open();
  receiver.join();
  EXPECT_TRUE(sixthTaken);
  ASSERT_TRUE(WaitIdle(pool));
  EXPECT_EQ(seen.size(), 6u);
  EXPECT_EQ(seen.count("datagram 5"), 1u);
}

TEST(PacketWorkerPool, StopFlagEndsTheWait) {
  StopFlag::Reset();
  Gate gate;
  PacketWorkerPool pool([&](const uint8_t*, const uint8_t*, const sockaddr_in&) { gate.wait(); });
  sockaddr_in sender{};
  const uint8_t byte = 1;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(pool.handOver(&byte, 1, sender));
  std::thread stopper([] {
    SleepMs(30);
    StopFlag::Set();
  });
  EXPECT_FALSE(pool.handOver(&byte, 1, sender));
  stopper.join();
  StopFlag::Reset();
  gate.open();
  EXPECT_TRUE(WaitIdle(pool));
}

// Every kind of failure is logged with the worker's texts and frees the worker.
TEST(PacketWorkerPool, FailuresAreLoggedAndFreeTheWorker) {
  StopFlag::Reset();
  testsupport::LogCapture log;
  PacketWorkerPool pool([](const uint8_t* begin, const uint8_t*, const sockaddr_in&) {
    switch (begin[0]) {
      case 's': throw MessageProtocol::SyntaxError("Packet too short");
      case 'e': throw Exception(10, "src/x.cpp", 7, "broken", 5);
      default: throw 42;
    }
  });
  sockaddr_in sender{};
  for (const char* text : {"s", "e", "x"}) {
    ASSERT_TRUE(pool.handOver(reinterpret_cast<const uint8_t*>(text), 1, sender));
    ASSERT_TRUE(WaitIdle(pool));
  }
  EXPECT_TRUE(log.contains("Message Protocol syntax error Packet too short"));
  EXPECT_TRUE(log.contains("Rx Msg exception : src/x.cpp:7: broken 5"));
  EXPECT_TRUE(log.contains("Catch-all packet thread exception"));
}

TEST(PacketWorkerPool, OversizedDatagramIsCutToTheBuffer) {
  StopFlag::Reset();
  std::atomic<size_t> length{0};
  PacketWorkerPool pool([&](const uint8_t* begin, const uint8_t* end, const sockaddr_in&) {
    length = static_cast<size_t>(end - begin);
  });
  std::string big(40000, 'x');
  sockaddr_in sender{};
  ASSERT_TRUE(pool.handOver(reinterpret_cast<const uint8_t*>(big.data()), big.size(), sender));
  ASSERT_TRUE(WaitIdle(pool));
  EXPECT_EQ(length.load(), PacketWorker::kBufferSize - 1);
}

}  // namespace
