// The minidump file layout (little-endian, packed records) as plain encoders
// into caller buffers, so a writer running in a signal handler can build
// every record on its stack.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::diag {

namespace md {

constexpr uint32_t kSignature = 0x504D444Du;  // "MDMP"
constexpr uint32_t kVersion = 0xA793u;

enum StreamType : uint32_t {
    kThreadListStream = 3,
    kModuleListStream = 4,
    kMemoryListStream = 5,
    kExceptionStream = 6,
    kSystemInfoStream = 7,
    kMiscInfoStream = 15,
    kLinuxProcStatusStream = 0x47670004u,
    kLinuxCmdLineStream = 0x47670006u,
    kLinuxAuxvStream = 0x47670008u,
    kLinuxMapsStream = 0x47670009u,
};

constexpr uint16_t kArchitectureAmd64 = 9;
constexpr uint32_t kPlatformLinux = 0x8201u;
constexpr uint32_t kContextAmd64 = 0x00100000u;
constexpr uint32_t kContextControl = kContextAmd64 | 0x1u;
constexpr uint32_t kContextInteger = kContextAmd64 | 0x2u;
constexpr uint32_t kContextSegments = kContextAmd64 | 0x4u;
constexpr uint32_t kContextFloatingPoint = kContextAmd64 | 0x8u;
constexpr uint32_t kContextFull =
    kContextControl | kContextInteger | kContextSegments | kContextFloatingPoint;
constexpr uint32_t kMiscInfoProcessId = 0x1u;
constexpr uint32_t kCvElfBuildId = 0x4270454Cu;  // "BpEL", followed by the build id

constexpr size_t kHeaderSize = 32;
constexpr size_t kDirectoryEntrySize = 12;
constexpr size_t kThreadSize = 48;
constexpr size_t kModuleSize = 108;
constexpr size_t kMemoryDescriptorSize = 16;
constexpr size_t kExceptionStreamSize = 168;
constexpr size_t kSystemInfoSize = 56;
constexpr size_t kMiscInfoSize = 24;
constexpr size_t kContextAmd64Size = 1232;
constexpr size_t kFxsaveSize = 512;

}  // namespace md

// Where a record lies in the file.
struct Location {
    uint32_t size = 0;
    uint32_t rva = 0;
};

// The registers of one x86-64 thread. `flags` says which groups are known.
struct CpuContext {
    uint32_t flags = 0;
    uint64_t rax = 0, rbx = 0, rcx = 0, rdx = 0, rsi = 0, rdi = 0, rbp = 0, rsp = 0;
    uint64_t r8 = 0, r9 = 0, r10 = 0, r11 = 0, r12 = 0, r13 = 0, r14 = 0, r15 = 0;
    uint64_t rip = 0;
    uint32_t eflags = 0;
    uint16_t cs = 0, ds = 0, es = 0, fs = 0, gs = 0, ss = 0;
    uint8_t fxsave[md::kFxsaveSize] = {};  // the FXSAVE image: x87, MXCSR, XMM0-15
};

struct ExceptionRecord {
    uint32_t threadId = 0;
    uint32_t code = 0;   // the signal number
    uint32_t flags = 0;  // the signal's si_code
    uint64_t address = 0;
    Location context;
};

struct SystemInfo {
    uint16_t architecture = md::kArchitectureAmd64;
    uint8_t processors = 0;
    uint32_t majorVersion = 0, minorVersion = 0, buildNumber = 0;
    uint32_t platform = md::kPlatformLinux;
    uint32_t csdVersionRva = 0;
    uint32_t vendor[3] = {};  // the CPUID vendor words
    uint32_t cpuVersion = 0, cpuFeatures = 0;
};

struct ModuleRecord {
    uint64_t base = 0;
    uint32_t size = 0;
    uint32_t nameRva = 0;
    Location codeView;
};

struct ThreadRecord {
    uint32_t id = 0;
    uint64_t stackStart = 0;
    Location stack;
    Location context;
};

void PutU16(uint8_t* out, uint16_t value) noexcept;
void PutU32(uint8_t* out, uint32_t value) noexcept;
void PutU64(uint8_t* out, uint64_t value) noexcept;

// Each encoder fills exactly its record's size (md::k...Size) at `out`.
void EncodeHeader(uint8_t* out, uint32_t streamCount, uint32_t directoryRva,
                  uint32_t timeStamp) noexcept;
void EncodeDirectoryEntry(uint8_t* out, uint32_t streamType, Location location) noexcept;
void EncodeContext(uint8_t* out, const CpuContext& context) noexcept;
void EncodeException(uint8_t* out, const ExceptionRecord& record) noexcept;
void EncodeSystemInfo(uint8_t* out, const SystemInfo& info) noexcept;
void EncodeMiscInfo(uint8_t* out, uint32_t processId) noexcept;
void EncodeThread(uint8_t* out, const ThreadRecord& thread) noexcept;
void EncodeModule(uint8_t* out, const ModuleRecord& module) noexcept;
void EncodeMemoryDescriptor(uint8_t* out, uint64_t start, Location memory) noexcept;

// A string record: its byte length, then the text as UTF-16LE and a
// terminating NUL. Malformed UTF-8 becomes U+FFFD. Needs at most
// StringRecordSize(length) bytes; EncodeString returns the bytes used, 0 when
// they do not fit `capacity`.
size_t StringRecordSize(size_t length) noexcept;
size_t EncodeString(uint8_t* out, size_t capacity, const char* text, size_t length) noexcept;

}  // namespace qav::diag
