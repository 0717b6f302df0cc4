#include "app/AppPublisher.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "Exception.h"
#include "StopFlag.h"
#include "app/AppMessageQueue.h"
#include "app/Mosquitto.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

constexpr uint32_t kSliceMs = 100;
constexpr uint32_t kUpSocketReopenPauseMs = 1000;
// How long the messages posted before a stop may take to leave. The shutdown waits for the
// workers first, so this bounds only the broker's share of the exit.
constexpr int64_t kDrainMs = 1500;

}  // namespace

int AppPublisher::Start() {
  stop_.store(false);
  return thread_.Start([this] { Run(); }, kStackSize, "publisher");
}

void AppPublisher::Stop() {
  stop_.store(true);
  if (links_.messages != nullptr) links_.messages->interrupt();
  thread_.Join();
}

bool AppPublisher::stopping() const { return stop_.load() || StopFlag::IsSet(); }

void AppPublisher::pause(uint32_t ms) {
  for (uint32_t waited = 0; waited < ms && !stopping(); waited += kSliceMs) {
    SleepMs(std::min(kSliceMs, ms - waited));
  }
}

void AppPublisher::waitForBroker() {
  LOG_DEBUG("MQTT disconnected.");
  for (uint32_t waited = 0; waited < links_.disconnectedPauseMs && !stopping();
       waited += kSliceMs) {
    if (links_.mqtt->WaitConnected(std::min(kSliceMs, links_.disconnectedPauseMs - waited))) return;
  }
}

void AppPublisher::SendUp(UdpSocket& socket, uint16_t port, const std::string& topic,
                          const std::string& payload) {
  const sockaddr_in to = UdpSocket::LoopbackAddress(port);
  std::string datagram;
  const size_t text = std::min(payload.size(), std::strlen(payload.c_str()));
  datagram.reserve(topic.size() + 1 + text);
  datagram.append(topic).append(1, ' ').append(payload, 0, text);
  if (!socket.send(to, reinterpret_cast<const uint8_t*>(datagram.data()), datagram.size())) {
    LOG_ERROR("UDP message send on socket failed");
  }
  static const uint8_t kLineEnd[] = {'\r', '\n'};
  if (!socket.send(to, kLineEnd, sizeof kLineEnd)) {
    LOG_ERROR("UDP message send on socket failed");
  }
}

void AppPublisher::settle() {
  for (int mid : links_.mqtt->TakeAcknowledged()) {
    for (auto it = unacknowledged_.begin(); it != unacknowledged_.end(); ++it) {
      if (it->first == mid) {
        unacknowledged_.erase(it);
        break;
      }
    }
  }
}

void AppPublisher::requeue() {
  // Acknowledgements still on their way belong to the connection that is gone; message ids are
  // reused, so none of them may settle a message sent again on the next one.
  if (links_.mqtt != nullptr) links_.mqtt->TakeAcknowledged();
  for (auto it = unacknowledged_.rbegin(); it != unacknowledged_.rend(); ++it) {
    links_.messages->pushFront(std::move(it->second));
  }
  unacknowledged_.clear();
}

void AppPublisher::publishOne() {
  if (links_.mqtt != nullptr) {
    settle();
    if (links_.mqtt->connections() != connection_) {
      requeue();
      connection_ = links_.mqtt->connections();
    }
    if (unacknowledged_.size() >= kMaxUnacknowledged) {
      links_.mqtt->WaitAcknowledged(kAckWaitMs);
      return;
    }
  }
  AppMessage message;
  if (!links_.messages->pop(message, kIdleWaitMs)) return;
  const std::string topic = "lora/" + message.eui + "/" + message.event;
  if (links_.mqtt != nullptr) {
    int mid = 0;
    switch (links_.mqtt->Publish(topic, message.payload, &mid)) {
      case Mosquitto::PublishResult::kSent:
        break;
      case Mosquitto::PublishResult::kRetry:
        // The connection dropped under us: this message and every one not yet acknowledged
        // go back first in line for the next connection.
        links_.messages->pushFront(std::move(message));
        settle();
        requeue();
        pause(kRetryPauseMs);
        return;
      case Mosquitto::PublishResult::kRefused:
        // The broker will never take this one; the up port's application still hears it.
        if (!message.forwarded) forwardUp(topic, message.payload);
        return;
    }
    if (links_.mqtt->connections() != connection_) {
      // Sent on a connection that is already gone, or on a new one the loop has not seen yet;
      // either way it goes again with the others.
      unacknowledged_.emplace_back(mid, message);
      settle();
      requeue();
      connection_ = links_.mqtt->connections();
      return;
    }
    const bool forwarded = message.forwarded;
    message.forwarded = true;
    unacknowledged_.emplace_back(mid, message);
    if (forwarded) return;
  }
  forwardUp(topic, message.payload);
}

