#include "Harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "Loopback.h"
#include "TestSupport.h"
#include "lora/Bytes.h"

namespace e2e {

using Clock = std::chrono::steady_clock;
using testsupport::ReadFile;

static void Patch(Json::Value& config, const Json::Value& patch) {
  for (const std::string& name : patch.getMemberNames()) {
    if (patch[name].isNull())
      config.removeMember(name);
    else if (patch[name].isObject() && config[name].isObject())
      Patch(config[name], patch[name]);
    else
      config[name] = patch[name];
  }
}

Json::Value BaseConfig(const std::string& dir, const char* patch) {
  // Every path the server writes lies in the folder ("@" below). The web console stays off: tests
  // running side by side would contend for its port, and the browser test covers it.
  std::string text = R"({"db": "@/flash/vallorin.db",
      "paths": {"runDir": "@/run", "deviceIdFile": "@/device_id", "templateDir": "@/templates/",
                "templateFallbackDir": "@/opt/", "restartCommand": "touch @/restart-requested &",
                "whitelistFile": "@/whitelist.jsonlines", "commandDir": "@"},
      "log": {"level": 60, "console": false, "path": "@/vallorin.log"},
      "lora": {"frequencyBand": "EU868", "beaconInterval": 0},
      "network": {"public": 1, "eui": "00-11-22-33-44-55-66-77",
                  "key": "000102030405060708090a0b0c0d0e0f"},
      "mqtt": {"enabled": false},
      "web": {"enabled": false}})";
  for (size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at)) {
    text.replace(at, 1, dir);
  }
  Json::Value c = ParseJson(text);
  for (const char* port : {"upstreamPort", "downstreamPort", "appPortUp", "appPortDown", "orbaPort",
                           "commandPort"}) {
    c["udp"][port] = testsupport::FreePort();
  }
  mkdir((dir + "/flash").c_str(), 0777);
  testsupport::WriteFile(dir + "/device_id", "TEST-SERIAL\n");
  Patch(c, ParseJson(patch));
  return c;
}

std::string WriteConfig(const std::string& dir, const Json::Value& config) {
  std::string path = dir + "/vallorin.conf";
  testsupport::WriteFile(path, config.toStyledString());
  return path;
}

Json::Value EffectiveConfig(const std::string& logText) {
  const std::string start = "Network Server Config --------------------- \r\n";
  size_t from = logText.find(start);
  if (from == std::string::npos) return Json::Value();
  from += start.size();
  size_t to = logText.find("-------------------------------------------", from);
  // The closing line is a log line of its own: cut at the start of that line.
  to = logText.rfind('\n', to);
  return ParseJson(logText.substr(from, to - from));
}

void ExpectMembers(const Json::Value& actual, const Json::Value& want) {
  ASSERT_TRUE(actual.isObject()) << actual;
  for (const std::string& name : want.getMemberNames()) {
    if (want[name].isObject())
      ExpectMembers(actual[name], want[name]);
    else
      EXPECT_EQ(actual[name], want[name]) << name << " in " << actual;
  }
}
void ExpectMembers(const Json::Value& actual, const char* want) { ExpectMembers(actual, ParseJson(want)); }

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

ServerProcess::ServerProcess(std::string workDir) : workDir_(std::move(workDir)) {}

// A process still running at the end is killed.
ServerProcess::~ServerProcess() { wait(0); }

void ServerProcess::start(const std::vector<std::string>& args, bool asNobody) {
  std::string outPath = workDir_ + "/stdout.txt";
  std::string errPath = workDir_ + "/stderr.txt";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (chdir(workDir_.c_str()) != 0) _exit(126);
    dup2(open(inputPath_.empty() ? "/dev/null" : inputPath_.c_str(), O_RDONLY), 0);
    dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 1);
    dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666), 2);
    if (asNobody && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    }
    std::vector<char*> argv = {const_cast<char*>(program_.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program_.c_str(), argv.data());
    _exit(127);
  }
}

bool ServerProcess::waitFor(const std::string& text, int timeoutMs, const std::string& file) {
  const std::string path = file.empty() ? workDir_ + "/stdout.txt" : file;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    bool alive = running();
    if (ReadFile(path).find(text) != std::string::npos) return true;
    if (!alive || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ServerProcess::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t done = waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
  }
  return true;
}

