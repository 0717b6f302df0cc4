#include "app/AppDataReceiver.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "StopFlag.h"
#include "app/AppDownlink.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

constexpr uint32_t kDownSocketReopenPauseMs = 1000;

}  // namespace

bool AppDataReceiver::stopping() const { return stop_.load() || StopFlag::IsSet(); }

bool AppDataReceiver::openSocket() {
  if (socket_.open(links_.appPortDown, false)) return true;
  LOG_ERROR("Failed to open appDataDown socket");
  socket_.close();
  return false;
}

int AppDataReceiver::Start() {
  stop_.store(false);
  openSocket();
  return thread_.Start([this] { Run(); }, kStackSize, "udp-app-down");
}

void AppDataReceiver::Stop() {
  stop_.store(true);
  thread_.Join();
}

void AppDataReceiver::HandleDatagram(const uint8_t* data, size_t length) {
  const char* text = reinterpret_cast<const char*>(data);
  // The payload is text: it ends at the first zero byte, as it would in a C string.
  length = std::min(length, static_cast<size_t>(std::find(text, text + length, '\0') - text));
  const char* space = std::find(text, text + length, ' ');
  const std::string topic(text, space);
  const std::string payload =
      space == text + length ? std::string() : std::string(space + 1, text + length);
  links_.downlinks->HandleInbound(AppDownlink::kDownPortPrefix, topic, payload);
}

void AppDataReceiver::Run() {
  LOG_DEBUG("AppData thread started");
  std::vector<uint8_t> buffer(kMaxDatagram + 1);
  while (!stopping()) {
    if (!socket_.isOpen() && !openSocket()) {
      SleepMs(kDownSocketReopenPauseMs);
      continue;
    }
    while (!stopping()) {
      std::fill(buffer.begin(), buffer.end(), 0);
      sockaddr_in peer{};
      const ssize_t received = socket_.receive(peer, buffer.data(), kMaxDatagram);
      if (received < static_cast<ssize_t>(kMinDatagram)) continue;
      HandleDatagram(buffer.data(), static_cast<size_t>(received));
    }
  }
  socket_.close();
}
