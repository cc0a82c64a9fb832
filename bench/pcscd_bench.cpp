// What the library's path costs over talking to pcsc-lite directly, on the
// virtual seal keys of one pcscd (run under scripts/bench, or all of it with
// scripts/run-bench.sh).
//
// The groups that run depend on the number of keys the bench serves: one key
// (the export families, bulk transfers, memory), two (the watch) or eight
// (threads); every run lists its keys. A service without readers
// (scripts/bench --no-readers) measures only the idle watch. QAV_BENCH_JSON names the JSON file of
// the figures, QAV_BENCH_BRIEF=1 makes the long measurements short.
#include <benchmark/benchmark.h>
#include <qavseal/qavseal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>

#include "bench_setup.h"
#include "pcsc_link.h"
#include "summary_reporter.h"

namespace {

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

std::string KeyVariable(const char* name, int index) {
    return index == 0 ? std::string(name) : std::string(name) + "_" + std::to_string(index);
}

void Append(bench::Lines& lines, bench::Lines more) {
    lines.insert(lines.end(), more.begin(), more.end());
}

int Run(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

    const std::string benchDir = bench::Env("QAVSEAL_BENCH_DIR");
    if (benchDir.empty()) {
        std::fprintf(stderr, "run me under scripts/bench (or scripts/run-bench.sh)\n");
        return 77;
    }
    bench::UseBenchConfigHome();

    const bench::PcscContext context;
    bench::Setup setup;
    setup.context = &context;
    if (!bench::Env("QAVSEAL_NO_READERS").empty()) {
        const Library library;
        if (library.Result() != QAV_OK) {
            std::fprintf(stderr, "QAV_Initialize: %08X\n", library.Result());
            return 1;
        }
        bench::SummaryReporter reporter(bench::RegisterIdleWatch(setup),
                                        bench::Env("QAV_BENCH_JSON"));
        benchmark::RunSpecifiedBenchmarks(&reporter);
        benchmark::Shutdown();
        return reporter.Failed() ? 1 : 0;
    }
    const int keys = std::atoi(bench::Env("QAVSEAL_KEYS", "1").c_str());
    for (int i = 0; i < keys; ++i) {
        bench::Key key;
        key.reader = bench::Env(KeyVariable("QAVSEAL_READER", i).c_str());
        key.control = bench::Env(KeyVariable("QAVSEAL_VCARD_CTL", i).c_str());
        if (!context.WaitForCard(key.reader, true, 5000)) {
            std::fprintf(stderr, "no card in %s\n", key.reader.c_str());
            return 1;
        }
        setup.keys.push_back(std::move(key));
    }
    const Library library;
    if (library.Result() != QAV_OK) {
        std::fprintf(stderr, "QAV_Initialize: %08X\n", library.Result());
        return 1;
    }
    // The first listing probes the keys and registers them; the benchmarks
    // measure the listings after that.
    char** names = nullptr;
    uint32_t count = 0;
    if (const uint32_t rc = QAV_GetDeviceList(&names, &count, 0)) {
        std::fprintf(stderr, "QAV_GetDeviceList: %08X\n", rc);
        return 1;
    }
    for (bench::Key& key : setup.keys) {
        key.device = std::make_unique<bench::Device>(key.reader);
        if (key.device->Result() != QAV_OK) {
            std::fprintf(stderr, "QAV_OpenDevice %s: %08X\n", key.reader.c_str(),
                         key.device->Result());
            return 1;
        }
        key.raw = std::make_unique<bench::RawCard>(key.reader);
    }
    setup.keys.front().rawControl = std::make_unique<bench::RawCard>(setup.keys.front().reader);

    bench::Lines lines;
    if (keys == 1) {
        Append(lines, bench::RegisterFamilies(setup));
        Append(lines, bench::RegisterBulk(setup));
        Append(lines, bench::RegisterMemory(setup));
    }
    if (keys == 2) Append(lines, bench::RegisterWatch(setup));
    if (keys == 8) Append(lines, bench::RegisterThreads(setup));
    Append(lines, bench::RegisterListing(setup));
#ifdef QAV_BENCH_PKCS11_MODULE
    Append(lines, bench::RegisterPkcs11(setup));
#endif
    bench::SummaryReporter reporter(std::move(lines), bench::Env("QAV_BENCH_JSON"));
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // The benchmarks hold the module: it finalises while the library runs.
    benchmark::ClearRegisteredBenchmarks();
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
