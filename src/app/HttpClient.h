// The one HTTP client of the process, for the remote join server: one libcurl easy handle, a share
// object that keeps DNS answers and TLS sessions between requests, and a mutex that serialises
// every request on the handle (so a slow join server delays the other joins that need it).
//
// Safe from any thread. The first request initialises the curl library.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "app/CurlApi.h"
#include "support/Mutex.h"

class HttpClient {
 public:
  // caFile: the certificates an https server must be verified against.
  explicit HttpClient(std::string caFile);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // One request; "PUT" goes as a custom request, every other method as a POST of the compact
  // body. A "token" or "timestamp" member of the body travels as the "X-API-HASH" or
  // "X-API-TIMESTAMP" header instead. True when the server answered 200 or 201; `response` is the
  // parsed answer, null when there was none or it was not JSON. timeoutMs 0: no time limit.
  bool request(const std::string& url, const std::string& method, Json::Value body,
               Json::Value& response, bool wantResponse, uint64_t timeoutMs = 0) EXCLUDES(mutex_);
  // The same with a body already written (a join request keeps its members in their order).
  bool requestText(const std::string& url, const std::string& method, const std::string& body,
                   Json::Value& response, bool wantResponse, uint64_t timeoutMs = 0)
      EXCLUDES(mutex_);

 private:
  // Opens libcurl (once per process) and makes the handle and the share object.
  bool OpenHeld() REQUIRES(mutex_);
  bool perform(const std::string& url, const std::string& method, const std::string& body,
               curl_slist* headers, Json::Value& response, bool wantResponse, uint64_t timeoutMs)
      REQUIRES(mutex_);
  static size_t Collect(char* data, size_t size, size_t count, void* out);
  static void LockShare(CURL*, curl_lock_data, curl_lock_access, void* self);
  static void UnlockShare(CURL*, curl_lock_data, void* self);

  const std::string caFile_;
  Mutex mutex_;       // every request on the handle
  Mutex shareMutex_;  // the share object's data, locked by libcurl itself
  CURL* handle_ GUARDED_BY(mutex_) = nullptr;
  CURLSH* share_ GUARDED_BY(mutex_) = nullptr;
  const CurlApi* curl_ GUARDED_BY(mutex_) = nullptr;  // null until the first request
};
