// Garbage into the web console's requests, past the HTTP library: the routes, the EUIs and ids
// of paths and queries, cookies and tokens, JSON bodies and every command they become, over the
// real command set and database. Input lines: method, path, cookie, token, origin, the "deveui"
// query argument, then the body. Each runs on a thread with a connection thread's stack.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "CommandRig.h"
#include "StackThread.h"
#include "support/Logger.h"
#include "web/WebApi.h"
#include "web/WebConsole.h"
#include "web/WebFeed.h"

namespace {

struct Rig {
  std::string folder;
  commandtest::CommandRig* commands = nullptr;
  WebFeed feed;
  WebApi* api = nullptr;
  WebApi* guarded = nullptr;  // with a password: login and sessions
};

Rig& TheRig() {
  static Rig* rig = [] {
    auto* r = new Rig;
    char folder[] = "/tmp/web-fuzz-XXXXXX";
    r->folder = mkdtemp(folder) != nullptr ? folder : "/tmp";
    std::atexit([] {
      std::error_code ignored;
      if (TheRig().folder != "/tmp") std::filesystem::remove_all(TheRig().folder, ignored);
    });
    ZEV::Logger::setup(ZEV::Logger::NONE);
    ZEV::Logger::setPrintLevel(ZEV::Logger::PrintLevel::FATAL_LEVEL, false);
    r->commands = new commandtest::CommandRig(r->folder);
    WebApiLinks links;
    links.runCommand = [r](std::deque<std::string> words) {
      return r->commands->RunWords(std::move(words));
    };
    links.feed = &r->feed;
    r->api = new WebApi(links);
    // A cheap hash: the fuzzer should spend its time on parsing, not on PBKDF2.
    links.passwordHash = "pbkdf2-sha256$1$0011223344556677$00112233445566778899aabbccddeeff";
    r->guarded = new WebApi(links);
    return r;
  }();
  return *rig;
}

std::string NextLine(const std::string& text, size_t& at) {
  const size_t end = text.find('\n', at);
  std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
  at = end == std::string::npos ? text.size() : end + 1;
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > WebApi::kMaxBody + 512) return 0;
  Rig& rig = TheRig();
  const std::string text(reinterpret_cast<const char*>(data), size);
  size_t at = 0;
  WebRequest request;
  request.method = NextLine(text, at);
  request.path = NextLine(text, at);
  request.cookie = NextLine(text, at);
  request.token = NextLine(text, at);
  request.origin = NextLine(text, at);
  const std::string deveui = NextLine(text, at);
  if (!deveui.empty()) request.arguments["deveui"] = deveui;
  request.host = "127.0.0.1:8080";
  request.client = "127.0.0.1";
  request.body = text.substr(at);
  testsupport::RunOnStack(WebConsole::kConnectionStack, [&] {
    // The token is the real one half of the time, so changes get past the same-origin check.
    static const std::string token = [&] {
      WebRequest session;
      session.method = "GET";
      session.path = "/api/session";
      const std::string body = rig.api->Handle(session).body;
      const size_t at = body.find("\"csrf\":\"");
      return at == std::string::npos ? std::string() : body.substr(at + 8, 32);
    }();
    WebRequest withToken = request;
    if (size % 2 == 0) withToken.token = token;
    rig.api->Handle(withToken);
    rig.guarded->Handle(request);
  });
  return 0;
}
