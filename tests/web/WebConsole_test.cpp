// The web console below the browser: the password hash, the API's mapping onto the real command
// set (an in-memory network over a real SQLite file), its same-origin and login rules, and the
// HTTP server itself facing hostile bytes on a real loopback socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "CommandRig.h"
#include "Loopback.h"
#include "TestSupport.h"
#include "app/AppMessageQueue.h"
#include "web/WebApi.h"
#include "web/WebConsole.h"
#include "web/WebFeed.h"
#include "web/WebPassword.h"

namespace {

TEST(WebPassword, HashVerifiesOnlyItsOwnPasswordAndRefusesTamperedText) {
  const std::string hash = WebPassword::Hash("correct horse", 1000);
  EXPECT_TRUE(WebPassword::WellFormed(hash));
  EXPECT_TRUE(WebPassword::Verify("correct horse", hash));
  EXPECT_FALSE(WebPassword::Verify("correct horse ", hash));
  // A fresh salt each time: equal passwords do not give equal texts.
  EXPECT_NE(hash, WebPassword::Hash("correct horse", 1000));

  std::string flipped = hash;
  flipped.back() = flipped.back() == '0' ? '1' : '0';
  EXPECT_FALSE(WebPassword::Verify("correct horse", flipped));
  for (const std::string bad : {"", "correct horse", "pbkdf2-sha256$0$00112233445566778899aabbccddeeff$00",
                                "pbkdf2-sha256$99999999$0011223344556677$00112233445566778899aabbccddeeff",
                                "pbkdf2-sha1$1000$0011223344556677$00112233445566778899aabbccddeeff",
                                "pbkdf2-sha256$1000$zz11223344556677$00112233445566778899aabbccddeeff",
                                "pbkdf2-sha256$1000$0011223344556677"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(WebPassword::WellFormed(bad));
    EXPECT_FALSE(WebPassword::Verify("correct horse", bad));
  }
}

class WebApiTest : public ::testing::Test {
 protected:
  testsupport::TempDir dir;
  commandtest::CommandRig rig{dir.path()};
  std::vector<std::deque<std::string>> commands;
  uint64_t nowMs = 1000000;

  WebApiLinks Links(const std::string& passwordHash = "") {
    WebApiLinks links;
    links.runCommand = [this](std::deque<std::string> words) {
      commands.push_back(words);
      return rig.RunWords(std::move(words));
    };
    links.passwordHash = passwordHash;
    links.clockMs = [this] { return nowMs; };
    return links;
  }

  static WebRequest Request(const std::string& method, const std::string& path,
                            const std::string& body = "", const std::string& token = "") {
    WebRequest r;
    r.method = method;
    r.path = path;
    r.body = body;
    r.token = token;
    r.host = "127.0.0.1:8080";
    r.client = "127.0.0.1";
    return r;
  }
  static Json::Value Body(const WebResponse& response) {
    return testsupport::ParseJson(response.body);
  }
  static std::string Token(WebApi& api, const std::string& cookie = "") {
    WebRequest r = Request("GET", "/api/session");
    r.cookie = cookie;
    return Body(api.Handle(r))["csrf"].asString();
  }
};

TEST_F(WebApiTest, OperationsRunTheCommandsAndTheirRepliesBecomeResponses) {
  WebApi api(Links());
  const std::string token = Token(api);
  ASSERT_EQ(token.size(), 32u);

  // Blanks and '#' in a JSON body survive: the body is one word, never re-tokenized.
  const std::string device = R"({"deveui":"0080000000000001","name":"rack  #2 # left"})";
  WebResponse added = api.Handle(Request("POST", "/api/devices", device, token));
  EXPECT_EQ(added.status, 200) << added.body;
  ASSERT_EQ(commands.back(), (std::deque<std::string>{"device", "add", device}));
  Json::Value listed = Body(api.Handle(Request("GET", "/api/devices")));
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["name"], "rack  #2 # left");

  // A fail reply is a client error with the command's own message.
  WebResponse again = api.Handle(Request("POST", "/api/devices", device, token));
  EXPECT_EQ(again.status, 400);
  EXPECT_EQ(Body(again)["message"],
            "Failed to create device, device with provided device EUI already exists");

  // The EUI of the path becomes the canonical text of the body's "deveui".
  EXPECT_EQ(api.Handle(Request("POST", "/api/devices/0080000000000001", R"({"class":"c"})", token))
                .status,
            200);
  EXPECT_EQ(Body(api.Handle(Request("GET", "/api/devices")))[0]["class"], "C");
  EXPECT_EQ(api.Handle(Request("POST", "/api/devices/0080000000000001", "[1]", token)).status, 400);

  // "OK" replies read as success; filtered lists keep only the device asked for.
  EXPECT_EQ(Body(api.Handle(Request("POST", "/api/stats/reset", "", token)))["status"], "success");
  rig.RunWords({"device", "add", R"({"deveui":"0080000000000002"})"});
  EXPECT_EQ(Body(api.Handle(Request("GET", "/api/devices"))).size(), 2u);
  WebRequest filtered = Request("GET", "/api/devices");
  filtered.arguments["deveui"] = "00-80-00-00-00-00-00-02";
  Json::Value one = Body(api.Handle(filtered));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0]["deveui"], "00-80-00-00-00-00-00-02");

  // What is not an EUI, a number or a known route never reaches the command set.
  const size_t ran = commands.size();
  filtered.arguments["deveui"] = "0080 quit";
  EXPECT_EQ(api.Handle(filtered).status, 400);
  for (const auto& [method, path] : std::vector<std::pair<std::string, std::string>>{
           {"DELETE", "/api/devices/0080000000000001%20x"},
           {"DELETE", "/api/devices/00800000000000011"},
           {"DELETE", "/api/queue/0080000000000001/-1"},
           {"DELETE", "/api/queue/0080000000000001/01"},
           {"GET", "/api/include"},
           {"PUT", "/api/devices"},
           {"GET", "/api/a/b/c/d/e"},
           {"POST", "/index.html"}}) {
    SCOPED_TRACE(method + " " + path);
    EXPECT_GE(api.Handle(Request(method, path, "", token)).status, 400);
  }
  EXPECT_EQ(commands.size(), ran);
  EXPECT_EQ(api.Handle(Request("DELETE", "/api/devices/00-80-00-00-00-00-00-01", "", token)).status,
            200);
  EXPECT_EQ(commands.back(),
            (std::deque<std::string>{"device", "delete", "00-80-00-00-00-00-00-01"}));
}

