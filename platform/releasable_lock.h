// A lock an export holds for its whole run, and the way out of it around a
// caller's callback.
#pragma once

#include <mutex>

namespace qav::platform {

// Locks the mutex for the calling thread and becomes the thread's current
// releasable lock (a callback may run another export, which nests).
class ReleasableLock {
public:
    explicit ReleasableLock(std::mutex& mutex);
    ~ReleasableLock();
    ReleasableLock(const ReleasableLock&) = delete;
    ReleasableLock& operator=(const ReleasableLock&) = delete;

    // The innermost one this thread holds, or null.
    static ReleasableLock* Current() noexcept;

    void Release() { lock_.unlock(); }
    void Reacquire() { lock_.lock(); }

private:
    std::unique_lock<std::mutex> lock_;
    ReleasableLock* previous_;
};

// Runs a caller's callback (MAC, encryption, cryptogram, progress) with the
// running export's lock let go: the callback may block, or call the
// library again, even on the same device, without a deadlock.
template <typename Callback>
auto WithLockReleased(Callback&& callback) {
    struct Relock {
        ReleasableLock* held;
        ~Relock() {
            if (held != nullptr) held->Reacquire();
        }
    };
    const Relock relock{ReleasableLock::Current()};
    if (relock.held != nullptr) relock.held->Release();
    return callback();
}

}  // namespace qav::platform
