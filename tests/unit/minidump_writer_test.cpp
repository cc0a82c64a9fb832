// The dump writer run in this process on a made-up crash, its file read back
// stream by stream. What LLDB needs to open a dump at all (system, module and
// code-view records) the crash tests pin by opening real ones.
#if defined(__linux__) && defined(__x86_64__)

#include "platform/posix/minidump_writer.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qav::platform {
namespace {

namespace md = diag::md;

class DumpFile {
public:
    explicit DumpFile(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        for (uint32_t i = 0; i < U32(8); ++i) {
            const uint32_t entry = U32(12) + 12 * i;
            EXPECT_EQ(streams_.count(U32(entry)), 0u) << "stream twice: " << U32(entry);
            streams_[U32(entry)] = {U32(entry + 4), U32(entry + 8)};
        }
    }
    template <typename T>
    T Get(size_t at) const {
        T value{};
        if (at + sizeof value <= bytes_.size())
            std::memcpy(&value, bytes_.data() + at, sizeof value);
        return value;
    }
    uint32_t U32(size_t at) const { return Get<uint32_t>(at); }
    uint64_t U64(size_t at) const { return Get<uint64_t>(at); }
    // A stream's offset; its size must hold `size` bytes at least.
    uint32_t Stream(uint32_t type, uint32_t size) const {
        const auto found = streams_.find(type);
        if (found == streams_.end()) ADD_FAILURE() << "no stream " << type;
        if (found == streams_.end()) return 0;
        EXPECT_GE(found->second.first, size) << type;
        return found->second.second;
    }
    std::string Bytes(size_t at, size_t size) const {
        return at + size <= bytes_.size()
                   ? std::string(bytes_.begin() + static_cast<long>(at),
                                 bytes_.begin() + static_cast<long>(at + size))
                   : std::string();
    }
    size_t StreamCount() const { return streams_.size(); }

private:
    std::vector<uint8_t> bytes_;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> streams_;  // size, offset
};

TEST(MinidumpWriter, WritesEveryStreamOfAMadeUpCrash) {
    std::mutex lock;
    std::condition_variable wake;
    bool done = false;
    std::atomic<uint32_t> helperId{0};
    std::thread helper([&] {
        helperId = static_cast<uint32_t>(syscall(SYS_gettid));
        std::unique_lock<std::mutex> held(lock);
        wake.wait(held, [&] { return done; });
    });
    while (helperId == 0) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    uint8_t stack[512];
    for (size_t i = 0; i < sizeof stack; ++i) stack[i] = static_cast<uint8_t>(i * 7);
    CrashContext crash;
    crash.threadId = static_cast<uint32_t>(syscall(SYS_gettid));
    crash.signal = SIGBUS;
    crash.code = BUS_ADRERR;
    crash.address = 0xdead0;
    crash.cpu.flags = md::kContextFull;
    crash.cpu.rax = 0x1111222233334444;
    crash.cpu.rsp = reinterpret_cast<uint64_t>(stack + 256);
    crash.cpu.rip = 0x401234;
    crash.cpu.r15 = 0xf15;
    const uint32_t mxcsr = 0x1f80;
    std::memcpy(crash.cpu.fxsave + 24, &mxcsr, 4);

    const int fd = memfd_create("dump", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    const bool written = WriteMinidump(fd, crash);
    std::vector<uint8_t> bytes(static_cast<size_t>(lseek(fd, 0, SEEK_END)));
    EXPECT_EQ(pread(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    close(fd);
    {
        const std::lock_guard<std::mutex> held(lock);
        done = true;
    }
    wake.notify_all();
    helper.join();
    ASSERT_TRUE(written);

    const DumpFile dump(std::move(bytes));
    ASSERT_EQ(dump.U32(0), md::kSignature);
    EXPECT_EQ(dump.U32(4) & 0xffff, md::kVersion);
    EXPECT_EQ(dump.StreamCount(), 10u);

    EXPECT_EQ(dump.U32(dump.Stream(md::kMiscInfoStream, md::kMiscInfoSize) + 8),
              static_cast<uint32_t>(getpid()));

    const uint32_t exception = dump.Stream(md::kExceptionStream, md::kExceptionStreamSize);
    EXPECT_EQ(dump.U32(exception), crash.threadId);
    EXPECT_EQ(dump.U32(exception + 8), static_cast<uint32_t>(SIGBUS));
    EXPECT_EQ(dump.U32(exception + 12), static_cast<uint32_t>(BUS_ADRERR));
    EXPECT_EQ(dump.U64(exception + 24), 0xdead0u);

    // Threads: the crashed one first, with its registers and stack; the
    // helper, blocked in the kernel, with its stack pointer inside its stack.
    const uint32_t threads = dump.Stream(md::kThreadListStream, 4 + 2 * md::kThreadSize);
    ASSERT_GE(dump.U32(threads), 2u);
    const uint32_t first = threads + 4;
    EXPECT_EQ(dump.U32(first), crash.threadId);
    EXPECT_EQ(dump.U64(exception + 160), dump.U64(first + 40)) << "the exception's context";
    const uint32_t context = dump.U32(first + 44);
    EXPECT_EQ(dump.U32(first + 40), md::kContextAmd64Size);
    EXPECT_EQ(dump.U32(context + 48), md::kContextFull);
    EXPECT_EQ(dump.U32(context + 52), mxcsr);
    EXPECT_EQ(dump.U64(context + 120), crash.cpu.rax);
    EXPECT_EQ(dump.U64(context + 120 + 4 * 8), crash.cpu.rsp);
    EXPECT_EQ(dump.U64(context + 120 + 15 * 8), crash.cpu.r15);
    EXPECT_EQ(dump.U64(context + 248), crash.cpu.rip);
    EXPECT_EQ(dump.U64(first + 24), crash.cpu.rsp - 128) << "the red zone below the stack pointer";
    EXPECT_EQ(dump.Bytes(dump.U32(first + 36) + 128, 256),
              std::string(reinterpret_cast<char*>(stack) + 256, 256));
    bool helperSeen = false;
    for (uint32_t i = 1; i < dump.U32(threads); ++i) {
        const size_t thread = first + i * md::kThreadSize;
        if (dump.U32(thread) != helperId) continue;
        helperSeen = true;
        const uint32_t helperContext = dump.U32(thread + 44);
        ASSERT_EQ(dump.U32(helperContext + 48), md::kContextControl);
        const uint64_t sp = dump.U64(helperContext + 120 + 4 * 8);
        EXPECT_LE(dump.U64(thread + 24), sp);
        EXPECT_GT(dump.U64(thread + 24) + dump.U32(thread + 32), sp);
    }
    EXPECT_TRUE(helperSeen);

    const uint32_t memory = dump.Stream(md::kMemoryListStream, 4 + md::kMemoryDescriptorSize);
    EXPECT_EQ(dump.Bytes(memory + 4, 16), dump.Bytes(first + 24, 16)) << "the crashed stack";

    std::ifstream maps("/proc/self/maps");
    std::string firstLine;
    std::getline(maps, firstLine);
    EXPECT_EQ(dump.Bytes(dump.Stream(md::kLinuxMapsStream, 1), firstLine.size()), firstLine);
}

}  // namespace
}  // namespace qav::platform

#endif
