// End-to-end harness: runs the real vallorin binary in a temporary folder with a configuration of
// its own (free loopback ports, every gateway path inside the folder) and talks to it over loopback
// UDP as a packet forwarder would. Every wait is bounded.
#pragma once

#include <json/json.h>
#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace e2e {

struct ExitResult {
  int status = -1;  // exit status; -1 when the process had to be killed
  std::string out;
  std::string err;
};

// A complete working configuration (EU868, console off, log file) rooted in `dir`, with the patch
// laid over it: objects are merged member by member, a null removes the member, anything else
// replaces it.
Json::Value BaseConfig(const std::string& dir, const char* patch = "{}");
// Writes the document as `dir/vallorin.conf` and returns the path.
std::string WriteConfig(const std::string& dir, const Json::Value& config);

using testsupport::ParseJson;

// The effective configuration the server logged at start-up (null when not found).
Json::Value EffectiveConfig(const std::string& logText);

// Every member of `want` against the same member of `actual`; objects are compared member by
// member, so members left out are not checked. The text form is parsed first.
void ExpectMembers(const Json::Value& actual, const Json::Value& want);
void ExpectMembers(const Json::Value& actual, const char* want);

void Pause(int ms);

class ServerProcess {
 public:
  // The process runs with `workDir` as its current folder; its standard output and error go to
  // files there.
  explicit ServerProcess(std::string workDir);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the binary with the arguments; asNobody drops root privileges in the child first.
  void start(const std::vector<std::string>& args, bool asNobody = false);
  // The program the next start() runs (the server unless told otherwise).
  void setProgram(const std::string& path) { program_ = path; }
  // Standard input of the next start() comes from this file (/dev/null when empty).
  void setInput(const std::string& path) { inputPath_ = path; }
  // Waits until `file` (standard output when empty) contains the text; gives up early when the
  // process has ended without writing it.
  bool waitFor(const std::string& text, int timeoutMs, const std::string& file = "");
  // Sends the signal and waits for the exit; returns the exit status (-1: killed after timeout).
  int stop(int signal = 15, int timeoutMs = 5000);
  // Waits for the process to end by itself.
  int wait(int timeoutMs);
  bool running();
  pid_t pid() const { return pid_; }

  std::string out() const;
  std::string err() const;

 private:
  std::string workDir_;
  std::string inputPath_;
  std::string program_ = VALLORIN_BINARY;
  pid_t pid_ = -1;
  int status_ = -1;
};

// Runs the program (the server unless told otherwise) to its end (killed after the timeout).
ExitResult RunBinary(const std::vector<std::string>& args, const std::string& workDir,
                     int timeoutMs = 10000, const std::string& program = VALLORIN_BINARY);

// Starts the server on the configuration (written into `dir`) and the options, waits for the end
// of start-up (a test failure when it does not come) and stops it with the signal. `out` holds
// standard output (the lines from before the logger is set up), then the log.
ExitResult StartAndStop(const std::string& dir, const Json::Value& config,
                        std::vector<std::string> options = {}, int signal = 15,
                        bool asNobody = false);

// A PHYPayload built by the independent LoRaWAN implementation (tests/e2e/node/frames.js, npm
// package lora-packet) from a JSON request with "fields" and optional "keys". Empty, with a test
// failure, when node or the package is missing (./test.sh installs both).
std::vector<uint8_t> LoraPacket(const std::string& requestJson);
// Many frames in one run: the description has "count" n and the FCnt goes up by one from the given one.
std::vector<std::vector<uint8_t>> LoraPackets(const std::string& requestJson);

// The device's reading of a downlink by lora-packet (tests/e2e/node/device.js): the JSON object
// it prints for the request ("mode" "accept" or "down"); null, with a test failure, on any fault.
Json::Value LoraDevice(const std::string& requestJson);

// A join request built by lora-packet; EUIs and nonce as hex, most significant byte first. The
// defaults are a device the network key of BaseConfig admits.
std::vector<uint8_t> JoinRequest(const std::string& nonce,
                                 const std::string& devEui = "0080000000000001",
                                 const std::string& appEui = "0011223344556677",
                                 const std::string& appKey = "000102030405060708090a0b0c0d0e0f");
// lora-packet's reading of a join accept (hex) as the device that sent the nonce reads it.
Json::Value ReadJoinAccept(const std::string& acceptHex, const std::string& appKey,
                           const std::string& nonce);

// A packet forwarder's socket on 127.0.0.1.
class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  void send(uint16_t port, const std::vector<uint8_t>& datagram) const;
  // Next datagram within the timeout; false when none arrived.
  bool receive(std::vector<uint8_t>& datagram, int timeoutMs) const;
  // When the kernel took in the datagram receive() returned last (CLOCK_REALTIME, ns): unlike a
  // clock read after receive(), it does not move when the test itself is slow to run.
  int64_t arrivalRealtimeNs() const { return arrivalRealtimeNs_; }
  uint16_t port() const { return port_; }

 private:
  mutable int64_t arrivalRealtimeNs_ = 0;
  int fd_ = -1;
  uint16_t port_ = 0;
};

}  // namespace e2e
