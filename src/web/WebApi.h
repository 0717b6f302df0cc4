// The web console's requests, as plain values in and out, so that everything that reads request
// bytes can be tested and fuzzed without a socket. The HTTP server (WebConsole) fills a
// WebRequest from the connection and sends back the WebResponse.
//
// Every operation of the JSON API under /api is a command of the command interface, run through
// the same dispatcher and handlers as a line on the command port (runCommand); only the live
// feed and the uplinks-per-minute counts come from WebFeed. Sessions, same-origin tokens and
// the login rate limit live here.
//
// Called from the HTTP server's connection threads at once: the session and login tables are
// guarded by mutex_ (a leaf, never held while a command runs).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "support/Mutex.h"

class WebFeed;

struct WebRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::map<std::string, std::string> arguments;  // the query's
  std::string cookie;  // the Cookie header
  std::string token;   // the X-CSRF-Token header
  std::string origin;  // the Origin header, empty when the browser sent none
  std::string host;    // the Host header
  std::string client;  // the peer's address, what the login limit counts by
  std::string body;
};

struct WebResponse {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  // A static asset: served from the binary's own bytes instead of body.
  const unsigned char* asset = nullptr;
  size_t assetSize = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  // The request opened the live feed: the server streams WebFeed's events from here on.
  bool eventStream = false;
};

struct WebApiLinks {
  // Runs one command (its words as given) and returns its reply text.
  std::function<std::string(std::deque<std::string>)> runCommand;
  WebFeed* feed = nullptr;
  // "web"."password": empty when the console has no password.
  std::string passwordHash;
  std::function<uint64_t()> clockMs;  // monotonic; tests pass their own
};

class WebApi {
 public:
  static constexpr size_t kMaxBody = 16384;
  static constexpr size_t kMaxSessions = 32;
  static constexpr uint64_t kSessionIdleMs = 3600 * 1000;
  // Failed logins a client may make per window, and all clients together.
  static constexpr unsigned kLoginFailuresPerClient = 5;
  static constexpr unsigned kLoginFailuresTotal = 20;
  static constexpr uint64_t kLoginWindowMs = 60 * 1000;
  static constexpr const char* kCookie = "vallorin_session";

  explicit WebApi(WebApiLinks links);

  WebResponse Handle(const WebRequest& request) EXCLUDES(mutex_);

  // The value of one cookie in a Cookie header; empty when absent.
  static std::string CookieValue(const std::string& header, const std::string& name);

 private:
  struct Session {
    std::string token;  // the same-origin token this session's forms carry
    uint64_t lastUseMs = 0;
  };
  struct Failures {
    unsigned count = 0;
    uint64_t windowStartMs = 0;
  };

  WebResponse Asset(const WebRequest& request) const;
  WebResponse Api(const WebRequest& request, const std::vector<std::string>& parts);
  WebResponse SessionState(const WebRequest& request) EXCLUDES(mutex_);
  WebResponse Login(const WebRequest& request) EXCLUDES(mutex_);
  WebResponse Logout(const WebRequest& request) EXCLUDES(mutex_);
  // The request's session is valid (or none is needed); its token is set for the CSRF check.
  bool Authorized(const WebRequest& request, std::string& token) EXCLUDES(mutex_);
  bool LoginAllowed(const std::string& client, uint64_t nowMs) REQUIRES(mutex_);
  void CountFailure(const std::string& client, uint64_t nowMs) REQUIRES(mutex_);
  WebResponse Route(const WebRequest& request, const std::vector<std::string>& parts);
  // Runs the command; the reply becomes the response (fail replies give 400).
  WebResponse Command(std::deque<std::string> words, const std::string& filterEui = "");
  // The JSON body as an object with "deveui" set to the EUI of the path.
  bool BodyWithEui(const std::string& body, const std::string& eui, std::string& out) const;

  const WebApiLinks links_;
  // Without a password, one token for the process: the same-origin check still stands.
  const std::string processToken_;

  Mutex mutex_;
  std::map<std::string, Session> sessions_ GUARDED_BY(mutex_);
  std::map<std::string, Failures> failures_ GUARDED_BY(mutex_);
  Failures allFailures_ GUARDED_BY(mutex_);
};

// {"status":"fail","message":...} with a status code.
WebResponse WebFail(int status, const std::string& message);
