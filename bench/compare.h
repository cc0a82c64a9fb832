// Times an export and its raw counterparts call by call in the same loop, so
// that load from other processes falls on both sides alike.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Baseline {
    std::string name;  // "" gives counters raw_us and ratio, "x" raw_x_us and ratio_x
    std::function<bool()> call;
    // Timed after the comparison, in a loop of its own, against the first
    // baseline: for calls that would change how the service answers the
    // call after them (a command outside a transaction slows the next
    // transaction down), so they cannot sit between the export and its
    // baseline. Gives raw_x_us and raw_x_ref_us (the first baseline's
    // median in that loop); no ratio.
    bool apart = false;
};

// Runs once the comparison ended without error, to add counters.
using AfterCompare = std::function<void(benchmark::State&)>;

// The time a long call (some 30 ms or more) gathers samples for; the default
// gives it too few calls for a steady median.
inline constexpr double kLongCallSeconds = 2.0;

// The benchmark's own time is the export's mean; the counters are medians
// per call (qav_us, raw_us, ratio = export over raw), which a process
// preempted now and then on a busy machine does not drag along.
// minSeconds: the export's time to gather at least, when a call is long
// enough that the default would give too few calls for a steady median (not
// in the brief mode).
void RegisterComparison(const std::string& name, std::function<bool()> library,
                        std::vector<Baseline> baselines, AfterCompare after = nullptr,
                        double minSeconds = 0);

// A measurement that times itself: run once, never repeated, its figures in
// counters.
void RegisterMeasurement(const std::string& name, std::function<void(benchmark::State&)> measure);

// The brief mode CI runs: the fewest rounds that still exercise each path.
bool Brief();

}  // namespace bench