TEST_F(WebApiTest, ChangesNeedTheTokenAndTheSameOrigin) {
  WebApi api(Links());
  const std::string token = Token(api);
  const std::string device = R"({"deveui":"0080000000000001"})";
  EXPECT_EQ(api.Handle(Request("POST", "/api/devices", device)).status, 403);
  EXPECT_EQ(api.Handle(Request("POST", "/api/devices", device, std::string(32, '0'))).status, 403);
  WebRequest foreign = Request("POST", "/api/devices", device, token);
  foreign.origin = "http://attacker.example";
  EXPECT_EQ(api.Handle(foreign).status, 403);
  EXPECT_TRUE(commands.empty());
  // Reading needs no token; a page of our own origin with the token may change.
  EXPECT_EQ(api.Handle(Request("GET", "/api/devices")).status, 200);
  WebRequest own = Request("POST", "/api/devices", device, token);
  own.origin = "http://127.0.0.1:8080";
  EXPECT_EQ(api.Handle(own).status, 200);
  EXPECT_EQ(api.Handle(Request("POST", "/api/devices", std::string(WebApi::kMaxBody + 1, ' '),
                               token))
                .status,
            413);
}

TEST_F(WebApiTest, PasswordSessionsAndTheLoginLimit) {
  WebApi api(Links(WebPassword::Hash("secret", 1000)));
  EXPECT_EQ(api.Handle(Request("GET", "/api/devices")).status, 401);
  EXPECT_EQ(Token(api), "");
  auto login = [&](const std::string& password, const std::string& client = "10.0.0.9") {
    WebRequest r = Request("POST", "/api/login", "{\"password\":\"" + password + "\"}");
    r.client = client;
    return api.Handle(r);
  };
  for (unsigned i = 0; i < WebApi::kLoginFailuresPerClient; ++i) {
    EXPECT_EQ(login("guess").status, 401);
  }
  // Past the limit even the right password waits for the window to pass; others are not held up.
  EXPECT_EQ(login("secret").status, 429);
  EXPECT_EQ(login("secret", "10.0.0.10").status, 200);
  nowMs += WebApi::kLoginWindowMs;
  const WebResponse good = login("secret");
  ASSERT_EQ(good.status, 200);
  ASSERT_EQ(good.headers.size(), 1u);
  const std::string& setCookie = good.headers[0].second;
  EXPECT_NE(setCookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(setCookie.find("SameSite=Strict"), std::string::npos);
  const std::string cookie = "theme=dark; " + setCookie.substr(0, setCookie.find(';'));
  const std::string token = Body(good)["csrf"].asString();
  EXPECT_EQ(Token(api, cookie), token);

  WebRequest change = Request("POST", "/api/devices", R"({"deveui":"0080000000000001"})", token);
  change.cookie = cookie;
  EXPECT_EQ(api.Handle(change).status, 200);
  // Another session's token does not fit this one; an idle session ends.
  WebRequest other = change;
  other.token = Body(login("secret", "10.0.0.11"))["csrf"].asString();
  EXPECT_EQ(api.Handle(other).status, 403);
  nowMs += WebApi::kSessionIdleMs + 1;
  EXPECT_EQ(api.Handle(change).status, 401);
}

// ---- The HTTP server on a real socket.

int Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to = testsupport::Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// What the server answers to these bytes before it closes or `timeoutMs` passes.
std::string Exchange(uint16_t port, const std::string& bytes, int timeoutMs = 2000,
                     const std::string& stopAt = "") {
  const int fd = Connect(port);
  if (fd < 0) return "";
  send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  std::string reply;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    reply.append(buffer, static_cast<size_t>(n));
    if (!stopAt.empty() && reply.find(stopAt) != std::string::npos) break;
  }
  close(fd);
  return reply;
}

