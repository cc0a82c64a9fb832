#include "device/device_manager.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

namespace qav {
namespace {

bool IsListedDeviceName(const std::string& name) {
    return name.compare(0, 3, "ADM") == 0 || name.compare(0, 4, "DZYZ") == 0;
}

}  // namespace

CDeviceManager::~CDeviceManager() {
    StopWatches();
    ClearAll();
}

QAV_HANDLE CDeviceManager::RegisterDevice(std::unique_ptr<CDevice> device) {
    auto record = std::make_unique<DeviceRecord>(std::shared_ptr<CDevice>(std::move(device)));
    const std::lock_guard<std::mutex> lock(tables_);
    records_.push_back(std::move(record));
    return reinterpret_cast<QAV_HANDLE>(records_.back()->handle);
}

void CDeviceManager::UnregisterDevice(QAV_HANDLE handle) {
    std::unique_ptr<DeviceRecord> removed;  // destroyed after the lock is left
    const std::lock_guard<std::mutex> lock(tables_);
    const auto found = std::find_if(records_.begin(), records_.end(), [&](const auto& record) {
        return reinterpret_cast<QAV_HANDLE>(record->handle) == handle;
    });
    if (found == records_.end()) return;
    removed = std::move(*found);
    records_.erase(found);
}

void CDeviceManager::DisconnectAll() {
    std::vector<std::shared_ptr<CDevice>> devices;
    {
        const std::lock_guard<std::mutex> lock(tables_);
        for (const auto& record : records_) devices.push_back(record->device);
    }
    for (const auto& device : devices) {
        const DeviceOwnership owned(*device);
        if (!device->closed && device->reader) {
            // From a callback of an export on this device: after that export.
            if (owned.Nested()) {
                device->disconnectWhenIdle = true;
            } else {
                device->reader->Disconnect(0);
            }
        }
        device->closed = true;
    }
}

std::shared_ptr<CDevice> CDeviceManager::AcquireDevice(QAV_HANDLE handle) const {
    const std::lock_guard<std::mutex> lock(tables_);
    const DeviceRecord* record = FindRecord(handle);
    return record != nullptr ? record->device : nullptr;
}

size_t CDeviceManager::RecordCount() const {
    const std::lock_guard<std::mutex> lock(tables_);
    return records_.size();
}

void CDeviceManager::AddWatch(std::shared_ptr<CDeviceWatch> watch) {
    const std::lock_guard<std::mutex> lock(tables_);
    watches_.push_back(std::move(watch));
}

std::vector<std::shared_ptr<CDeviceWatch>> CDeviceManager::TakeWatches(bool all,
                                                                       std::thread::id owner) {
    std::vector<std::shared_ptr<CDeviceWatch>> taken;
    const std::lock_guard<std::mutex> lock(tables_);
    if (all) {
        taken.swap(watches_);
        return taken;
    }
    const auto found = std::find_if(watches_.begin(), watches_.end(),
                                    [&](const auto& watch) { return watch->Owner() == owner; });
    if (found != watches_.end()) {
        taken.push_back(std::move(*found));
        watches_.erase(found);
    }
    return taken;
}

void CDeviceManager::StopWatches() {
    const auto watches = TakeWatches(true, std::thread::id());
    // All are asked first, so they wind down together.
    for (const auto& watch : watches) watch->RequestStop();
    for (const auto& watch : watches) watch->Join();
}

size_t CDeviceManager::WatchCount() const {
    const std::lock_guard<std::mutex> lock(tables_);
    return watches_.size();
}

DeviceRecord* CDeviceManager::FindRecord(QAV_HANDLE handle) const {
    for (const auto& record : records_) {
        if (reinterpret_cast<QAV_HANDLE>(record->handle) == handle) return record.get();
    }
    return nullptr;
}

uint32_t CDeviceManager::ValidateDevice(QAV_HANDLE handle) const {
    const std::lock_guard<std::mutex> lock(tables_);
    return FindRecord(handle) != nullptr ? QAV_OK : QAV_E_INVALID_HANDLE;
}

void CDeviceManager::SetDeviceList(const char* multiString, size_t size, uint32_t showAll,
                                   char*** names, uint32_t* count) {
    std::vector<std::string> kept;
    const char* const end = multiString + size;
    for (const char* name = multiString; name < end && *name != '\0';) {
        const size_t length = strnlen(name, static_cast<size_t>(end - name));
        std::string copy(name, length);
        if (showAll != 0 || IsListedDeviceName(copy)) kept.push_back(std::move(copy));
        name += length + 1;
    }
    auto list = std::make_unique<NameList>(std::move(kept));
    const std::lock_guard<std::mutex> lock(tables_);
    // The previous list's strings are freed here; the caller was told they
    // last until the next listing.
    lastDeviceList_ = std::move(list);
    *names = lastDeviceList_->Array();
    *count = lastDeviceList_->Count();
}

uint32_t CDeviceManager::AddContainerList(QAV_HANDLE handle, const uint8_t* table, size_t tableSize,
                                          char*** names, uint32_t* count) {
    std::vector<std::string> copies;
    for (size_t at = 0; at + kContainerRecordSize <= tableSize; at += kContainerRecordSize) {
        const char* entry = reinterpret_cast<const char*>(table + at);
        copies.emplace_back(entry, strnlen(entry, kContainerRecordSize));
    }
    const std::lock_guard<std::mutex> lock(tables_);
    DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    // Arrays live until the device closes, so a caller listing in a loop
    // would grow the process for ever; the same names get the same array.
    auto held = std::find_if(record->nameLists.begin(), record->nameLists.end(),
                             [&](const auto& list) { return list->Holds(copies); });
    if (held == record->nameLists.end()) {
        record->nameLists.push_back(std::make_unique<NameList>(std::move(copies)));
        held = std::prev(record->nameLists.end());
    }
    *names = (*held)->Array();
    *count = (*held)->Count();
    return QAV_OK;
}

uint32_t CDeviceManager::AddKeyHandle(QAV_HANDLE handle, std::unique_ptr<SessionKeyHandle> key) {
    const std::lock_guard<std::mutex> lock(tables_);
    DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    record->keyHandles.push_back(std::move(key));
    return QAV_OK;
}

std::unique_ptr<SessionKeyHandle> CDeviceManager::RemoveKeyHandle(QAV_HANDLE handle,
                                                                  const SessionKeyHandle* key) {
    const std::lock_guard<std::mutex> lock(tables_);
    DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return nullptr;
    auto& keys = record->keyHandles;
    const auto found = std::find_if(keys.begin(), keys.end(),
                                    [&](const auto& owned) { return owned.get() == key; });
    if (found == keys.end()) return nullptr;
    std::unique_ptr<SessionKeyHandle> removed = std::move(*found);
    keys.erase(found);
    return removed;
}

uint32_t CDeviceManager::CheckKeyHandle(QAV_HANDLE handle, const SessionKeyHandle* key) const {
    const std::lock_guard<std::mutex> lock(tables_);
    const DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    const auto& keys = record->keyHandles;
    const bool known = std::any_of(keys.begin(), keys.end(),
                                   [&](const auto& owned) { return owned.get() == key; });
    return known ? QAV_OK : QAV_E_BAD_KEY;
}

void CDeviceManager::ClearAll() {
    std::unique_ptr<NameList> list;
    std::vector<std::unique_ptr<DeviceRecord>> records;
    {
        const std::lock_guard<std::mutex> lock(tables_);
        list = std::move(lastDeviceList_);
        records.swap(records_);
    }
    // Oldest first, as they were handed out.
    for (auto& record : records) record.reset();
}

}  // namespace qav
