#include "support/JsonText.h"

#include <memory>

namespace JsonText {

size_t TrimPadding(const char* text, size_t length) {
  while (length > 0) {
    char last = text[length - 1];
    if (last != '\0' && last != ' ' && last != '\t' && last != '\r' && last != '\n') break;
    --length;
  }
  return length;
}

namespace {

// One pass outside strings: the deepest nesting, and whether a '/' (a comment, never JSON) or a
// NUL byte (taken as the end of text by both JSON readers) occurs.
struct Shape {
  bool tooDeep = false;
  bool slash = false;
  bool nul = false;
};

Shape Measure(const char* text, size_t length, int maxDepth) {
  Shape shape;
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < length; ++i) {
    char c = text[i];
    if (c == '\0') shape.nul = true;
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '/':
        shape.slash = true;
        break;
      case '{':
      case '[':
        if (++depth > maxDepth) shape.tooDeep = true;
        break;
      case '}':
      case ']':
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
    if (shape.tooDeep) break;
  }
  return shape;
}

}  // namespace

bool NestingWithin(const char* text, size_t length, int maxDepth) {
  return !Measure(text, length, maxDepth).tooDeep;
}

bool Acceptable(const char* text, size_t length, int maxDepth) {
  Shape shape = Measure(text, length, maxDepth);
  return !shape.tooDeep && !shape.nul;
}

bool Parse(const char* text, size_t length, Json::Value& out, std::string& errors,
           Comments comments, int maxDepth) {
  length = TrimPadding(text, length);
  Shape shape = Measure(text, length, maxDepth);
  if (shape.tooDeep) {
    errors = "nested deeper than " + std::to_string(maxDepth) + " levels";
    return false;
  }
  if (shape.nul) {
    errors = "NUL byte inside the text";
    return false;
  }
  // The reader lets comments through between members even when told not to.
  if (shape.slash && comments == Comments::Refused) {
    errors = "comments are not allowed";
    return false;
  }
  Json::CharReaderBuilder builder;
  builder["allowComments"] = comments != Comments::Refused;
  builder["collectComments"] = comments == Comments::Kept;
  builder["failIfExtra"] = true;
  // Comments may hide brackets from the scan above; the reader's own limit still holds.
  builder["stackLimit"] = maxDepth + 2;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value parsed;
  try {
    if (!reader->parse(text, text + length, &parsed, &errors)) return false;
  } catch (const Json::Exception& fault) {
    errors = fault.what();
    return false;
  }
  out = std::move(parsed);
  return true;
}

bool Parse(const std::string& text, Json::Value& out, std::string& errors, Comments comments,
           int maxDepth) {
  return Parse(text.data(), text.size(), out, errors, comments, maxDepth);
}

std::string Compact(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

}  // namespace JsonText
