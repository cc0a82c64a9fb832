// Where a crash dump goes: "<data folder>/ZelClient/<n>.dmp" of the user on
// the console (the active session of seat0) when this process may write
// there, else of the process's own user.
#pragma once

#include <cstddef>

namespace qav::platform {

// Folder and file names longer than this get no dump.
constexpr size_t kDumpPathCapacity = 1024;

// Creates the folder (0700) and a new dump file (0600, never an existing
// one) with the first free number; returns its descriptor with its name in
// `path`, or -1. `environment` is the process's (XDG_DATA_HOME, HOME), null
// in a secure-execution process, whose environment is the caller's choice.
// `forAnotherUser` tells whether the file belongs to another user than the
// process's. Safe in a signal handler.
int OpenDumpFile(char* const* environment, char* path, size_t capacity,
                 bool* forAnotherUser) noexcept;

}  // namespace qav::platform
