// Parsers for the small text files the crash handler reads: the seat file of
// the login manager, the password file and the process's memory map. Each
// works on a caller's bytes and allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qav::diag {

// The value of the "ACTIVE_UID=" line of a seat file; false without one.
bool ParseActiveUid(const char* text, size_t length, uint32_t* uid) noexcept;

struct PasswdEntry {
    uint32_t gid = 0;
    const char* home = nullptr;  // into the parsed line, not terminated
    size_t homeLength = 0;
};

// True when `line` (one line of the password file, no newline) is the
// entry of `uid` with a non-empty home folder.
bool ParsePasswdLine(const char* line, size_t length, uint32_t uid, PasswdEntry* entry) noexcept;

struct MapsLine {
    uint64_t start = 0, end = 0, offset = 0, inode = 0;
    uint32_t deviceMajor = 0, deviceMinor = 0;
    bool readable = false, executable = false;
    const char* path = nullptr;  // into the parsed line, not terminated; may be empty
    size_t pathLength = 0;
};

// One line of /proc/<pid>/maps, without its newline.
bool ParseMapsLine(const char* line, size_t length, MapsLine* out) noexcept;

// The stack and instruction pointers at the end of a thread's
// /proc/<pid>/task/<tid>/syscall line; false for a running thread, which
// has none.
bool ParseSyscallLine(const char* text, size_t length, uint64_t* stack,
                      uint64_t* instruction) noexcept;

}  // namespace qav::diag
