// Google Benchmark's console table, then one summary line per ratio:
// "QAV_Transmit / raw SCardTransmit: 1.07 (152.3 us against 142.1 us)".
// With repetitions the medians are summed up, else the single run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    struct Line {
        std::string benchmark;  // the registered name
        std::string ratio;      // counter holding export time over raw time
        std::string raw;        // counter holding the raw side's microseconds per call
        std::string label;
    };

    explicit RatioReporter(std::vector<Line> lines);

    void ReportRuns(const std::vector<Run>& runs) override;
    void Finalize() override;
    // A benchmark stopped with an error.
    bool Failed() const { return failed_; }

private:
    struct Seen {
        benchmark::UserCounters counters;
        bool median = false;
    };

    std::vector<Line> lines_;
    std::map<std::string, Seen> seen_;
    bool failed_ = false;
};

}  // namespace bench
