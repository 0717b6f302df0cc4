#include "web/WebConsole.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ThreadSlot.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "web/WebFeed.h"

namespace {

// Every response: no sniffing, no framing by other sites, scripts and styles only from here
// (so even a slip in the pages' escaping cannot run injected script).
constexpr std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "no-referrer"},
    {"Content-Security-Policy",
     "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
};

void LogLibrary(void*, const char* format, va_list arguments) {
  // Hostile or broken requests are answered by the library (400, 413, 431); a line at debug
  // level is enough, a flood of them must not fill the log.
  if (!ZEV::Logger::isPrintable(ZEV::Logger::PrintLevel::DEBUG_LEVEL)) return;
  char text[512];
  vsnprintf(text, sizeof text, format, arguments);
  size_t length = strlen(text);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) text[--length] = 0;
  LOG_DEBUG("Web console: %s", text);
}

MHD_Result CollectArgument(void* map, MHD_ValueKind, const char* key, const char* value) {
  if (key != nullptr) {
    (*static_cast<std::map<std::string, std::string>*>(map))[key] = value != nullptr ? value : "";
  }
  return MHD_YES;
}

std::string Header(MHD_Connection* connection, const char* name) {
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

std::string ClientAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (info->client_addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text,
              sizeof text);
  } else if (info->client_addr->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr,
              text, sizeof text);
  }
  return text;
}

void AddHeaders(MHD_Response* response, const char* contentType) {
  MHD_add_response_header(response, "Content-Type", contentType);
  MHD_add_response_header(response, "Cache-Control", "no-store");
  for (const auto& [name, value] : kSecurityHeaders) MHD_add_response_header(response, name, value);
}

}  // namespace

struct WebConsole::Pending {
  std::string body;
  bool tooLarge = false;
};

struct WebConsole::Stream {
  WebFeed* feed = nullptr;
  uint64_t lastId = 0;
  std::string pending;
  size_t offset = 0;
};

struct WebConsoleCallbacks {
  static MHD_Result Access(void* self, MHD_Connection* connection, const char* url,
                           const char* method, const char* version, const char* upload,
                           size_t* uploadSize, void** state);
  static void Completed(void* self, MHD_Connection* connection, void** state,
                        MHD_RequestTerminationCode reason);
  static ssize_t ReadStream(void* stream, uint64_t position, char* buffer, size_t max);
  static void FreeStream(void* stream);
};

namespace {
MHD_Result Answer(bool queued) { return queued ? MHD_YES : MHD_NO; }
}  // namespace

WebConsoleSettings WebConsoleSettings::FromConfig(const Json::Value& config) {
  WebConsoleSettings s;
  const Json::Value& web = config["web"];
  if (web.isObject()) {
    if (web["enabled"].isBool()) s.enabled = web["enabled"].asBool();
    if (web["port"].isUInt() && web["port"].asUInt() <= 0xFFFF) {
      s.port = static_cast<uint16_t>(web["port"].asUInt());
    }
    if (web["password"].isString()) s.passwordHash = web["password"].asString();
  }
  const Json::Value& allowPublic = config["udp"]["allowPublic"];
  s.allowPublic = allowPublic.isBool() && allowPublic.asBool();
  return s;
}

WebConsole::WebConsole(const WebConsoleSettings& settings, WebApiLinks links)
    : settings_(settings), feed_(links.feed), api_([&] {
        links.passwordHash = settings.passwordHash;
        return std::move(links);
      }()) {}

WebConsole::~WebConsole() { Stop(); }

std::string WebConsole::address() const {
  return std::string("http://") + (public_ ? "0.0.0.0" : "127.0.0.1") + ":" +
         std::to_string(port_) + "/";
}

