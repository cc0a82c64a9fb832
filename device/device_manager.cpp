#include "device/device_manager.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qav {
namespace {

bool IsListedDeviceName(const std::string& name) {
    return name.compare(0, 3, "ADM") == 0 || name.compare(0, 4, "DZYZ") == 0;
}

}  // namespace

CDeviceManager::~CDeviceManager() { ClearAll(); }

QAV_HANDLE CDeviceManager::RegisterDevice(std::unique_ptr<CDevice> device) {
    records_.push_back(std::make_unique<DeviceRecord>(std::move(device)));
    return reinterpret_cast<QAV_HANDLE>(records_.back()->handle);
}

void CDeviceManager::UnregisterDevice(QAV_HANDLE handle) {
    const auto found = std::find_if(records_.begin(), records_.end(), [&](const auto& record) {
        return reinterpret_cast<QAV_HANDLE>(record->handle) == handle;
    });
    if (found != records_.end()) records_.erase(found);
}

void CDeviceManager::DisconnectAll() {
    for (const auto& record : records_) {
        if (record->device && record->device->reader) record->device->reader->Disconnect(0);
    }
}

DeviceRecord* CDeviceManager::FindRecord(QAV_HANDLE handle) const {
    for (const auto& record : records_) {
        if (reinterpret_cast<QAV_HANDLE>(record->handle) == handle) return record.get();
    }
    return nullptr;
}

uint32_t CDeviceManager::ValidateDevice(QAV_HANDLE handle) const {
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
    lastDeviceList_ = std::make_unique<NameList>(std::move(kept));
    *names = lastDeviceList_->Array();
    *count = lastDeviceList_->Count();
}

uint32_t CDeviceManager::AddContainerList(QAV_HANDLE handle, const uint8_t* table, size_t tableSize,
                                          char*** names, uint32_t* count) {
    DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    std::vector<std::string> copies;
    for (size_t at = 0; at + kContainerRecordSize <= tableSize; at += kContainerRecordSize) {
        const char* entry = reinterpret_cast<const char*>(table + at);
        copies.emplace_back(entry, strnlen(entry, kContainerRecordSize));
    }
    auto list = std::make_unique<NameList>(std::move(copies));
    *names = list->Array();
    *count = list->Count();
    record->nameLists.push_back(std::move(list));
    return QAV_OK;
}

uint32_t CDeviceManager::AddKeyHandle(QAV_HANDLE handle, std::unique_ptr<SessionKeyHandle> key) {
    DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    record->keyHandles.push_back(std::move(key));
    return QAV_OK;
}

std::unique_ptr<SessionKeyHandle> CDeviceManager::RemoveKeyHandle(QAV_HANDLE handle,
                                                                  const SessionKeyHandle* key) {
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
    const DeviceRecord* record = FindRecord(handle);
    if (record == nullptr) return QAV_E_INVALID_HANDLE;
    const auto& keys = record->keyHandles;
    const bool known = std::any_of(keys.begin(), keys.end(),
                                   [&](const auto& owned) { return owned.get() == key; });
    return known ? QAV_OK : QAV_E_BAD_KEY;
}

void CDeviceManager::ClearAll() {
    lastDeviceList_.reset();
    // Oldest first, as they were handed out.
    while (!records_.empty()) records_.erase(records_.begin());
}

}  // namespace qav
