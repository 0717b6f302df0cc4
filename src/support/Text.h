// Small pure text helpers shared by configuration, commands and reports.
#pragma once

#include <string>
#include <vector>

namespace ZEV {

class Text {
 public:
  static std::string trim(const std::string& text);
  static std::string toLowerCase(const std::string& text);
  static std::string toUpperCase(const std::string& text);
  // Pieces between occurrences of the delimiter; empty pieces are kept. With limit > 0 at most
  // limit pieces are returned, the last holding the rest of the text unsplit.
  static std::vector<std::string> split(const std::string& text, const std::string& delimiter,
                                        int limit);
  static std::string replace(const std::string& text, const std::string& from,
                             const std::string& to);
};

}  // namespace ZEV
