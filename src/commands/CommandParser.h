// One operator command line: split into words, comments dropped, dispatched on the first word to
// the command set. A fresh parser serves each console line or datagram; an include file runs its
// lines through the same parser, which then knows the file and line for error replies.
//
// parse() answers database failures and syntax errors itself (the error replies) and then lets a
// syntax error go on to the transport, which logs it; QuitCommand ends the transport.
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <string>

class CommandSet;

class CommandParser {
 public:
  // An unknown word. Carries what the error reply names: the word's position (counted from 1)
  // and, inside an include file, that file and line.
  class SyntaxError : public std::exception {
   public:
    explicit SyntaxError(const CommandParser& parser);
    const char* what() const noexcept override { return "syntax error"; }
    size_t word() const { return word_; }
    const std::string& includeFile() const { return includeFile_; }
    int line() const { return line_; }

   private:
    size_t word_;
    std::string includeFile_;
    int line_;
  };
  class QuitCommand : public std::exception {
   public:
    const char* what() const noexcept override { return "quit"; }
  };

  // Includes inside includes stop here, so a file that includes itself cannot exhaust the stack.
  static constexpr int kMaxIncludeDepth = 8;

  explicit CommandParser(CommandSet& commands) : commands_(commands) {}

  // Tokenizes and dispatches one line. A line of white space does nothing.
  void parse(const std::string& line);
  // Dispatches words that are already split (the web console's requests): no tokenizing, so a
  // JSON argument given as one word keeps its blanks and "#" characters. Same replies as parse().
  void run(std::deque<std::string> words);
  // The first remaining word, removed; empty when none is left.
  std::string nextWord();
  // Puts a word taken by nextWord() back in front ("device json" reads as "device list json").
  void putBack(std::string word) { words_.push_front(std::move(word)); }
  // Every remaining word joined with single blanks (JSON arguments), all removed.
  std::string restOfLine();
  bool hasWords() const { return !words_.empty(); }
  uint16_t wordCount() const { return wordCount_; }
  // The position of the word taken last (1 for the first word).
  size_t wordsTaken() const { return wordCount_ - words_.size(); }

  // Executes the file's lines as commands (the "include" command).
  void include(const std::string& path, const std::string& shownPath);

  [[noreturn]] void syntaxError() const { throw SyntaxError(*this); }

  const std::string& includeFile() const { return includeFile_; }
  int lineNumber() const { return lineNumber_; }

  // The words of a line: split at runs of white space, everything from the first word that
  // begins with "#" dropped.
  static std::deque<std::string> Tokenize(const std::string& line);

 private:
  void execute(const std::string& line);
  // Runs `body`, answering database failures and syntax errors for `command`.
  template <typename Body>
  void guarded(const std::string& command, Body body);
  void dispatch(const std::string& first);

  CommandSet& commands_;
  uint16_t wordCount_ = 0;
  std::deque<std::string> words_;
  std::string includeFile_;
  int lineNumber_ = 1;
  int includeDepth_ = 0;
};
