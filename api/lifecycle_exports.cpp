#include "api/frame.h"

using qav::api::RunExport;
using qav::api::State;

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Initialize(uint32_t /*reserved*/) {
    return RunExport([] {
        qav::api::LibraryState& state = State();
        if (state.usageCount != 0) {
            ++state.usageCount;
            return QAV_OK;
        }
        // A manager left by a failed start is reused: its factory tries again.
        if (!state.manager) state.manager = std::make_unique<qav::CDeviceManager>();
        if (const uint32_t rc = state.manager->Factory().Start(qav::kCardFamilySeal, 0)) return rc;
        state.usageCount = 1;
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Finalize(uint32_t /*reserved*/) {
    return RunExport([] {
        qav::api::LibraryState& state = State();
        if (!state.manager || state.usageCount == 0) return QAV_E_NOT_INITIALIZED;
        if (--state.usageCount > 0) return QAV_OK;
        // Devices still open would be unreachable once their handles stop
        // being valid: they are closed here rather than leaked.
        state.manager->DisconnectAll();
        if (const uint32_t rc = state.manager->Factory().Stop(0)) return rc;
        state.manager->ClearAll();
        state.manager.reset();
        return QAV_OK;
    });
}
