#include "api/frame.h"
#include "platform/process.h"

using qav::api::OwnManager;
using qav::api::RunExport;
using qav::api::State;
using qav::api::StateLock;

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Initialize(uint32_t /*reserved*/) {
    return RunExport([] {
        std::shared_ptr<qav::CDeviceManager> manager;
        {
            const std::lock_guard<std::mutex> lock(StateLock());
            qav::api::LibraryState& state = State();
            // A forked child starts afresh; the parent's state stays as it was.
            qav::api::AbandonInherited(state);
            if (state.usageCount != 0) {
                ++state.usageCount;
                return QAV_OK;
            }
            // A manager left by a failed start is reused: its factory tries again.
            if (!state.manager) {
                state.manager = std::make_shared<qav::CDeviceManager>();
                state.process = qav::platform::CurrentProcessId();
            }
            manager = state.manager;
        }
        // Establishing the context may wait for the service: no lock held.
        if (const uint32_t rc = manager->Factory().Start(qav::kCardFamilySeal, 0)) return rc;
        const std::lock_guard<std::mutex> lock(StateLock());
        ++State().usageCount;
        return QAV_OK;
    });
}

extern "C" QAV_EXPORT uint32_t QAV_API QAV_Finalize(uint32_t /*reserved*/) {
    return RunExport([] {
        std::shared_ptr<qav::CDeviceManager> manager;
        {
            const std::lock_guard<std::mutex> lock(StateLock());
            qav::api::LibraryState& state = State();
            if (!OwnManager(state) || state.usageCount == 0) return QAV_E_NOT_INITIALIZED;
            if (--state.usageCount > 0) return QAV_OK;
            manager = state.manager;
        }
        // Watches first, joined with no lock held: their callbacks may be
        // calling the library right now.
        manager->StopWatches();
        // Devices still open would be unreachable once their handles stop
        // being valid: they are closed here rather than leaked.
        manager->DisconnectAll();
        if (const uint32_t rc = manager->Factory().Stop(0)) return rc;
        manager->ClearAll();
        const std::lock_guard<std::mutex> lock(StateLock());
        // The manager goes when the last export still running on it ends.
        if (State().manager == manager && State().usageCount == 0) State().manager.reset();
        return QAV_OK;
    });
}
