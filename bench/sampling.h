// Small measuring helpers the long-running benchmarks share.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// The sample at fraction (0.5: the median, 0.99) of the sorted samples.
double Percentile(std::vector<double> samples, double fraction);
// This process's user and system CPU time so far, in seconds.
double ProcessCpuSeconds();
// This process's resident set, in bytes.
size_t ResidentBytes();
// Writes one line to a virtual key's control FIFO ("insert", "remove").
bool SendControl(const std::string& fifo, const char* line);
double Milliseconds(Clock::duration elapsed);

}  // namespace bench
