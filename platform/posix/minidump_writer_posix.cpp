#include "platform/posix/minidump_writer.h"

#if defined(__linux__) && defined(__x86_64__)

#include <cpuid.h>
#include <sched.h>
#include <sys/utsname.h>
#include <time.h>

#include <cstring>

#include "diag/dump_paths.h"
#include "diag/elf_note.h"
#include "diag/proc_text.h"
#include "platform/posix/raw_io.h"

namespace qav::platform {

namespace {

using diag::Location;

constexpr size_t kMaxThreads = 64;
constexpr size_t kMaxModules = 160;
constexpr size_t kMaxStreams = 10;
constexpr uint64_t kRedZone = 128;
constexpr uint64_t kCrashStackBytes = 256 * 1024;
constexpr uint64_t kOtherStackBytes = 64 * 1024;
// A stack pointer past the end of its stack (an overflow into the guard
// area) still finds the stack above it within this distance.
constexpr uint64_t kStackSearchGap = 1024 * 1024;

// Appends records to the dump file; remembers whether every write landed.
class Output {
public:
    explicit Output(int fd, uint64_t start) noexcept : fd_(fd), end_(start) {}

    // Starts a record on an 8-byte boundary; returns its offset.
    uint32_t Begin() noexcept {
        end_ = (end_ + 7) & ~uint64_t{7};
        return static_cast<uint32_t>(end_);
    }
    void Write(const void* data, size_t size) noexcept {
        WriteAt(end_, data, size);
        end_ += size;
    }
    Location Since(uint32_t rva) const noexcept { return {static_cast<uint32_t>(end_ - rva), rva}; }
    Location Record(const void* data, size_t size) noexcept {
        const uint32_t rva = Begin();
        Write(data, size);
        return Since(rva);
    }
    // Copies process memory; what cannot be read is written as zeros.
    Location Memory(uint64_t address, size_t size) noexcept {
        const uint32_t rva = Begin();
        static constexpr uint8_t kZeros[4096] = {};
        for (size_t done = 0; done < size;) {
            const size_t chunk = size - done < sizeof kZeros ? size - done : sizeof kZeros;
            const long n =
                raw::PWrite(fd_, reinterpret_cast<const void*>(address + done), chunk, end_ + done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                WriteAt(end_ + done, kZeros, chunk);
                done += chunk;
            }
        }
        end_ += size;
        return Since(rva);
    }
    // Copies a whole file (a /proc text) as one record.
    Location File(const char* path) noexcept {
        const uint32_t rva = Begin();
        const int in = raw::Open(path, O_RDONLY | O_CLOEXEC);
        if (in < 0) return {0, rva};
        char buffer[2048];
        for (;;) {
            const long n = raw::Read(in, buffer, sizeof buffer);
            if (n <= 0) break;
            Write(buffer, static_cast<size_t>(n));
        }
        raw::Close(in);
        return Since(rva);
    }
    void WriteAt(uint64_t offset, const void* data, size_t size) noexcept {
        const auto* bytes = static_cast<const uint8_t*>(data);
        while (size > 0) {
            const long n = raw::PWrite(fd_, bytes, size, offset);
            if (n <= 0) {
                ok_ = false;
                return;
            }
            bytes += n;
            offset += static_cast<uint64_t>(n);
            size -= static_cast<size_t>(n);
        }
    }
    bool Ok() const noexcept { return ok_ && end_ <= UINT32_MAX; }

private:
    int fd_;
    uint64_t end_;
    bool ok_ = true;
};

struct Directory {
    uint8_t bytes[kMaxStreams * diag::md::kDirectoryEntrySize] = {};
    uint32_t count = 0;

