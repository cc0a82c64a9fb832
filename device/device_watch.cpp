#include "device/device_watch.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>

#include "platform/crash_dump.h"
#include "platform/thread.h"

namespace qav {
namespace {

// Readers whose names do not fit make the listing fail, which the watch
// reports as every device gone, as it would any failed listing.
constexpr uint32_t kListCapacity = 4096;

std::vector<std::string> SplitMultiString(const char* text, size_t size) {
    std::vector<std::string> names;
    const char* const end = text + size;
    for (const char* name = text; name < end && *name != '\0';) {
        const size_t length = strnlen(name, static_cast<size_t>(end - name));
        names.emplace_back(name, length);
        name += length + 1;
    }
    return names;
}

// A state query that ran: it found a change, or (with a zero timeout)
// nothing to report.
bool Answered(uint32_t rc) { return rc == QAV_OK || rc == platform::kScardTimeout; }

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

CDeviceWatch::CDeviceWatch(CDeviceFactory& factory, QAV_DeviceChangeCallback callback,
                           uintptr_t userValue) noexcept
    : factory_(factory),
      callback_(callback),
      userValue_(userValue),
      owner_(std::this_thread::get_id()) {}

CDeviceWatch::~CDeviceWatch() {
    // Reached only after Join (or on the detached thread itself).
    if (thread_.joinable()) thread_.detach();
}

uint32_t CDeviceWatch::Start() {
    // The thread keeps its watch alive, also after a cancel from its own
    // callback has detached it.
    auto self = shared_from_this();
    if (!platform::StartThread([self] { self->Run(); }, &thread_)) return QAV_E_THREAD;
    return QAV_OK;
}

void CDeviceWatch::RequestStop() noexcept {
    running_.store(false);
    { const std::lock_guard<std::mutex> lock(pauseLock_); }
    pauseWake_.notify_all();
    if (const platform::PcscContext context = waitContext_.load()) platform::CancelWait(context);
}

void CDeviceWatch::Join() noexcept {
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    // A stop that raced the start of a service wait is seen when that wait
    // slice ends; cancel once more for the common case.
    RequestStop();
    thread_.join();
}

std::vector<CDeviceWatch::Change> CDeviceWatch::Compare(const std::vector<std::string>& previous,
                                                        const std::vector<std::string>& current) {
    std::vector<Change> changes;
    for (const std::string& name : current) {
        if (!Contains(previous, name)) changes.push_back({name, true});
    }
    for (const std::string& name : previous) {
        if (!Contains(current, name)) changes.push_back({name, false});
    }
    return changes;
}

void CDeviceWatch::Run() {
    // The application's callback runs here: a stack overflow in it is dumped.
    platform::PrepareCrashStack();
    std::vector<std::string> previous;
    bool restart = false;
    bool serviceLost = false;  // since the last listing
    while (Running()) {
        // Taken before the listing, so a change during it still ends the wait.
        serviceLost = Snapshot() || serviceLost;
        if (restart) restart = factory_.Restart(0) != QAV_OK;
        // A lost service counts as a failed listing even when a new service
        // is up by now: its cards were reset, and the listing's retries
        // would otherwise hide a quick restart.
        std::vector<std::string> current;
        if (serviceLost || ListDevices(&current) != QAV_OK) {
            restart = true;
            current.clear();
        }
        for (const Change& change : Compare(previous, current)) {
            if (!Running()) break;
            callback_(change.name.c_str(), change.arrived ? 1 : 0, userValue_, 0);
        }
        previous = std::move(current);
        // After a loss the cards may be back already, which no wait would
        // show: list again at once.
        serviceLost = !serviceLost && WaitForChange();
        // Changes that come together (two keys inserted at once) are then
        // seen by one listing, in reader order.
        PauseMs(kPollPauseMs);
    }
    DropWaitContext();
}

uint32_t CDeviceWatch::ListDevices(std::vector<std::string>* names) {
    std::array<char, kListCapacity> buffer{};
    uint32_t size = kListCapacity;
    bool recovered = false;
    if (const uint32_t rc = factory_.List(1, buffer.data(), &size, 0, &recovered)) return rc;
    if (recovered) return platform::kScardNoService;
    *names = SplitMultiString(buffer.data(), size);
    return QAV_OK;
}

void CDeviceWatch::PauseMs(uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(pauseLock_);
    pauseWake_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return !Running(); });
}

