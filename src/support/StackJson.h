// A rapidjson document that lives on the caller's stack: its values in one arena, the parser's
// two stacks (the reader's states and the document's values under construction) in another. Only
// a text larger than the arenas reaches the heap, in chunks of kChunk. The default document takes
// a 64 KiB heap chunk for the first value and a heap stack for every parse, which on the uplink
// path cost more than the parse itself.
#pragma once

#include <rapidjson/document.h>

#include <cstddef>

namespace StackJson {

using Allocator = rapidjson::MemoryPoolAllocator<>;
using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Allocator, Allocator>;
using Value = rapidjson::GenericValue<rapidjson::UTF8<>, Allocator>;

constexpr size_t kChunk = 4096;

// ValueBytes for the parsed values and their strings; ValueStackBytes for the value stack. The
// parse arena adds room for the reader's 256-byte state stack and the arena's own header.
template <size_t ValueBytes, size_t ValueStackBytes>
class Arena {
 public:
  Arena()
      : values_(valueArena_, sizeof valueArena_, kChunk),
        parse_(parseArena_, sizeof parseArena_, kChunk),
        document_(&values_, ValueStackBytes, &parse_) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  Document& document() { return document_; }

 private:
  alignas(16) char valueArena_[ValueBytes];
  alignas(16) char parseArena_[ValueStackBytes + 512];
  Allocator values_;
  Allocator parse_;
  Document document_;
};

}  // namespace StackJson
