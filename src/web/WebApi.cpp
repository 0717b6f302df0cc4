#include "web/WebApi.h"

#include <json/json.h>

#include <cctype>

#include "commands/CommandSet.h"
#include "lora/Bytes.h"
#include "support/JsonText.h"
#include "support/Logger.h"
#include "web/WebAssets.h"
#include "web/WebFeed.h"
#include "web/WebPassword.h"

namespace {

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value);
}

WebResponse JsonResponse(int status, const Json::Value& value) {
  WebResponse response;
  response.status = status;
  response.body = Compact(value);
  return response;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

bool ReadOnly(const std::string& method) { return method == "GET" || method == "HEAD"; }

bool PositiveNumber(const std::string& text) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text) {
    if (!isdigit(static_cast<unsigned char>(c))) return false;
  }
  return text != "0" && text[0] != '0';
}

}  // namespace

WebResponse WebFail(int status, const std::string& message) {
  Json::Value reply(Json::objectValue);
  reply["status"] = "fail";
  reply["message"] = message;
  return JsonResponse(status, reply);
}

WebApi::WebApi(WebApiLinks links)
    : links_([&] {
        if (!links.clockMs) links.clockMs = [] { return static_cast<uint64_t>(MonotonicMs()); };
        return std::move(links);
      }()),
      processToken_(WebPassword::RandomToken()) {}

std::string WebApi::CookieValue(const std::string& header, const std::string& name) {
  size_t start = 0;
  while (start < header.size()) {
    size_t end = header.find(';', start);
    if (end == std::string::npos) end = header.size();
    size_t first = start;
    while (first < end && header[first] == ' ') ++first;
    const size_t equals = header.find('=', first);
    if (equals != std::string::npos && equals < end && header.compare(first, equals - first, name) == 0 &&
        equals - first == name.size()) {
      return header.substr(equals + 1, end - equals - 1);
    }
    start = end + 1;
  }
  return "";
}

WebResponse WebApi::Handle(const WebRequest& request) {
  if (request.path.compare(0, 5, "/api/") != 0) return Asset(request);
  const std::vector<std::string> parts = SplitPath(request.path.substr(5));
  if (parts.empty() || parts.size() > 4) return WebFail(404, "Not found");
  if (request.body.size() > kMaxBody) return WebFail(413, "Request body too large");
  // A page of another site may post to us through the user's browser; it cannot forge Origin.
  if (!ReadOnly(request.method) && !request.origin.empty() &&
      request.origin != "http://" + request.host) {
    return WebFail(403, "Cross-origin request refused");
  }
  if (parts[0] == "session" && parts.size() == 1 && ReadOnly(request.method)) {
    return SessionState(request);
  }
  if (parts[0] == "login" && parts.size() == 1 && request.method == "POST") return Login(request);
  std::string token;
  if (!Authorized(request, token)) return WebFail(401, "Login required");
  if (!ReadOnly(request.method) && !WebPassword::SameText(request.token, token)) {
    return WebFail(403, "Missing or wrong CSRF token");
  }
  if (parts[0] == "logout" && parts.size() == 1 && request.method == "POST") {
    return Logout(request);
  }
  return Route(request, parts);
}

WebResponse WebApi::Asset(const WebRequest& request) const {
  if (!ReadOnly(request.method)) return WebFail(405, "Method not allowed");
  const WebAsset* asset = FindWebAsset(request.path == "/" ? "/index.html" : request.path);
  if (asset == nullptr) return WebFail(404, "Not found");
  WebResponse response;
  response.contentType = asset->contentType;
  response.asset = asset->data;
  response.assetSize = asset->size;
  return response;
}

bool WebApi::Authorized(const WebRequest& request, std::string& token) {
  if (links_.passwordHash.empty()) {
    token = processToken_;
    return true;
  }
  const std::string id = CookieValue(request.cookie, kCookie);
  if (id.empty()) return false;
  const uint64_t now = links_.clockMs();
  MutexLock lock(mutex_);
  auto found = sessions_.find(id);
  if (found == sessions_.end()) return false;
  if (now - found->second.lastUseMs > kSessionIdleMs) {
    sessions_.erase(found);
    return false;
  }
  found->second.lastUseMs = now;
  token = found->second.token;
  return true;
}

