// Sleeping goes through one seam so tests can make the retry and polling
// pauses free and count them.
#pragma once

#include <cstdint>

namespace qav::platform {

using SleepFunction = void (*)(uint32_t milliseconds);

void SleepMs(uint32_t milliseconds);

// Installs a replacement (nullptr restores real sleeping); returns the one
// it replaced.
SleepFunction SetSleepFunction(SleepFunction function) noexcept;

}  // namespace qav::platform
