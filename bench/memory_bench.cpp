// Resident memory after 10^3 and after 10^5 calls of a mixed export
// sequence: a leak or a cache without bound shows as growth. The same
// sequence runs under valgrind in scripts/run-bench.sh.
#include <array>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "bench_setup.h"
#include "compare.h"
#include "sampling.h"

namespace bench {
namespace {

constexpr uint8_t kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};

// QAV_BENCH_MEMORY_CALLS="first,last" overrides the two call counts.
std::array<long, 2> CallCounts() {
    const std::string text = Env("QAV_BENCH_MEMORY_CALLS");
    const size_t comma = text.find(',');
    if (comma != std::string::npos) {
        return {std::atol(text.c_str()), std::atol(text.c_str() + comma + 1)};
    }
    return Brief() ? std::array<long, 2>{100, 1000} : std::array<long, 2>{1000, 100000};
}

// key: a session key of the device, made once (each handle lives as long as
// the device, so making one per call would grow by design).
std::vector<std::function<bool()>> MixedSequence(QAV_HANDLE device, QAV_SessionKey* key,
                                                 bool containerLists) {
    std::vector<std::function<bool()>> sequence{
        [device] {
            std::array<uint8_t, 32> out{};
            return QAV_GenRandom(device, out.data(), 16, 0) == QAV_OK;
        },
        [device] {
            std::array<uint8_t, 240> out{};
            return QAV_ReadFile(device, 0x1011, 0, out.data(), 240, nullptr, 0, 0) == QAV_OK;
        },
        [device] {
            uint32_t tries = 0;
            return QAV_VerifyPIN(device, kPin, &tries, 0) == QAV_OK;
        },
        [device] {
            std::array<uint8_t, 32> data{};
            std::array<uint8_t, 32> digest{};
            uint32_t length = 32;
            return QAV_Hash(device, 0, 1, data.data(), 32, digest.data(), &length, 0) == QAV_OK;
        },
        [device, key] {
            std::array<uint8_t, 32> data{};
            std::array<uint8_t, 32> out{};
            uint32_t length = 32;
            return QAV_SessionKeyEncrypt(device, key, 0, 0, nullptr, 0, data.data(), 32, out.data(),
                                         &length, 0) == QAV_OK;
        },
        [device] {
            std::array<uint8_t, 256> answer{};
            uint32_t length = 256;
            uint32_t statusWord = 0;
            return QAV_Transmit(device, kGetChallenge, sizeof kGetChallenge, answer.data(), &length,
                                &statusWord, 0) == QAV_OK;
        },
        [device] {
            char** names = nullptr;
            uint32_t count = 0;
            return QAV_GetDeviceList(&names, &count, 0) == QAV_OK;
        },
    };
    if (containerLists) {
        sequence.emplace_back([device] {
            char** names = nullptr;
            uint32_t count = 0;
            return QAV_GetContainerList(device, &names, &count, 0) == QAV_OK;
        });
    }
    return sequence;
}

void MeasureGrowth(benchmark::State& state, QAV_HANDLE device, bool containerLists) {
    const std::array<long, 2> counts = CallCounts();
    QAV_SessionKey* key = nullptr;
    if (QAV_GetEnDeKeyHandle(device, &key, 0) != QAV_OK) {
        state.SkipWithError("QAV_GetEnDeKeyHandle failed");
        return;
    }
    const std::vector<std::function<bool()>> sequence = MixedSequence(device, key, containerLists);
    long calls = 0;
    long failures = 0;
    std::array<size_t, 2> resident{};
    for (auto _ : state) {
        for (size_t step = 0; step < counts.size(); ++step) {
            for (; calls < counts[step]; ++calls) {
                failures += sequence[static_cast<size_t>(calls) % sequence.size()]() ? 0 : 1;
            }
            resident[step] = ResidentBytes();
        }
    }
    state.counters["calls_first"] = static_cast<double>(counts[0]);
    state.counters["calls_last"] = static_cast<double>(counts[1]);
    state.counters["rss_first_kib"] = static_cast<double>(resident[0]) / 1024;
    state.counters["rss_last_kib"] = static_cast<double>(resident[1]) / 1024;
    state.counters["rss_growth_percent"] =
        100.0 * (static_cast<double>(resident[1]) - static_cast<double>(resident[0])) /
        static_cast<double>(resident[0]);
    state.counters["failures"] = static_cast<double>(failures);
}

}  // namespace

Lines RegisterMemory(const Setup& setup) {
    const QAV_HANDLE device = setup.keys.front().device->Handle();
    RegisterMeasurement("Memory/mixed_exports",
                        [device](benchmark::State& state) { MeasureGrowth(state, device, true); });
    // Each container list lives until its device closes: the same sequence
    // without them tells that growth from any other.
    RegisterMeasurement("Memory/mixed_exports_but_container_lists",
                        [device](benchmark::State& state) { MeasureGrowth(state, device, false); });
    const auto growth = [](const std::string& name, const std::string& what) {
        return SummaryLine{
            name,
            "rss_growth_percent",
            "Memory: RSS growth from the first to the last count of calls" + what + ", %",
            {Goal::kAtMost, 1},
            {"calls_first", "calls_last", "rss_first_kib", "rss_last_kib"}};
    };
    return {growth("Memory/mixed_exports", ""),
            growth("Memory/mixed_exports_but_container_lists", " (no container list)"),
            {"Memory/mixed_exports", "failures", "Memory: failed calls", {Goal::kAtMost, 0}, {}}};
}

}  // namespace bench
