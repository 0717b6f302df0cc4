// The MQTT publishing thread: drains AppMessageQueue to the broker and sends every event to the
// UDP application up port as well, in the order the events were posted.
//
// While MQTT is enabled but not connected nothing leaves, so the broker and the up port see the
// same stream. A publish refused because the connection has just dropped puts the message back at
// the head of the queue; so do the messages the broker had not yet acknowledged when the
// connection went (a clean session forgets them on both sides). A broker restart therefore loses
// nothing and reorders nothing; an application may see a message twice, as QoS 1 allows. With
// MQTT disabled (no client) events go to the up port alone, at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

#include "app/AppMessageQueue.h"
#include "app/AppThread.h"
#include "gateway/UdpListenerProbe.h"
#include "gateway/UdpSocket.h"

class Mosquitto;

struct AppPublisherLinks {
  AppMessageQueue* messages = nullptr;
  Mosquitto* mqtt = nullptr;  // null while MQTT is disabled
  uint16_t appPortUp = 1784;  // "udp"."appPortUp"
  uint32_t disconnectedPauseMs = 5000;
};

class AppPublisher {
 public:
  static constexpr uint32_t kStackSize = 16384;
  // How long the loop waits for an acknowledgement while at kMaxUnacknowledged or draining.
  static constexpr uint64_t kAckWaitMs = 10;
  // How long an empty queue is waited on before the loop looks at the broker and the stop flag
  // again; posts and Stop() end the wait at once. Long, because an idle gateway should not wake
  // a hundred times a second for nothing.
  static constexpr uint64_t kIdleWaitMs = 100;
  static constexpr uint32_t kRetryPauseMs = 100;
  // Unacknowledged messages allowed before the thread waits for the broker to catch up; the
  // rest wait in the (bounded) queue rather than in the library's (unbounded) one.
  static constexpr size_t kMaxUnacknowledged = 256;
  // How long an answer to "is anybody on the up port" is believed: an application that binds the
  // port misses at most this much of the stream.
  static constexpr int64_t kListenerAnswerUs = 250;

  explicit AppPublisher(const AppPublisherLinks& links) : links_(links) {}
  ~AppPublisher() { Stop(); }
  AppPublisher(const AppPublisher&) = delete;
  AppPublisher& operator=(const AppPublisher&) = delete;

  // Starts the thread; the result of pthread_create (0 on success).
  int Start();
  // Asks the loop to end and waits for it (at most one pause slice and one pop wait).
  void Stop();

  // The thread body: returns once Stop() is called; after the process stop flag, once Stop() is
  // called and the queue has drained, or the drain's bound has passed.
  void Run();

  // One event to the up port: the topic, one space and the payload up to its first zero byte,
  // then a datagram of exactly CR LF, also when the first could not be sent.
  static void SendUp(UdpSocket& socket, uint16_t port, const std::string& topic,
                     const std::string& payload);

 private:
  bool stopping() const;
  // Waits for the broker in slices, logging once per pause; false when stopping.
  void waitForBroker();
  void pause(uint32_t ms);
  void publishOne();
  // True when the up port has no listener, so the event need not go there.
  bool nobodyListens();
  // To the up port; its failures are logged, never thrown.
  void forwardUp(const std::string& topic, const std::string& payload);
  // After the process stop flag: what is still queued leaves, within a bound.
  void drain();
  // Drops the acknowledged messages from unacknowledged_.
  void settle();
  // Puts every unacknowledged message back at the head of the queue, oldest first.
  void requeue();

  const AppPublisherLinks links_;
  UdpSocket up_;               // used by the publishing thread alone
  sockaddr_in self_{};         // up_'s own address
  UdpListenerProbe listener_;  // whether anybody is on the up port; publishing thread only
  bool nobody_ = false;        // the last answer: nobody is on the up port
  int64_t answerUntilUs_ = 0;  // MonotonicUs() until which it holds
  // Publishing thread only: messages handed to the broker and not yet acknowledged, oldest
  // first, with their message ids, all sent on connection number connection_.
  std::deque<std::pair<int, AppMessage>> unacknowledged_;
  uint64_t connection_ = 0;
  std::atomic<bool> stop_{false};
  AppThread thread_;
};
