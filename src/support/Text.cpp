#include "support/Text.h"

#include <cctype>

namespace ZEV {

std::string Text::trim(const std::string& text) {
  size_t first = 0;
  while (first < text.size() && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
  size_t last = text.size();
  while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
  return text.substr(first, last - first);
}

std::string Text::toLowerCase(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string Text::toUpperCase(const std::string& text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::vector<std::string> Text::split(const std::string& text, const std::string& delimiter,
                                     int limit) {
  std::vector<std::string> pieces;
  if (delimiter.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  size_t start = 0;
  while (true) {
    if (limit > 0 && static_cast<int>(pieces.size()) == limit - 1) break;
    size_t at = text.find(delimiter, start);
    if (at == std::string::npos) break;
    pieces.push_back(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

std::string Text::replace(const std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return text;
  std::string out;
  out.reserve(text.size());
  size_t start = 0;
  while (true) {
    size_t at = text.find(from, start);
    if (at == std::string::npos) break;
    out.append(text, start, at - start);
    out += to;
    start = at + from.size();
  }
  out.append(text, start, std::string::npos);
  return out;
}

}  // namespace ZEV
