#include "compare.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <utility>

namespace bench {
namespace {

constexpr size_t kApartRounds = 200;

double Median(std::vector<double>& samples) {
    auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

// The starting side rotates so that none always runs right after another.
bool Compare(benchmark::State& state, const std::function<bool()>& library,
             const std::vector<Baseline>& baselines) {
    using Clock = std::chrono::steady_clock;
    const auto timed = [](const std::function<bool()>& call, std::vector<double>* seconds) {
        const auto start = Clock::now();
        const bool ok = call();
        seconds->push_back(std::chrono::duration<double>(Clock::now() - start).count());
        return ok;
    };
    std::vector<const Baseline*> together;
    std::vector<const Baseline*> apart;
    for (const Baseline& baseline : baselines) {
        (baseline.apart ? apart : together).push_back(&baseline);
    }
    const size_t sides = together.size() + 1;
    std::vector<std::vector<double>> seconds(sides);
    size_t round = 0;
    for (auto _ : state) {
        for (size_t step = 0; step < sides; ++step) {
            const size_t side = (round + step) % sides;
            if (!timed(side == 0 ? library : together[side - 1]->call, &seconds[side])) {
                state.SkipWithError(side == 0 ? "the export failed"
                                              : "a raw command failed or answered wrongly");
                return false;
            }
        }
        state.SetIterationTime(seconds[0].back());
        ++round;
    }
    if (round == 0) return false;
    const double library_us = Median(seconds[0]) * 1e6;
    state.counters["qav_us"] = library_us;
    for (size_t i = 0; i < together.size(); ++i) {
        const std::string& name = together[i]->name;
        const double raw_us = Median(seconds[i + 1]) * 1e6;
        state.counters[name.empty() ? "raw_us" : "raw_" + name + "_us"] = raw_us;
        state.counters[name.empty() ? "ratio" : "ratio_" + name] = library_us / raw_us;
    }
    if (together.empty()) return true;
    // The reference runs twice after each apart call and only the second
    // is timed: it then follows what it follows in the comparison. A cost
    // beside the ratio needs fewer calls than the ratio.
    const std::function<bool()>& reference = together.front()->call;
    const size_t apartRounds = std::min<size_t>(round, kApartRounds);
    for (const Baseline* baseline : apart) {
        std::vector<double> own;
        std::vector<double> referenceSeconds;
        for (size_t i = 0; i < apartRounds; ++i) {
            if (!timed(baseline->call, &own) || !reference() ||
                !timed(reference, &referenceSeconds)) {
                state.SkipWithError("a raw command failed or answered wrongly");
                return false;
            }
        }
        state.counters["raw_" + baseline->name + "_us"] = Median(own) * 1e6;
        state.counters["raw_" + baseline->name + "_ref_us"] = Median(referenceSeconds) * 1e6;
    }
    return true;
}

}  // namespace

void RegisterComparison(const std::string& name, std::function<bool()> library,
                        std::vector<Baseline> baselines, AfterCompare after, double minSeconds) {
    benchmark::internal::Benchmark* registered = benchmark::RegisterBenchmark(
        name.c_str(), [library = std::move(library), baselines = std::move(baselines),
                       after = std::move(after)](benchmark::State& state) {
            if (Compare(state, library, baselines) && after) after(state);
        });
    registered->UseManualTime()->Unit(benchmark::kMicrosecond);
    if (minSeconds > 0 && !Brief()) registered->MinTime(minSeconds);
}

void RegisterMeasurement(const std::string& name, std::function<void(benchmark::State&)> measure) {
    benchmark::RegisterBenchmark(name.c_str(), std::move(measure))
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kMillisecond);
}

bool Brief() {
    const char* brief = std::getenv("QAV_BENCH_BRIEF");
    return brief != nullptr && *brief != '\0' && *brief != '0';
}

}  // namespace bench
