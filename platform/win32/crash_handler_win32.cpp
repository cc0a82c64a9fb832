// clang-format off
#include <windows.h>
#include <dbghelp.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wtsapi32.h>
// clang-format on

#include "diag/dump_paths.h"
#include "platform/crash_dump.h"

namespace qav::platform {

namespace {

constexpr size_t kPathChars = MAX_PATH;

bool PathExists(const wchar_t* path) noexcept { return PathFileExistsW(path) != FALSE; }

// Runs on the faulting thread with the process in whatever state the fault
// left it: stack buffers only.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* info) {
    wchar_t appData[kPathChars] = {};
    bool havePath = false;
    HANDLE token = nullptr;
    if (WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) {
        havePath =
            SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, token, SHGFP_TYPE_CURRENT, appData));
        CloseHandle(token);
    } else {
        havePath = SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE) != FALSE;
    }
    wchar_t folder[kPathChars];
    if (!havePath ||
        !diag::BuildDumpFolder(folder, kPathChars, static_cast<const wchar_t*>(appData), L'\\')) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    if (!PathExists(folder) && !CreateDirectoryW(folder, nullptr)) return EXCEPTION_CONTINUE_SEARCH;
    wchar_t name[kPathChars];
    if (diag::FirstFreeDumpName(name, kPathChars, static_cast<const wchar_t*>(folder), 1,
                                PathExists) == 0) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    HANDLE file = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return EXCEPTION_CONTINUE_SEARCH;
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = GetCurrentThreadId();
    exception.ExceptionPointers = info;
    exception.ClientPointers = FALSE;
    // A failed dump still ends the process: the file is there, maybe partial.
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                      nullptr, nullptr);
    CloseHandle(file);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandler() noexcept { SetUnhandledExceptionFilter(WriteCrashDump); }

void RemoveCrashHandler() noexcept {}

void PrepareCrashStack() noexcept {}

}  // namespace qav::platform
