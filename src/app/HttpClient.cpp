#include "app/HttpClient.h"

#include <exception>
#include <memory>

#include "support/JsonText.h"
#include "support/Logger.h"

namespace {

// An answer larger than this is not a join-server answer; the rest is not kept.
constexpr size_t kMaxResponse = 64 * 1024;

}  // namespace

HttpClient::HttpClient(std::string caFile) : caFile_(std::move(caFile)) {}

// Initialising libcurl brings up its TLS library, some 2 MB of memory that a gateway without a
// remote join server never needs; so the library waits for the first request.
bool HttpClient::OpenHeld() {
  if (handle_ != nullptr) return true;
  if (curl_ == nullptr) curl_ = CurlApi::Get();
  if (curl_ == nullptr) return false;
  if (share_ == nullptr) {
    share_ = curl_->share_init();
    if (share_ != nullptr) {
      curl_->share_setopt(share_, CURLSHOPT_LOCKFUNC, &HttpClient::LockShare);
      curl_->share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &HttpClient::UnlockShare);
      curl_->share_setopt(share_, CURLSHOPT_USERDATA, this);
      curl_->share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
      curl_->share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
  }
  handle_ = curl_->easy_init();
  return handle_ != nullptr;
}

HttpClient::~HttpClient() {
  {
    MutexLock lock(mutex_);
    if (handle_ != nullptr) curl_->easy_cleanup(handle_);
    handle_ = nullptr;
    if (share_ != nullptr) curl_->share_cleanup(share_);
    share_ = nullptr;
  }
}

void HttpClient::LockShare(CURL*, curl_lock_data, curl_lock_access, void* self)
    NO_THREAD_SAFETY_ANALYSIS {
  static_cast<HttpClient*>(self)->shareMutex_.lock();
}

void HttpClient::UnlockShare(CURL*, curl_lock_data, void* self) NO_THREAD_SAFETY_ANALYSIS {
  static_cast<HttpClient*>(self)->shareMutex_.unlock();
}

size_t HttpClient::Collect(char* data, size_t size, size_t count, void* out) {
  auto* text = static_cast<std::string*>(out);
  const size_t length = size * count;
  if (text->size() < kMaxResponse) text->append(data, std::min(length, kMaxResponse - text->size()));
  return length;
}

static curl_slist* BaseHeaders(const CurlApi& curl) {
  curl_slist* headers = curl.slist_append(nullptr, "Accept: application/json");
  headers = curl.slist_append(headers, "Content-Type: application/json");
  return curl.slist_append(headers, "charsets: utf-8");
}

bool HttpClient::request(const std::string& url, const std::string& method, Json::Value body,
                         Json::Value& response, bool wantResponse, uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  response = Json::Value();
  if (!OpenHeld()) return false;
  curl_slist* headers = BaseHeaders(*curl_);
  if (body.isObject()) {
    // The join server authenticates by headers; the values must not also travel in the body.
    if (body.isMember("token")) {
      headers = curl_->slist_append(headers, ("X-API-HASH: " + body["token"].asString()).c_str());
      body.removeMember("token");
    }
    if (body.isMember("timestamp")) {
      headers =
          curl_->slist_append(headers, ("X-API-TIMESTAMP: " + body["timestamp"].asString()).c_str());
      body.removeMember("timestamp");
    }
  }
  return perform(url, method, JsonText::Compact(body), headers, response, wantResponse, timeoutMs);
}

bool HttpClient::requestText(const std::string& url, const std::string& method,
                             const std::string& body, Json::Value& response, bool wantResponse,
                             uint64_t timeoutMs) {
  MutexLock lock(mutex_);
  response = Json::Value();
  if (!OpenHeld()) return false;
  return perform(url, method, body, BaseHeaders(*curl_), response, wantResponse, timeoutMs);
}

bool HttpClient::perform(const std::string& url, const std::string& method, const std::string& text,
                         curl_slist* headers, Json::Value& response, bool wantResponse,
                         uint64_t timeoutMs) {
  response = Json::Value();
  if (handle_ == nullptr) {
    curl_->slist_free_all(headers);
    return false;
  }
  bool ok = false;
  try {
    LOG_TRACE("Server URL: [%s]", url.c_str());
    curl_->easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_->easy_setopt(handle_, CURLOPT_NOPROGRESS, 1L);
    curl_->easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_->easy_setopt(handle_, CURLOPT_HTTPHEADER, headers);
    if (share_ != nullptr) curl_->easy_setopt(handle_, CURLOPT_SHARE, share_);
    if (timeoutMs > 0) curl_->easy_setopt(handle_, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
    // The answer is always read (a server must be able to finish); it is parsed when wanted.
    std::string answer;
    curl_->easy_setopt(handle_, CURLOPT_WRITEFUNCTION, &HttpClient::Collect);
    curl_->easy_setopt(handle_, CURLOPT_WRITEDATA, &answer);
    if (url.find("https:") != std::string::npos) {
      curl_->easy_setopt(handle_, CURLOPT_SSL_VERIFYPEER, 1L);
      curl_->easy_setopt(handle_, CURLOPT_SSL_VERIFYHOST, 2L);
      curl_->easy_setopt(handle_, CURLOPT_CAINFO, caFile_.c_str());
    }
    LOG_TRACE("request body: %s", text.c_str());
    if (method == "PUT") curl_->easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, "PUT");
    curl_->easy_setopt(handle_, CURLOPT_POST, 1L);
    curl_->easy_setopt(handle_, CURLOPT_POSTFIELDS, text.c_str());
    curl_->easy_setopt(handle_, CURLOPT_POSTFIELDSIZE, static_cast<long>(text.size()));

    const CURLcode result = curl_->easy_perform(handle_);
    if (result != CURLE_OK) {
      LOG_ERROR("CURL call to Server failed - %s", curl_->easy_strerror(result));
    } else {
      long code = 0;
      curl_->easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &code);
      if (code != 200 && code != 201) {
        LOG_ERROR("%s failed CODE:%d BODY:[%s]", method.c_str(), static_cast<int>(code),
                  answer.c_str());
      } else {
        ok = true;
        std::string errors;
        Json::Value parsed;
        if (wantResponse && JsonText::Parse(answer, parsed, errors)) {
          response = std::move(parsed);
          LOG_TRACE("%s code: %d response:[%s]", method.c_str(), static_cast<int>(code),
                    answer.c_str());
        } else if (wantResponse) {
          LOG_TRACE("%s code: %d Unable parse text as JSON [%s]", method.c_str(),
                    static_cast<int>(code), answer.c_str());
        }
      }
    }
  } catch (const std::exception&) {
    LOG_ERROR("Exception caught during CURL call to [%s]", url.c_str());
    ok = false;
  }
  curl_->slist_free_all(headers);
  curl_->easy_reset(handle_);
  return ok;
}
