#include "ratio_reporter.h"

#include <unistd.h>

#include <cstdio>
#include <ostream>
#include <utility>

namespace bench {

RatioReporter::RatioReporter(std::vector<Line> lines)
    : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_Defaults : OO_Tabular),
      lines_(std::move(lines)) {}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
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

void RatioReporter::Finalize() {
    ConsoleReporter::Finalize();
    for (const Line& line : lines_) {
        const auto found = seen_.find(line.benchmark);
        if (found == seen_.end()) continue;
        const benchmark::UserCounters& counters = found->second.counters;
        const auto ratio = counters.find(line.ratio);
        const auto raw = counters.find(line.raw);
        const auto library = counters.find("qav_us");
        if (ratio == counters.end() || raw == counters.end() || library == counters.end()) {
            continue;
        }
        char numbers[96];
        std::snprintf(numbers, sizeof numbers, "%.2f (%.1f us against %.1f us)",
                      ratio->second.value, library->second.value, raw->second.value);
        GetOutputStream() << line.label << ": " << numbers << '\n';
    }
}

}  // namespace bench