bool WebConsole::Start() {
  if (daemon_ != nullptr) return true;
  public_ = settings_.allowPublic && !settings_.passwordHash.empty();
  if (settings_.allowPublic && settings_.passwordHash.empty()) {
    LOG_ERROR(
        "Web console: not listening beyond loopback without a password; set \"web\".\"password\" "
        "to a hash from 'vallorin --web-password-hash' (listening on 127.0.0.1 only)");
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(settings_.port);
  local.sin_addr.s_addr = htonl(public_ ? INADDR_ANY : INADDR_LOOPBACK);
  const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION |
                         MHD_USE_POLL | MHD_USE_ERROR_LOG;
  daemon_ = MHD_start_daemon(
      flags, settings_.port, nullptr, nullptr, &WebConsoleCallbacks::Access, this,
      MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&local), MHD_OPTION_CONNECTION_LIMIT,
      kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kMaxConnectionsPerClient,
      MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
      static_cast<size_t>(32 * 1024), MHD_OPTION_THREAD_STACK_SIZE,
      ThreadSlot::EffectiveStackSize(kConnectionStack), MHD_OPTION_NOTIFY_COMPLETED,
      &WebConsoleCallbacks::Completed, this,
      MHD_OPTION_EXTERNAL_LOGGER, &LogLibrary, nullptr, MHD_OPTION_LISTENING_ADDRESS_REUSE, 1u,
      MHD_OPTION_END);
  if (daemon_ == nullptr) {
    LOG_ERROR("Web console: cannot listen on port %u", static_cast<unsigned>(settings_.port));
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info != nullptr ? info->port : settings_.port;
  LOG_INFO("Web console on %s%s", address().c_str(),
           settings_.passwordHash.empty() ? "" : " (password required)");
  return true;
}

void WebConsole::Stop() {
  if (daemon_ == nullptr) return;
  // Streams wait on the feed; they must end before the library can join their threads.
  if (feed_ != nullptr) feed_->Stop();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
  port_ = 0;
}

MHD_Result WebConsoleCallbacks::Access(void* self, MHD_Connection* connection, const char* url,
                                       const char* method, const char*, const char* upload,
                                       size_t* uploadSize, void** state) {
  using Pending = WebConsole::Pending;
  auto* console = static_cast<WebConsole*>(self);
  if (*state == nullptr) {
    *state = std::make_unique<Pending>().release();  // owned by Completed()
    return MHD_YES;
  }
  Pending& pending = *static_cast<Pending*>(*state);
  if (*uploadSize != 0) {
    // Bodies are small JSON objects; a larger one is read to its end and refused whole.
    if (pending.body.size() + *uploadSize > WebApi::kMaxBody) {
      pending.tooLarge = true;
      pending.body.clear();
    } else if (!pending.tooLarge) {
      pending.body.append(upload, *uploadSize);
    }
    *uploadSize = 0;
    return MHD_YES;
  }
  try {
    if (pending.tooLarge) {
      return Answer(console->Respond(connection, WebFail(413, "Request body too large")));
    }
    WebRequest request;
    request.method = method != nullptr ? method : "";
    request.path = url != nullptr ? url : "";
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, &CollectArgument,
                              &request.arguments);
    request.cookie = Header(connection, "Cookie");
    request.token = Header(connection, "X-CSRF-Token");
    request.origin = Header(connection, "Origin");
    request.host = Header(connection, "Host");
    request.client = ClientAddress(connection);
    request.body = std::move(pending.body);
    const WebResponse response = console->api_.Handle(request);
    if (response.eventStream) return Answer(console->OpenStream(connection));
    return Answer(console->Respond(connection, response));
  } catch (const std::exception& e) {
    LOG_ERROR("Web console exception : %s", e.what());
    return Answer(console->Respond(connection, WebFail(500, "Internal error")));
  }
}

void WebConsoleCallbacks::Completed(void*, MHD_Connection*, void** state,
                                    MHD_RequestTerminationCode) {
  std::unique_ptr<WebConsole::Pending> owned(static_cast<WebConsole::Pending*>(*state));
  *state = nullptr;
}

bool WebConsole::Respond(MHD_Connection* connection, const WebResponse& response) {
  MHD_Response* reply =
      response.asset != nullptr
          ? MHD_create_response_from_buffer(response.assetSize,
                                            const_cast<unsigned char*>(response.asset),
                                            MHD_RESPMEM_PERSISTENT)
          : MHD_create_response_from_buffer(response.body.size(),
                                            const_cast<char*>(response.body.data()),
                                            MHD_RESPMEM_MUST_COPY);
  if (reply == nullptr) return false;
  AddHeaders(reply, response.contentType.c_str());
  for (const auto& [name, value] : response.headers) {
    MHD_add_response_header(reply, name.c_str(), value.c_str());
  }
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(response.status), reply);
  MHD_destroy_response(reply);
  return queued == MHD_YES;
}

bool WebConsole::OpenStream(MHD_Connection* connection) {
  if (feed_ == nullptr) return Respond(connection, WebFail(404, "Not found"));
  auto stream = std::make_unique<Stream>();
  stream->feed = feed_;
  stream->lastId = feed_->LastId();
  // Sent at once, so the browser sees the stream open before the first event.
  stream->pending = "retry: 2000\n\n";
  MHD_Response* reply =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &WebConsoleCallbacks::ReadStream,
                                        stream.get(), &WebConsoleCallbacks::FreeStream);
  if (reply == nullptr) return false;
  stream.release();  // the response owns it now (FreeStream)
  AddHeaders(reply, "text/event-stream");
  const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, reply);
  MHD_destroy_response(reply);
  return queued == MHD_YES;
}

ssize_t WebConsoleCallbacks::ReadStream(void* self, uint64_t, char* buffer, size_t max) {
  WebConsole::Stream& stream = *static_cast<WebConsole::Stream*>(self);
  if (stream.offset >= stream.pending.size()) {
    stream.pending.clear();
    stream.offset = 0;
    // Runs on the connection's own thread: blocking here holds up nobody else.
    const std::vector<WebFeed::Event> events =
        stream.feed->Wait(stream.lastId, WebConsole::kHeartbeatMs);
    if (stream.feed->Stopped()) return MHD_CONTENT_READER_END_OF_STREAM;
    for (const WebFeed::Event& event : events) {
      Json::Value data(Json::objectValue);
      data["id"] = static_cast<Json::UInt64>(event.id);
      data["event"] = event.event;
      data["eui"] = event.eui;
      data["payload"] = event.payload;
      // One line whatever the payload holds: the writer escapes every line break.
      stream.pending += "id: " + std::to_string(event.id) + "\ndata: " + JsonText::Compact(data) +
                        "\n\n";
      stream.lastId = event.id;
    }
    if (stream.pending.empty()) stream.pending = ": keep-alive\n\n";
  }
  const size_t length = std::min(max, stream.pending.size() - stream.offset);
  memcpy(buffer, stream.pending.data() + stream.offset, length);
  stream.offset += length;
  return static_cast<ssize_t>(length);
}

void WebConsoleCallbacks::FreeStream(void* stream) {
  std::unique_ptr<WebConsole::Stream> owned(static_cast<WebConsole::Stream*>(stream));
}