    void Add(uint32_t type, Location location) noexcept {
        if (count == kMaxStreams) return;
        diag::EncodeDirectoryEntry(bytes + count++ * diag::md::kDirectoryEntrySize, type, location);
    }
};

struct ThreadSlot {
    uint32_t id = 0;
    bool registersKnown = false;
    uint64_t stack = 0, instruction = 0;
    uint64_t low = 0, high = 0;  // the stack memory to copy, once found
    diag::ThreadRecord record;
};

// The crashing thread first, then the others /proc lists, with the stack
// and instruction pointers of those blocked in the kernel.
size_t CollectThreads(const CrashContext& crash, ThreadSlot* threads) noexcept {
    size_t count = 1;
    threads[0].id = crash.threadId;
    threads[0].registersKnown = true;
    threads[0].stack = crash.cpu.rsp;
    threads[0].instruction = crash.cpu.rip;
    const int dir = raw::Open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return count;
    alignas(8) char entries[2048];
    for (;;) {
        const long n = syscall(SYS_getdents64, dir, entries, sizeof entries);
        if (n <= 0) break;
        for (long at = 0; at < n;) {
            uint16_t recordLength = 0;
            std::memcpy(&recordLength, entries + at + 16, sizeof recordLength);
            const char* name = entries + at + 19;
            at += recordLength;
            uint32_t id = 0;
            for (; *name >= '0' && *name <= '9'; ++name)
                id = id * 10 + static_cast<uint32_t>(*name - '0');
            if (*name != '\0' || id == 0 || id == crash.threadId || count == kMaxThreads) continue;
            ThreadSlot& slot = threads[count++];
            slot.id = id;
            char path[64];
            size_t length = 0;
            diag::AppendAscii(path, sizeof path, &length, "/proc/self/task/");
            diag::AppendNumber(path, sizeof path, &length, id);
            diag::AppendAscii(path, sizeof path, &length, "/syscall");
            // A thread caught running has no registers to read; it is asked
            // again briefly, as most are about to block.
            for (int attempt = 0; attempt < 5 && !slot.registersKnown; ++attempt) {
                if (attempt > 0) {
                    struct timespec pause = {0, 1000 * 1000};
                    syscall(SYS_nanosleep, &pause, nullptr);
                }
                char text[256];
                const size_t textLength = raw::ReadSmallFile(path, text, sizeof text);
                slot.registersKnown =
                    diag::ParseSyscallLine(text, textLength, &slot.stack, &slot.instruction);
            }
        }
    }
    raw::Close(dir);
    return count;
}

// Fills in a thread's stack range from one maps line: the mapping holding
// its stack pointer, or (the pointer having run off into a guard area) the
// first readable mapping above it.
void MatchStack(const diag::MapsLine& line, ThreadSlot& thread, uint64_t limit) noexcept {
    if (!thread.registersKnown || thread.high != 0 || !line.readable) return;
    const uint64_t sp = thread.stack;
    if (line.start <= sp && sp < line.end) {
        thread.low = sp - kRedZone >= line.start && sp >= kRedZone ? sp - kRedZone : line.start;
    } else if (line.start > sp && line.start - sp <= kStackSearchGap) {
        thread.low = line.start;
    } else {
        return;
    }
    thread.high = line.end - thread.low > limit ? thread.low + limit : line.end;
}

// Reads this process's memory without risking a fault on an unmapped page.
bool ReadOwnMemory(int memory, uint64_t address, void* out, size_t size) noexcept {
    return memory >= 0 && raw::PRead(memory, out, size, address) == static_cast<long>(size);
}

// The build id of the ELF image whose first (offset 0) mapping is
// [base, base + mapped), as a code-view record in the dump.
Location WriteBuildId(Output& out, int memory, uint64_t base, uint64_t mapped) noexcept {
    uint8_t header[64];
    if (!ReadOwnMemory(memory, base, header, sizeof header) ||
        std::memcmp(header,
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        header[4] != 2) {
        return {};
    }
    uint64_t tableOffset = 0;
    uint16_t entrySize = 0;
    uint16_t entries = 0;
    std::memcpy(&tableOffset, header + 32, 8);
    std::memcpy(&entrySize, header + 54, 2);
    std::memcpy(&entries, header + 56, 2);
    if (entrySize < 56 || entries > 128) return {};
    for (uint16_t i = 0; i < entries; ++i) {
        const uint64_t at = tableOffset + uint64_t{i} * entrySize;
        uint8_t program[56];
        if (at + sizeof program > mapped || !ReadOwnMemory(memory, base + at, program, 56)) break;
        uint32_t type = 0;
        uint64_t offset = 0;
        uint64_t size = 0;
        std::memcpy(&type, program, 4);
        std::memcpy(&offset, program + 8, 8);
        std::memcpy(&size, program + 32, 8);
        uint8_t notes[1024];
        if (type != 4 /* PT_NOTE */ || size > sizeof notes || offset + size > mapped ||
            !ReadOwnMemory(memory, base + offset, notes, size)) {
            continue;
        }
        const uint8_t* id = nullptr;
        size_t idLength = 0;
        if (!diag::FindGnuBuildId(notes, size, &id, &idLength)) continue;
        uint8_t signature[4];
        diag::PutU32(signature, diag::md::kCvElfBuildId);
        const uint32_t rva = out.Begin();
        out.Write(signature, sizeof signature);
        out.Write(id, idLength);
        return out.Since(rva);
    }
    return {};
}

// Names longer than this are cut; the handler's stack is small.
constexpr size_t kMaxName = 1024;

Location WriteString(Output& out, const char* text, size_t length) noexcept {
    uint8_t record[2 * kMaxName + 8];
    if (length > kMaxName) length = kMaxName;
    const size_t size = diag::EncodeString(record, sizeof record, text, length);
    return out.Record(record, size);
}

struct ModuleScan {
    diag::ModuleRecord modules[kMaxModules];
    size_t count = 0;
    bool open = false;
    uint64_t end = 0;
    uint64_t inode = 0;
    uint32_t deviceMajor = 0, deviceMinor = 0;

    void Close() noexcept {
        if (!open) return;
        open = false;
        if (count == kMaxModules) return;
        diag::ModuleRecord& module = modules[count];
        const uint64_t size = end - module.base;
        module.size = size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(size);
        ++count;
    }

    // One maps line: a file's mapping at offset 0 starts a module, later
    // mappings of the same file extend it, another file ends it.
    void Add(Output& out, int memory, const diag::MapsLine& line) noexcept {
        if (line.pathLength == 0 || line.path[0] != '/') return;
        const bool sameFile = open && line.inode == inode && line.deviceMajor == deviceMajor &&
                              line.deviceMinor == deviceMinor;
        if (sameFile && line.offset != 0) {
            end = line.end;
            return;
        }
        Close();
        if (line.offset != 0 || count == kMaxModules) return;
        diag::ModuleRecord& module = modules[count];
        module = {};
        module.base = line.start;
        module.nameRva = WriteString(out, line.path, line.pathLength).rva;
        if (line.readable)
            module.codeView = WriteBuildId(out, memory, line.start, line.end - line.start);
        open = true;
        end = line.end;
        inode = line.inode;
        deviceMajor = line.deviceMajor;
        deviceMinor = line.deviceMinor;
    }
};

void ScanMaps(Output& out, ThreadSlot* threads, size_t threadCount, ModuleScan& modules) noexcept {
    const int maps = raw::Open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (maps < 0) return;
    const int memory = raw::Open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    raw::LineReader<4608> reader(maps);
    const char* text = nullptr;
    size_t length = 0;
    while (reader.Next(&text, &length)) {
        diag::MapsLine line;
        if (!diag::ParseMapsLine(text, length, &line)) continue;
        for (size_t i = 0; i < threadCount; ++i) {
            MatchStack(line, threads[i], i == 0 ? kCrashStackBytes : kOtherStackBytes);
        }
        modules.Add(out, memory, line);
    }
    modules.Close();
    if (memory >= 0) raw::Close(memory);
    raw::Close(maps);
}

uint32_t ParseVersionPart(const char** text) noexcept {
    uint32_t value = 0;
    for (; **text >= '0' && **text <= '9'; ++*text)
        value = value * 10 + static_cast<uint32_t>(**text - '0');
    if (**text == '.') ++*text;
    return value;
}

Location WriteSystemInfo(Output& out) noexcept {
    diag::SystemInfo info;
    struct utsname names;
    if (syscall(SYS_uname, &names) == 0) {
        const char* release = names.release;
        info.majorVersion = ParseVersionPart(&release);
        info.minorVersion = ParseVersionPart(&release);
        info.buildNumber = ParseVersionPart(&release);
        char csd[sizeof names.release + sizeof names.version + 2];
        size_t length = 0;
        diag::AppendAscii(csd, sizeof csd, &length, names.release);
        diag::AppendAscii(csd, sizeof csd, &length, " ");
        diag::AppendAscii(csd, sizeof csd, &length, names.version);
        info.csdVersionRva = WriteString(out, csd, length).rva;
    }
    cpu_set_t cpus;
    if (syscall(SYS_sched_getaffinity, 0, sizeof cpus, &cpus) > 0) {
        const int count = CPU_COUNT(&cpus);
        info.processors = static_cast<uint8_t>(count > 255 ? 255 : count);
    }
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) != 0) {
        info.vendor[0] = b;
        info.vendor[1] = d;
        info.vendor[2] = c;
    }
    if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
        info.cpuVersion = a;
        info.cpuFeatures = d;
    }
    uint8_t record[diag::md::kSystemInfoSize];
    diag::EncodeSystemInfo(record, info);
    return out.Record(record, sizeof record);
}

