// What every export shares: the process-wide state, the one exception
// boundary, the common prologue, the device's owner and the card
// transaction.
//
// Locks: the state below has a short lock of its own; the manager and the
// factory lock their own tables. An export on a device owns that device
// for its whole run, a caller's callbacks included (the one lock held
// across a callback; exports on other devices never wait for it). Lock
// order: a device before any table lock; no table lock is held across a
// service call, a pause or a callback.
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
    // Outlives a failed first start (its factory tries again) and the last
    // Finalize while that stops the watches; initialised exactly while
    // usageCount is above 0.
    std::shared_ptr<CDeviceManager> manager;
    uint32_t usageCount = 0;
    uint32_t process = 0;  // the process that made the manager
};

// Read and change only under StateLock().
LibraryState& State() noexcept;
std::mutex& StateLock() noexcept;

// The manager when this process made it. A forked child sees none: the
// copy it inherited holds the parent's context, connections and threads.
std::shared_ptr<CDeviceManager> OwnManager(const LibraryState& state) noexcept;
// Sets an inherited manager aside for good, untouched: destroying it would
// release the parent's context over the socket both processes share and
// join threads that do not exist here. May throw std::bad_alloc.
void AbandonInherited(LibraryState& state);

// Keeps the manager of the moment alive for one export on this thread, so
// a QAV_Finalize on another thread cannot pull it away mid-call.
class ExportScope {
public:
    ExportScope();
    ~ExportScope();
    ExportScope(const ExportScope&) = delete;
    ExportScope& operator=(const ExportScope&) = delete;

    CDeviceManager* Held() const noexcept;

private:
    std::shared_ptr<CDeviceManager> manager_;
    const ExportScope* previous_;
};

// Runs an export's body. No exception leaves it: running out of memory
// becomes QAV_E_NO_MEMORY, anything else QAV_E_INTERNAL. A calling thread
// is also readied for the crash handler, the one point where the library
// meets threads it did not create.
template <typename Body>
uint32_t RunExport(Body&& body) noexcept {
    platform::PrepareCrashStack();
    try {
        const ExportScope scope;
        return body();
    } catch (const std::bad_alloc&) {
        return QAV_E_NO_MEMORY;
    } catch (...) {
        return QAV_E_INTERNAL;
    }
}

// Prologue step 1: the library is initialised; the manager the running
// export holds, or null.
CDeviceManager* Manager() noexcept;

// Prologue steps 1 and 2: initialised, then a registered handle. On success
// *device is the open device; only RunDeviceExport keeps it alive and
// locked.
uint32_t CheckDevice(QAV_HANDLE handle, CDevice** device) noexcept;

// An export on one open device: the prologue, then the body with the
// device, which the calling thread owns meanwhile. A device closed by
// another thread while this call waited for it is an unknown handle.
template <typename Body>
uint32_t RunDeviceExport(QAV_HANDLE handle, Body&& body) noexcept {
    return RunExport([&]() -> uint32_t {
        CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        const std::shared_ptr<CDevice> device = manager->AcquireDevice(handle);
        if (!device) return QAV_E_INVALID_HANDLE;
        const DeviceOwnership owned(*device);
        if (device->closed) return QAV_E_INVALID_HANDLE;
        return body(*device);
    });
}

// The card held for one export against other applications: a PC/SC
// transaction of its own, unless one is held on the device already (the
// caller's QAV_Lock, or the export whose callback runs this one). It spans
// the export's callbacks, and opens the reader's command sequence.
class CardTransaction {
public:
    explicit CardTransaction(CDevice& device) noexcept : device_(device) {}
    ~CardTransaction() { End(QAV_OK); }
    CardTransaction(const CardTransaction&) = delete;
    CardTransaction& operator=(const CardTransaction&) = delete;

    uint32_t Begin();
    // The export's result tells whether the transaction is still there to end.
    void End(uint32_t exportResult);

private:
    CDevice& device_;
    bool sequence_ = false;
    bool began_ = false;
};

// An export that talks to the card: the prologue, its own argument checks,
// then the body inside the card transaction. checks() → result;
// body(CDevice&) → result.
template <typename Checks, typename Body>
uint32_t RunCardSequence(QAV_HANDLE handle, Checks&& checks, Body&& body) noexcept {
    return RunDeviceExport(handle, [&](CDevice& device) -> uint32_t {
        if (const uint32_t rc = checks()) return rc;
        CardTransaction transaction(device);
        if (const uint32_t rc = transaction.Begin()) return rc;
        const uint32_t rc = body(device);
        transaction.End(rc);
        return rc;
    });
}

}  // namespace qav::api