TEST(WebConsoleServer, SurvivesHostileRequestsAndStreamsEvents) {
  using namespace std::string_literals;
  testsupport::TempDir dir;
  commandtest::CommandRig rig{dir.path()};
  WebFeed feed;
  WebConsoleSettings settings;
  settings.port = 0;
  WebApiLinks links;
  links.runCommand = [&](std::deque<std::string> words) { return rig.RunWords(std::move(words)); };
  links.feed = &feed;
  WebConsole console(settings, links);
  ASSERT_TRUE(console.Start());
  const uint16_t port = console.port();
  ASSERT_NE(port, 0);

  const std::string get = "GET /api/session HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> hostile = {
      {"garbage", "\x16\x03\x01\x02\x00\x01\x00\xff\r\n\r\n"s},
      {"no version", "GET /\r\n\r\n"},
      {"huge request line", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n"},
      {"huge header", "GET / HTTP/1.1\r\nHost: x\r\nCookie: " + std::string(100000, 'c') + "\r\n\r\n"},
      {"header without colon", "GET / HTTP/1.1\r\nHost x\r\nbroken\r\n\r\n"},
      {"nul in path", "GET /api/de\0vices HTTP/1.1\r\nHost: x\r\n\r\n"s},
      {"lying length", "POST /api/devices HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999\r\n\r\n{}"},
      {"negative length", "POST /api/devices HTTP/1.1\r\nHost: x\r\nContent-Length: -5\r\n\r\n"},
      {"bad chunks", "POST /api/devices HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
                     "zz\r\nabc\r\n0\r\n\r\n"},
      {"big body", "POST /api/devices HTTP/1.1\r\nHost: x\r\nContent-Length: 20000\r\n\r\n" +
                       std::string(20000, '{')},
      {"escapes", "GET /api/../../etc/passwd?deveui=%%%%%00 HTTP/1.1\r\nHost: x\r\n\r\n"},
  };
  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    const std::string reply = Exchange(port, bytes, 600);
    // Refused with a client error, or the connection dropped; never a success, never a hang.
    if (!reply.empty()) {
      EXPECT_EQ(reply.compare(0, 9, "HTTP/1.1 "), 0) << reply.substr(0, 80);
      EXPECT_EQ(reply[9], '4') << reply.substr(0, 80);
    }
  }
  // A client that sends half a request and stalls holds one connection, not the server.
  const int stalled = Connect(port);
  send(stalled, "GET /api/sess", 13, MSG_NOSIGNAL);
  EXPECT_NE(Exchange(port, get).find("\"password\":false"), std::string::npos);
  close(stalled);
  EXPECT_EQ(rig.RunWords({"device", "list", "json"}), "[]\n");

  // An event whose payload holds line breaks is still one "data:" line of the stream.
  std::thread post([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    feed.Post(AppMessage{"00-80-00-00-00-00-00-01", "up", "{\"data\":\"a\nb\r\n\"}"});
    // The repeats of an uplink on its application topics are not shown twice.
    feed.Post(AppMessage{"70-b3-d5-7e-d0-00-00-01/00-80-00-00-00-00-00-01", "up", "{}"});
  });
  const std::string stream =
      Exchange(port, "GET /api/events HTTP/1.1\r\nHost: x\r\n\r\n", 3000, "\"}\n\n");
  post.join();
  EXPECT_NE(stream.find("Content-Type: text/event-stream"), std::string::npos) << stream;
  const size_t data = stream.find("id: 1\ndata: {");
  ASSERT_NE(data, std::string::npos) << stream;
  const std::string line = stream.substr(data + 6, stream.find('\n', data + 6) - data - 6);
  EXPECT_NE(line.find(R"("payload":"{\"data\":\"a\nb\r\n\"}")"), std::string::npos) << line;
  EXPECT_EQ(stream.find("id: 2"), std::string::npos);
  EXPECT_EQ(feed.UplinksPerMinute().back(), 1u);
  console.Stop();
}

TEST(WebConsoleServer, RefusesToListenBeyondLoopbackWithoutAPassword) {
  testsupport::LogCapture log;
  WebFeed feed;
  WebConsoleSettings settings;
  settings.port = 0;
  settings.allowPublic = true;
  WebApiLinks links;
  links.runCommand = [](std::deque<std::string>) { return std::string("[]"); };
  links.feed = &feed;
  WebConsole open(settings, links);
  ASSERT_TRUE(open.Start());
  EXPECT_FALSE(open.listensPublicly());
  EXPECT_EQ(open.address(), "http://127.0.0.1:" + std::to_string(open.port()) + "/");
  EXPECT_TRUE(log.contains("not listening beyond loopback without a password")) << log.dump();

  settings.passwordHash = WebPassword::Hash("secret", 1000);
  WebConsole guarded(settings, links);
  ASSERT_TRUE(guarded.Start());
  EXPECT_TRUE(guarded.listensPublicly());
}

}  // namespace