Location WriteContext(Output& out, const diag::CpuContext& context) noexcept {
    uint8_t record[diag::md::kContextAmd64Size];
    diag::EncodeContext(record, context);
    return out.Record(record, sizeof record);
}

}  // namespace

bool WriteMinidump(int fd, const CrashContext& crash) noexcept {
    using namespace diag::md;
    Directory directory;
    Output out(fd, kHeaderSize + sizeof directory.bytes);

    directory.Add(kSystemInfoStream, WriteSystemInfo(out));
    uint8_t misc[kMiscInfoSize];
    diag::EncodeMiscInfo(misc, raw::ProcessId());
    directory.Add(kMiscInfoStream, out.Record(misc, sizeof misc));

    ThreadSlot threads[kMaxThreads];
    const size_t threadCount = CollectThreads(crash, threads);
    ModuleScan modules;
    ScanMaps(out, threads, threadCount, modules);

    uint8_t record[kModuleSize];
    uint32_t stacks = 0;
    for (size_t i = 0; i < threadCount; ++i) {
        ThreadSlot& thread = threads[i];
        thread.record.id = thread.id;
        if (!crash.withoutMemory && thread.high > thread.low) {
            thread.record.stackStart = thread.low;
            thread.record.stack = out.Memory(thread.low, thread.high - thread.low);
            ++stacks;
        }
        if (i == 0 && crash.withoutMemory) {
            // Vector registers hold whatever was last copied through them.
            diag::CpuContext general = crash.cpu;
            general.flags = kContextControl | kContextInteger | kContextSegments;
            std::memset(general.fxsave, 0, sizeof general.fxsave);
            thread.record.context = WriteContext(out, general);
        } else if (i == 0) {
            thread.record.context = WriteContext(out, crash.cpu);
        } else {
            diag::CpuContext partial;
            if (thread.registersKnown) {
                partial.flags = kContextControl;
                partial.rsp = thread.stack;
                partial.rip = thread.instruction;
            } else {
                partial.flags = kContextAmd64;
            }
            thread.record.context = WriteContext(out, partial);
        }
    }

    uint32_t rva = out.Begin();
    const auto writeCount = [&](size_t count) {
        uint8_t bytes[4];
        diag::PutU32(bytes, static_cast<uint32_t>(count));
        out.Write(bytes, sizeof bytes);
    };
    writeCount(threadCount);
    for (size_t i = 0; i < threadCount; ++i) {
        diag::EncodeThread(record, threads[i].record);
        out.Write(record, kThreadSize);
    }
    directory.Add(kThreadListStream, out.Since(rva));

    diag::ExceptionRecord exception;
    exception.threadId = crash.threadId;
    exception.code = static_cast<uint32_t>(crash.signal);
    exception.flags = static_cast<uint32_t>(crash.code);
    exception.address = crash.address;
    exception.context = threads[0].record.context;
    uint8_t exceptionRecord[kExceptionStreamSize];
    diag::EncodeException(exceptionRecord, exception);
    directory.Add(kExceptionStream, out.Record(exceptionRecord, sizeof exceptionRecord));

    rva = out.Begin();
    writeCount(modules.count);
    for (size_t i = 0; i < modules.count; ++i) {
        diag::EncodeModule(record, modules.modules[i]);
        out.Write(record, kModuleSize);
    }
    directory.Add(kModuleListStream, out.Since(rva));

    rva = out.Begin();
    writeCount(stacks);
    for (size_t i = 0; i < threadCount; ++i) {
        if (threads[i].record.stack.size == 0) continue;
        diag::EncodeMemoryDescriptor(record, threads[i].record.stackStart, threads[i].record.stack);
        out.Write(record, kMemoryDescriptorSize);
    }
    directory.Add(kMemoryListStream, out.Since(rva));

    directory.Add(kLinuxMapsStream, out.File("/proc/self/maps"));
    directory.Add(kLinuxProcStatusStream, out.File("/proc/self/status"));
    if (!crash.withoutMemory) {
        directory.Add(kLinuxCmdLineStream, out.File("/proc/self/cmdline"));
        directory.Add(kLinuxAuxvStream, out.File("/proc/self/auxv"));
    }

    struct timespec now = {};
    syscall(SYS_clock_gettime, CLOCK_REALTIME, &now);
    uint8_t header[kHeaderSize];
    diag::EncodeHeader(header, directory.count, kHeaderSize, static_cast<uint32_t>(now.tv_sec));
    out.WriteAt(0, header, sizeof header);
    out.WriteAt(kHeaderSize, directory.bytes, sizeof directory.bytes);
    return out.Ok();
}

}  // namespace qav::platform

#else

namespace qav::platform {

bool WriteMinidump(int, const CrashContext&) noexcept { return false; }

}  // namespace qav::platform

#endif
