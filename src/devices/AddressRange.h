// Network addresses for joining devices: the configured range, the allocator that draws a free
// DevAddr from it, the restore check that decides whether a stored address still belongs to this
// network, and the range records of the "ranges" table.
//
// A DevAddr is laid out as
//
//   bit  31 .. 25   24 ........................ 0
//      +----------+------------------------------+
//      |  NwkID   |  address within the range    |
//      +----------+------------------------------+
//
// The allocator puts the range in the low 25 bits and the NwkID above them, so the restore check
// compares the same two parts: every address the allocator gives survives a restart.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/Mutex.h"

class LoraDatabase;

// The configured range and NwkID, read from the configuration document each time an address is
// drawn or checked (a command may change the document while the server runs).
struct AddressRangeConfig {
  static constexpr uint32_t kHighestAddress = 0x01FFFFFE;
  static constexpr unsigned kNwkIdShift = 25;
  static constexpr uint32_t kAddressMask = 0x01FFFFFF;

  uint32_t start = 0;  // "addressRange"."start", inclusive
  uint32_t end = 0;    // "addressRange"."end", inclusive
  uint8_t nwkId = 0;   // the low 7 bits of "lora"."netID"'s last byte

  static AddressRangeConfig FromConfig(const Json::Value& config);
};

// Draws a DevAddr for a new device: up to 1001 random candidates in [first, last) of the range
// (first 0 becomes 1, last capped at 0x01FFFFFE), each with the NwkID above it, the first one
// `inUse` does not know taken. Should every draw hit a used address although the range is not
// full, the range is walked in order, so a free address is never missed and a used one never
// handed out twice. `deviceCount` is the size of the device list; `random` gives rand()-like
// values. The caller makes the test and the insertion of the new device one step under the
// device-list mutex. Logs the assignment for devEuiText, or "No address available for new
// device." when the range is full.
std::optional<uint32_t> allocateDevAddr(const AddressRangeConfig& range, size_t deviceCount,
                                        const std::function<bool(uint32_t)>& inUse,
                                        const std::string& devEuiText,
                                        const std::function<int()>& random = {});

// The restore check: bits 24-0 within [start, end] and bits 31-25 equal to the NwkID.
bool isDevAddrInRange(const AddressRangeConfig& range, uint32_t devAddr);

// One range record (first and last address, both inclusive).
struct AddressRange {
  uint32_t first = 0;
  uint32_t last = 0;
  bool contains(uint32_t devAddr) const { return devAddr >= first && devAddr <= last; }
};

namespace AddressRangeList {

// The records of the "ranges" table, sorted by first address, no two with the same first.
class MemoryList {
 public:
  // Reads every row; returns the number of records added. A row whose start is already listed
  // is skipped.
  size_t Load(LoraDatabase& database) EXCLUDES(mutex_);
  // False when a record with that first address is already listed.
  bool Add(const AddressRange& range) EXCLUDES(mutex_);
  // True when some record holds the address.
  bool Contains(uint32_t devAddr) const EXCLUDES(mutex_);
  std::vector<AddressRange> All() const EXCLUDES(mutex_);

 private:
  mutable Mutex mutex_;
  std::vector<std::unique_ptr<AddressRange>> ranges_ GUARDED_BY(mutex_);  // ascending first
};

}  // namespace AddressRangeList
