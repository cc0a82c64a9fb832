#include "platform/wait.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace qav::platform {
namespace {

void RealSleep(uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

std::atomic<SleepFunction> g_sleep{&RealSleep};

}  // namespace

void SleepMs(uint32_t milliseconds) { g_sleep.load()(milliseconds); }

SleepFunction SetSleepFunction(SleepFunction function) noexcept {
    return g_sleep.exchange(function != nullptr ? function : &RealSleep);
}

}  // namespace qav::platform
