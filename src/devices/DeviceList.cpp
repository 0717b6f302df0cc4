#include "devices/DeviceList.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "Settings.h"
#include "app/AppEvents.h"
#include "lora/Bytes.h"
#include "support/Logger.h"

namespace {

Lora::CypherKey KeyFromHex(const std::string& text) {
  uint8_t bytes[16] = {};
  HexToBytes(text.c_str(), bytes, sizeof bytes, false);
  return Lora::CypherKey(bytes);
}

uint32_t ClassFromLetter(const std::string& letter) {
  if (letter == "A") return Device::kClassA;
  if (letter == "B") return Device::kClassB;
  return Device::kClassC;
}

}  // namespace

DeviceList::LockedDevice& DeviceList::LockedDevice::operator=(LockedDevice&& other) noexcept {
  if (this != &other) {
    reset();
    device_ = other.device_;
    other.device_ = nullptr;
  }
  return *this;
}

void DeviceList::LockedDevice::reset() {
  if (device_ != nullptr) device_->mutex().unlock();
  device_ = nullptr;
}

DeviceList::DeviceList(const Links& links, std::function<uint64_t()> clockMs,
                       std::function<int()> random)
    : links_(links), clockMs_(std::move(clockMs)), random_(std::move(random)) {}

DeviceList::~DeviceList() = default;

uint64_t DeviceList::NowMs() const {
  return clockMs_ ? clockMs_() : static_cast<uint64_t>(MonotonicMs());
}

DeviceList::LockedDevice DeviceList::FindDevice(uint32_t devAddr) NO_THREAD_SAFETY_ANALYSIS {
  MutexLock lock(mutex_);
  Device* device = devices_.get(devAddr);
  if (device == nullptr) return {};
  device->mutex().lock();  // before the list is let go, so the device cannot vanish meanwhile
  return LockedDevice(device);
}

bool DeviceList::HasDevice(uint32_t devAddr) const {
  MutexLock lock(mutex_);
  return InUseHeld(devAddr);
}

size_t DeviceList::size() const {
  MutexLock lock(mutex_);
  return devices_.size();
}

bool DeviceList::InUseHeld(uint32_t devAddr) const {
  return devices_.find(devAddr) != List::kNotFound;
}

std::unique_ptr<Device> DeviceList::MakeDevice(uint32_t devAddr) const {
  auto device = std::make_unique<Device>(devAddr, links_, NowMs());
  device->lastUplinkMs = device->createdMs;
  return device;
}

void DeviceList::StoreSession(const Device& device) const {
  if (links_.database == nullptr) return;
  LoraDatabase::NewSession session;
  session.devAddr = device.devAddr();
  session.deviceEui = device.devEui.text();
  session.joinEui = device.joinEui.text();
  session.appEui = device.appEui.text();
  session.netId = device.netId;
  session.nwkSKey = device.nwkSKey.text();
  session.appSKey = device.appSKey.text();
  session.upCounter = device.upCounter;
  // The row keeps the last down counter used; a fresh session has used none.
  session.downCounter = device.nextDownCounter == 0 ? 0 : device.nextDownCounter - 1;
  session.deviceClass = device.ClassLetter();
  if (!links_.database->AddDeviceWithSession(session)) {
    LOG_DEBUG("Device was already in database");
  }
}

bool DeviceList::AddDevice(std::unique_ptr<Device> device, bool replace) {
  MutexLock lock(mutex_);
  if (InUseHeld(device->devAddr())) {
    if (!replace) return false;
    RemoveHeld(device->devAddr());
  }
  StoreSession(*device);
  return devices_.insert(std::move(device)) == nullptr;
}

DeviceList::LockedDevice DeviceList::AddNewDevice(
    const AddressRangeConfig& range, const std::string& devEuiText,
    const std::function<void(Device&)>& fill) NO_THREAD_SAFETY_ANALYSIS {
  MutexLock lock(mutex_);
  // The allocator calls back while this function holds the list mutex.
  auto inUse = [this](uint32_t a) NO_THREAD_SAFETY_ANALYSIS { return InUseHeld(a); };
  std::optional<uint32_t> devAddr =
      allocateDevAddr(range, devices_.size(), inUse, devEuiText, random_);
  if (!devAddr) return {};
  std::unique_ptr<Device> device = MakeDevice(*devAddr);
  fill(*device);
  StoreSession(*device);
  Device* added = device.get();
  devices_.insert(std::move(device));  // the address was free under this same lock
  added->mutex().lock();
  return LockedDevice(added);
}

