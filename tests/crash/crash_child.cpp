// A program that loads the library at run time and then crashes, on request,
// in a thread of its own. Prints "tid N" first so its parent can find the
// thread in the dump. Exits 77 when the signal belongs to someone else (a
// sanitizer), so the parent can say so instead of passing blind.
//
// Main's stack holds a secret while the thread crashes, for tests of what a
// dump may carry. QAV_CRASH_DUMPABLE=0 or 1 sets the process's dumpable flag
// first.
#include <dlfcn.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

extern "C" {

// Plain names, for the debugger's backtrace.
__attribute__((noinline)) void NullWriteCrash() {
    volatile int* volatile target = nullptr;
    *target = 1;
}

__attribute__((noinline)) void AbortCrash() { abort(); }

__attribute__((noinline)) void IllegalCrash() { __builtin_trap(); }

__attribute__((noinline)) int StackOverflowCrash(int depth) {
    volatile char frame[512];
    frame[depth % 512] = static_cast<char>(depth);
    return StackOverflowCrash(depth + 1) + frame[0];
}

__attribute__((noinline)) int DivideCrash(int divisor) {
    volatile int dividend = 7;
    return dividend / divisor;
}

}  // extern "C"

namespace {

volatile int g_zero = 0;

void OwnHandler(int) {
    static const char kText[] = "own handler\n";
    if (write(1, kText, sizeof kText - 1) < 0) _exit(43);
    _exit(42);
}

// Exits 77 when the library does not handle `signal` (it was taken before
// the library loaded).
void RequireLibraryHandler(int signal) {
    struct sigaction current = {};
    sigaction(signal, nullptr, &current);
    const void* handler = (current.sa_flags & SA_SIGINFO) != 0
                              ? reinterpret_cast<const void*>(current.sa_sigaction)
                              : reinterpret_cast<const void*>(current.sa_handler);
    Dl_info info = {};
    if (handler != nullptr && dladdr(handler, &info) != 0 && info.dli_fname != nullptr &&
        std::strstr(info.dli_fname, "libqavseal") != nullptr) {
        return;
    }
    std::printf("signal %d is handled by %s\n", signal,
                handler == nullptr ? "the default action"
                : info.dli_fname   ? info.dli_fname
                                   : "unknown code");
    std::exit(77);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LIBRARY CASE [ANY]\n", argv[0]);
        return 2;
    }
    const char* const crash = argv[2];
    const rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const bool ownHandler = std::strcmp(crash, "own-handler") == 0;
    if (ownHandler) signal(SIGABRT, OwnHandler);

    void* library = dlopen(argv[1], RTLD_NOW);
    if (library == nullptr) {
        std::fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    using Finalize = uint32_t (*)(uint32_t);
    const auto finalize = reinterpret_cast<Finalize>(dlsym(library, "QAV_Finalize"));
    if (finalize == nullptr) return 2;

    int signal = SIGSEGV;
    void (*body)() = nullptr;
    bool callsLibrary = false;
    if (std::strcmp(crash, "null-write") == 0) {
        body = [] { NullWriteCrash(); };
    } else if (std::strcmp(crash, "abort") == 0 || ownHandler) {
        signal = SIGABRT;
        body = [] { AbortCrash(); };
    } else if (std::strcmp(crash, "illegal") == 0) {
        signal = SIGILL;
        body = [] { IllegalCrash(); };
    } else if (std::strcmp(crash, "divide") == 0) {
        signal = SIGFPE;
        body = [] { std::printf("%d\n", DivideCrash(g_zero)); };
    } else if (std::strcmp(crash, "stack-overflow") == 0) {
        // A thread gets its crash stack from its first call into the library.
        callsLibrary = true;
        body = [] { std::printf("%d\n", StackOverflowCrash(0)); };
    } else {
        return 2;
    }
    if (!ownHandler) RequireLibraryHandler(signal);
    if (const char* dumpable = std::getenv("QAV_CRASH_DUMPABLE")) {
        prctl(PR_SET_DUMPABLE, std::strcmp(dumpable, "1") == 0 ? 1 : 0, 0, 0, 0);
    }
    std::printf("secure %lu\n", getauxval(AT_SECURE));

    // Made at run time, so only this stack holds it.
    volatile char secret[32];
    const char kPrefix[] = "STACK-SECRET-";
    for (size_t i = 0; i < sizeof secret - 1; ++i) {
        secret[i] = i < sizeof kPrefix - 1 ? kPrefix[i] : static_cast<char>('a' + i % 26);
    }
    secret[sizeof secret - 1] = '\0';

    std::thread thread([&] {
        if (callsLibrary) finalize(0);
        std::printf("tid %ld\n", static_cast<long>(syscall(SYS_gettid)));
        std::fflush(stdout);
        body();
    });
    thread.join();
    return secret[0];
}
