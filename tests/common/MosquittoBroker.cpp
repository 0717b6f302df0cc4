#include "MosquittoBroker.h"
#include "Loopback.h"
#include "TestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace testsupport {

namespace {

bool Accepts(uint16_t port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port);
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(s);
  return ok;
}

}  // namespace

MosquittoBroker::MosquittoBroker(const std::string& extraConfig, const std::string& globalConfig)
    : globalConfig_(globalConfig), port_(FreePort()) {
  WriteConfig(extraConfig);
  Start();
}

void MosquittoBroker::WriteConfig(const std::string& extraConfig) {
  WriteFile(dir_.file("mosquitto.conf"),
            globalConfig_ + "\nlistener " + std::to_string(port_) +
                " 127.0.0.1\n"
                "allow_anonymous true\n"
                // Started as root the broker would switch to its own user, who cannot write here.
                "user root\n"
                // A probe away during a restart must find every message waiting for it.
                "max_queued_messages 0\n"
                "persistence true\n"
                "persistence_location " +
                dir_.path() +
                "/\n"
                "log_dest file " +
                dir_.file("mosquitto.log") + "\n" + extraConfig + "\n");
}

bool MosquittoBroker::Reconfigure(const std::string& extraConfig) {
  Stop();
  WriteConfig(extraConfig);
  return Start();
}

MosquittoBroker::~MosquittoBroker() {
  Stop();
  if (holder_ >= 0) close(holder_);
}

bool MosquittoBroker::Start() {
  if (pid_ > 0) return true;
  if (holder_ >= 0) close(holder_);
  holder_ = -1;
  const std::string config = dir_.file("mosquitto.conf");
  pid_ = fork();
  if (pid_ == 0) {
    // The broker's own start-up lines would only clutter the test output.
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
    }
    execl("/usr/sbin/mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    execlp("mosquitto", "mosquitto", "-c", config.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (Accepts(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void MosquittoBroker::Stop() { End(SIGTERM); }
void MosquittoBroker::Kill() { End(SIGKILL); }
std::string MosquittoBroker::log() const { return ReadFile(dir_.file("mosquitto.log")); }

void MosquittoBroker::End(int signal) {
  if (pid_ <= 0) return;
  kill(pid_, signal);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  // Tests run side by side: while the broker is away its port stays taken (bound, not listening,
  // so clients are refused), or another test's broker could start on it and answer for this one.
  holder_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(port_);
  if (bind(holder_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(holder_);
    holder_ = -1;
  }
}

MqttProbe::MqttProbe(uint16_t port, const std::string& subscription, const std::string& clientId)
    : mosqpp::mosquittopp(clientId.c_str(), false), subscription_(subscription) {
  mosqpp::lib_init();
  reconnect_delay_set(1, 1, false);
  connect_async("127.0.0.1", port, 60);
  loop_start();
}

MqttProbe::~MqttProbe() {
  // Disconnecting ends the loop thread by itself; cancelling it could leave one of the library's
  // mutexes locked as it is destroyed.
  disconnect();
  loop_stop(false);
  mosqpp::lib_cleanup();
}

void MqttProbe::on_connect(int rc) {
  if (rc == 0) subscribe(nullptr, subscription_.c_str(), 1);
}

void MqttProbe::on_subscribe(int, int, const int*) {
  std::lock_guard<std::mutex> lock(mutex_);
  subscribed_ = true;
  changed_.notify_all();
}

void MqttProbe::on_message(const struct mosquitto_message* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string payload;
  if (message->payload != nullptr && message->payloadlen > 0) {
    payload.assign(static_cast<const char*>(message->payload),
                   static_cast<size_t>(message->payloadlen));
  }
  messages_.push_back({message->topic, payload});
  changed_.notify_all();
}

bool MqttProbe::WaitSubscribed(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return subscribed_; });
}

std::vector<MqttProbe::Message> MqttProbe::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<MqttProbe::Message> MqttProbe::ending(const std::string& suffix) const {
  std::vector<Message> out;
  for (const Message& m : messages()) {
    if (m.topic.size() >= suffix.size() &&
        m.topic.compare(m.topic.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(m);
    }
  }
  return out;
}

bool MqttProbe::WaitForEnding(const std::string& suffix, size_t count, int timeoutMs) const {
  for (int i = 0; i < timeoutMs / 20 && ending(suffix).size() < count; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return ending(suffix).size() >= count;
}

bool MqttProbe::Publish(const std::string& topic, const std::string& payload) {
  return publish(nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                 false) == MOSQ_ERR_SUCCESS;
}

}  // namespace testsupport
