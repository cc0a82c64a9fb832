// What the library's path costs over talking to pcsc-lite directly, both on
// the virtual seal key in one pcscd (run under scripts/bench).
//
// Each benchmark times the export and its raw counterparts call by call in
// the same loop, so load from other processes falls on both sides alike;
// the ratio counters and the summary lines are export time over raw time.
#include <benchmark/benchmark.h>
#include <qavseal/qavseal.h>
#include <winscard.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pcsc_link.h"
#include "ratio_reporter.h"

namespace {

constexpr BYTE kGetChallenge[] = {0x00, 0x84, 0x00, 0x00, 0x08};
constexpr BYTE kSelectAbilityFile[] = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x40, 0x00};
constexpr BYTE kReadAbilityFile[] = {0x00, 0xB0, 0x00, 0x00, 0x40};
constexpr BYTE kSelectSealApplication[] = {0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00,
                                           0x00, 0x04, 0x53, 0x4B, 0x4D, 0x50};
constexpr uint32_t kChallengeLength = 8;
constexpr uint32_t kAbilityInfoLength = 64;
// Both sides offer the card the same room: a short answer and its status word.
constexpr uint32_t kAnswerCapacity = 256;

// One QAV_Initialize for the whole run.
class Library {
public:
    Library() : result_(QAV_Initialize(0)) {}
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    ~Library() {
        if (result_ == QAV_OK) QAV_Finalize(0);
    }
    uint32_t Result() const { return result_; }

private:
    uint32_t result_;
};

class Device {
public:
    explicit Device(const std::string& reader)
        : result_(QAV_OpenDevice(reader.c_str(), &handle_, 0)) {}
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;
    ~Device() {
        if (result_ == QAV_OK) QAV_CloseDevice(handle_, 0);
    }
    uint32_t Result() const { return result_; }
    QAV_HANDLE Handle() const { return handle_; }

private:
    QAV_HANDLE handle_ = 0;
    uint32_t result_;
};

// The direct pcsc-lite side: plain calls on stack buffers, as a lean client
// would make them.
class Raw {
public:
    Raw(const bench::PcscContext& context, const bench::CardLink& link, std::string reader)
        : context_(context.Handle()),
          card_(link.Handle()),
          pci_(link.Protocol() == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1),
          reader_(std::move(reader)) {}

    // The answer's data length when the card ends with 9000, else -1. A
    // 61xx answer is fetched with GET RESPONSE, as the library does under T=0.
    long Command(const BYTE* command, DWORD length) const {
        BYTE answer[kAnswerCapacity + 2];
        DWORD received = sizeof answer;
        if (SCardTransmit(card_, pci_, command, length, nullptr, answer, &received) !=
                SCARD_S_SUCCESS ||
            received < 2) {
            return -1;
        }
        if (received == 2 && answer[0] == 0x61) {
            const BYTE getResponse[] = {0x00, 0xC0, 0x00, 0x00, answer[1]};
            received = sizeof answer;
            if (SCardTransmit(card_, pci_, getResponse, sizeof getResponse, nullptr, answer,
                              &received) != SCARD_S_SUCCESS ||
                received < 2) {
                return -1;
            }
        }
        if (answer[received - 2] != 0x90 || answer[received - 1] != 0x00) return -1;
        return static_cast<long>(received - 2);
    }

    // The reader's state as the library asks for it before a card export.
    bool CardPresent() const {
        SCARD_READERSTATE state{};
        state.szReader = reader_.c_str();
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        return SCardGetStatusChange(context_, 0, &state, 1) == SCARD_S_SUCCESS &&
               (state.dwEventState & SCARD_STATE_PRESENT) != 0 && state.cbAtr > 0;
    }

