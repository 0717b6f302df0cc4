// The web console: an HTTP server inside the process (libmicrohttpd) that serves the embedded
// pages and the JSON API of WebApi, and streams WebFeed's events to browsers as Server-Sent
// Events. It listens on the loopback interface unless "udp"."allowPublic" is set, and beyond
// loopback only with a password.
//
// libmicrohttpd runs one listening thread and one thread per connection (at most
// kMaxConnections); each request is handled on its connection's thread. With no browser
// connected the listening thread sleeps in poll(): the console costs no CPU.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <memory>
#include <string>

#include "web/WebApi.h"

struct MHD_Daemon;
struct MHD_Connection;
class WebFeed;

struct WebConsoleSettings {
  bool enabled = true;
  uint16_t port = 8080;
  bool allowPublic = false;  // "udp"."allowPublic"
  std::string passwordHash;  // "web"."password"
  // Read from the validated configuration ("web" and "udp" sections).
  static WebConsoleSettings FromConfig(const Json::Value& config);
};

class WebConsole {
 public:
  static constexpr unsigned kMaxConnections = 32;
  static constexpr unsigned kMaxConnectionsPerClient = 16;
  static constexpr unsigned kIdleTimeoutSeconds = 60;
  // An event stream sends a comment this often, so idle proxies and the idle time-out keep it.
  static constexpr uint64_t kHeartbeatMs = 15000;
  static constexpr uint32_t kConnectionStack = 65536;

  WebConsole(const WebConsoleSettings& settings, WebApiLinks links);
  ~WebConsole();
  WebConsole(const WebConsole&) = delete;
  WebConsole& operator=(const WebConsole&) = delete;

  // Starts listening; false (logged) when the port cannot be bound. Port 0 takes a free port.
  bool Start();
  // Ends every event stream and connection and stops listening; waits for their threads.
  void Stop();
  // The port listened on (the chosen one when asked for 0); 0 when not running.
  uint16_t port() const { return port_; }
  // "http://127.0.0.1:8080/" or, listening on every interface, "http://0.0.0.0:8080/".
  std::string address() const;
  bool listensPublicly() const { return public_; }

 private:
  // The library's callbacks, typed as it declares them (WebConsole.cpp).
  friend struct WebConsoleCallbacks;
  struct Pending;
  struct Stream;
  // True when the response was queued.
  bool Respond(MHD_Connection* connection, const WebResponse& response);
  bool OpenStream(MHD_Connection* connection);

  const WebConsoleSettings settings_;
  WebFeed* const feed_;
  WebApi api_;
  bool public_ = false;
  uint16_t port_ = 0;
  MHD_Daemon* daemon_ = nullptr;
};
