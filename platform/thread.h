// Threads the library starts itself (the device-change watches).
#pragma once

#include <functional>
#include <thread>

namespace qav::platform {

// Starts `body` on a new thread; false when the system cannot start one.
bool StartThread(std::function<void()> body, std::thread* thread) noexcept;

}  // namespace qav::platform
