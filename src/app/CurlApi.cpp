#include "app/CurlApi.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

#include "support/Logger.h"

namespace {

// The runtime name: the unversioned one belongs to the development package.
constexpr const char* kLibrary = "libcurl.so.4";

std::once_flag opened;
std::atomic<const CurlApi*> loaded{nullptr};

template <typename Function>
bool Find(void* library, const char* name, Function*& out) {
  out = reinterpret_cast<Function*>(dlsym(library, name));
  if (out == nullptr) LOG_ERROR("%s has no %s", kLibrary, name);
  return out != nullptr;
}

const CurlApi* Open() {
  void* library = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* why = dlerror();
    LOG_ERROR("Cannot load %s: %s", kLibrary, why != nullptr ? why : "");
    return nullptr;
  }
  static CurlApi api{};
  const bool found =
      Find(library, "curl_global_init", api.global_init) &&
      Find(library, "curl_global_cleanup", api.global_cleanup) &&
      Find(library, "curl_easy_init", api.easy_init) &&
      Find(library, "curl_easy_setopt", api.easy_setopt) &&
      Find(library, "curl_easy_perform", api.easy_perform) &&
      Find(library, "curl_easy_getinfo", api.easy_getinfo) &&
      Find(library, "curl_easy_reset", api.easy_reset) &&
      Find(library, "curl_easy_cleanup", api.easy_cleanup) &&
      Find(library, "curl_easy_strerror", api.easy_strerror) &&
      Find(library, "curl_slist_append", api.slist_append) &&
      Find(library, "curl_slist_free_all", api.slist_free_all) &&
      Find(library, "curl_share_init", api.share_init) &&
      Find(library, "curl_share_setopt", api.share_setopt) &&
      Find(library, "curl_share_cleanup", api.share_cleanup);
  // The library stays open: its handles may outlive any owner here.
  if (!found) return nullptr;
  if (api.global_init(CURL_GLOBAL_ALL) != CURLE_OK) {
    LOG_ERROR("Failed to init curl library");
    return nullptr;
  }
  return &api;
}

}  // namespace

const CurlApi* CurlApi::Get() {
  std::call_once(opened, [] { loaded = Open(); });
  return loaded;
}

void CurlApi::Release() {
  // A library never opened stays unopened.
  if (const CurlApi* api = loaded.load()) api->global_cleanup();
}
