// Where the answer to the command being executed goes: standard output for the console, or the
// datagram's sender for the UDP command port. One object for the command thread, used only while
// the command mutex is held (the flags and the client address are only valid then).
#pragma once

#include <json/json.h>
#include <netinet/in.h>

#include <cstddef>
#include <functional>
#include <string>

class UdpSocket;

class ReplyChannel {
 public:
  // Receives every piece written to the console; standard output when left empty (tests and the
  // fuzzer capture the text here).
  using ConsoleWriter = std::function<void(const char* data, size_t length)>;

  // Pieces of a long text ("config") and of any reply too long for one datagram.
  static constexpr size_t kPieceSize = 1024;
  // A reply up to this size leaves as a single datagram.
  static constexpr size_t kMaxDatagram = 8192;

  explicit ReplyChannel(ConsoleWriter console = {});

  // One command from the console, or one datagram from `client` through `socket`.
  void BeginConsole();
  void BeginUdp(UdpSocket* socket, const sockaddr_in& client);
  // One command from the web console: the whole reply is collected in `out`.
  void BeginCapture(std::string* out);
  void End();
  bool interactive() const { return interactive_; }
  bool toUdp() const { return toUdp_; }

  void SendText(const std::string& text);
  // Compact, on one line, ending with a newline.
  void SendJson(const Json::Value& reply);
  void SendOk();
  // Pieces of at most kPieceSize bytes with a 1 ms pause after each.
  void SendLongText(const std::string& text);

  // {"status":"success"} and {"status":"fail","message":...}.
  void SendSuccess();
  void SendFail(const std::string& message);

  // The compact one-line form SendJson writes (with its newline).
  static std::string CompactJson(const Json::Value& value);

 private:
  void Write(const char* data, size_t length);

  ConsoleWriter console_;
  bool interactive_ = false;
  bool toUdp_ = false;
  UdpSocket* socket_ = nullptr;
  sockaddr_in client_{};
  std::string* capture_ = nullptr;
};
