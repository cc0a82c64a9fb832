// The library's load hook: installs the crash-dump writer and nothing else.
// Only the shared library has it; test programs link the code without.
#include "platform/crash_dump.h"

#ifdef _WIN32

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) qav::platform::InstallCrashHandler();
    // Unloaded by FreeLibrary: the process lives on, and its filter must not
    // point into code that is gone. At process exit nothing is left to care.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) qav::platform::RemoveCrashHandler();
    return TRUE;
}

#else

namespace {

__attribute__((constructor)) void OnLibraryLoad() { qav::platform::InstallCrashHandler(); }

// After an unload the handlers would point at unmapped code.
__attribute__((destructor)) void OnLibraryUnload() { qav::platform::RemoveCrashHandler(); }

}  // namespace

#endif
