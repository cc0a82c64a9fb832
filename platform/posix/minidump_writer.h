// The minidump of this process, written by its crashing thread with kernel
// calls and stack buffers only.
#pragma once

#include <cstdint>

#include "diag/minidump_format.h"

namespace qav::platform {

struct CrashContext {
    uint32_t threadId = 0;
    int signal = 0;
    int code = 0;          // si_code
    uint64_t address = 0;  // the faulting address; 0 for a signal sent by a process
    diag::CpuContext cpu;
    // A dump another user will read: no process memory, which may hold the
    // process's secrets (see WriteMinidump).
    bool withoutMemory = false;
};

// Writes the dump into `fd` (at offset 0): system and process facts, every
// thread with the stack the handler can reach, the exception, the loaded
// modules with their build ids, and the process's maps, status, command line
// and auxiliary vector. False when a write failed. Without memory, it keeps
// what says where the process crashed (registers other than the vector and
// floating-point ones, threads, modules, the faulting address, maps and
// status) and leaves out the stacks, the vector registers, the command line
// and the auxiliary vector.
bool WriteMinidump(int fd, const CrashContext& crash) noexcept;

}  // namespace qav::platform
