#include <vector>

#include "api/frame.h"

using qav::api::Manager;
using qav::api::RunExport;

extern "C" QAV_EXPORT uint32_t QAV_API QAV_GetDeviceList(char*** names, uint32_t* count,
                                                         uint32_t showAll) {
    return RunExport([&] {
        qav::CDeviceManager* manager = Manager();
        if (manager == nullptr) return QAV_E_NOT_INITIALIZED;
        if (names == nullptr || count == nullptr) return QAV_E_NULL_POINTER;
        uint32_t size = 0;
        if (const uint32_t rc = manager->Factory().List(1, nullptr, &size, 0)) return rc;
        std::vector<char> buffer(size);
        // A reader that appeared since the size query shows as a buffer too small.
        if (const uint32_t rc = manager->Factory().List(1, buffer.data(), &size, 0)) return rc;
        manager->SetDeviceList(buffer.data(), size, showAll, names, count);
        return *count != 0 ? QAV_OK : QAV_E_NO_DEVICE;
    });
}
