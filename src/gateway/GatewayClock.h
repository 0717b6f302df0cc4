// The newest concentrator counter ("tmst") seen in any uplink, the local monotonic time at which
// it arrived and the gateway whose counter it is: the scheduler maps that gateway's time to local
// time with it (another gateway's counter runs on its own). Written by whichever packet worker
// decoded the newest uplink, without a lock: the last writer wins, and a reader may pair a value
// with its neighbour's time, which costs at most one uplink's worth of accuracy.
#pragma once

#include <atomic>
#include <cstdint>

struct GatewayClock {
  std::atomic<uint64_t> tmst{0};
  std::atomic<uint64_t> localUs{0};
  std::atomic<uint64_t> gatewayEui{0};

  void record(uint64_t concentratorUs, uint64_t monotonicUs, uint64_t eui) {
    tmst.store(concentratorUs, std::memory_order_relaxed);
    localUs.store(monotonicUs, std::memory_order_relaxed);
    gatewayEui.store(eui, std::memory_order_relaxed);
  }
};
