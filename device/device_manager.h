// Everything the exports share between calls: the factory, the device list
// handed out last, one record per open device and the device-change
// watches. Its tables have one short lock of their own, never held across
// a service call, a pause or a caller's callback.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "device/container_record.h"
#include "device/device.h"
#include "device/device_factory.h"
#include "device/device_record.h"
#include "device/device_watch.h"
#include "device/name_list.h"
#include "qavseal/qavseal.h"

namespace qav {

class CDeviceManager {
public:
    CDeviceManager() = default;
    ~CDeviceManager();
    CDeviceManager(const CDeviceManager&) = delete;
    CDeviceManager& operator=(const CDeviceManager&) = delete;

    CDeviceFactory& Factory() noexcept { return factory_; }

    // Takes the open device; its address becomes a valid handle.
    QAV_HANDLE RegisterDevice(std::unique_ptr<CDevice> device);
    // Destroys the device with the name lists and key handles handed out for
    // it. An unknown handle changes nothing.
    void UnregisterDevice(QAV_HANDLE handle);
    uint32_t ValidateDevice(QAV_HANDLE handle) const;
    // The open device, kept alive for the caller even if another thread
    // closes it meanwhile; null for an unknown handle.
    std::shared_ptr<CDevice> AcquireDevice(QAV_HANDLE handle) const;

    // Builds the new device list from a double-NUL-terminated multi-string
    // of the given size; with showAll 0 only "ADM..." and "DZYZ..." names.
    void SetDeviceList(const char* multiString, size_t size, uint32_t showAll, char*** names,
                       uint32_t* count);
    // Names of a table of 60-byte container records, valid until the device
    // closes.
    uint32_t AddContainerList(QAV_HANDLE handle, const uint8_t* table, size_t tableSize,
                              char*** names, uint32_t* count);

    // An unregistered handle gets QAV_E_INVALID_HANDLE (or null).
    uint32_t AddKeyHandle(QAV_HANDLE handle, std::unique_ptr<SessionKeyHandle> key);
    // Unlinks and hands ownership back to the caller (null if not found).
    std::unique_ptr<SessionKeyHandle> RemoveKeyHandle(QAV_HANDLE handle,
                                                      const SessionKeyHandle* key);
    uint32_t CheckKeyHandle(QAV_HANDLE handle, const SessionKeyHandle* key) const;

    void AddWatch(std::shared_ptr<CDeviceWatch> watch);
    // Unlists the watches a cancel stops: with `all` every watch, otherwise
    // the oldest one started by `owner` (none if it started none).
    std::vector<std::shared_ptr<CDeviceWatch>> TakeWatches(bool all, std::thread::id owner);
    // Stops and joins every watch; the caller holds no lock.
    void StopWatches();
    size_t WatchCount() const;

    // Disconnects every open device (errors ignored: the devices go anyway).
    // Each device is owned in turn, so a call still running on one finishes
    // first.
    void DisconnectAll();
    void ClearAll();

    size_t RecordCount() const;

private:
    DeviceRecord* FindRecord(QAV_HANDLE handle) const;  // tables_ held

    CDeviceFactory factory_;
    mutable std::mutex tables_;
    std::unique_ptr<NameList> lastDeviceList_;
    std::vector<std::unique_ptr<DeviceRecord>> records_;  // index 0 = oldest
    std::vector<std::shared_ptr<CDeviceWatch>> watches_;  // index 0 = oldest
};

}  // namespace qav
