// The command thread: reads operator commands from the console (standard input) when the
// configuration's "log"."console" is true, otherwise from the UDP command port on the loopback
// interface, and runs each under the command mutex. "quit", end of input on the console or
// Stop() ends it; the rest of the server keeps running.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "ThreadSlot.h"
#include "commands/CommandReply.h"
#include "commands/CommandSet.h"
#include "support/Mutex.h"

class UdpSocket;

class CommandThread {
 public:
  struct Links {
    CommandLinks commands;
    UdpSocket* socket = nullptr;  // the command port; reopened by the thread
    bool console = false;         // "log"."console"
    uint16_t port = 6677;         // "udp"."commandPort"
  };

  static constexpr size_t kDatagramBuffer = 2000;
  static constexpr int kPauseAfterExceptionMs = 1000;

  explicit CommandThread(const Links& links);
  ~CommandThread();
  CommandThread(const CommandThread&) = delete;
  CommandThread& operator=(const CommandThread&) = delete;

  // Creates the detached thread; the result of pthread_create.
  int Start();
  // Asks the loop to end and waits (bounded) for the UDP loop; a console read already waiting
  // for input ends with the process.
  void Stop();

  // One line as a transport runs it, under the command mutex. Tests and the fuzzer call it
  // directly; UDP replies go to `client` when a socket is given.
  void RunLine(const std::string& line, const sockaddr_in* client);
  // One command as the web console runs it: the words as given, under the command mutex, the
  // reply returned instead of sent. "quit" is refused here: it would end the operator's transport.
  std::string RunCaptured(std::deque<std::string> words);

 private:
  static void* Entry(void* self);
  void RunConsole();
  void RunUdp();
  bool Stopping() const;
  void Finished();

  const Links links_;
  ThreadSlot slot_;
  std::atomic<bool> stop_{false};

  Mutex commandMutex_;  // one command at a time; guards the reply channel
  ReplyChannel reply_;  // used only with commandMutex_ held
  CommandSet commands_;

  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool running_ = false;  // guarded by doneMutex_
};
