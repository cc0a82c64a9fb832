#include <signal.h>

#include <csignal>
#include <cstdio>

#include "commands.h"
#include "result_messages.h"
#include "session.h"

namespace qavtool {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) { g_interrupted = 1; }

uint32_t QAV_CALLBACK Report(const char* name, uint32_t arrived, uintptr_t, uint32_t) {
    std::printf("%s %s\n", arrived != 0 ? "arrived:" : "removed:", name);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int Watch(std::vector<std::string> args) {
    if (!args.empty()) {
        std::fprintf(stderr, "qavseal watch: unknown option %s\n", args.front().c_str());
        return 2;
    }
    const Library library;
    if (library.Result() != QAV_OK) return Fail("starting the library", library.Result());
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
    if (const uint32_t rc = QAV_DetectDeviceChange(&Report, 0))
        return Fail("starting the watch", rc);
    // The watch reports from its own thread; this one only waits for the
    // interrupt. The last QAV_Finalize stops the watch.
    while (g_interrupted == 0) sigsuspend(&previous);
    return 0;
}

}  // namespace qavtool
