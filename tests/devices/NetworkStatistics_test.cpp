#include "devices/NetworkStatistics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Database/Lora-Database.h"
#include "TestSupport.h"

namespace {

using Counter = NetworkStatistics::Counter;

TEST(NetworkStatistics, JoinResponseSummary) {
  const std::pair<std::vector<uint32_t>, std::vector<uint32_t>> cases[] = {
      // samples -> average, 90th, 70th, 30th, 10th percentile
      {{}, {0, 0, 0, 0, 0}},
      {{250}, {250, 250, 250, 250, 250}},
      // Indices 8, 6, 2, 0 whatever the arrival order.
      {{10, 1, 9, 2, 8, 3, 7, 4, 6, 5}, {5, 9, 7, 3, 1}},
      // round(1.8) - 1 = 1, round(1.4) = 1 is not above 1: index 0.
      {{100, 301}, {200, 301, 100, 100, 100}},
      {{UINT32_MAX, UINT32_MAX}, {UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX, UINT32_MAX}},
  };
  for (const auto& [samples, expected] : cases) {
    SCOPED_TRACE(samples.size());
    NetworkStatistics statistics;
    for (uint32_t sample : samples) statistics.addJoinResponseTime(sample);
    const auto s = statistics.joinResponseSummary();
    EXPECT_EQ((std::vector<uint32_t>{s.average, s.p90, s.p70, s.p30, s.p10}), expected);
  }
  // Only the newest samples are kept: the old slow ones drop out.
  NetworkStatistics statistics;
  for (size_t i = 0; i < 500 + NetworkStatistics::kMaxResponseSamples; ++i) {
    statistics.addJoinResponseTime(i < 500 ? 1000000 : 10);
  }
  EXPECT_EQ(statistics.joinResponseSummary().p90, 10u);
}

TEST(NetworkStatistics, ConcurrentIncrementsAreAllCounted) {
  NetworkStatistics statistics;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50000; ++i) statistics.increment(Counter::rx_pkts);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(statistics.value(Counter::rx_pkts), 200000u);
}

TEST(NetworkStatistics, StatsTextKeepsMemberOrder) {
  NetworkStatistics statistics;
  statistics.increment(Counter::rx_joins);
  statistics.addJoinResponseTime(250);
  const std::string text = statistics.toJsonText();
  const std::string head =
      "{\n   \"rx_mic_fails\" : 0,\n   \"rx_crc_errors\" : 0,\n   \"rx_joins\" : 1,\n";
  const std::string tail = "   \"join_response_10\" : 250\n}\n";
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_NE(text.find("   \"tx_ack_missed\" : 0,\n   \"join_response_avg\" : 250,\n"),
            std::string::npos);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail) << text;
}

TEST(NetworkStatistics, AResetRestartsTheReportDifferences) {
  NetworkStatistics statistics;
  for (int i = 0; i < 3; ++i) statistics.increment(Counter::rx_pkts);
  statistics.markReported(statistics.values());
  statistics.reset();
  for (int i = 0; i < 5; ++i) statistics.increment(Counter::rx_pkts);
  const size_t i = static_cast<size_t>(Counter::rx_pkts);
  EXPECT_EQ(NetworkStatistics::Delta(statistics.values()[i], statistics.lastReported()[i]), 5u);
}

TEST(NetworkStatistics, PersistedCountersSurviveTheDatabase) {
  testsupport::TempDir dir;
  testsupport::LogCapture quiet;
  LoraDatabase::Options options;
  options.flashPath = dir.file("vallorin.db");
  options.runDir = dir.file("run");
  LoraDatabase db(options);
  ASSERT_TRUE(db.InitSchema());
  NetworkStatistics before;
  // Counter i gets the value i + 1: every column lands in its own place.
  for (size_t i = 0; i < NetworkStatistics::kCounters; ++i) {
    for (size_t n = 0; n <= i; ++n) before.increment(static_cast<Counter>(i));
  }
  ASSERT_TRUE(before.save(db));
  NetworkStatistics after;
  ASSERT_TRUE(after.load(db));
  NetworkStatistics::Values expected{};
  for (Counter p : NetworkStatistics::persisted()) {
    expected[static_cast<size_t>(p)] = static_cast<uint32_t>(p) + 1;
  }
  EXPECT_EQ(after.values(), expected);
  EXPECT_EQ(after.lastReported(), expected);  // the first report carries only new changes
}

}  // namespace