WebResponse WebApi::SessionState(const WebRequest& request) {
  std::string token;
  const bool authorized = Authorized(request, token);
  Json::Value reply(Json::objectValue);
  reply["password"] = !links_.passwordHash.empty();
  reply["authenticated"] = authorized;
  // Readable by our own pages only: another origin's script cannot read this response.
  reply["csrf"] = authorized ? token : "";
  return JsonResponse(200, reply);
}

bool WebApi::LoginAllowed(const std::string& client, uint64_t nowMs) {
  auto stale = [nowMs](const Failures& f) { return nowMs - f.windowStartMs >= kLoginWindowMs; };
  if (stale(allFailures_)) allFailures_ = Failures{0, nowMs};
  if (allFailures_.count >= kLoginFailuresTotal) return false;
  auto found = failures_.find(client);
  if (found == failures_.end()) return true;
  if (stale(found->second)) {
    failures_.erase(found);
    return true;
  }
  return found->second.count < kLoginFailuresPerClient;
}

void WebApi::CountFailure(const std::string& client, uint64_t nowMs) {
  ++allFailures_.count;
  // Bounded: past a few hundred clients the oldest windows go (the total still counts).
  if (failures_.size() >= 256 && failures_.find(client) == failures_.end()) {
    auto oldest = failures_.begin();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
      if (it->second.windowStartMs < oldest->second.windowStartMs) oldest = it;
    }
    failures_.erase(oldest);
  }
  Failures& mine = failures_[client];
  if (mine.count == 0) mine.windowStartMs = nowMs;
  ++mine.count;
}

WebResponse WebApi::Login(const WebRequest& request) {
  if (links_.passwordHash.empty()) {
    Json::Value reply(Json::objectValue);
    reply["status"] = "success";
    reply["csrf"] = processToken_;
    return JsonResponse(200, reply);
  }
  const uint64_t now = links_.clockMs();
  {
    MutexLock lock(mutex_);
    if (!LoginAllowed(request.client, now)) {
      LOG_WARNING("Web console: too many failed logins, refusing %s for a while",
                  request.client.c_str());
      return WebFail(429, "Too many failed logins, try again in a minute");
    }
  }
  Json::Value body;
  std::string errors;
  if (!JsonText::Parse(request.body, body, errors) || !body.isObject() ||
      !body["password"].isString()) {
    return WebFail(400, "Expected {\"password\":\"...\"}");
  }
  // The derivation takes a while: no lock is held, other requests go on.
  const bool good = WebPassword::Verify(body["password"].asString(), links_.passwordHash);
  MutexLock lock(mutex_);
  if (!good) {
    CountFailure(request.client, now);
    LOG_WARNING("Web console: failed login from %s", request.client.c_str());
    return WebFail(401, "Wrong password");
  }
  failures_.erase(request.client);
  if (sessions_.size() >= kMaxSessions) {
    auto oldest = sessions_.begin();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.lastUseMs < oldest->second.lastUseMs) oldest = it;
    }
    sessions_.erase(oldest);
  }
  const std::string id = WebPassword::RandomToken(24);
  Session session{WebPassword::RandomToken(), now};
  sessions_[id] = session;
  Json::Value reply(Json::objectValue);
  reply["status"] = "success";
  reply["csrf"] = session.token;
  WebResponse response = JsonResponse(200, reply);
  response.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + id +
                                                  "; Path=/; HttpOnly; SameSite=Strict");
  LOG_INFO("Web console: login from %s", request.client.c_str());
  return response;
}

WebResponse WebApi::Logout(const WebRequest& request) {
  {
    MutexLock lock(mutex_);
    sessions_.erase(CookieValue(request.cookie, kCookie));
  }
  Json::Value reply(Json::objectValue);
  reply["status"] = "success";
  WebResponse response = JsonResponse(200, reply);
  response.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                                  "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
  return response;
}

bool WebApi::BodyWithEui(const std::string& body, const std::string& eui, std::string& out) const {
  Json::Value json;
  std::string errors;
  if (!JsonText::Parse(body, json, errors) || !json.isObject()) return false;
  json["deveui"] = eui;
  out = Compact(json);
  return true;
}

