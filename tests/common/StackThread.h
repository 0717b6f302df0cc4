// Runs a piece of work on a thread with the stack a server thread of the given nominal size gets,
// and waits for it: tests and fuzz targets feed outside input where the server would, not on
// the main thread's far deeper stack.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <stdexcept>

#include "ThreadSlot.h"

namespace testsupport {

inline void RunOnStack(uint32_t nominalStack, const std::function<void()>& work) {
  struct Call {
    const std::function<void()>* work;
  } call{&work};
  auto entry = [](void* argument) -> void* {
    (*static_cast<Call*>(argument)->work)();
    return nullptr;
  };
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, ThreadSlot::EffectiveStackSize(nominalStack));
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, entry, &call);
  pthread_attr_destroy(&attributes);
  if (result != 0) throw std::runtime_error("cannot start a thread for the work");
  pthread_join(thread, nullptr);
}

}  // namespace testsupport
