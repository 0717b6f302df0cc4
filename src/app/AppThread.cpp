#include "app/AppThread.h"

#include <cerrno>

#include "ThreadSlot.h"

int AppThread::Start(std::function<void()> body, uint32_t nominalStackSize, const char* name) {
  if (started_) return EBUSY;
  body_ = std::move(body);
  pthread_attr_t attributes;
  int result = pthread_attr_init(&attributes);
  if (result != 0) return result;
  result = pthread_attr_setstacksize(&attributes, ThreadSlot::EffectiveStackSize(nominalStackSize));
  if (result == 0) result = pthread_create(&handle_, &attributes, &AppThread::Entry, this);
  pthread_attr_destroy(&attributes);
  started_ = result == 0;
  if (started_) ThreadSlot::Name(handle_, name);
  return result;
}

void AppThread::Join() {
  if (!started_) return;
  pthread_join(handle_, nullptr);
  started_ = false;
}

void* AppThread::Entry(void* self) {
  static_cast<AppThread*>(self)->body_();
  return nullptr;
}
