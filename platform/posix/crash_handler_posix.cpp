#include <errno.h>
#include <signal.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <time.h>
#include <ucontext.h>

#include <atomic>
#include <cstring>

#include "platform/crash_dump.h"
#include "platform/posix/crash_folder.h"
#include "platform/posix/minidump_writer.h"
#include "platform/posix/raw_io.h"

extern char** environ;

namespace qav::platform {

#if defined(__linux__) && defined(__x86_64__)

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kSignalCount = sizeof kSignals / sizeof kSignals[0];

std::atomic<bool> g_installed[kSignalCount];
std::atomic<bool> g_anyInstalled{false};
std::atomic<uint32_t> g_dumpingThread{0};
// A setuid or otherwise secure-execution process: its environment is its
// caller's, who must not choose where root makes folders.
std::atomic<bool> g_secureExecution{false};

// The disposition the kernel holds, not the one a sanitizer's interceptor
// reports: a sanitizer that owns a signal must keep it.
bool KernelDispositionIsDefault(int signal) noexcept {
    struct {
        void* handler;
        unsigned long flags;
        void* restorer;
        uint64_t mask;
    } current = {};
    if (syscall(SYS_rt_sigaction, signal, nullptr, &current, sizeof current.mask) != 0) {
        return false;
    }
    return current.handler == nullptr;  // SIG_DFL
}

void FillContext(const siginfo_t& info, const ucontext_t& uc, CrashContext* crash) noexcept {
    crash->signal = info.si_signo;
    crash->code = info.si_code;
    // si_addr means something only for a fault the kernel raised.
    if (info.si_code > 0 && info.si_signo != SIGABRT) {
        crash->address = reinterpret_cast<uint64_t>(info.si_addr);
    }
    const greg_t* g = uc.uc_mcontext.gregs;
    const auto reg = [g](int index) { return static_cast<uint64_t>(g[index]); };
    diag::CpuContext& cpu = crash->cpu;
    cpu.flags = diag::md::kContextFull;
    cpu.rax = reg(REG_RAX), cpu.rbx = reg(REG_RBX), cpu.rcx = reg(REG_RCX);
    cpu.rdx = reg(REG_RDX), cpu.rsi = reg(REG_RSI), cpu.rdi = reg(REG_RDI);
    cpu.rbp = reg(REG_RBP), cpu.rsp = reg(REG_RSP), cpu.rip = reg(REG_RIP);
    cpu.r8 = reg(REG_R8), cpu.r9 = reg(REG_R9), cpu.r10 = reg(REG_R10), cpu.r11 = reg(REG_R11);
    cpu.r12 = reg(REG_R12), cpu.r13 = reg(REG_R13), cpu.r14 = reg(REG_R14);
    cpu.r15 = reg(REG_R15);
    cpu.eflags = static_cast<uint32_t>(reg(REG_EFL));
    const uint64_t segments = reg(REG_CSGSFS);
    cpu.cs = static_cast<uint16_t>(segments);
    cpu.gs = static_cast<uint16_t>(segments >> 16);
    cpu.fs = static_cast<uint16_t>(segments >> 32);
    cpu.ss = 0x2b;  // the kernel's user data selector; the frame does not carry it
    if (uc.uc_mcontext.fpregs != nullptr) {
        std::memcpy(cpu.fxsave, uc.uc_mcontext.fpregs, sizeof cpu.fxsave);
    }
}

void WriteDump(const siginfo_t& info, const ucontext_t& uc, uint32_t thread) noexcept {
    // A process that made itself non-dumpable keeps its memory out of files.
    if (syscall(SYS_prctl, PR_GET_DUMPABLE, 0, 0, 0, 0) == 0) return;
    char path[kDumpPathCapacity];
    bool forAnotherUser = true;
    const int fd =
        OpenDumpFile(g_secureExecution ? nullptr : environ, path, sizeof path, &forAnotherUser);
    if (fd < 0) return;
    CrashContext crash;
    crash.threadId = thread;
    crash.withoutMemory = forAnotherUser;
    FillContext(info, uc, &crash);
    WriteMinidump(fd, crash);
    raw::Close(fd);
}

void OnCrashSignal(int signal, siginfo_t* info, void* context) {
    const int savedErrno = errno;
    const uint32_t thread = raw::ThreadId();
    uint32_t idle = 0;
    if (g_dumpingThread.compare_exchange_strong(idle, thread)) {
        if (info != nullptr && context != nullptr) {
            WriteDump(*info, *static_cast<const ucontext_t*>(context), thread);
        }
    } else {
        // Another thread is writing the dump and then ends the process;
        // this one waits, at most a minute, rather than cut it short.
        for (int i = 0; i < 600; ++i) {
            struct timespec pause = {0, 100 * 1000 * 1000};
            syscall(SYS_nanosleep, &pause, nullptr);
        }
    }
    // The default action, so the process ends as it would have without
    // the library: the signal is blocked here and arrives on return.
    struct sigaction fallback = {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    syscall(SYS_tgkill, raw::ProcessId(), thread, signal);
    errno = savedErrno;
}

// The handler's stack for a thread that has none: a stack overflow leaves
// no room on the thread's own stack to run it.
class AlternateStack {
public:
    AlternateStack() = default;
    AlternateStack(const AlternateStack&) = delete;
    AlternateStack& operator=(const AlternateStack&) = delete;
    ~AlternateStack() { Release(); }

    void Ensure() noexcept {
        if (checked_) return;
        checked_ = true;
        stack_t current = {};
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_DISABLE) == 0) return;
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t usable = 64 * 1024;
#ifdef _SC_SIGSTKSZ
        const long minimum = sysconf(_SC_SIGSTKSZ);
        if (minimum > 0) usable += static_cast<size_t>(minimum);
#endif
        usable = (usable + page - 1) / page * page;
        void* mapping = mmap(nullptr, page + usable, PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapping == MAP_FAILED) return;
        // A guard page below, so a handler that overruns faults instead of
        // writing over other memory.
        mprotect(mapping, page, PROT_NONE);
        stack_t stack = {};
        stack.ss_sp = static_cast<char*>(mapping) + page;
        stack.ss_size = usable;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(mapping, page + usable);
            return;
        }
        mapping_ = mapping;
        mappingSize_ = page + usable;
        stackStart_ = stack.ss_sp;
    }

