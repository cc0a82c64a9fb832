// The calling process, to tell a forked child from the process that built
// the library's state.
#pragma once

#include <cstdint>

namespace qav::platform {

uint32_t CurrentProcessId() noexcept;

}  // namespace qav::platform
