// Exports that work on devices: listing, opening, raw commands, states.
#include <array>
#include <vector>

#include "api/card_export.h"
#include "api/device_state.h"
#include "api/transmit.h"
#include "card/seal/card_seal.h"
#include "device/seal_application.h"

using qav::CDevice;
using qav::api::Manager;
using qav::api::NoChecks;
using qav::api::RunCardSequence;
using qav::api::RunDeviceExport;
using qav::api::RunExport;

namespace {

constexpr uint32_t kMinCommandLength = 4;

}  // namespace

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetDeviceList(char*** names, uint32_t* count,
                                                         uint32_t showAll) {
    return RunExport([&] {
        qav::CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        if (names == nullptr || count == nullptr) return QAV_E_NULL_POINTER;
        // One listing, whole: no size query that would list everything twice.
        std::vector<char> list;
        if (const uint32_t rc = manager->Factory().List(1, &list)) return rc;
        manager->SetDeviceList(list.data(), list.size(), showAll, names, count);
        return *count != 0 ? QAV_OK : QAV_E_NO_DEVICE;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_OpenDevice(const char* name, QAV_HANDLE* handle,
                                                      uint32_t reserved) {
    return RunExport([&] {
        qav::CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        if (name == nullptr || handle == nullptr) return QAV_E_NULL_POINTER;
        std::unique_ptr<CDevice> device;
        if (const uint32_t rc = manager->Factory().Open(name, &device, reserved)) return rc;
        *handle = manager->RegisterDevice(std::move(device));
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_CloseDevice(QAV_HANDLE handle, uint32_t /*reserved*/) {
    return RunDeviceExport(handle, [&](CDevice& device) {
        qav::CDeviceManager* manager = Manager();
        // A callback closing the device its export runs on: that export
        // ends first, then the connection goes.
        const bool nested = device.ownerDepth > 1;
        if (nested) device.disconnectWhenIdle = true;
        const uint32_t rc = nested ? QAV_OK : manager->Factory().Close(&device, 0);
        // A handle the caller cannot close would be lost for good. Calls
        // waiting for the device find it closed; the device itself goes
        // when the last of them has seen that.
        device.closed = true;
        manager->UnregisterDevice(handle);
        return rc;
    });
}

// While the caller holds the card, exports run inside its transaction
// instead of beginning their own.
extern "C" QAV_EXPORT uint32_t QAV_API QAV_Lock(QAV_HANDLE handle, uint32_t /*reserved*/) {
    return RunDeviceExport(handle, [](CDevice& device) {
        const uint32_t rc = device.reader->BeginTransaction(0, 0);
        if (rc == QAV_OK) ++device.callerTransactions;
        return rc;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Unlock(QAV_HANDLE handle, uint32_t /*reserved*/) {
    return RunDeviceExport(handle, [](CDevice& device) {
        // Counted off whatever the service answers: a transaction it cannot
        // end is gone (a pulled card, a lost service), and exports must not
        // go on trusting it.
        if (device.callerTransactions > 0) --device.callerTransactions;
        return device.reader->EndTransaction(0);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Transmit(QAV_HANDLE handle, const uint8_t* command,
                                                    uint32_t commandLength, uint8_t* response,
                                                    uint32_t* responseLength, uint32_t* statusWord,
                                                    uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (command == nullptr) return QAV_E_NULL_POINTER;
        // Every ISO 7816 command has CLA INS P1 P2. Shorter bytes would reach
        // the reader as something else (one byte is a power control to the
        // virtual reader), so they are refused before anything is sent.
        if (commandLength < kMinCommandLength) return QAV_E_BAD_LENGTH;
        if (responseLength == nullptr || statusWord == nullptr) return QAV_E_NULL_POINTER;
        return QAV_OK;
    };
    // The command and the GET RESPONSE that fetch its answer are one
    // sequence: only the command itself is sent again after a reset.
    return RunCardSequence(handle, checks, [&](CDevice& device) {
        return qav::api::TransmitRaw(device, command, commandLength, response, responseLength,
                                     statusWord);
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Reset(QAV_HANDLE handle, uint32_t /*reserved*/) {
    return RunCardSequence(handle, NoChecks, [](CDevice& device) {
        qav::CCardSeal* card = qav::SealCardOf(device);
        return card != nullptr ? card->Reset(0) : QAV_E_NOT_SUPPORTED;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_ClearSecureState(QAV_HANDLE handle,
                                                            uint32_t /*reserved*/) {
    // Selecting the application by name drops a verified PIN and any
    // authentication the card had reached.
    return RunCardSequence(
        handle, NoChecks, [](CDevice& device) { return qav::SelectSealApplication(device, 1, 0); });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetState(QAV_HANDLE handle, uint32_t kind,
                                                    uint32_t* state, uint32_t /*reserved*/) {
    const auto checks = [&] {
        if (state == nullptr) return QAV_E_NULL_POINTER;
        if (kind < 1 || kind > 4) return QAV_E_BAD_SELECTOR;
        return QAV_OK;
    };
    return RunCardSequence(handle, checks, [&](CDevice& device) {
        return qav::api::ReadDeviceState(device, kind, state);
    });
}
