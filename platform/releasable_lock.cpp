#include "platform/releasable_lock.h"

namespace qav::platform {
namespace {

thread_local ReleasableLock* t_current = nullptr;

}  // namespace

ReleasableLock::ReleasableLock(std::mutex& mutex) : lock_(mutex), previous_(t_current) {
    t_current = this;
}

ReleasableLock::~ReleasableLock() { t_current = previous_; }

ReleasableLock* ReleasableLock::Current() noexcept { return t_current; }

}  // namespace qav::platform