    // Whether the reader is listed with a card in it: the list, then the
    // readers' states in one query, or (oneByOne) a query per reader.
    bool ListCards(bool oneByOne) const {
        char* names = nullptr;
        DWORD size = SCARD_AUTOALLOCATE;
        if (SCardListReaders(context_, nullptr, reinterpret_cast<LPSTR>(&names), &size) !=
            SCARD_S_SUCCESS) {
            return false;
        }
        SCARD_READERSTATE states[8] = {};
        DWORD count = 0;
        for (const char* name = names; *name != '\0' && count < 8; name += std::strlen(name) + 1) {
            states[count].szReader = name;
            states[count].dwCurrentState = SCARD_STATE_UNAWARE;
            ++count;
        }
        bool answered = true;
        if (oneByOne) {
            for (DWORD i = 0; i < count; ++i) {
                answered =
                    answered && SCardGetStatusChange(context_, 0, &states[i], 1) == SCARD_S_SUCCESS;
            }
        } else {
            answered = SCardGetStatusChange(context_, 0, states, count) == SCARD_S_SUCCESS;
        }
        bool found = false;
        for (DWORD i = 0; answered && i < count; ++i) {
            found = found || (reader_ == states[i].szReader &&
                              (states[i].dwEventState & SCARD_STATE_PRESENT) != 0);
        }
        SCardFreeMemory(context_, names);
        return found;
    }

private:
    SCARDCONTEXT context_;
    SCARDHANDLE card_;
    const SCARD_IO_REQUEST* pci_;
    std::string reader_;
};

struct Baseline {
    std::string name;  // "" gives counters raw_us and ratio, "x" raw_x_us and ratio_x
    std::function<bool()> call;
};

// Times the export and each baseline once per iteration; the starting side
// rotates so that none always runs right after another. The benchmark's own
// time is the export's mean (its CPU column counts every side); the counters
// are medians per call, which a process preempted now and then on a busy
// machine does not drag along.
void Compare(benchmark::State& state, const std::function<bool()>& library,
             const std::vector<Baseline>& baselines) {
    using Clock = std::chrono::steady_clock;
    const size_t sides = baselines.size() + 1;
    std::vector<std::vector<double>> seconds(sides);
    for (auto& samples : seconds) samples.reserve(static_cast<size_t>(state.max_iterations));
    size_t round = 0;
    bool ok = true;
    for (auto _ : state) {
        for (size_t step = 0; step < sides && ok; ++step) {
            const size_t side = (round + step) % sides;
            const auto start = Clock::now();
            ok = side == 0 ? library() : baselines[side - 1].call();
            seconds[side].push_back(std::chrono::duration<double>(Clock::now() - start).count());
            if (!ok) {
                state.SkipWithError(side == 0 ? "the export failed"
                                              : "a raw command failed or answered wrongly");
            }
        }
        if (!ok) break;
        state.SetIterationTime(seconds[0].back());
        ++round;
    }
    if (!ok || round == 0) return;
    std::vector<double> medians;
    for (std::vector<double>& samples : seconds) {
        auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
        std::nth_element(samples.begin(), middle, samples.end());
        medians.push_back(*middle * 1e6);
    }
    state.counters["qav_us"] = medians[0];
    for (size_t i = 0; i < baselines.size(); ++i) {
        const std::string& name = baselines[i].name;
        state.counters[name.empty() ? "raw_us" : "raw_" + name + "_us"] = medians[i + 1];
        state.counters[name.empty() ? "ratio" : "ratio_" + name] = medians[0] / medians[i + 1];
    }
}