bool DeviceList::RemoveDevice(uint32_t devAddr) {
  MutexLock lock(mutex_);
  if (!InUseHeld(devAddr)) return false;
  RemoveHeld(devAddr);
  return true;
}

bool DeviceList::ForgetDevice(uint32_t devAddr) NO_THREAD_SAFETY_ANALYSIS {
  MutexLock lock(mutex_);
  std::unique_ptr<Device> device = devices_.release(devAddr);
  if (!device) return false;
  device->mutex().lock();
  device->mutex().unlock();
  return true;
}

bool DeviceList::RemoveHeld(uint32_t devAddr) NO_THREAD_SAFETY_ANALYSIS {
  std::unique_ptr<Device> device = devices_.release(devAddr);
  if (!device) return false;
  // Whoever holds the device finishes first; nobody can reach it any more once it is released.
  device->mutex().lock();
  device->mutex().unlock();
  device.reset();
  return links_.database == nullptr || links_.database->DeleteDeviceByAddress(devAddr);
}

void DeviceList::WriteUpCounters() {
  if (links_.database == nullptr) return;
  MutexLock lock(mutex_);
  for (size_t i = 0; i < devices_.size(); ++i) {
    Device* device = devices_.at(i);
    MutexLock deviceLock(device->mutex());
    links_.database->UpdateUpCounter(device->devAddr(), device->upCounter);
  }
}

void DeviceList::SweepDevices(size_t n, uint64_t nowMs) {
  MutexLock lock(mutex_);
  n = std::min(n, devices_.size());
  const uint64_t leaseMs = links_.settings != nullptr ? links_.settings->deviceLeaseTimeMs : 0;
  for (size_t visited = 0; visited < n && !devices_.empty(); ++visited) {
    ++cursor_;
    if (cursor_ < 0 || static_cast<size_t>(cursor_) >= devices_.size()) cursor_ = 0;
    Device* device = devices_.at(static_cast<size_t>(cursor_));
    bool remove = false;
    {
      MutexLock deviceLock(device->mutex());
      // nowMs was read before this device's lock was taken: an uplink handled (or a device made)
      // while the sweep waited is newer than nowMs, and its age is zero, not a wrapped difference.
      // A session restored soon after boot may have its last uplink "before zero" of the clock
      // (the value wrapped on purpose): the modular difference still gives its true silence.
      const auto age = [nowMs](uint64_t sinceMs) -> uint64_t {
        const int64_t difference = static_cast<int64_t>(nowMs - sinceMs);
        return difference > 0 ? static_cast<uint64_t>(difference) : 0;
      };
      if (device->IsExpired()) {
        remove = age(device->createdMs) > kExpiredDeviceAgeMs;
      } else if (leaseMs >= kMinimumLeaseMs && age(device->lastUplinkMs) > leaseMs) {
        device->ExpireSession();
      } else {
        device->transmitController.PeriodicService(nowMs);
      }
    }
    if (remove) {
      if (RemoveHeld(device->devAddr())) {
        LOG_DEBUG("Device deleted");
      } else {
        LOG_WARNING("Failed to delete device");
      }
      --cursor_;  // the next device has moved into this place
    }
  }
}

std::unique_ptr<Device> DeviceList::BuildFromSession(const Record& row) const {
  const uint64_t now = NowMs();
  auto device = std::make_unique<Device>(row.devAddr, links_, now);
  device->devEui = Lora::EUI(row.deviceEui);
  device->joinEui = Lora::EUI(row.joinEui);
  device->appEui = Lora::EUI(row.appEui);
  device->netId = row.netId;
  device->appSKey = KeyFromHex(row.appSKey);
  device->nwkSKey = KeyFromHex(row.nwkSKey);
  device->sessionCreated = row.createdAt;
  device->nextDownCounter = row.nwkDownCounter + 1;
  device->upCounter = row.upCounter;
  // Unsigned on purpose: soon after boot the monotonic clock may be younger than the silence,
  // and the difference taken later (now - last uplink) still comes out right.
  device->lastUplinkMs = now - row.msSinceLastSeen;
  device->uplinkSeen = false;
  device->deviceClass = ClassFromLetter(row.deviceClass);
  return device;
}

