#include "commands/CommandThread.h"

#include <chrono>
#include <iostream>
#include <memory>
#include <thread>

#include "Exception.h"
#include "StopFlag.h"
#include "commands/CommandParser.h"
#include "gateway/UdpSocket.h"
#include "support/Logger.h"

namespace {

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

CommandThread::CommandThread(const Links& links)
    : links_(links), commands_(links_.commands, reply_) {}

CommandThread::~CommandThread() { Stop(); }

int CommandThread::Start() {
  {
    std::lock_guard<std::mutex> lock(doneMutex_);
    running_ = true;
  }
  slot_.configure(&CommandThread::Entry, ThreadSlot::kServerStack, "commands");
  const int result = slot_.start(this);
  if (result != 0) Finished();
  return result;
}

void CommandThread::Stop() {
  stop_.store(true);
  if (links_.console) return;
  std::unique_lock<std::mutex> lock(doneMutex_);
  doneChanged_.wait_for(lock, std::chrono::seconds(3), [this] { return !running_; });
}

bool CommandThread::Stopping() const { return stop_.load() || StopFlag::IsSet(); }

void CommandThread::Finished() {
  std::lock_guard<std::mutex> lock(doneMutex_);
  running_ = false;
  doneChanged_.notify_all();
}

void* CommandThread::Entry(void* self) {
  auto* thread = static_cast<CommandThread*>(self);
  if (thread->links_.console) {
    thread->RunConsole();
  } else {
    thread->RunUdp();
  }
  thread->Finished();
  return nullptr;
}

void CommandThread::RunLine(const std::string& line, const sockaddr_in* client) {
  MutexLock lock(commandMutex_);
  if (client != nullptr) {
    reply_.BeginUdp(links_.socket, *client);
  } else {
    reply_.BeginConsole();
  }
  // The channel is reset however the command ends.
  struct EndReply {
    ReplyChannel& reply;
    ~EndReply() { reply.End(); }
  } end{reply_};
  CommandParser parser(commands_);
  parser.parse(line);
}

std::string CommandThread::RunCaptured(std::deque<std::string> words) {
  std::string out;
  MutexLock lock(commandMutex_);
  reply_.BeginCapture(&out);
  struct EndReply {
    ReplyChannel& reply;
    ~EndReply() { reply.End(); }
  } end{reply_};
  CommandParser parser(commands_);
  try {
    parser.run(std::move(words));
  } catch (const CommandParser::SyntaxError&) {
    // Already answered with the syntax-error text.
  } catch (const CommandParser::QuitCommand&) {
  }
  return out;
}

void CommandThread::RunConsole() {
  std::string line;
  while (!Stopping()) {
    if (!std::getline(std::cin, line)) break;  // end of input ends the console as quit does
    try {
      RunLine(line, nullptr);
    } catch (const CommandParser::SyntaxError&) {
      LOG_ERROR("Console command syntax error");
    } catch (const CommandParser::QuitCommand&) {
      break;
    } catch (const Exception& e) {
      const std::string text = "Console exception : " + e.describe();
      e.log("Console exception : ");
      fprintf(stderr, "%s\n", text.c_str());
      Pause(kPauseAfterExceptionMs);
    } catch (const std::exception& e) {
      LOG_ERROR("Console exception : %s", e.what());
      Pause(kPauseAfterExceptionMs);
    } catch (...) {
      LOG_ERROR("Console exception : unknown");
      Pause(kPauseAfterExceptionMs);
    }
  }
  LOG_INFO("Console command input closed");
}

void CommandThread::RunUdp() {
  UdpSocket& socket = *links_.socket;
  while (!Stopping() && !socket.open(links_.port, false)) {
    LOG_ERROR("UDP command port failed to open [%s], retrying...", socket.errorText().c_str());
    // A failed bind keeps its descriptor for the error text; let it go before the next try.
    socket.close();
    Pause(kPauseAfterExceptionMs);
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kDatagramBuffer]);
  while (!Stopping()) {
    sockaddr_in client{};
    const ssize_t received = socket.receive(client, buffer.get(), kDatagramBuffer);
    // Time-outs, errors and empty datagrams: nothing to answer, keep listening.
    if (received < 1) continue;
    LOG_TRACE("Parse message %d bytes", static_cast<int>(received));
    // Exactly the bytes received: a datagram filling the buffer has no terminating zero.
    const std::string line(reinterpret_cast<const char*>(buffer.get()),
                           static_cast<size_t>(received));
    try {
      RunLine(line, &client);
    } catch (const CommandParser::SyntaxError&) {
      LOG_ERROR("UDP command syntax error flushing buffer");
    } catch (const CommandParser::QuitCommand&) {
      break;
    } catch (const Exception& e) {
      const std::string text = "Remote CLI exception : " + e.describe();
      e.log("Remote CLI exception : ");
      socket.send(client, reinterpret_cast<const uint8_t*>(text.data()), text.size());
      Pause(kPauseAfterExceptionMs);
    } catch (const std::exception& e) {
      LOG_ERROR("Remote CLI exception : %s", e.what());
      Pause(kPauseAfterExceptionMs);
    } catch (...) {
      LOG_ERROR("Remote CLI exception : unknown");
      Pause(kPauseAfterExceptionMs);
    }
  }
  // Nobody answers after quit; a closed port says so at once.
  socket.close();
}
