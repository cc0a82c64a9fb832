#include "api/frame.h"

namespace qav::api {
namespace {

thread_local const ExportScope* t_scope = nullptr;

}  // namespace

LibraryState& State() noexcept {
    static LibraryState state;
    return state;
}

std::mutex& StateLock() noexcept {
    static std::mutex lock;
    return lock;
}

ExportScope::ExportScope() : previous_(t_scope) {
    {
        const std::lock_guard<std::mutex> lock(StateLock());
        // A manager left by a failed first start, or by a last Finalize
        // still at work, is no initialised library: exports answer "not
        // initialised" rather than an unknown handle.
        if (State().usageCount != 0) manager_ = State().manager;
    }
    t_scope = this;
}

ExportScope::~ExportScope() { t_scope = previous_; }

CDeviceManager* ExportScope::Held() const noexcept { return manager_.get(); }

CDeviceManager* Manager() noexcept {
    if (t_scope != nullptr) return t_scope->Held();
    const std::lock_guard<std::mutex> lock(StateLock());
    return State().usageCount != 0 ? State().manager.get() : nullptr;
}

uint32_t CheckDevice(QAV_HANDLE handle, CDevice** device) noexcept {
    CDeviceManager* manager = Manager();
    if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
    if (const uint32_t rc = manager->ValidateDevice(handle)) return rc;
    *device = reinterpret_cast<CDevice*>(handle);
    return QAV_OK;
}

}  // namespace qav::api