void DeviceList::RestoreQueue(Device& device) const {
  if (links_.database == nullptr) return;
  LoraDatabase::DownlinkQueueClient client(*links_.database);
  if (!links_.database->GetDownlinkQueue(client, device.devEui.text())) return;
  std::vector<LoraDatabase::DownlinkQueueClient::Record> rows;
  while (client.Next()) rows.push_back(client.record());

  const std::string eui = device.devEui.text();
  const size_t limit = links_.settings != nullptr ? links_.settings->deviceQueueSize : 16;
  for (const auto& row : rows) {
    uint8_t bytes[Lora::FrameBytes::kCapacity];
    const uint16_t size = Base64Decode(row.data.c_str(), bytes, sizeof bytes);
    if (size == 0) {
      LOG_WARNING("Dropping downstream message - Unable parse 'data' as base64");
      continue;
    }
    Lora::FrameApplicationData record(bytes, size);
    record.id = static_cast<uint32_t>(row.id);
    record.port = static_cast<uint8_t>(row.port);
    record.ack = row.ack ? 1 : 0;
    record.rxWindow = static_cast<uint8_t>(row.rxWindow);
    if (row.retryMax > 0) record.attempts = static_cast<uint8_t>(std::min(row.retryMax, 255u));
    // Transmissions made before the restart count against the record's attempts.
    if (record.ack != 0 && row.retryCount > 0) {
      record.attempts = static_cast<uint8_t>(
          row.retryCount < record.attempts ? record.attempts - row.retryCount : 1);
    }
    const bool full = device.transmitController.QueueLength() >= limit;
    if (!device.Enqueue(record)) {
      if (full) {
        LOG_WARNING("ED:%s|QUEUE-FULL|Dropping downstream message", eui.c_str());
        if (links_.messages != nullptr) AppEvents(*links_.messages).QueueFull(device.devEui);
      }
      continue;
    }
    if (record.port == 0) {
      LOG_INFO("ED:%s|QUEUE-TX|MAC Command: %s", eui.c_str(),
               BytesToHex(record.data, record.size(), true, 0).c_str());
    } else {
      LOG_INFO("ED:%s|QUEUE-TX|Downlink queued %d bytes for port %d", eui.c_str(),
               static_cast<int>(record.size()), static_cast<int>(record.port));
    }
  }
}

size_t DeviceList::LoadDevices(const AddressRangeConfig& range) {
  if (links_.database == nullptr) return 0;
  // All rows first: the rows of the queue and the deletions below are queries of their own.
  std::vector<Record> rows;
  {
    LoraDatabase::DeviceSessionClient client(*links_.database);
    if (!links_.database->GetDeviceSessions(client)) return 0;
    while (client.Next()) rows.push_back(client.record());
  }
  size_t restored = 0;
  for (const Record& row : rows) {
    if (!isDevAddrInRange(range, row.devAddr)) {
      LOG_WARNING("Deleting saved device %s, address out of range",
                  UInt64ToHex(row.devAddr, 8, ':').c_str());
      links_.database->DeleteSession(row.devAddr);
      continue;
    }
    std::unique_ptr<Device> device = BuildFromSession(row);
    RestoreQueue(*device);
    MutexLock lock(mutex_);
    if (devices_.insert(std::move(device)) == nullptr) ++restored;
  }
  return restored;
}

DeviceList::LockedDevice DeviceList::RestoreDevice(uint32_t devAddr,
                                                  bool unexpected) NO_THREAD_SAFETY_ANALYSIS {
  if (links_.database == nullptr) return {};
  Record row;
  {
    LoraDatabase::DeviceSessionClient client(*links_.database);
    if (!links_.database->GetDeviceSession(devAddr, client) || !client.Next()) return {};
    row = client.record();
    while (client.Next()) {
    }
  }
  if (unexpected) LOG_ERROR("Joined Device was not found in memory, restoring from database");
  std::unique_ptr<Device> device = BuildFromSession(row);
  RestoreQueue(*device);

  MutexLock lock(mutex_);
  if (Device* present = devices_.get(devAddr)) {
    present->mutex().lock();
    return LockedDevice(present);
  }
  // The row it was read from is still there: nothing to store.
  Device* added = device.get();
  devices_.insert(std::move(device));
  added->mutex().lock();  // no other thread can know it yet
  return LockedDevice(added);
}
