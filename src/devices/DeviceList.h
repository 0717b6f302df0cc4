// Every end-device with a session, sorted by DevAddr: filled from the database at start-up,
// extended by joins and by the on-demand restore of a device the database knows, swept by the
// time thread (lease expiry, deletion of long-expired devices, the transmit controllers'
// periodic service).
//
// Lock order: the list mutex, then a device's mutex. A lookup locks the device before it lets go
// of the list, so a device handed out cannot be deleted under its holder; deletion takes the
// device's lock first and so waits for the holder to finish. The list mutex is held across the
// session-row writes of AddDevice (database innermost) and never while a device is handled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Database/Lora-Database.h"
#include "devices/AddressRange.h"
#include "devices/Device.h"
#include "support/BinarySearchVector.h"
#include "support/Mutex.h"

class DeviceList {
 public:
  using Links = DeviceLinks;
  static constexpr uint64_t kExpiredDeviceAgeMs = 43200000;  // 12 hours
  static constexpr uint64_t kMinimumLeaseMs = 60000;         // shorter leases mean none

  // A device whose lock the holder owns; unlocks when it goes. Empty when nothing was found.
  class LockedDevice {
   public:
    LockedDevice() = default;
    explicit LockedDevice(Device* device) : device_(device) {}  // already locked
    LockedDevice(LockedDevice&& other) noexcept : device_(other.device_) {
      other.device_ = nullptr;
    }
    LockedDevice& operator=(LockedDevice&& other) noexcept;
    LockedDevice(const LockedDevice&) = delete;
    LockedDevice& operator=(const LockedDevice&) = delete;
    ~LockedDevice() { reset(); }

    explicit operator bool() const { return device_ != nullptr; }
    Device* get() const { return device_; }
    Device* operator->() const { return device_; }
    Device& operator*() const { return *device_; }
    void reset() NO_THREAD_SAFETY_ANALYSIS;

   private:
    Device* device_ = nullptr;
  };

  // clockMs gives monotonic milliseconds (creation and restore times); tests pass their own.
  // random draws the DevAddr candidates; rand() when empty.
  explicit DeviceList(const Links& links, std::function<uint64_t()> clockMs = {},
                      std::function<int()> random = {});
  ~DeviceList();
  DeviceList(const DeviceList&) = delete;
  DeviceList& operator=(const DeviceList&) = delete;

  // The device of the address, locked; empty when it is not in memory.
  LockedDevice FindDevice(uint32_t devAddr) EXCLUDES(mutex_);
  bool HasDevice(uint32_t devAddr) const EXCLUDES(mutex_);
  size_t size() const EXCLUDES(mutex_);

  // A new device for this list (counters 0, created now); the caller fills it and adds it.
  std::unique_ptr<Device> MakeDevice(uint32_t devAddr) const;

  // Stores the device's session and inserts it. When the address is held: with replace the old
  // device is destroyed first, else nothing happens and false is returned.
  bool AddDevice(std::unique_ptr<Device> device, bool replace) EXCLUDES(mutex_);
  // Draws a free address from the range and adds the device `fill` completes, in one step under
  // the list mutex, so two joins at once can never get the same address. Empty when the range
  // is full. The device comes back locked.
  LockedDevice AddNewDevice(const AddressRangeConfig& range, const std::string& devEuiText,
                            const std::function<void(Device&)>& fill) EXCLUDES(mutex_);
  // Destroys the device and deletes its rows; false when the address is not in the list.
  bool RemoveDevice(uint32_t devAddr) EXCLUDES(mutex_);
  // Destroys the device and leaves every row alone (the operator's session commands delete or
  // rewrite the rows themselves); false when the address is not in the list.
  bool ForgetDevice(uint32_t devAddr) EXCLUDES(mutex_);

  // Visits n devices after the last one visited (wrapping): a device expired for more than 12
  // hours since it was made is deleted, a lease that ran out expires the session, every other
  // device gets its transmit controller's periodic service.
  void SweepDevices(size_t n, uint64_t nowMs) EXCLUDES(mutex_);

  // Start-up: every stored session within the range becomes a device with its queued downlinks;
  // a session outside the range is deleted. Returns the number of devices restored.
  size_t LoadDevices(const AddressRangeConfig& range) EXCLUDES(mutex_);
  // Shutdown with reduced packet updates: every device's up counter to its session row, the
  // counters the uplink path skipped writing.
  void WriteUpCounters() EXCLUDES(mutex_);
  // An uplink for an address the database knows but memory does not: the device is rebuilt from
  // its session row (and its queued downlinks) and comes back locked. Empty without a session.
  // Should another thread have restored it meanwhile, that device is returned. A session the
  // operator has just created or moved is expected to be missing: only `unexpected` ones log
  // the error.
  LockedDevice RestoreDevice(uint32_t devAddr, bool unexpected = true) EXCLUDES(mutex_);

 private:
  using Record = LoraDatabase::DeviceSessionClient::Record;
  using List = BinarySearchVector::List<unsigned int, Device>;

  uint64_t NowMs() const;
  std::unique_ptr<Device> BuildFromSession(const Record& row) const;
  void RestoreQueue(Device& device) const;
  void StoreSession(const Device& device) const;
  // Destroys the device; true when its database rows went too.
  bool RemoveHeld(uint32_t devAddr) REQUIRES(mutex_);
  bool InUseHeld(uint32_t devAddr) const REQUIRES(mutex_);

  // Constant after construction.
  const Links links_;
  const std::function<uint64_t()> clockMs_;
  const std::function<int()> random_;

  mutable Mutex mutex_;  // taken before any device's mutex
  List devices_ GUARDED_BY(mutex_);
  std::ptrdiff_t cursor_ GUARDED_BY(mutex_) = -1;  // index of the device swept last
};
