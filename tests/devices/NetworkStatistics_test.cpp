#include "devices/NetworkStatistics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Database/Lora-Database.h"
#include "TestSupport.h"

namespace {

using Counter = NetworkStatistics::Counter;
using testsupport::LogCapture;
using testsupport::TempDir;

TEST(NetworkStatistics, JoinResponseSummary) {
  struct Case {
    const char* name;
    std::vector<uint32_t> samples;
    NetworkStatistics::JoinResponseSummary expected;  // average, 90, 70, 30, 10
  } cases[] = {
      {"none", {}, {0, 0, 0, 0, 0}},
      {"one", {250}, {250, 250, 250, 250, 250}},
      // Indices 8, 6, 2, 0 whatever the arrival order.
      {"ten", {10, 1, 9, 2, 8, 3, 7, 4, 6, 5}, {5, 9, 7, 3, 1}},
      // round(1.8) - 1 = 1, round(1.4) = 1 is not above 1: index 0.
      {"two", {100, 301}, {200, 301, 100, 100, 100}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NetworkStatistics statistics;
    for (uint32_t sample : c.samples) statistics.addJoinResponseTime(sample);
    const auto s = statistics.joinResponseSummary();
    EXPECT_EQ(s.average, c.expected.average);
    EXPECT_EQ(s.p90, c.expected.p90);
    EXPECT_EQ(s.p70, c.expected.p70);
    EXPECT_EQ(s.p30, c.expected.p30);
    EXPECT_EQ(s.p10, c.expected.p10);
  }
}

TEST(NetworkStatistics, ResponseListKeepsNewestSamples) {
  NetworkStatistics statistics;
  for (int i = 0; i < 500; ++i) statistics.addJoinResponseTime(1000000);
  for (size_t i = 0; i < NetworkStatistics::kMaxResponseSamples; ++i) {
    statistics.addJoinResponseTime(10);
  }
  EXPECT_EQ(statistics.joinResponseCount(), NetworkStatistics::kMaxResponseSamples);
  EXPECT_EQ(statistics.joinResponseSummary().p90, 10u);  // the old slow ones are gone
  // The average sums in 64 bits.
  NetworkStatistics big;
  big.addJoinResponseTime(UINT32_MAX);
  big.addJoinResponseTime(UINT32_MAX);
  EXPECT_EQ(big.joinResponseSummary().average, UINT32_MAX);
}

TEST(NetworkStatistics, ConcurrentIncrementsAreAllCounted) {
  NetworkStatistics statistics;
  constexpr int kThreads = 4;
  constexpr int kEach = 50000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        statistics.increment(Counter::rx_pkts);
        statistics.increment(Counter::tx_ack_missed);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(statistics.value(Counter::rx_pkts), static_cast<uint32_t>(kThreads * kEach));
  EXPECT_EQ(statistics.value(Counter::tx_ack_missed), static_cast<uint32_t>(kThreads * kEach));
}

TEST(NetworkStatistics, StatsTextKeepsMemberOrder) {
  NetworkStatistics statistics;
  statistics.increment(Counter::rx_joins);
  statistics.increment(Counter::rx_joins_ok);
  statistics.increment(Counter::rx_joins_ok);
  statistics.addJoinResponseTime(250);
  const std::string text = statistics.toJsonText();
  EXPECT_EQ(
      text.rfind("{\n   \"rx_mic_fails\" : 0,\n   \"rx_crc_errors\" : 0,\n   \"rx_joins\" : 1,\n"
                 "   \"rx_joins_ok\" : 2,\n",
                 0),
      0u)
      << text;
  EXPECT_NE(text.find("   \"tx_ack_missed\" : 0,\n   \"join_response_avg\" : 250,\n"),
            std::string::npos);
  const std::string last = "   \"join_response_10\" : 250\n}\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  // The text is JSON with the same values as toJson().
  Json::Value parsed;
  ASSERT_TRUE(Json::Reader().parse(text, parsed));
  ASSERT_EQ(parsed.size(), NetworkStatistics::kCounters + 5);
  const Json::Value object = statistics.toJson();
  for (const auto& name : object.getMemberNames()) {
    EXPECT_EQ(parsed[name].asUInt(), object[name].asUInt()) << name;
  }

  statistics.reset();
  for (const auto& [name, value] : statistics.members()) {
    SCOPED_TRACE(name);
    EXPECT_EQ(value, 0u);
  }
}

TEST(NetworkStatistics, SaveAndLoadThroughTheDatabase) {
  TempDir dir;
  LogCapture capture;
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
  const auto loaded = after.values();
  for (size_t i = 0; i < NetworkStatistics::kCounters; ++i) {
    const auto counter = static_cast<Counter>(i);
    SCOPED_TRACE(NetworkStatistics::statsName(counter));
    bool persisted = false;
    for (Counter p : NetworkStatistics::persisted()) persisted |= p == counter;
    EXPECT_EQ(loaded[i], persisted ? i + 1 : 0u);
  }
  EXPECT_EQ(after.lastReported(), loaded);  // the first report carries only new changes
  after.reset();
  EXPECT_EQ(after.lastReported(), loaded);  // kept across a reset
  // A counter below its reported value was reset in between: all of it is new.
  EXPECT_EQ(NetworkStatistics::Delta(7, 5), 2u);
  EXPECT_EQ(NetworkStatistics::Delta(1, 5), 1u);

  // Without the row nothing is loaded.
  SqlDb::Client client(db.GetConnection());
  ASSERT_TRUE(db.GetConnection().Execute(client, "DELETE FROM network_statistics;"));
  NetworkStatistics empty;
  EXPECT_FALSE(empty.load(db));
  EXPECT_TRUE(capture.contains("Failed to retrieve statistics from DB"));
  // Saving brings the row back.
  ASSERT_TRUE(before.save(db));
  EXPECT_TRUE(empty.load(db));
  EXPECT_EQ(empty.value(Counter::tx_ack_dups), before.value(Counter::tx_ack_dups));
}

}  // namespace
