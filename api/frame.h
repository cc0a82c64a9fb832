// What every export shares: the process-wide state, the lock, the one
// exception boundary and the common prologue.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

#include "device/device_manager.h"
#include "platform/crash_dump.h"
#include "qavseal/qavseal.h"

namespace qav::api {

struct LibraryState {
    std::unique_ptr<CDeviceManager> manager;  // initialised exactly when set
    uint32_t usageCount = 0;
};

LibraryState& State() noexcept;

// Serialises the exports (and, per poll, the device-change watches), so the
// manager, the factory and the master reader never see two threads at once.
std::recursive_mutex& ProcessLock() noexcept;

// Runs an export's body under the process lock. No exception leaves it:
// running out of memory becomes QAV_E_NO_MEMORY, anything else
// QAV_E_INTERNAL. A calling thread is also readied for the crash handler,
// the one point where the library meets threads it did not create.
template <typename Body>
uint32_t RunExport(Body&& body) noexcept {
    platform::PrepareCrashStack();
    try {
        const std::lock_guard<std::recursive_mutex> lock(ProcessLock());
        return body();
    } catch (const std::bad_alloc&) {
        return QAV_E_NO_MEMORY;
    } catch (...) {
        return QAV_E_INTERNAL;
    }
}

// Prologue step 1: the manager exists.
inline CDeviceManager* Manager() noexcept { return State().manager.get(); }

// Prologue steps 1 and 2: initialised, then a registered handle. On success
// *device is the open device.
uint32_t CheckDevice(QAV_HANDLE handle, CDevice** device) noexcept;

// An export on one open device: the prologue, then the body with the device.
template <typename Body>
uint32_t RunDeviceExport(QAV_HANDLE handle, Body&& body) noexcept {
    return RunExport([&] {
        CDevice* device = nullptr;
        if (const uint32_t rc = CheckDevice(handle, &device)) return rc;
        return body(*device);
    });
}

}  // namespace qav::api