int ServerProcess::wait(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (running()) {
    if (Clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int ServerProcess::stop(int signal, int timeoutMs) {
  if (pid_ > 0) kill(pid_, signal);
  return wait(timeoutMs);
}

std::string ServerProcess::out() const { return ReadFile(workDir_ + "/stdout.txt"); }
std::string ServerProcess::err() const { return ReadFile(workDir_ + "/stderr.txt"); }

ExitResult RunBinary(const std::vector<std::string>& args, const std::string& workDir, int timeoutMs,
                     const std::string& program) {
  ServerProcess process(workDir);
  process.setProgram(program);
  process.start(args);
  const int status = process.wait(timeoutMs);
  return {status, process.out(), process.err()};
}

ExitResult StartAndStop(const std::string& dir, const Json::Value& config,
                        std::vector<std::string> options, int signal, bool asNobody) {
  options.insert(options.begin(), {"-c", WriteConfig(dir, config)});
  ServerProcess server(dir);
  server.start(options, asNobody);
  const std::string logPath = config["log"]["path"].asString();
  const bool started = server.waitFor("Start GatewayReceive thread", 10000, logPath);
  const int status = server.stop(signal, 5000);
  ExitResult run{status, server.out() + ReadFile(logPath), server.err()};
  EXPECT_TRUE(started) << run.out << run.err;
  return run;
}

using testsupport::Loopback;

UdpPeer::UdpPeer() {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = Loopback(0);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  const int on = 1;
  setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
}

UdpPeer::~UdpPeer() {
  if (fd_ != -1) close(fd_);
}

void UdpPeer::send(uint16_t port, const std::vector<uint8_t>& datagram) const {
  sockaddr_in to = Loopback(port);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

// What a script of tests/e2e/node printed for the JSON request it was given; ok tells whether it exited with 0.
static std::string RunNode(const char* script, const std::string& requestJson, bool& ok) {
  std::string quoted = "'";
  for (char c : requestJson) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  const std::string command =
      std::string("node " VALLORIN_SOURCE_DIR "/tests/e2e/node/") + script + " " + quoted + " 2>&1";
  std::string out;
  ok = false;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ok = pclose(pipe) == 0;
  }
  return out;
}

static bool HexFrame(const std::string& hex, std::vector<uint8_t>& bytes) {
  bytes.resize(hex.size() / 2);
  return !hex.empty() && hex.size() % 2 == 0 &&
         HexToBytes(hex.c_str(), bytes.data(), bytes.size(), false);
}

std::vector<uint8_t> LoraPacket(const std::string& requestJson) {
  std::vector<std::vector<uint8_t>> frames = LoraPackets(requestJson);
  if (frames.size() == 1) return frames[0];
  ADD_FAILURE() << frames.size() << " frames from lora-packet for " << requestJson;
  return {};
}

std::vector<std::vector<uint8_t>> LoraPackets(const std::string& requestJson) {
  bool ok = false;
  const std::string out = RunNode("frames.js", requestJson, ok);
  std::vector<std::vector<uint8_t>> frames;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    frames.emplace_back();
    if (!ok || !HexFrame(line, frames.back())) {
      ADD_FAILURE() << "lora-packet did not build the frames (run ./test.sh to install it): " << out;
      return {};
    }
  }
  return frames;
}

Json::Value LoraDevice(const std::string& requestJson) {
  bool ok = false;
  const std::string out = RunNode("device.js", requestJson, ok);
  Json::Value value = ok ? ParseJson(out) : Json::Value();
  if (!value.isObject()) {
    ADD_FAILURE() << "lora-packet could not read the downlink: " << out;
    return Json::Value();
  }
  return value;
}

std::vector<uint8_t> JoinRequest(const std::string& nonce, const std::string& devEui,
                                 const std::string& appEui, const std::string& appKey) {
  return LoraPacket(R"({"fields":{"MType":"Join Request","AppEUI":")" + appEui + R"(","DevEUI":")" +
                    devEui + R"(","DevNonce":")" + nonce + R"("},"keys":{"AppKey":")" + appKey +
                    R"("}})");
}

Json::Value ReadJoinAccept(const std::string& acceptHex, const std::string& appKey,
                           const std::string& nonce) {
  return LoraDevice(R"({"mode":"accept","phy":")" + acceptHex + R"(","AppKey":")" + appKey +
                    R"(","DevNonce":")" + nonce + R"("})");
}

bool UdpPeer::receive(std::vector<uint8_t>& datagram, int timeoutMs) const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  datagram.resize(65536);
  iovec io{datagram.data(), datagram.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  msghdr message{};
  message.msg_iov = &io;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n = recvmsg(fd_, &message, 0);
  if (n < 0) return false;
  datagram.resize(static_cast<size_t>(n));
  arrivalRealtimeNs_ = 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    timespec at{};
    std::memcpy(&at, CMSG_DATA(c), sizeof at);
    arrivalRealtimeNs_ = static_cast<int64_t>(at.tv_sec) * 1000000000 + at.tv_nsec;
  }
  return true;
}

}  // namespace e2e
