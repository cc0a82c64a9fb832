#include <windows.h>

#include "platform/process.h"

namespace qav::platform {

uint32_t CurrentProcessId() noexcept { return static_cast<uint32_t>(GetCurrentProcessId()); }

}  // namespace qav::platform
