#include "commands/CommandReply.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "gateway/UdpSocket.h"

ReplyChannel::ReplyChannel(ConsoleWriter console) : console_(std::move(console)) {
  if (!console_) {
    console_ = [](const char* data, size_t length) {
      fwrite(data, 1, length, stdout);
      fflush(stdout);
    };
  }
}

void ReplyChannel::BeginConsole() {
  interactive_ = true;
  toUdp_ = false;
  socket_ = nullptr;
}

void ReplyChannel::BeginUdp(UdpSocket* socket, const sockaddr_in& client) {
  interactive_ = true;
  toUdp_ = socket != nullptr;
  socket_ = socket;
  client_ = client;
}

void ReplyChannel::BeginCapture(std::string* out) {
  interactive_ = true;
  toUdp_ = false;
  socket_ = nullptr;
  capture_ = out;
}

void ReplyChannel::End() {
  interactive_ = false;
  toUdp_ = false;
  socket_ = nullptr;
  capture_ = nullptr;
}

void ReplyChannel::Write(const char* data, size_t length) {
  if (capture_ != nullptr) {
    capture_->append(data, length);
    return;
  }
  if (!toUdp_) {
    console_(data, length);
    return;
  }
  // A failed send is not retried: the operator's client times out and asks again.
  socket_->send(client_, reinterpret_cast<const uint8_t*>(data), length);
}

void ReplyChannel::SendText(const std::string& text) {
  if (text.empty()) return;
  // Lists of thousands of devices do not fit a datagram; the client joins the pieces.
  if (toUdp_ && text.size() > kMaxDatagram) {
    SendLongText(text);
    return;
  }
  Write(text.data(), text.size());
}

void ReplyChannel::SendLongText(const std::string& text) {
  if (capture_ != nullptr) return Write(text.data(), text.size());
  for (size_t offset = 0; offset < text.size(); offset += kPieceSize) {
    Write(text.data() + offset, std::min(kPieceSize, text.size() - offset));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string ReplyChannel::CompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["emitUTF8"] = true;
  return Json::writeString(builder, value) + "\n";
}

void ReplyChannel::SendJson(const Json::Value& reply) { SendText(CompactJson(reply)); }

void ReplyChannel::SendOk() { SendText("OK\r\n"); }

void ReplyChannel::SendSuccess() {
  Json::Value reply(Json::objectValue);
  reply["status"] = "success";
  SendJson(reply);
}

void ReplyChannel::SendFail(const std::string& message) {
  Json::Value reply(Json::objectValue);
  reply["status"] = "fail";
  reply["message"] = message;
  SendJson(reply);
}
