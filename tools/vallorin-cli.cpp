// vallorin-cli: the operator's client for the server's UDP command port on the loopback interface.
//
//   vallorin-cli [-p PORT] [-t MS] COMMAND WORDS...   one command, its reply on standard output
//   vallorin-cli [-p PORT] [-t MS]                    one command per input line (with line
//                                                     editing and history on a terminal)
//
// A reply may come in several datagrams (long lists, the configuration); they are joined until
// the port stays quiet. The exit status is 0 for an answer, 1 when none came within the time-out,
// 2 for a failure answer (a fail status, a syntax error, a database failure) and 64 for bad usage.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#ifdef VALLORIN_CLI_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace {

constexpr int kQuietMs = 250;  // after this long without a piece the reply is complete
constexpr size_t kMaxDatagram = 65536;

enum Status { kAnswered = 0, kNoAnswer = 1, kFailed = 2, kUsage = 64 };

struct Options {
  uint16_t port = 6677;
  int timeoutMs = 3000;
  std::vector<std::string> words;
};

void PrintUsage() {
  fprintf(stderr,
          "usage: vallorin-cli [-p PORT] [-t TIMEOUT-MS] [COMMAND ...]\n"
          "  without a command, each line of standard input is sent as one command\n");
}

bool ReadNumber(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  out = strtol(text, &end, 10);
  return end != text && *end == '\0' && out >= low && out <= high;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    long value = 0;
    if ((arg == "-p" || arg == "--port") && i + 1 < argc) {
      if (!ReadNumber(argv[++i], 1, 65535, value)) return false;
      options.port = static_cast<uint16_t>(value);
    } else if ((arg == "-t" || arg == "--timeout") && i + 1 < argc) {
      if (!ReadNumber(argv[++i], 1, 600000, value)) return false;
      options.timeoutMs = static_cast<int>(value);
    } else if (arg == "-h" || arg == "--help") {
      return false;
    } else {
      // Everything from the first word on is the command, dashes and all.
      for (; i < argc; ++i) options.words.push_back(argv[i]);
    }
  }
  return true;
}

class CommandPort {
 public:
  explicit CommandPort(uint16_t port) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    server_.sin_family = AF_INET;
    server_.sin_port = htons(port);
    server_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  }
  ~CommandPort() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }

  bool Send(const std::string& command) {
    return sendto(fd_, command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&server_),
                  sizeof server_) == static_cast<ssize_t>(command.size());
  }

  // The first piece within timeoutMs, then every piece until the port is quiet.
  bool Receive(int timeoutMs, std::string& reply) {
    reply.clear();
    std::vector<char> buffer(kMaxDatagram);
    int wait = timeoutMs;
    bool any = false;
    while (true) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, wait) <= 0) break;
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), 0,
                                 reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      // Only the server's own port answers.
      if (from.sin_port != server_.sin_port) continue;
      reply.append(buffer.data(), static_cast<size_t>(n));
      any = true;
      wait = kQuietMs;
    }
    return any;
  }

 private:
  int fd_ = -1;
  sockaddr_in server_{};
};

bool IsFailure(const std::string& reply) {
  return reply.find("\"status\":\"fail\"") != std::string::npos ||
         reply.compare(0, 23, "Syntax error in command") == 0 ||
         reply.compare(0, 29, "Unable to access to database ") == 0 ||
         reply.compare(0, 27, "Unable to open include file") == 0 ||
         reply.compare(0, 23, "Remote CLI exception : ") == 0;
}

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

Status RunCommand(CommandPort& port, const std::string& command, int timeoutMs) {
  const std::string trimmed = Trim(command);
  if (trimmed.empty()) return kAnswered;
  if (!port.Send(trimmed)) {
    perror("vallorin-cli: send");
    return kNoAnswer;
  }
  // "quit" ends the server's command port: nothing answers it.
  if (trimmed == "quit") return kAnswered;
  std::string reply;
  if (!port.Receive(timeoutMs, reply)) {
    fprintf(stderr, "vallorin-cli: no answer within %d ms\n", timeoutMs);
    return kNoAnswer;
  }
  fwrite(reply.data(), 1, reply.size(), stdout);
  if (reply.empty() || reply.back() != '\n') fputc('\n', stdout);
  fflush(stdout);
  return IsFailure(reply) ? kFailed : kAnswered;
}

bool NextLine(bool terminal, std::string& line) {
#ifdef VALLORIN_CLI_READLINE
  if (terminal) {
    char* text = readline("vallorin> ");
    if (text == nullptr) return false;
    line = text;
    if (!Trim(line).empty()) add_history(text);
    free(text);
    return true;
  }
#else
  if (terminal) {
    fputs("vallorin> ", stdout);
    fflush(stdout);
  }
#endif
  return static_cast<bool>(std::getline(std::cin, line));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    PrintUsage();
    return kUsage;
  }
  CommandPort port(options.port);
  if (!port.ok()) {
    perror("vallorin-cli: socket");
    return kNoAnswer;
  }
  if (!options.words.empty()) {
    std::string command;
    for (const std::string& word : options.words) command += (command.empty() ? "" : " ") + word;
    return RunCommand(port, command, options.timeoutMs);
  }
  // A session: the worst status of its commands, so a script of commands fails as a whole.
  const bool terminal = isatty(STDIN_FILENO) != 0;
  int worst = kAnswered;
  std::string line;
  while (NextLine(terminal, line)) {
    const Status status = RunCommand(port, line, options.timeoutMs);
    if (status != kAnswered && worst == kAnswered) worst = status;
    if (Trim(line) == "quit") break;
  }
  return worst;
}
