#include "family_support.h"

#include <memory>
#include <utility>

#include "compare.h"
#include "service_calls.h"

namespace bench {
namespace {

// A family this long (a picture: some 85 commands) gets a few dozen calls in
// the default time, and its median moved by 2-3 % from run to run.
constexpr size_t kManyCommands = 10;

}  // namespace

void RegisterFailure(const std::string& name, const std::string& why) {
    benchmark::RegisterBenchmark(name.c_str(), [why](benchmark::State& state) {
        for (auto _ : state) state.SkipWithError(why.c_str());
    })->Iterations(1);
}

void RegisterFamily(Lines& lines, const std::string& name, const std::string& label,
                    const RawCard& raw, const RawCard& control, std::function<bool()> call) {
    const std::string benchmark = "Family/" + name;
    Recording recording = RecordSteadyCall(call);
    if (!recording.ok || recording.commands.empty()) {
        RegisterFailure(benchmark, "the export failed while its commands were recorded");
        return;
    }
    const ServiceCalls calls = recording.calls;
    auto commands =
        std::make_shared<const std::vector<RecordedCommand>>(std::move(recording.commands));
    std::vector<Baseline> baselines{
        {"", [&raw, commands] { return raw.Replay(*commands); }},
        {"control", [&control, commands] { return control.Replay(*commands); }}};
    // The same commands after the reader-state query the export makes: what
    // is left of the ratio is the library's own work.
    if (calls.statusQueries > 0) {
        baselines.push_back(
            {"checked", [&raw, commands] { return raw.CardPresent() && raw.Replay(*commands); }});
    }
    // The same commands without the transaction around them: what the
    // transaction itself costs, raw.
    const bool transacted = calls.transactions > 0;
    if (transacted) {
        auto bare = std::make_shared<std::vector<RecordedCommand>>();
        for (const RecordedCommand& step : *commands) {
            if (step.kind == RecordedCommand::Kind::kCommand) bare->push_back(step);
        }
        baselines.push_back({"untransacted", [&raw, bare] { return raw.Replay(*bare); }, true});
    }
    const size_t apdus = CommandCount(*commands);
    RegisterComparison(
        benchmark, std::move(call), std::move(baselines),
        [calls, transacted, apdus](benchmark::State& state) {
            state.counters["apdus"] = static_cast<double>(apdus);
            state.counters["status_queries"] = static_cast<double>(calls.statusQueries);
            state.counters["transactions"] = static_cast<double>(calls.transactions);
            state.counters["raw_control_ratio"] =
                state.counters["raw_us"].value / state.counters["raw_control_us"].value;
            if (transacted) {
                state.counters["transaction_us"] = state.counters["raw_untransacted_ref_us"].value -
                                                   state.counters["raw_untransacted_us"].value;
            }
        },
        apdus >= kManyCommands ? kLongCallSeconds : 0);
    lines.push_back({benchmark,
                     "ratio",
                     label + " / the same commands raw",
                     {Goal::kAtMost, 1.02},
                     {"qav_us", "raw_us", "apdus", "status_queries", "transactions",
                      "transaction_us", "raw_control_ratio", "ratio_checked"}});
}

}  // namespace bench