bool CDeviceWatch::Snapshot() {
    readerNames_.clear();
    readerStates_.clear();
    platform::PcscContext context = waitContext_.load();
    if (context == 0) {
        if (platform::EstablishContext(&context) != QAV_OK) return false;
        waitContext_.store(context);
        // A stop requested while the context did not exist yet.
        if (!Running()) return false;
    }
    platform::ServiceReaderList list;
    const uint32_t rc = platform::ListReaders(context, &list);
    if (rc == QAV_OK) readerNames_ = SplitMultiString(list.data(), list.size());
    if (rc != QAV_OK && rc != platform::kScardNoReadersAvailable) {
        DropWaitContext();
        return platform::IsLostContext(rc);
    }
    readerNames_.emplace_back(platform::kPnpNotificationReader);
    readerStates_.resize(readerNames_.size());
    for (size_t i = 0; i < readerNames_.size(); ++i) {
        readerStates_[i].name = readerNames_[i].c_str();
    }
    // Learn the current states without waiting. With no reader at all the
    // notification reader alone has nothing to report and the query times
    // out: that is an answer too, and the watch then waits on it rather
    // than listing every pause.
    if (!Answered(
            platform::WaitForChange(context, readerStates_.data(), readerStates_.size(), 0))) {
        // Without the notification reader (an older service) the readers
        // are still watched; new readers then show at the next change, or
        // at the next slice's comparison of the names.
        readerNames_.pop_back();
        readerStates_.pop_back();
        if (readerStates_.empty() || !Answered(platform::WaitForChange(
                                         context, readerStates_.data(), readerStates_.size(), 0))) {
            readerStates_.clear();
            return false;
        }
    }
    for (platform::WatchedReader& reader : readerStates_) {
        reader.known = reader.seen & ~platform::kStateChanged;
    }
    return false;
}

bool CDeviceWatch::WaitForChange() {
    const platform::PcscContext context = waitContext_.load();
    // Nothing to wait on (the service is gone): the pause alone paces the
    // listings.
    if (context == 0) return false;
    while (Running()) {
        uint32_t rc = platform::kScardTimeout;
        if (readerStates_.empty()) {
            // No reader and no notification reader to wait on: the names
            // are compared once a slice.
            PauseMs(kWaitSliceMs);
        } else {
            rc = platform::WaitForChange(context, readerStates_.data(), readerStates_.size(),
                                         kWaitSliceMs);
        }
        // A reader that came between the snapshot and a wait may escape the
        // notification reader: each slice also compares the reader names.
        if (rc == platform::kScardTimeout && !ReadersChanged(context, &rc)) continue;
        if (rc != QAV_OK && rc != platform::kScardCancelled && rc != platform::kScardTimeout) {
            DropWaitContext();
        }
        return platform::IsLostContext(rc);
    }
    return false;
}

bool CDeviceWatch::ReadersChanged(platform::PcscContext context, uint32_t* failure) const {
    platform::ServiceReaderList list;
    const uint32_t rc = platform::ListReaders(context, &list);
    if (rc != QAV_OK && rc != platform::kScardNoReadersAvailable) {
        *failure = rc;
        return true;
    }
    std::vector<std::string> names = SplitMultiString(list.data(), list.size());
    names.emplace_back(platform::kPnpNotificationReader);
    std::vector<std::string> watched = readerNames_;
    if (watched.empty() || watched.back() != platform::kPnpNotificationReader) {
        watched.emplace_back(platform::kPnpNotificationReader);
    }
    return names != watched;
}

void CDeviceWatch::DropWaitContext() noexcept {
    const platform::PcscContext context = waitContext_.exchange(0);
    if (context != 0) platform::ReleaseContext(context);
}

}  // namespace qav
