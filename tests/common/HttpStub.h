// A one-thread HTTP server on 127.0.0.1 for the join-server tests: it takes one request at a
// time, keeps what arrived (headers and body) and answers with the status and body the test set.
// Every wait is bounded; the destructor stops it.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Loopback.h"

namespace testsupport {

class HttpStub {
 public:
  struct Exchange {
    std::string head;  // request line and headers
    std::string body;
  };

  HttpStub() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = testsupport::Loopback();
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(fd_, 4);
    thread_ = std::thread([this] { Serve(); });
  }
  ~HttpStub() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }

  // What the next requests get; `during` runs before the answer (a test moves its clock there).
  void Answer(int status, std::string body, std::function<void()> during = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    during_ = std::move(during);
  }
  std::vector<Exchange> exchanges() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return exchanges_;
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/join"; }

 private:
  void Serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const int client = accept(fd_, nullptr, nullptr);
      if (client < 0) continue;
      Exchange exchange;
      std::string data;
      char buffer[4096];
      size_t expected = std::string::npos;
      for (int rounds = 0; rounds < 100; ++rounds) {
        pollfd c{client, POLLIN, 0};
        if (poll(&c, 1, 50) <= 0) continue;
        const ssize_t n = recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
        const size_t end = data.find("\r\n\r\n");
        if (end != std::string::npos && expected == std::string::npos) {
          exchange.head = data.substr(0, end);
          const size_t at = exchange.head.find("Content-Length: ");
          expected = end + 4 + (at == std::string::npos ? 0 : std::stoul(exchange.head.substr(at + 16)));
        }
        if (expected != std::string::npos && data.size() >= expected) break;
      }
      if (expected != std::string::npos) exchange.body = data.substr(exchange.head.size() + 4);
      std::function<void()> during;
      std::string reply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        exchanges_.push_back(exchange);
        during = during_;
        reply = "HTTP/1.1 " + std::to_string(status_) + " X\r\nContent-Length: " +
                std::to_string(body_.size()) + "\r\nConnection: close\r\n\r\n" + body_;
      }
      if (during) during();
      send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(client);
    }
  }

  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  int status_ = 200;
  std::string body_ = "{}";
  std::function<void()> during_;
  std::vector<Exchange> exchanges_;
  std::thread thread_;
};

}  // namespace testsupport
