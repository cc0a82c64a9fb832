#include <signal.h>

#include <csignal>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "options.h"
#include "session.h"

namespace qavtool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

uint32_t QAV_CALLBACK Report(const char* name, uint32_t arrived, uintptr_t json, uint32_t) {
    if (json != 0) {
        const nlohmann::ordered_json event = {{"event", arrived != 0 ? "arrived" : "removed"},
                                              {"device", name}};
        std::printf("%s\n", event.dump().c_str());
    } else {
        std::printf("%s %s\n", arrived != 0 ? "arrived:" : "removed:", name);
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace

// With --json, one JSON object a line, as the events come.
int Watch(const Options& options) {
    Output out(options.json);
    const Library library;
    if (library.Result() != QAV_OK) return out.Fail("starting the library", library.Result());
    // Blocked before the watch starts, so its thread inherits the mask and
    // the signal always reaches this thread's sigsuspend.
    sigset_t interrupts;
    sigset_t previous;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &interrupts, &previous);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    if (const uint32_t rc = QAV_DetectDeviceChange(&Report, options.json ? 1 : 0)) {
        return out.Fail("starting the watch", rc);
    }
    // The watch reports from its own thread; this one only waits for the
    // interrupt. The last QAV_Finalize stops the watch.
    while (g_interrupted == 0) sigsuspend(&previous);
    if (const uint32_t rc = QAV_CancelDetectDeviceChange(1))
        return out.Fail("stopping the watch", rc);
    return 0;
}

}  // namespace qavtool
