// Device-change watches: started and stopped on the caller's thread, run
// on their own.
#include <thread>

#include "api/frame.h"
#include "device/device_watch.h"

using qav::api::Manager;
using qav::api::RunExport;

extern "C" QAV_EXPORT uint32_t QAV_CDECL QAV_DetectDeviceChange(QAV_DeviceChangeCallback callback,
                                                                uintptr_t userValue) {
    return RunExport([&] {
        qav::CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        if (callback == nullptr) return QAV_E_NULL_POINTER;
        auto watch = std::make_shared<qav::CDeviceWatch>(manager->Factory(), callback, userValue);
        if (const uint32_t rc = watch->Start()) return rc;
        manager->AddWatch(std::move(watch));
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_CDECL QAV_CancelDetectDeviceChange(uint32_t scope) {
    return RunExport([&] {
        qav::CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        if (scope != 0 && scope % 2 == 0) return QAV_OK;
        const auto stopped = manager->TakeWatches(scope != 0, std::this_thread::get_id());
        // Unlisted first, joined with no lock held.
        for (const auto& watch : stopped) watch->RequestStop();
        for (const auto& watch : stopped) watch->Join();
        return QAV_OK;
    });
}
