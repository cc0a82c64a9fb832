// The watch: how long after a card leaves or arrives at the virtual key the
// callback comes, against a raw SCardGetStatusChange waiting on the same
// reader; and the CPU an idle watch costs over two readers and over none.
#include <winscard.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "family_support.h"
#include "sampling.h"
#include "service_calls.h"

namespace bench {
namespace {

// Changes seen at one reader, by whoever reports them.
class Changes {
public:
    void Add(bool present) {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            seen_.push_back({present, Clock::now()});
        }
        changed_.notify_all();
    }
    // When the reader was first seen in that state after since.
    std::optional<Clock::time_point> WaitFor(bool present, Clock::time_point since,
                                             std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        std::optional<Clock::time_point> found;
        changed_.wait_for(lock, timeout, [&] {
            for (const Seen& s : seen_) {
                if (s.present == present && s.at >= since) {
                    found = s.at;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    struct Seen {
        bool present;
        Clock::time_point at;
    };
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Seen> seen_;
};

struct WatchTarget {
    std::string reader;
    Changes changes;
};

uint32_t QAV_CALLBACK OnDeviceChange(const char* name, uint32_t arrived, uintptr_t user, uint32_t) {
    auto* target = reinterpret_cast<WatchTarget*>(user);
    if (target != nullptr && target->reader == name) target->changes.Add(arrived != 0);
    return 0;
}

uint32_t QAV_CALLBACK IgnoreChange(const char*, uint32_t, uintptr_t, uint32_t) { return 0; }

// A plain client waiting in the service for the reader's changes.
class RawWatcher {
public:
    RawWatcher(const std::string& reader, Changes& changes)
        : thread_([this, reader, &changes] { Wait(reader, changes); }) {
        // A change made before the first query would go unseen.
        while (!ready_) std::this_thread::yield();
    }
    RawWatcher(const RawWatcher&) = delete;
    RawWatcher& operator=(const RawWatcher&) = delete;
    ~RawWatcher() {
        stop_ = true;
        SCardCancel(context_.Handle());
        thread_.join();
    }

private:
    void Wait(const std::string& reader, Changes& changes) {
        SCARD_READERSTATE state{};
        state.szReader = reader.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        SCardGetStatusChange(context_.Handle(), 0, &state, 1);
        bool present = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
        ready_ = true;
        while (!stop_) {
            state.dwCurrentState = state.dwEventState & ~DWORD{SCARD_STATE_CHANGED};
            // A bounded wait: a cancel that comes between two waits is not lost.
            const LONG rc = SCardGetStatusChange(context_.Handle(), 1000, &state, 1);
            if (rc == SCARD_E_TIMEOUT) continue;
            if (rc != SCARD_S_SUCCESS) return;
            const bool now = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (now != present) changes.Add(now);
            present = now;
        }
    }

    PcscContext context_;
    std::atomic<bool> ready_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Watch {
public:
    Watch(QAV_DeviceChangeCallback callback, uintptr_t user)
        : result_(QAV_DetectDeviceChange(callback, user)) {}
    Watch(const Watch&) = delete;
    Watch& operator=(const Watch&) = delete;
    ~Watch() {
        if (result_ == QAV_OK) QAV_CancelDetectDeviceChange(0);
    }
    uint32_t Result() const { return result_; }

private:
    uint32_t result_;
};

void MeasureLatency(benchmark::State& state, const Key& key) {
    const int changes = Brief() ? 4 : 200;
    constexpr std::chrono::milliseconds kPatience{5000};
    WatchTarget target{key.reader, {}};
    Changes rawChanges;
    std::vector<double> library;
    std::vector<double> raw;
    int missed = 0;
    for (auto _ : state) {
        const Watch watch(OnDeviceChange, reinterpret_cast<uintptr_t>(&target));
        const RawWatcher watcher(key.reader, rawChanges);
        if (watch.Result() != QAV_OK ||
            !target.changes.WaitFor(true, Clock::time_point{}, kPatience)) {
            state.SkipWithError("the watch did not report the key");
            return;
        }
        for (int i = 0; i < changes; ++i) {
            const bool present = i % 2 == 1;  // a removal first, then an insertion
            const Clock::time_point sent = Clock::now();
            if (!SendControl(key.control, present ? "insert" : "remove")) {
                state.SkipWithError("the key's control FIFO refused the change");
                return;
            }
            const auto reported = target.changes.WaitFor(present, sent, kPatience);
            const auto seen = rawChanges.WaitFor(present, sent, kPatience);
            if (!reported || !seen) {
                ++missed;
                continue;
            }
            library.push_back(Milliseconds(*reported - sent));
            raw.push_back(Milliseconds(*seen - sent));
        }
    }
    // The key goes back in whatever happened.
    SendControl(key.control, "insert");
    state.counters["changes"] = changes;
    state.counters["missed"] = missed;
    state.counters["qav_p50_ms"] = Percentile(library, 0.5);
    state.counters["qav_p99_ms"] = Percentile(library, 0.99);
    state.counters["raw_p50_ms"] = Percentile(raw, 0.5);
    state.counters["raw_p99_ms"] = Percentile(raw, 0.99);
    state.counters["ratio_p50"] = Percentile(library, 0.5) / Percentile(raw, 0.5);
    state.counters["behind_raw_p50_ms"] = Percentile(library, 0.5) - Percentile(raw, 0.5);
}

void MeasureIdle(benchmark::State& state, const Setup& setup) {
    const double window = Brief() ? 2.0 : 60.0;
    for (auto _ : state) {
        const Watch watch(IgnoreChange, 0);
        if (watch.Result() != QAV_OK) {
            state.SkipWithError("the watch did not start");
            return;
        }
        // The watch's first listing reports the keys; idle starts after it.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const ServiceCalls before = CountedCalls();
        const double cpuBefore = ProcessCpuSeconds();
        const Clock::time_point start = Clock::now();
        std::this_thread::sleep_for(std::chrono::duration<double>(window));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = ProcessCpuSeconds() - cpuBefore;
        const ServiceCalls calls = CountedCalls() - before;
        state.counters["readers"] = static_cast<double>(setup.keys.size());
        state.counters["window_s"] = wall;
        state.counters["cpu_percent_of_core"] = 100 * cpu / wall;
        state.counters["status_queries_per_s"] = static_cast<double>(calls.statusQueries) / wall;
        state.counters["listings_per_s"] = static_cast<double>(calls.listings) / wall;
        state.counters["connects"] = static_cast<double>(calls.connects);
    }
}

}  // namespace

Lines RegisterWatch(const Setup& setup) {
    const Key& key = setup.keys.front();
    if (key.control.empty()) {
        RegisterFailure("Watch/latency", "no control FIFO for the key");
        return {};
    }
    RegisterMeasurement("Watch/latency",
                        [&key](benchmark::State& state) { MeasureLatency(state, key); });
    RegisterMeasurement("Watch/idle",
                        [&setup](benchmark::State& state) { MeasureIdle(state, setup); });
    return {{"Watch/latency",
             "qav_p50_ms",
             "Watch: callback after a card change, p50 ms",
             {},
             {"raw_p50_ms", "qav_p99_ms", "raw_p99_ms", "changes", "missed"}},
            {"Watch/latency",
             "behind_raw_p50_ms",
             "Watch: callback behind a raw SCardGetStatusChange, p50 ms",
             {},
             {"ratio_p50"}},
            {"Watch/latency",
             "missed",
             "Watch: changes not reported within 5 s",
             {Goal::kAtMost, 0},
             {}},
            {"Watch/idle",
             "cpu_percent_of_core",
             "Watch: CPU with two readers and no change, % of one core",
             {Goal::kAtMost, 1},
             {"window_s", "status_queries_per_s", "listings_per_s", "connects"}}};
}

Lines RegisterIdleWatch(const Setup& setup) {
    RegisterMeasurement("Watch/idle_no_readers",
                        [&setup](benchmark::State& state) { MeasureIdle(state, setup); });
    return {{"Watch/idle_no_readers",
             "cpu_percent_of_core",
             "Watch: CPU with no reader at all, % of one core",
             {Goal::kAtMost, 1},
             {"window_s", "status_queries_per_s", "listings_per_s"}}};
}

}  // namespace bench