WebResponse WebApi::Command(std::deque<std::string> words, const std::string& filterEui) {
  const std::string reply = links_.runCommand(std::move(words));
  if (reply == "OK\r\n") {
    Json::Value ok(Json::objectValue);
    ok["status"] = "success";
    return JsonResponse(200, ok);
  }
  Json::Value json;
  std::string errors;
  // Anything but JSON is one of the dispatcher's texts: a database failure or a syntax error.
  if (!JsonText::Parse(reply, json, errors, JsonText::Comments::Refused, 16)) {
    std::string text = reply;
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return WebFail(500, text.empty() ? "No reply" : text);
  }
  if (json.isObject() && json["status"] == "fail") return JsonResponse(400, json);
  if (filterEui.empty() || !json.isArray()) {
    WebResponse response;
    response.body = reply;
    return response;
  }
  Json::Value kept(Json::arrayValue);
  for (const Json::Value& row : json) {
    if (row.isObject() && row["deveui"].isString() && row["deveui"].asString() == filterEui) {
      kept.append(row);
    }
  }
  return JsonResponse(200, kept);
}

WebResponse WebApi::Route(const WebRequest& request, const std::vector<std::string>& parts) {
  const std::string& method = request.method;
  const bool get = ReadOnly(method);
  const bool post = method == "POST";
  const bool del = method == "DELETE";
  const size_t n = parts.size();
  const std::string& what = parts[0];
  // EUIs in the path and the query are checked before they become a command word.
  std::string eui;
  const bool euiInPath = n >= 2 && CommandSet::ParseEui(parts[1], eui);
  std::string filter;
  auto argument = request.arguments.find("deveui");
  if (argument != request.arguments.end() && !CommandSet::ParseEui(argument->second, filter)) {
    return WebFail(400, "Failed to parse deveui");
  }

  if (what == "events" && n == 1 && get) {
    WebResponse response;
    response.eventStream = true;
    response.contentType = "text/event-stream";
    return response;
  }
  if (what == "uplinks" && n == 2 && parts[1] == "minutes" && get && links_.feed != nullptr) {
    Json::Value counts(Json::arrayValue);
    for (uint32_t count : links_.feed->UplinksPerMinute()) counts.append(count);
    return JsonResponse(200, counts);
  }
  if (what == "stats") {
    if (n == 1 && get) return Command({"stats"});
    if (n == 2 && parts[1] == "reset" && post) return Command({"stats", "reset"});
  }
  if (what == "gateways") {
    if (n == 1 && get) return Command({"gateway", "list", "json"});
    if (n == 2 && euiInPath && del) return Command({"gateway", "delete", eui});
  }
  if (what == "devices") {
    if (n == 1 && get) return Command({"device", "list", "json"}, filter);
    if (n == 1 && post) return Command({"device", "add", request.body});
    if (n == 2 && parts[1] == "stats" && get) return Command({"device", "stats", "json"}, filter);
    if (n == 2 && euiInPath && post) {
      std::string json;
      if (!BodyWithEui(request.body, eui, json)) {
        return WebFail(400, "Unable to parse json, object expected");
      }
      return Command({"device", "update", json});
    }
    if (n == 2 && euiInPath && del) return Command({"device", "delete", eui});
  }
  if (what == "sessions") {
    if (n == 1 && get) return Command({"session", "list", "json"}, filter);
    if (n == 1 && post) return Command({"session", "add", request.body});
    if (n == 2 && euiInPath && del) return Command({"session", "delete", eui});
    if (n == 3 && euiInPath && parts[2] == "reset" && post) {
      return Command({"session", "reset", eui});
    }
  }
  if (what == "packets" && get) {
    if (n == 1) return Command({"packet", "list", "json"}, filter);
    static const std::map<std::string, std::string> kinds = {
        {"up", "up"}, {"down", "down"}, {"joins", "join"}};
    auto kind = n == 2 ? kinds.find(parts[1]) : kinds.end();
    if (kind != kinds.end()) return Command({"packet", kind->second, "json"}, filter);
  }
  if (what == "queue") {
    if (n == 1 && get) return Command({"packet", "queue", "json"}, filter);
    if (n == 1 && post) return Command({"packet", "queue", "add", request.body});
    if (n == 2 && euiInPath && del) return Command({"packet", "queue", "delete", eui});
    if (n == 3 && euiInPath && PositiveNumber(parts[2]) && del) {
      return Command({"packet", "queue", "delete", eui, parts[2]});
    }
  }
  return WebFail(404, "Not found");
}
