// An open device; its address is the handle the caller holds.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>

#include "card/common/card.h"
#include "reader/reader.h"

namespace qav {

struct CDevice {
    static constexpr size_t kNameCapacity = 256;

    std::unique_ptr<CReader> reader;  // the device's own reader, with its own context
    std::unique_ptr<CCard> card;      // talks through `reader`, so goes first
    std::array<char, kNameCapacity> name{};

    // The thread running an export on the device owns it until the export
    // ends, callbacks included: a command sequence and the caller's MAC or
    // cryptogram in the middle of it stay together. Exports the owner's
    // callbacks run on it nest; other threads wait. Taken through
    // DeviceOwnership only.
    std::recursive_mutex owner;

    // Read and changed by the owning thread only.
    uint32_t ownerDepth = 0;  // the owner's exports running on it, nested through callbacks
    // Closing sets it, so a call that waited for the device finds it gone.
    bool closed = false;
    // Closed from a callback of an export on it: the connection goes when
    // that export ends, so the export never talks through a dropped one.
    bool disconnectWhenIdle = false;
    uint32_t callerTransactions = 0;  // QAV_Lock calls not yet undone
    bool exportTransaction = false;   // an export's own transaction is held
};

// Makes the calling thread the device's owner for one export.
class DeviceOwnership {
public:
    explicit DeviceOwnership(CDevice& device);
    ~DeviceOwnership();
    DeviceOwnership(const DeviceOwnership&) = delete;
    DeviceOwnership& operator=(const DeviceOwnership&) = delete;

    // True inside an export the same thread already runs on the device.
    bool Nested() const noexcept { return device_.ownerDepth > 1; }

private:
    CDevice& device_;
    const std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace qav
