#include "ThreadSlot.h"

#include <limits.h>

#include <algorithm>
#include <cerrno>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kSanitizerScale = 16;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr size_t kSanitizerScale = 16;
#else
constexpr size_t kSanitizerScale = 1;
#endif
#else
constexpr size_t kSanitizerScale = 1;
#endif

constexpr size_t kWordScale = sizeof(void*) >= 8 ? 2 : 1;

}  // namespace

size_t ThreadSlot::EffectiveStackSize(uint32_t nominal) {
  size_t size = static_cast<size_t>(nominal) * kWordScale * kSanitizerScale;
  return std::max<size_t>(size, PTHREAD_STACK_MIN);
}

void ThreadSlot::Name(pthread_t thread, const char* name) {
  if (name != nullptr) pthread_setname_np(thread, name);
}

int ThreadSlot::start(void* argument) { return create(argument, PTHREAD_CREATE_DETACHED); }

int ThreadSlot::startJoinable(void* argument) {
  const int result = create(argument, PTHREAD_CREATE_JOINABLE);
  joinable_ = result == 0;
  return result;
}

void ThreadSlot::join() {
  if (!joinable_) return;
  pthread_join(handle_, nullptr);
  joinable_ = false;
}

int ThreadSlot::create(void* argument, int detachState) {
  if (entry_ == nullptr) return EINVAL;
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result != 0) return result;
  result = pthread_attr_setdetachstate(&attributes, detachState);
  if (result == 0) result = pthread_attr_setstacksize(&attributes, EffectiveStackSize(stackSize_));
  if (result == 0) result = pthread_create(&handle_, &attributes, entry_, argument);
  pthread_attr_destroy(&attributes);
  if (result == 0) Name(handle_, name_);
  return result;
}
