// Google Benchmark's console table, then one summary line per figure with
// its goal: "QAV_Transmit / raw SCardTransmit: 1.01 (goal <= 1.02: met;
// qav_us=152.3 raw_us=150.8)". With repetitions the medians are summed up,
// else the single run. Every benchmark's counters and the summary also go to
// a JSON file when one is named.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

struct Goal {
    enum Kind { kNone, kAtMost, kAtLeast } kind = kNone;
    double value = 0;
};

struct SummaryLine {
    std::string benchmark;  // the registered name
    std::string counter;    // the figure
    std::string label;
    Goal goal;
    std::vector<std::string> details;  // counters printed along
};

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter(std::vector<SummaryLine> lines, std::string jsonPath);

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;
    // A benchmark stopped with an error, or the JSON file could not be written.
    bool Failed() const { return failed_; }

private:
    struct Seen {
        benchmark::UserCounters counters;
        bool median = false;
    };

    std::vector<SummaryLine> lines_;
    std::string jsonPath_;
    std::map<std::string, Seen> seen_;
    bool failed_ = false;
};

}  // namespace bench
