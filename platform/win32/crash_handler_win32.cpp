// clang-format off
#include <windows.h>
#include <dbghelp.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <wtsapi32.h>
// clang-format on

#include <cstring>

#include "diag/dump_paths.h"
#include "platform/crash_dump.h"

namespace qav::platform {

namespace {

constexpr size_t kPathChars = MAX_PATH;

// The filter that was in place when the library loaded. While the library
// is loaded it is never called; it is kept only to be put back when the
// library is unloaded, so the process's filter never points into code that
// is gone.
LPTOP_LEVEL_EXCEPTION_FILTER g_previousFilter = nullptr;

bool PathExists(const wchar_t* path) noexcept { return PathFileExistsW(path) != FALSE; }

// Whether two tokens are of the same user account.
bool SameUser(HANDLE first, HANDLE second) noexcept {
    union Buffer {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    };
    Buffer a;
    Buffer b;
    DWORD size = 0;
    return GetTokenInformation(first, TokenUser, &a, sizeof a, &size) &&
           GetTokenInformation(second, TokenUser, &b, sizeof b, &size) &&
           EqualSid(a.user.User.Sid, b.user.User.Sid);
}

bool ForAnotherUser(HANDLE consoleToken) noexcept {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) return true;
    const bool same = SameUser(own, consoleToken);
    CloseHandle(own);
    return !same;
}

// True when `path` or a folder above it (below the drive) is a junction or
// symbolic link: whoever planted it would choose where the dump goes.
bool PassesReparsePoint(const wchar_t* path) noexcept {
    wchar_t prefix[kPathChars];
    size_t length = 0;
    for (; path[length] != L'\0' && length + 1 < kPathChars; ++length) {
        prefix[length] = path[length];
        const bool end = path[length + 1] == L'\\' || path[length + 1] == L'\0';
        if (!end || length < 2) continue;  // "C:" itself
        prefix[length + 1] = L'\0';
        const DWORD attributes = GetFileAttributesW(prefix);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            return true;
        }
    }
    return false;
}

// Creates the dump folder and a new numbered file in it, with the rights of
// whoever the thread runs as.
HANDLE CreateDumpFile(const wchar_t* appData) noexcept {
    wchar_t folder[kPathChars];
    if (!diag::BuildDumpFolder(folder, kPathChars, appData, L'\\')) return INVALID_HANDLE_VALUE;
    if (PassesReparsePoint(folder)) return INVALID_HANDLE_VALUE;
    if (!PathExists(folder) && !CreateDirectoryW(folder, nullptr)) return INVALID_HANDLE_VALUE;
    if (PassesReparsePoint(folder)) return INVALID_HANDLE_VALUE;
    wchar_t name[kPathChars];
    if (diag::FirstFreeDumpName(name, kPathChars, static_cast<const wchar_t*>(folder), 1,
                                PathExists) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name, GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// A dump for another user keeps the threads, their registers, the modules
// and the exception, and no memory: stacks and the rest may carry the
// process's secrets.
BOOL CALLBACK WithoutMemory(PVOID, const PMINIDUMP_CALLBACK_INPUT input,
                            PMINIDUMP_CALLBACK_OUTPUT output) {
    switch (input->CallbackType) {
        case ThreadCallback:
        case ThreadExCallback:
            output->ThreadWriteFlags &= ThreadWriteThread | ThreadWriteContext;
            return TRUE;
        case ModuleCallback:
            output->ModuleWriteFlags &= ModuleWriteModule | ModuleWriteMiscRecord |
                                        ModuleWriteCvRecord | ModuleReferencedByMemory;
            return TRUE;
        case MemoryCallback:
            return FALSE;  // no further ranges
        default:
            return TRUE;
    }
}

// The faulting context without its floating-point and vector registers,
// which hold whatever was last copied through them.
void DropVectorRegisters(CONTEXT* context) noexcept {
#if defined(__i386__)
    std::memset(&context->FloatSave, 0, sizeof context->FloatSave);
    std::memset(context->ExtendedRegisters, 0, sizeof context->ExtendedRegisters);
    constexpr auto kVector =
        static_cast<DWORD>(CONTEXT_FLOATING_POINT | CONTEXT_EXTENDED_REGISTERS) &
        ~static_cast<DWORD>(CONTEXT_i386);
    context->ContextFlags &= ~kVector;
#elif defined(__x86_64__)
    std::memset(&context->FltSave, 0, sizeof context->FltSave);
    std::memset(context->VectorRegister, 0, sizeof context->VectorRegister);
    constexpr auto kVector =
        static_cast<DWORD>(CONTEXT_FLOATING_POINT) & ~static_cast<DWORD>(CONTEXT_AMD64);
    context->ContextFlags &= ~kVector;
#endif
}

// Runs on the faulting thread with the process in whatever state the fault
// left it: stack buffers only.
LONG WINAPI WriteCrashDump(EXCEPTION_POINTERS* info) {
    wchar_t appData[kPathChars] = {};
    bool havePath = false;
    bool forAnotherUser = false;
    bool impersonating = false;
    HANDLE token = nullptr;
    if (WTSQueryUserToken(WTSGetActiveConsoleSessionId(), &token)) {
        havePath =
            SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, token, SHGFP_TYPE_CURRENT, appData));
        forAnotherUser = ForAnotherUser(token);
        // A service writing for the console user does it with that user's
        // rights: a junction the user planted then leads only where the user
        // could write anyway.
        if (havePath && forAnotherUser) impersonating = ImpersonateLoggedOnUser(token) != FALSE;
        CloseHandle(token);
        if (forAnotherUser && !impersonating) return EXCEPTION_CONTINUE_SEARCH;
    } else {
        havePath = SHGetSpecialFolderPathW(nullptr, appData, CSIDL_APPDATA, FALSE) != FALSE;
    }
    const HANDLE file =
        havePath ? CreateDumpFile(static_cast<const wchar_t*>(appData)) : INVALID_HANDLE_VALUE;
    if (impersonating) RevertToSelf();
    if (file == INVALID_HANDLE_VALUE) return EXCEPTION_CONTINUE_SEARCH;

    CONTEXT context;
    EXCEPTION_POINTERS pointers = {};
    MINIDUMP_CALLBACK_INFORMATION callback = {};
    MINIDUMP_EXCEPTION_INFORMATION exception = {};
    exception.ThreadId = GetCurrentThreadId();
    exception.ExceptionPointers = info;
    exception.ClientPointers = FALSE;
    if (forAnotherUser) {
        callback.CallbackRoutine = WithoutMemory;
        if (info != nullptr && info->ContextRecord != nullptr) {
            context = *info->ContextRecord;
            DropVectorRegisters(&context);
            pointers.ExceptionRecord = info->ExceptionRecord;
            pointers.ContextRecord = &context;
            exception.ExceptionPointers = &pointers;
        }
    }
    // A failed dump still ends the process: the file is there, maybe partial.
    MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, MiniDumpNormal, &exception,
                      nullptr, forAnotherUser ? &callback : nullptr);
    CloseHandle(file);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashHandler() noexcept {
    g_previousFilter = SetUnhandledExceptionFilter(WriteCrashDump);
}

void RemoveCrashHandler() noexcept {
    const LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(g_previousFilter);
    // Someone else's filter since ours: theirs stays.
    if (current != WriteCrashDump) SetUnhandledExceptionFilter(current);
}

void PrepareCrashStack() noexcept {}

}  // namespace qav::platform