bool AppPublisher::nobodyListens() {
  // A gateway whose applications all use MQTT has nobody on the up port, and each datagram sent
  // there comes back as an ICMP "port unreachable" that the kernel builds and delivers on this
  // thread. Asking first spares two such datagrams per event. One answer serves the events of
  // the same uplink, which leave within a fraction of a millisecond of each other.
  const int64_t now = MonotonicUs();
  if (now >= answerUntilUs_) {
    nobody_ = listener_.ask(self_, UdpSocket::LoopbackAddress(links_.appPortUp)) ==
              UdpListenerProbe::Answer::kNobody;
    answerUntilUs_ = now + kListenerAnswerUs;
  }
  return nobody_;
}

void AppPublisher::forwardUp(const std::string& topic, const std::string& payload) {
  try {
    if (!up_.isOpen() || nobodyListens()) return;
    SendUp(up_, links_.appPortUp, topic, payload);
  } catch (const Exception& failure) {
    LOG_ERROR("AppDataUp Msg exception : %s", failure.describe().c_str());
  } catch (const std::exception& failure) {
    LOG_ERROR("AppDataUp Msg exception : %s", failure.what());
  }
}

void AppPublisher::drain() {
  // The stop flag comes before the workers have finished their last datagrams: keep publishing
  // until the shutdown says they are idle (Stop()), then until nothing is left, so every uplink
  // the final backup keeps has also reached the applications.
  const int64_t limit = MonotonicMs() + kDrainMs;
  while (MonotonicMs() < limit) {
    if (links_.mqtt != nullptr && !links_.mqtt->connected()) return;
    if (stop_.load() && links_.messages->size() == 0) {
      if (links_.mqtt == nullptr) return;
      settle();
      if (unacknowledged_.empty()) return;
      links_.mqtt->WaitAcknowledged(kAckWaitMs);
      continue;
    }
    publishOne();
  }
}

void AppPublisher::Run() {
  while (!stopping()) {
    if (!up_.open(0, false)) {
      LOG_ERROR("Failed to open appDataUp socket");
      up_.close();
    } else {
      self_ = UdpSocket::LoopbackAddress(up_.localPort());
      if (!listener_.usable() && !listener_.open(self_)) {
        LOG_DEBUG("No UDP socket diagnostics: events go to the up port whether or not it is bound");
      }
    }
    try {
      while (!stopping()) {
        if (links_.mqtt != nullptr && !links_.mqtt->connected()) {
          settle();
          requeue();
          waitForBroker();
          continue;
        }
        publishOne();
      }
      if (StopFlag::IsSet()) drain();
    } catch (const Exception& failure) {
      LOG_ERROR("AppDataUp Msg exception : %s", failure.describe().c_str());
    } catch (const std::exception& failure) {
      LOG_ERROR("AppDataUp Msg exception : %s", failure.what());
    } catch (...) {
      LOG_ERROR("AppDataUp Msg exception : unexpected failure");
    }
    up_.close();
    pause(kUpSocketReopenPauseMs);
  }
  // What the broker never acknowledged stays queued for whoever drains the queue next.
  if (links_.mqtt != nullptr) {
    settle();
    requeue();
  }
}
