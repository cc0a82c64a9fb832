#include "summary_reporter.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <ostream>
#include <utility>

namespace bench {
namespace {

const char* GoalSign(Goal::Kind kind) { return kind == Goal::kAtMost ? "<=" : ">="; }

bool Met(const Goal& goal, double value) {
    return goal.kind == Goal::kAtMost ? value <= goal.value : value >= goal.value;
}

}  // namespace

SummaryReporter::SummaryReporter(std::vector<SummaryLine> lines, std::string jsonPath)
    : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular),
      lines_(std::move(lines)),
      jsonPath_(std::move(jsonPath)) {}

void SummaryReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        if (run.error_occurred) {
            failed_ = true;
            continue;
        }
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        if (run.run_type == Run::RT_Aggregate && !median) continue;
        Seen& seen = seen_[run.run_name.function_name];
        if (seen.median && !median) continue;
        seen.counters = run.counters;
        seen.median = median;
    }
}

void SummaryReporter::Finalize() {
    ConsoleReporter::Finalize();
    nlohmann::json json;
    json["benchmarks"] = nlohmann::json::object();
    for (const auto& [name, seen] : seen_) {
        nlohmann::json& counters = json["benchmarks"][name];
        for (const auto& [counter, value] : seen.counters) counters[counter] = value.value;
    }
    json["summary"] = nlohmann::json::array();
    for (const SummaryLine& line : lines_) {
        const auto found = seen_.find(line.benchmark);
        if (found == seen_.end()) continue;
        const benchmark::UserCounters& counters = found->second.counters;
        const auto figure = counters.find(line.counter);
        if (figure == counters.end()) continue;
        const double value = figure->second.value;
        nlohmann::json entry = {{"benchmark", line.benchmark},
                                {"counter", line.counter},
                                {"label", line.label},
                                {"value", value}};
        char text[160];
        std::snprintf(text, sizeof text, "%s: %.4g", line.label.c_str(), value);
        std::string printed = text;
        if (line.goal.kind != Goal::kNone) {
            const bool met = Met(line.goal, value);
            entry["goal"] =
                std::string(GoalSign(line.goal.kind)) + " " + std::to_string(line.goal.value);
            entry["goal_value"] = line.goal.value;
            entry["met"] = met;
            std::snprintf(text, sizeof text, " (goal %s %g: %s)", GoalSign(line.goal.kind),
                          line.goal.value, met ? "met" : "MISSED");
            printed += text;
        }
        for (const std::string& detail : line.details) {
            const auto shown = counters.find(detail);
            if (shown == counters.end()) continue;
            std::snprintf(text, sizeof text, " %s=%.4g", detail.c_str(), shown->second.value);
            printed += text;
            entry["details"][detail] = shown->second.value;
        }
        GetOutputStream() << printed << '\n';
        json["summary"].push_back(std::move(entry));
    }
    if (jsonPath_.empty()) return;
    std::ofstream out(jsonPath_);
    out << json.dump(1) << '\n';
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", jsonPath_.c_str());
        failed_ = true;
    }
}

}  // namespace bench
