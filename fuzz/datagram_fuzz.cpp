// Garbage into the packet-forwarder datagram handler, as the packet workers would hand it over:
// header faults may throw the protocol's syntax error, nothing else may escape, and no read or
// write may leave the datagram. Each input runs on a thread with the downstream receive thread's
// stack, the smallest that handles datagrams, so deep recursion shows as the crash it would be.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ProtocolRig.h"
#include "StackThread.h"
#include "ThreadSlot.h"
#include "gateway/MessageProtocol.h"
#include "support/Logger.h"

namespace {

ProtocolRig* TheWorld() {
  static ProtocolRig* world = new ProtocolRig;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ProtocolRig& world = *TheWorld();
  // An exact-size copy with the terminating zero the workers add, so overruns are seen.
  std::vector<uint8_t> datagram(data, data + size);
  datagram.push_back(0);
  sockaddr_in sender{};
  sender.sin_family = AF_INET;
  testsupport::RunOnStack(ThreadSlot::kServerStack, [&] {
    try {
      MessageProtocol::HandleDatagram(world.links, datagram.data(), datagram.data() + size, sender);
    } catch (const MessageProtocol::SyntaxError&) {
    }
  });
  world.recent.trim(30);
  return 0;
}