private:
    void Release() noexcept {
        if (mapping_ == nullptr) return;
        stack_t current = {};
        if (sigaltstack(nullptr, &current) != 0 || (current.ss_flags & SS_ONSTACK) != 0) return;
        if (current.ss_sp == stackStart_ && (current.ss_flags & SS_DISABLE) == 0) {
            stack_t off = {};
            off.ss_flags = SS_DISABLE;
            if (sigaltstack(&off, nullptr) != 0) return;
        }
        munmap(mapping_, mappingSize_);
        mapping_ = nullptr;
    }

    bool checked_ = false;
    void* mapping_ = nullptr;
    size_t mappingSize_ = 0;
    void* stackStart_ = nullptr;
};

thread_local AlternateStack t_alternateStack;

}  // namespace

void InstallCrashHandler() noexcept {
    g_secureExecution = getauxval(AT_SECURE) != 0;
    struct sigaction action = {};
    action.sa_sigaction = OnCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (const int signal : kSignals) sigaddset(&action.sa_mask, signal);
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (KernelDispositionIsDefault(kSignals[i]) &&
            sigaction(kSignals[i], &action, nullptr) == 0) {
            g_installed[i] = true;
            g_anyInstalled = true;
        }
    }
    PrepareCrashStack();
}

void RemoveCrashHandler() noexcept {
    for (size_t i = 0; i < kSignalCount; ++i) {
        if (!g_installed[i].exchange(false)) continue;
        struct sigaction current = {};
        if (sigaction(kSignals[i], nullptr, &current) != 0 ||
            (current.sa_flags & SA_SIGINFO) == 0 || current.sa_sigaction != OnCrashSignal) {
            continue;
        }
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        sigaction(kSignals[i], &fallback, nullptr);
    }
    g_anyInstalled = false;
}

void PrepareCrashStack() noexcept {
    if (g_anyInstalled.load(std::memory_order_relaxed)) t_alternateStack.Ensure();
}

#else

void InstallCrashHandler() noexcept {}
void RemoveCrashHandler() noexcept {}
void PrepareCrashStack() noexcept {}

#endif

}  // namespace qav::platform
