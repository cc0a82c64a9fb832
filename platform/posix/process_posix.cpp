#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "platform/process.h"

namespace qav::platform {
namespace {

// Every export compares the process with the one that built the library's
// state: asked of the kernel each time, that is a system call per export.
// The answer is kept, and a forked child forgets it before any of its code
// runs. A child made by a bare clone() skips the fork handlers and would
// keep the parent's number: fork() is the way to a child that uses us.
std::atomic<pid_t> g_process{0};

void ForgetProcess() noexcept { g_process.store(0, std::memory_order_relaxed); }

}  // namespace

uint32_t CurrentProcessId() noexcept {
    pid_t process = g_process.load(std::memory_order_relaxed);
    if (process == 0) {
        static const bool forgetsInChild = pthread_atfork(nullptr, nullptr, ForgetProcess) == 0;
        process = getpid();
        if (forgetsInChild) g_process.store(process, std::memory_order_relaxed);
    }
    return static_cast<uint32_t>(process);
}

}  // namespace qav::platform
