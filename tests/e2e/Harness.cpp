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
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "lora/Bytes.h"

namespace e2e {
namespace {

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

using Clock = std::chrono::steady_clock;

}  // namespace

uint16_t FreeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

Json::Value BaseConfig(const std::string& dir) {
  Json::Value c(Json::objectValue);
  c["db"] = dir + "/flash/vallorin.db";
  c["paths"]["runDir"] = dir + "/run";
  c["paths"]["deviceIdFile"] = dir + "/device_id";
  c["paths"]["templateDir"] = dir + "/templates/";
  c["paths"]["templateFallbackDir"] = dir + "/opt/";
  c["paths"]["restartCommand"] = "touch " + dir + "/restart-requested &";
  c["paths"]["whitelistFile"] = dir + "/whitelist.jsonlines";
  c["log"]["level"] = 60;
  c["log"]["console"] = false;
  c["log"]["path"] = dir + "/vallorin.log";
  c["lora"]["frequencyBand"] = "EU868";
  c["lora"]["beaconInterval"] = 0;
  c["network"]["public"] = 1;
  c["network"]["eui"] = "00-11-22-33-44-55-66-77";
  c["network"]["key"] = "000102030405060708090a0b0c0d0e0f";
  c["udp"]["upstreamPort"] = FreeUdpPort();
  c["udp"]["downstreamPort"] = FreeUdpPort();
  c["udp"]["appPortUp"] = FreeUdpPort();
  c["udp"]["appPortDown"] = FreeUdpPort();
  c["udp"]["orbaPort"] = FreeUdpPort();
  c["mqtt"]["enabled"] = false;
  mkdir((dir + "/flash").c_str(), 0777);
  std::ofstream(dir + "/device_id") << "TEST-SERIAL\n";
  return c;
}

std::string WriteConfig(const std::string& dir, const Json::Value& config, const std::string& name) {
  std::string path = dir + "/" + name;
  std::ofstream(path) << config.toStyledString();
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
  Json::Value parsed;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(logText.substr(from, to - from));
  if (!Json::parseFromStream(builder, in, &parsed, &errors)) return Json::Value();
  return parsed;
}

ServerProcess::ServerProcess(std::string workDir) : workDir_(std::move(workDir)) {}

ServerProcess::~ServerProcess() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void ServerProcess::start(const std::vector<std::string>& args, bool asNobody) {
  std::string outPath = workDir_ + "/stdout.txt";
  std::string errPath = workDir_ + "/stderr.txt";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (chdir(workDir_.c_str()) != 0) _exit(126);
    int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int in = open("/dev/null", O_RDONLY);
    dup2(out, 1);
    dup2(err, 2);
    dup2(in, 0);
    if (asNobody && geteuid() == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
    }
    std::vector<char*> argv;
    std::string binary = VALLORIN_BINARY;
    argv.push_back(binary.data());
    std::vector<std::string> copies(args);
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
}

bool ServerProcess::waitFor(const std::string& text, int timeoutMs, const std::string& file) {
  const std::string path = file.empty() ? workDir_ + "/stdout.txt" : file;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    bool alive = running();
    if (Slurp(path).find(text) != std::string::npos) return true;
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

std::string ServerProcess::out() const { return Slurp(workDir_ + "/stdout.txt"); }
std::string ServerProcess::err() const { return Slurp(workDir_ + "/stderr.txt"); }

ExitResult RunBinary(const std::vector<std::string>& args, const std::string& workDir, int timeoutMs) {
  ServerProcess process(workDir);
  process.start(args);
  ExitResult result;
  result.status = process.wait(timeoutMs);
  result.out = process.out();
  result.err = process.err();
  return result;
}

UdpPeer::UdpPeer() {
  fd_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("bind failed");
  }
  socklen_t length = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

UdpPeer::~UdpPeer() {
  if (fd_ != -1) close(fd_);
}

void UdpPeer::send(uint16_t port, const std::vector<uint8_t>& datagram) const {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void UdpPeer::send(uint16_t port, const std::string& datagram) const {
  send(port, std::vector<uint8_t>(datagram.begin(), datagram.end()));
}

std::vector<uint8_t> LoraPacket(const std::string& specJson) {
  std::string quoted = "'";
  for (char c : specJson) quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
  quoted += "'";
  std::string command = "node " VALLORIN_SOURCE_DIR "/tests/e2e/node/frames.js " + quoted + " 2>&1";
  std::string out;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[512];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    if (pclose(pipe) != 0) out.insert(0, "failed: ");
  }
  std::vector<uint8_t> bytes(out.size() / 2);
  if (out.empty() || out.size() % 2 != 0 || !HexToBytes(out.c_str(), bytes.data(), bytes.size(), false)) {
    ADD_FAILURE() << "lora-packet did not build the frame (run ./test.sh to install it): " << out;
    return {};
  }
  return bytes;
}

bool UdpPeer::receive(std::vector<uint8_t>& datagram, int timeoutMs) const {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) <= 0) return false;
  datagram.resize(65536);
  ssize_t n = recv(fd_, datagram.data(), datagram.size(), 0);
  if (n < 0) return false;
  datagram.resize(static_cast<size_t>(n));
  return true;
}

}  // namespace e2e
