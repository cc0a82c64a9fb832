#include <unistd.h>

#include "platform/process.h"

namespace qav::platform {

uint32_t CurrentProcessId() noexcept { return static_cast<uint32_t>(getpid()); }

}  // namespace qav::platform
