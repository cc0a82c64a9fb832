// A device-change watch: a thread of its own that lists the devices each
// time the service reports a change and tells the application what
// arrived and what left.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/device_factory.h"
#include "platform/pcsc.h"
#include "qavseal/qavseal.h"

namespace qav {

class CDeviceWatch : public std::enable_shared_from_this<CDeviceWatch> {
public:
    // Pause between a change and the listing that reports it, so a burst
    // of changes costs one listing.
    static constexpr uint32_t kPollPauseMs = 30;
    // Longest single wait in the service; bounds how late a stop request
    // that raced the wait is seen.
    static constexpr uint32_t kWaitSliceMs = 500;

    CDeviceWatch(CDeviceFactory& factory, QAV_DeviceChangeCallback callback,
                 uintptr_t userValue) noexcept;
    ~CDeviceWatch();
    CDeviceWatch(const CDeviceWatch&) = delete;
    CDeviceWatch& operator=(const CDeviceWatch&) = delete;

    // QAV_OK, or QAV_E_THREAD when no thread could be started.
    uint32_t Start();
    // Asks the thread to end: it does so at its next check, without another
    // callback. Takes no lock that the thread's callback could hold.
    void RequestStop() noexcept;
    // Waits for the thread to end. On the watch's own thread (a callback
    // that cancels its own watch) it lets the thread end by itself instead.
    void Join() noexcept;

    std::thread::id Owner() const noexcept { return owner_; }

    // What one listing reports against the previous one: arrivals in the
    // order of the new list, then removals in the order of the old one.
    struct Change {
        std::string name;
        bool arrived;
    };
    static std::vector<Change> Compare(const std::vector<std::string>& previous,
                                       const std::vector<std::string>& current);

private:
    void Run();
    uint32_t ListDevices(std::vector<std::string>* names);
    void PauseMs(uint32_t milliseconds);
    bool Running() const noexcept { return running_.load(); }

    // The service's view of the readers, kept on the watch's own context so
    // that a long wait blocks nobody else. True when that context was lost.
    bool Snapshot();
    // True when the wait ended because the service was lost.
    bool WaitForChange();
    // On a failed listing, true with its result in *failure.
    bool ReadersChanged(platform::PcscContext context, uint32_t* failure) const;
    void DropWaitContext() noexcept;

    CDeviceFactory& factory_;
    const QAV_DeviceChangeCallback callback_;
    const uintptr_t userValue_;
    const std::thread::id owner_;
    std::atomic<bool> running_{true};
    std::thread thread_;

    std::mutex pauseLock_;
    std::condition_variable pauseWake_;

    std::atomic<platform::PcscContext> waitContext_{0};
    std::vector<std::string> readerNames_;
    std::vector<platform::WatchedReader> readerStates_;
};

}  // namespace qav
