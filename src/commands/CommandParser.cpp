#include "commands/CommandParser.h"

#include <cctype>
#include <fstream>

#include "Database/SqlDb.h"
#include "commands/CommandSet.h"
#include "support/Logger.h"
#include "support/Text.h"

CommandParser::SyntaxError::SyntaxError(const CommandParser& parser)
    : word_(parser.wordsTaken()), includeFile_(parser.includeFile_), line_(parser.lineNumber_) {}

std::deque<std::string> CommandParser::Tokenize(const std::string& line) {
  std::deque<std::string> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && isspace(static_cast<unsigned char>(line[i]))) ++i;
    size_t start = i;
    while (i < line.size() && !isspace(static_cast<unsigned char>(line[i]))) ++i;
    if (i == start) break;
    if (line[start] == '#') break;  // a comment runs to the end of the line
    words.emplace_back(line, start, i - start);
  }
  return words;
}

std::string CommandParser::nextWord() {
  if (words_.empty()) return "";
  std::string word = std::move(words_.front());
  words_.pop_front();
  return word;
}

std::string CommandParser::restOfLine() {
  std::string text;
  while (!words_.empty()) {
    if (!text.empty()) text += ' ';
    text += nextWord();
  }
  return text;
}

template <typename Body>
void CommandParser::guarded(const std::string& command, Body body) {
  ReplyChannel& reply = commands_.reply();
  try {
    body();
  } catch (const SqlDb::Exception& e) {
    reply.SendText("Unable to access to database - any requested change may not have occurred " +
                   e.message() + "\n");
  } catch (const SyntaxError& e) {
    // The command is the operator's own line; lines read from an include file are never echoed.
    std::string text = "Syntax error in command \"" + command + "\"\n";
    if (!e.includeFile().empty()) {
      text += "File :" + e.includeFile() + " Line :" + std::to_string(e.line()) + "\n";
    }
    text += "Word " + std::to_string(e.word()) + "\n";
    reply.SendText(text);
    throw;
  }
}

void CommandParser::parse(const std::string& line) {
  const std::string command = ZEV::Text::trim(line);
  if (command.empty()) return;
  guarded(command, [&] { execute(command); });
}

void CommandParser::run(std::deque<std::string> words) {
  if (words.empty()) return;
  std::string command;
  for (const std::string& word : words) command += (command.empty() ? "" : " ") + word;
  guarded(command, [&] {
    words_ = std::move(words);
    wordCount_ = static_cast<uint16_t>(words_.size() > 0xFFFF ? 0xFFFF : words_.size());
    dispatch(nextWord());
  });
}

void CommandParser::execute(const std::string& line) {
  words_ = Tokenize(line);
  wordCount_ = static_cast<uint16_t>(words_.size() > 0xFFFF ? 0xFFFF : words_.size());
  if (words_.empty()) return;
  const std::string first = nextWord();
  LOG_TRACE("command: '%s' %d", first.c_str(), static_cast<int>(first.size()));
  dispatch(first);
}

void CommandParser::dispatch(const std::string& first) {
  CommandSet& c = commands_;
  if (first == "stats") return c.Stats(*this);
  if (first == "node" || first == "nodes" || first == "device" || first == "devices") {
    return c.Device(*this);
  }
  if (first == "join") return c.Join(*this);
  if (first == "packet" || first == "packets") return c.Packet(*this);
  if (first == "session" || first == "sessions") return c.Session(*this);
  if (first == "gateway" || first == "gateways") return c.Gateway(*this);
  if (first == "database") return c.Database(*this);
  if (first == "config") return c.Config(*this);
  if (first == "include") return c.Include(*this);
  if (first == "debug" || first == "print") return c.Debug(*this);
  if (first == "log") return c.Log(*this);
  if (first == "ping") return c.Ping(*this);
  if (first == "help") return c.Help(*this);
  if (first == "quit") throw QuitCommand();
  syntaxError();
}

void CommandParser::include(const std::string& path, const std::string& shownPath) {
  ReplyChannel& reply = commands_.reply();
  std::ifstream in;
  if (includeDepth_ < kMaxIncludeDepth) in.open(path);
  if (!in.is_open()) {
    reply.SendText("Unable to open include file \"" + shownPath + "\"\n");
    return;
  }
  // An include inside an include names its own file; the outer one resumes afterwards.
  const std::string outerFile = includeFile_;
  const int outerLine = lineNumber_;
  includeFile_ = shownPath;
  lineNumber_ = 1;
  ++includeDepth_;
  struct Restore {
    CommandParser& parser;
    std::string file;
    int line;
    ~Restore() {
      parser.includeFile_ = file;
      parser.lineNumber_ = line;
      --parser.includeDepth_;
    }
  } restore{*this, outerFile, outerLine};

  std::string line;
  while (std::getline(in, line)) {
    execute(line);
    ++lineNumber_;
  }
  reply.SendOk();
}
