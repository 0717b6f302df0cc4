// Limits for JSON that arrives from outside the process (datagrams, configuration and template
// files, application and command messages). Real senders nest three or four levels; anything
// deeper is refused before a parser or a later walk of the value can recurse on a small thread
// stack. Trailing white space and NUL padding after the document are tolerated (forwarders and
// editors leave both); any other trailing text is a fault.
#pragma once

#include <json/json.h>

#include <cstddef>
#include <string>

namespace JsonText {

// Deepest nesting of objects and arrays accepted from outside.
constexpr int kMaxDepth = 10;

// The length without the trailing white space and NUL bytes.
size_t TrimPadding(const char* text, size_t length);

// Whether no object or array in the text nests deeper than `maxDepth` (brackets inside strings
// do not count). Linear and iterative, so it is safe on any input.
bool NestingWithin(const char* text, size_t length, int maxDepth = kMaxDepth);
// NestingWithin, and no NUL byte before the padding (both readers would stop at it and take the
// rest for padding).
bool Acceptable(const char* text, size_t length, int maxDepth = kMaxDepth);

// What a document may do with comments: messages refuse them, operators' files may carry them
// (and a template's comments are written back into the file generated from it).
enum class Comments { Refused, Skipped, Kept };

// Parses one whole document with jsoncpp: nesting bounded, trailing text refused (padding as
// above). False with a reason in `errors` on any fault.
bool Parse(const char* text, size_t length, Json::Value& out, std::string& errors,
           Comments comments = Comments::Refused, int maxDepth = kMaxDepth);
bool Parse(const std::string& text, Json::Value& out, std::string& errors,
           Comments comments = Comments::Refused, int maxDepth = kMaxDepth);

// One line, no indentation: the form every message, record and log line carries.
std::string Compact(const Json::Value& value);

}  // namespace JsonText
