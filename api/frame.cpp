#include "api/frame.h"

namespace qav::api {

LibraryState& State() noexcept {
    static LibraryState state;
    return state;
}

std::recursive_mutex& ProcessLock() noexcept {
    static std::recursive_mutex lock;
    return lock;
}

uint32_t CheckDevice(QAV_HANDLE handle, CDevice** device) noexcept {
    CDeviceManager* manager = Manager();
    if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
    if (const uint32_t rc = manager->ValidateDevice(handle)) return rc;
    *device = reinterpret_cast<CDevice*>(handle);
    return QAV_OK;
}

}  // namespace qav::api
