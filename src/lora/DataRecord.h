// Byte records: the short, bounded byte strings that carry EUIs, keys, addresses and frames.
//
// A record is a length and a fixed-capacity byte array, nothing else, so it can live on the stack
// of a packet worker and be copied without touching the heap. Two flavours:
//   DataRecordFL  fixed length: length is always the capacity (EUIs, keys);
//   DataRecordVL  variable length: 0 <= length <= capacity (frames, payloads); every copy into it
//                 clamps the length to the capacity, so a bad length can never walk off the array.
// Plain values: no locking, owned by whoever holds them. Not polymorphic: a vtable pointer would
// be a third of an EUI, and every device holds a dozen records.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

template <typename LengthT, LengthT N>
class DataRecord {
 public:
  static constexpr std::size_t kCapacity = N;

  DataRecord() = default;
  DataRecord(const DataRecord& other) { copyFrom(other); }
  DataRecord& operator=(const DataRecord& other) {
    if (this != &other) copyFrom(other);
    return *this;
  }
  ~DataRecord() = default;

  // Number of meaningful bytes; never above kCapacity as long as the record was filled through
  // its own operations.
  std::size_t size() const { return std::min<std::size_t>(length, N); }

  LengthT length = 0;
  uint8_t data[N] = {};

 protected:
  void copyFrom(const DataRecord& other) {
    length = static_cast<LengthT>(other.size());
    std::memcpy(data, other.data, length);
    std::memset(data + length, 0, N - length);
  }
};

template <typename LengthT, LengthT N>
bool operator==(const DataRecord<LengthT, N>& a, const DataRecord<LengthT, N>& b) {
  return a.size() == b.size() && std::memcmp(a.data, b.data, a.size()) == 0;
}
template <typename LengthT, LengthT N>
bool operator!=(const DataRecord<LengthT, N>& a, const DataRecord<LengthT, N>& b) {
  return !(a == b);
}

template <typename LengthT, LengthT N>
class DataRecordFL : public DataRecord<LengthT, N> {
 public:
  DataRecordFL() { this->length = N; }
  DataRecordFL(const DataRecordFL& other) : DataRecord<LengthT, N>(other) { this->length = N; }
  DataRecordFL& operator=(const DataRecordFL& other) {
    DataRecord<LengthT, N>::operator=(other);
    this->length = N;
    return *this;
  }
  ~DataRecordFL() = default;

  // Copies exactly N bytes from `bytes`.
  void assign(const uint8_t* bytes) { std::memcpy(this->data, bytes, N); }
};

template <typename LengthT, LengthT N>
class DataRecordVL : public DataRecord<LengthT, N> {
 public:
  DataRecordVL() = default;
  DataRecordVL(const uint8_t* bytes, std::size_t count) { assign(bytes, count); }
  DataRecordVL(const DataRecordVL& other) = default;
  DataRecordVL& operator=(const DataRecordVL& other) = default;
  ~DataRecordVL() = default;

  // Copies min(count, N) bytes and zeroes the rest; returns the length kept.
  std::size_t assign(const uint8_t* bytes, std::size_t count) {
    std::size_t kept = std::min<std::size_t>(count, N);
    if (kept > 0) std::memcpy(this->data, bytes, kept);
    std::memset(this->data + kept, 0, N - kept);
    this->length = static_cast<LengthT>(kept);
    return kept;
  }
  // Appends as much of `bytes` as still fits; returns the number of bytes appended.
  std::size_t append(const uint8_t* bytes, std::size_t count) {
    std::size_t at = this->size();
    std::size_t kept = std::min<std::size_t>(count, N - at);
    if (kept > 0) std::memcpy(this->data + at, bytes, kept);
    this->length = static_cast<LengthT>(at + kept);
    return kept;
  }
  void clear() {
    std::memset(this->data, 0, N);
    this->length = 0;
  }
};
