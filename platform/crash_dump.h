// Crash dumps of the host process: installed by the library's load hook.
#pragma once

namespace qav::platform {

// Makes an unhandled crash anywhere in the process leave a numbered dump in
// the console user's data folder. On POSIX it leaves signal handlers the
// process already has; on Windows it becomes the process's unhandled-exception
// filter, and whatever filter was there before is not called while the
// library is loaded.
void InstallCrashHandler() noexcept;

// Undoes InstallCrashHandler where its handlers are still in place, before
// the library's code goes away: on Windows at an unload by FreeLibrary (not
// at process exit), putting back the filter there was before.
void RemoveCrashHandler() noexcept;

// Gives the calling thread a separate stack for the crash handler when it
// has none, so a stack overflow in it can still be dumped. Cheap to repeat.
void PrepareCrashStack() noexcept;

}  // namespace qav::platform
