#include "StopFlag.h"

#include <atomic>
#include <csignal>

namespace StopFlag {
namespace {

std::atomic<bool> stop{false};
std::atomic<int> stopSignal{0};

void OnSignal(int signal) {
  stopSignal.store(signal);
  stop.store(true);
}

}  // namespace

bool IsSet() { return stop.load(std::memory_order_relaxed); }
void Set() { stop.store(true); }
int Signal() { return stopSignal.load(); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocked receive returns at once
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void Reset() {
  stop.store(false);
  stopSignal.store(0);
}

}  // namespace StopFlag
