#include "diag/minidump_format.h"

#include <cstring>

namespace qav::diag {

void PutU16(uint8_t* out, uint16_t value) noexcept {
    out[0] = static_cast<uint8_t>(value);
    out[1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(uint8_t* out, uint32_t value) noexcept {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutU64(uint8_t* out, uint64_t value) noexcept {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

namespace {

void PutLocation(uint8_t* out, Location location) noexcept {
    PutU32(out, location.size);
    PutU32(out + 4, location.rva);
}

}  // namespace

void EncodeHeader(uint8_t* out, uint32_t streamCount, uint32_t directoryRva,
                  uint32_t timeStamp) noexcept {
    std::memset(out, 0, md::kHeaderSize);
    PutU32(out, md::kSignature);
    PutU32(out + 4, md::kVersion);
    PutU32(out + 8, streamCount);
    PutU32(out + 12, directoryRva);
    PutU32(out + 20, timeStamp);
}

void EncodeDirectoryEntry(uint8_t* out, uint32_t streamType, Location location) noexcept {
    PutU32(out, streamType);
    PutLocation(out + 4, location);
}

void EncodeContext(uint8_t* out, const CpuContext& c) noexcept {
    std::memset(out, 0, md::kContextAmd64Size);
    PutU32(out + 48, c.flags);
    std::memcpy(out + 52, c.fxsave + 24, 4);  // MXCSR, as the FXSAVE image holds it
    const uint16_t segments[] = {c.cs, c.ds, c.es, c.fs, c.gs, c.ss};
    for (size_t i = 0; i < 6; ++i) PutU16(out + 56 + 2 * i, segments[i]);
    PutU32(out + 68, c.eflags);
    // Debug registers (72..119) stay zero: user space cannot read them.
    const uint64_t general[] = {c.rax, c.rcx, c.rdx, c.rbx, c.rsp, c.rbp, c.rsi, c.rdi, c.r8,
                                c.r9,  c.r10, c.r11, c.r12, c.r13, c.r14, c.r15, c.rip};
    for (size_t i = 0; i < 17; ++i) PutU64(out + 120 + 8 * i, general[i]);
    std::memcpy(out + 256, c.fxsave, md::kFxsaveSize);
}

void EncodeException(uint8_t* out, const ExceptionRecord& r) noexcept {
    std::memset(out, 0, md::kExceptionStreamSize);
    PutU32(out, r.threadId);
    PutU32(out + 8, r.code);
    PutU32(out + 12, r.flags);
    PutU64(out + 24, r.address);
    PutLocation(out + 160, r.context);
}

void EncodeSystemInfo(uint8_t* out, const SystemInfo& s) noexcept {
    std::memset(out, 0, md::kSystemInfoSize);
    PutU16(out, s.architecture);
    out[6] = s.processors;
    PutU32(out + 8, s.majorVersion);
    PutU32(out + 12, s.minorVersion);
    PutU32(out + 16, s.buildNumber);
    PutU32(out + 20, s.platform);
    PutU32(out + 24, s.csdVersionRva);
    for (size_t i = 0; i < 3; ++i) PutU32(out + 32 + 4 * i, s.vendor[i]);
    PutU32(out + 44, s.cpuVersion);
    PutU32(out + 48, s.cpuFeatures);
}

void EncodeMiscInfo(uint8_t* out, uint32_t processId) noexcept {
    std::memset(out, 0, md::kMiscInfoSize);
    PutU32(out, static_cast<uint32_t>(md::kMiscInfoSize));
    PutU32(out + 4, md::kMiscInfoProcessId);
    PutU32(out + 8, processId);
}

void EncodeThread(uint8_t* out, const ThreadRecord& t) noexcept {
    std::memset(out, 0, md::kThreadSize);
    PutU32(out, t.id);
    EncodeMemoryDescriptor(out + 24, t.stackStart, t.stack);
    PutLocation(out + 40, t.context);
}

void EncodeModule(uint8_t* out, const ModuleRecord& m) noexcept {
    std::memset(out, 0, md::kModuleSize);
    PutU64(out, m.base);
    PutU32(out + 8, m.size);
    PutU32(out + 20, m.nameRva);
    PutU32(out + 24, 0xFEEF04BDu);  // the version block's signature; no version is known
    PutLocation(out + 76, m.codeView);
}

void EncodeMemoryDescriptor(uint8_t* out, uint64_t start, Location memory) noexcept {
    PutU64(out, start);
    PutLocation(out + 8, memory);
}

size_t StringRecordSize(size_t length) noexcept { return 4 + 2 * length + 2; }

namespace {

// Decodes one UTF-8 sequence at text[*i]; malformed input gives U+FFFD and
// consumes one byte.
uint32_t NextCodePoint(const char* text, size_t length, size_t* i) noexcept {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    const uint8_t lead = byte(*i);
    size_t extra = 0;
    uint32_t point = 0;
    if (lead < 0x80) {
        ++*i;
        return lead;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1;
        point = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2;
        point = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3;
        point = lead & 0x07u;
    } else {
        ++*i;
        return 0xFFFD;
    }
    if (*i + extra >= length) {
        ++*i;
        return 0xFFFD;
    }
    for (size_t k = 1; k <= extra; ++k) {
        if ((byte(*i + k) & 0xC0) != 0x80) {
            ++*i;
            return 0xFFFD;
        }
        point = point << 6 | (byte(*i + k) & 0x3Fu);
    }
    static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (point < kSmallest[extra] || point > 0x10FFFF || (point >= 0xD800 && point < 0xE000)) {
        ++*i;
        return 0xFFFD;
    }
    *i += extra + 1;
    return point;
}

}  // namespace

size_t EncodeString(uint8_t* out, size_t capacity, const char* text, size_t length) noexcept {
    if (capacity < StringRecordSize(length)) return 0;
    size_t units = 0;
    for (size_t i = 0; i < length;) {
        const uint32_t point = NextCodePoint(text, length, &i);
        if (point >= 0x10000) {
            const uint32_t v = point - 0x10000;
            PutU16(out + 4 + 2 * units++, static_cast<uint16_t>(0xD800 | v >> 10));
            PutU16(out + 4 + 2 * units++, static_cast<uint16_t>(0xDC00 | (v & 0x3FF)));
        } else {
            PutU16(out + 4 + 2 * units++, static_cast<uint16_t>(point));
        }
    }
    PutU32(out, static_cast<uint32_t>(2 * units));
    PutU16(out + 4 + 2 * units, 0);
    return 4 + 2 * units + 2;
}

}  // namespace qav::diag
