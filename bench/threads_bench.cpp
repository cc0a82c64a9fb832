// Eight threads at once: each on its own key, the exports against the same
// commands sent raw (the library's locks must not serialise independent
// devices); then all eight on one key, which must serialise without errors.
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "family_support.h"
#include "sampling.h"
#include "service_calls.h"

namespace bench {
namespace {

constexpr uint32_t kScratchFile = 0x1011;
constexpr uint32_t kAbilityFile = 0x4000;
constexpr uint32_t kPiece = 240;
constexpr uint32_t kAbilityLength = 64;

bool ReadPiece(QAV_HANDLE device, uint32_t fid, uint32_t length, std::vector<uint8_t>& out) {
    out.resize(length);
    return QAV_ReadFile(device, fid, 0, out.data(), length, nullptr, 0, 0) == QAV_OK;
}

// Runs work(thread, call) calls times on each of threads threads started
// together; the seconds from the start to the last thread's end.
double RunTogether(size_t threads, int calls, const std::function<bool(size_t, int)>& work,
                   std::atomic<long>& failures) {
    std::atomic<bool> go{false};
    std::vector<std::thread> running;
    for (size_t t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            while (!go) std::this_thread::yield();
            for (int i = 0; i < calls; ++i) {
                if (!work(t, i)) ++failures;
            }
        });
    }
    const Clock::time_point start = Clock::now();
    go = true;
    for (std::thread& thread : running) thread.join();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void EightKeys(benchmark::State& state, const Setup& setup,
               const std::shared_ptr<const std::vector<RecordedCommand>>& commands) {
    const int calls = Brief() ? 5 : 300;
    const int rounds = Brief() ? 1 : 5;
    const size_t threads = setup.keys.size();
    std::atomic<long> failures{0};
    std::vector<double> library;
    std::vector<double> raw;
    for (auto _ : state) {
        for (int round = 0; round < rounds; ++round) {
            library.push_back(RunTogether(
                threads, calls,
                [&setup](size_t t, int) {
                    std::vector<uint8_t> out;
                    return ReadPiece(setup.keys[t].device->Handle(), kScratchFile, kPiece, out);
                },
                failures));
            raw.push_back(RunTogether(
                threads, calls,
                [&setup, &commands](size_t t, int) { return setup.keys[t].raw->Replay(*commands); },
                failures));
        }
    }
    const double total = static_cast<double>(threads) * calls;
    state.counters["threads"] = static_cast<double>(threads);
    state.counters["qav_calls_per_s"] = total / Percentile(library, 0.5);
    state.counters["raw_calls_per_s"] = total / Percentile(raw, 0.5);
    state.counters["throughput_ratio"] = Percentile(raw, 0.5) / Percentile(library, 0.5);
    state.counters["failures"] = static_cast<double>(failures);
}

void OneKey(benchmark::State& state, const Setup& setup) {
    const int calls = Brief() ? 5 : 200;
    const QAV_HANDLE device = setup.keys.front().device->Handle();
    // Two files read in turn: a command of one read landing inside the other
    // would bring back the wrong bytes or a wrong status.
    std::vector<uint8_t> scratch;
    std::vector<uint8_t> ability;
    if (!ReadPiece(device, kScratchFile, kPiece, scratch) ||
        !ReadPiece(device, kAbilityFile, kAbilityLength, ability)) {
        state.SkipWithError("the key's files cannot be read");
        return;
    }
    std::atomic<long> failures{0};
    double seconds = 0;
    for (auto _ : state) {
        seconds = RunTogether(
            8, calls,
            [&](size_t t, int i) {
                const bool scratchTurn = (t + static_cast<size_t>(i)) % 2 == 0;
                std::vector<uint8_t> out;
                return ReadPiece(device, scratchTurn ? kScratchFile : kAbilityFile,
                                 scratchTurn ? kPiece : kAbilityLength, out) &&
                       out == (scratchTurn ? scratch : ability);
            },
            failures);
    }
    state.counters["calls"] = 8.0 * calls;
    state.counters["errors"] = static_cast<double>(failures);
    state.counters["qav_calls_per_s"] = 8.0 * calls / seconds;
}

}  // namespace

Lines RegisterThreads(const Setup& setup) {
    const QAV_HANDLE first = setup.keys.front().device->Handle();
    Recording recording = RecordSteadyCall([first] {
        std::vector<uint8_t> out;
        return ReadPiece(first, kScratchFile, kPiece, out);
    });
    if (!recording.ok) {
        RegisterFailure("Threads/eight_keys", "the export failed while its commands were recorded");
        return {};
    }
    auto commands =
        std::make_shared<const std::vector<RecordedCommand>>(std::move(recording.commands));
    RegisterMeasurement("Threads/eight_keys", [&setup, commands](benchmark::State& state) {
        EightKeys(state, setup, commands);
    });
    RegisterMeasurement("Threads/one_key",
                        [&setup](benchmark::State& state) { OneKey(state, setup); });
    return {{"Threads/eight_keys",
             "throughput_ratio",
             "Threads: 8 threads on 8 keys, QAV_ReadFile calls/s / the same commands raw",
             {Goal::kAtLeast, 0.95},
             {"qav_calls_per_s", "raw_calls_per_s", "failures"}},
            {"Threads/one_key",
             "errors",
             "Threads: 8 threads on one key, failed or mixed-up reads",
             {Goal::kAtMost, 0},
             {"calls", "qav_calls_per_s"}}};
}

}  // namespace bench
