#include "devices/AddressRange.h"

#include <algorithm>
#include <cstdlib>

#include "Database/Lora-Database.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

constexpr int kRandomDraws = 1001;

uint32_t HexValue(const Json::Value& value, size_t bytes) {
  return value.isString() ? static_cast<uint32_t>(HexToUInt64(value.asCString(), bytes)) : 0;
}

}  // namespace

AddressRangeConfig AddressRangeConfig::FromConfig(const Json::Value& config) {
  AddressRangeConfig range;
  const Json::Value& addressRange = config["addressRange"];
  range.start = HexValue(addressRange["start"], 4);
  range.end = HexValue(addressRange["end"], 4);
  // Only the bits that fit above bit 24 of a DevAddr remain of the NetID's last byte.
  range.nwkId = static_cast<uint8_t>(HexValue(config["lora"]["netID"], 3) & 0x7F);
  return range;
}

std::optional<uint32_t> allocateDevAddr(const AddressRangeConfig& range, size_t deviceCount,
                                        const std::function<bool(uint32_t)>& inUse,
                                        const std::string& devEuiText,
                                        const std::function<int()>& random) {
  const uint32_t last = std::min(range.end, AddressRangeConfig::kHighestAddress);
  const uint32_t first = range.start == 0 ? 1 : range.start;
  // An "end" below "start" leaves no addresses rather than wrapping into a huge span.
  const uint32_t span = last > first ? last - first : 0;
  if (span == 0 || deviceCount >= span) {
    LOG_ERROR("No address available for new device.");
    return std::nullopt;
  }
  const uint32_t nwkBits = static_cast<uint32_t>(range.nwkId & 0x7F)
                           << AddressRangeConfig::kNwkIdShift;
  std::optional<uint32_t> chosen;
  for (int draw = 0; draw < kRandomDraws && !chosen; ++draw) {
    const uint32_t r = static_cast<uint32_t>(random ? random() : std::rand());
    const uint32_t candidate = (first + r % span) | nwkBits;
    if (!inUse(candidate)) chosen = candidate;
  }
  for (uint32_t offset = 0; offset < span && !chosen; ++offset) {
    const uint32_t candidate = (first + offset) | nwkBits;
    if (!inUse(candidate)) chosen = candidate;
  }
  if (!chosen) {
    LOG_ERROR("No address available for new device.");
    return std::nullopt;
  }
  LOG_INFO("ED:%s|JOINREQ|New End Device assigning DevAddr %08X", devEuiText.c_str(), *chosen);
  return chosen;
}

bool isDevAddrInRange(const AddressRangeConfig& range, uint32_t devAddr) {
  const uint32_t address = devAddr & AddressRangeConfig::kAddressMask;
  const uint32_t nwkId = devAddr >> AddressRangeConfig::kNwkIdShift;
  return address >= range.start && address <= range.end && nwkId == (range.nwkId & 0x7Fu);
}

namespace AddressRangeList {

size_t MemoryList::Load(LoraDatabase& database) {
  LoraDatabase::RangeClient client(database);
  if (!database.GetRanges(client)) return 0;
  size_t added = 0;
  while (client.Next()) {
    const auto& row = client.record();
    if (row.size == 0) continue;  // a record of no addresses would end before it starts
    if (Add({row.start, row.start + (row.size - 1)})) ++added;
  }
  return added;
}

bool MemoryList::Add(const AddressRange& range) {
  MutexLock lock(mutex_);
  auto it = std::lower_bound(
      ranges_.begin(), ranges_.end(), range.first,
      [](const std::unique_ptr<AddressRange>& r, uint32_t first) { return r->first < first; });
  if (it != ranges_.end() && (*it)->first == range.first) return false;
  ranges_.insert(it, std::make_unique<AddressRange>(range));
  return true;
}

bool MemoryList::Contains(uint32_t devAddr) const {
  MutexLock lock(mutex_);
  return std::any_of(
      ranges_.begin(), ranges_.end(),
      [devAddr](const std::unique_ptr<AddressRange>& r) { return r->contains(devAddr); });
}

std::vector<AddressRange> MemoryList::All() const {
  MutexLock lock(mutex_);
  std::vector<AddressRange> out;
  for (const auto& r : ranges_) out.push_back(*r);
  return out;
}

}  // namespace AddressRangeList
