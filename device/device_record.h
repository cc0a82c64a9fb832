// What the manager keeps for one open device: the handle and everything
// handed out for it, freed when the device closes.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/device.h"
#include "device/name_list.h"

namespace qav {

// Stands for a session key on the card; the caller holds its address.
struct SessionKeyHandle {
    uint32_t keyNumber = 0;
    uint32_t algorithm = 0;
};

struct DeviceRecord {
    explicit DeviceRecord(std::shared_ptr<CDevice> opened) noexcept
        : handle(opened.get()), device(std::move(opened)) {}

    CDevice* handle;
    // The open device lives as long as its record, and as long as a call
    // that is still running on it.
    std::shared_ptr<CDevice> device;
    std::vector<std::unique_ptr<NameList>> nameLists;
    std::vector<std::unique_ptr<SessionKeyHandle>> keyHandles;
};

// Records are destroyed oldest list first, then the device itself.

}  // namespace qav