void RegisterComparisons(QAV_HANDLE device, const Raw& raw, const std::string& reader) {
    const auto compare = [](const char* name, std::function<bool()> library,
                            std::vector<Baseline> baselines) {
        benchmark::RegisterBenchmark(
            name, [library = std::move(library), baselines = std::move(baselines)](
                      benchmark::State& state) { Compare(state, library, baselines); })
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond);
    };

    // The retry rule, the answer buffer and its wiping against one bare call.
    compare("Transmit_GetChallenge",
            [device] {
                uint8_t answer[kAnswerCapacity];
                uint32_t length = sizeof answer;
                uint32_t statusWord = 0;
                return QAV_Transmit(device, kGetChallenge, sizeof kGetChallenge, answer, &length,
                                    &statusWord, 0) == QAV_OK &&
                       statusWord == 0x9000 && length == kChallengeLength;
            },
            {{"", [&raw] {
                  return raw.Command(kGetChallenge, sizeof kGetChallenge) == kChallengeLength;
              }}});

    // The export asks for the ATR and selects the file once to find the
    // application current, then selects and reads it: "same" is that sequence
    // sent raw, "min" only the SELECT and READ BINARY a caller who knows the
    // application is current would send.
    const auto selectAndRead = [&raw] {
        return raw.Command(kSelectAbilityFile, sizeof kSelectAbilityFile) >= 0 &&
               raw.Command(kReadAbilityFile, sizeof kReadAbilityFile) == kAbilityInfoLength;
    };
    compare("GetAbilityInfo",
            [device] {
                uint8_t info[kAbilityInfoLength];
                return QAV_GetAbilityInfo(device, info, 0) == QAV_OK;
            },
            {{"same",
              [&raw, selectAndRead] {
                  return raw.CardPresent() &&
                         raw.Command(kSelectAbilityFile, sizeof kSelectAbilityFile) >= 0 &&
                         selectAndRead();
              }},
             {"min", selectAndRead}});

    // A listing of registered keys: no probe, only the service and the card
    // database. The export lists twice (the size, then the names) and asks
    // for each reader's state on its own: "same" is those service calls made
    // raw, "min" one list and one state query for all readers.
    compare("GetDeviceList",
            [reader] {
                char** names = nullptr;
                uint32_t count = 0;
                if (QAV_GetDeviceList(&names, &count, 0) != QAV_OK) return false;
                bool found = false;
                for (uint32_t i = 0; i < count; ++i) found = found || reader == names[i];
                return found;
            },
            {{"same", [&raw] { return raw.ListCards(true) && raw.ListCards(true); }},
             {"min", [&raw] { return raw.ListCards(false); }}});
}

int Run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    const std::string benchDir = bench::Env("QAVSEAL_BENCH_DIR");
    if (benchDir.empty()) {
        std::fprintf(stderr, "run me under scripts/bench (or scripts/run-bench.sh)\n");
        return 77;
    }
    // The card database goes to this bench run, never to the user's.
    const std::string config = benchDir + "/config";
    std::filesystem::create_directories(config);
    setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    const std::string reader = bench::Env("QAVSEAL_READER", "ADM Virtual Seal 00 00");
    const bench::PcscContext context;
    if (!context.WaitForCard(reader, true, 5000)) {
        std::fprintf(stderr, "no card in %s\n", reader.c_str());
        return 1;
    }
    const Library library;
    if (library.Result() != QAV_OK) {
        std::fprintf(stderr, "QAV_Initialize: %08X\n", library.Result());
        return 1;
    }
    // The first listing probes the key and registers it; the benchmark
    // measures the listings after that.
    char** names = nullptr;
    uint32_t count = 0;
    if (const uint32_t rc = QAV_GetDeviceList(&names, &count, 0)) {
        std::fprintf(stderr, "QAV_GetDeviceList: %08X\n", rc);
        return 1;
    }
    const Device device(reader);
    if (device.Result() != QAV_OK) {
        std::fprintf(stderr, "QAV_OpenDevice: %08X\n", device.Result());
        return 1;
    }
    const bench::CardLink link(context, reader);
    const Raw raw(context, link, reader);
    // File 4000 is found by identifier only inside the seal application.
    if (raw.Command(kSelectSealApplication, sizeof kSelectSealApplication) < 0) {
        std::fprintf(stderr, "the key does not select its seal application\n");
        return 1;
    }

    RegisterComparisons(device.Handle(), raw, reader);
    bench::RatioReporter reporter({
        {"Transmit_GetChallenge", "ratio", "raw_us", "QAV_Transmit / raw SCardTransmit"},
        {"GetAbilityInfo", "ratio_same", "raw_same_us",
         "QAV_GetAbilityInfo / the same commands raw"},
        {"GetAbilityInfo", "ratio_min", "raw_min_us",
         "QAV_GetAbilityInfo / raw SELECT + READ BINARY only"},
        {"GetDeviceList", "ratio_same", "raw_same_us",
         "QAV_GetDeviceList / the same service calls raw"},
        {"GetDeviceList", "ratio_min", "raw_min_us",
         "QAV_GetDeviceList / raw SCardListReaders + one SCardGetStatusChange"},
    });
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.Failed() ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
