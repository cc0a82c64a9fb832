// Windows only: an unhandled fault leaves a minidump as ZelClient\N.dmp in
// the application-data folder, N the first free number, and the process
// still ends by its fault. A host that loads and frees the DLL keeps its
// own filter.
#include <windows.h>
// after windows.h
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/crash_dump.h"

namespace qav {
namespace {

constexpr char kChildVariable[] = "QAV_CRASH_CHILD";
constexpr char kHostVariable[] = "QAV_FILTER_HOST";
constexpr DWORD kHostFilterExit = 7;

// The DLL of this build, as Windows names it (Wine: the root is drive Z).
std::string LibraryPath() {
    std::string path = QAV_DLL;
    if (!path.empty() && path[0] == '/') {
        path = "Z:" + path;
        for (char& c : path) c = c == '/' ? '\\' : c;
    }
    return path;
}

LONG WINAPI HostFilter(EXCEPTION_POINTERS*) { ExitProcess(kHostFilterExit); }

// The child is this program started again with kChildVariable set: it
// faults before any test runs, so no test of its own is needed.
const bool g_faultedAsChild = [] {
    if (std::getenv(kChildVariable) == nullptr) return false;
    platform::InstallCrashHandler();
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return true;
}();

// The host: its own filter, then the DLL loaded and freed, then a fault.
const bool g_hostedAsChild = [] {
    if (std::getenv(kHostVariable) == nullptr) return false;
    SetUnhandledExceptionFilter(HostFilter);
    const HMODULE library = LoadLibraryA(LibraryPath().c_str());
    if (library == nullptr) ExitProcess(3);
    FreeLibrary(library);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return true;
}();

std::filesystem::path DumpFolder() {
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
        return {};
    }
    return std::filesystem::path(appData) / "ZelClient";
}

std::filesystem::path DumpName(unsigned number) {
    return DumpFolder() / (std::to_string(number) + ".dmp");
}

std::string Head(unsigned number) {
    std::ifstream file(DumpName(number), std::ios::binary);
    std::string head(4, '\0');
    file.read(head.data(), 4);
    return file ? head : "";
}

DWORD RunFaultingChild(const char* variable = kChildVariable) {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --gtest_list_tests";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    SetEnvironmentVariableA(variable, "1");
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableA(variable, nullptr);
    if (!started) return 0;
    DWORD code = 0;
    if (WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(child.hProcess, &code);
    } else {
        TerminateProcess(child.hProcess, 1);
    }
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return code;
}

TEST(CrashFilterTest, FaultLeavesTheFirstFreeNumberedDump) {
    ASSERT_FALSE(g_faultedAsChild);
    // Placeholders at first and first + 2: the dumps take the gap, then the
    // number after the last placeholder.
    ASSERT_FALSE(DumpFolder().empty());
    std::filesystem::create_directories(DumpFolder());
    unsigned first = 1;
    while (std::filesystem::exists(DumpName(first))) ++first;
    for (const unsigned placeholder : {first, first + 2}) {
        std::ofstream(DumpName(placeholder), std::ios::binary) << "none";
    }

    EXPECT_EQ(RunFaultingChild(), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(Head(first + 1), "MDMP");
    EXPECT_FALSE(std::filesystem::exists(DumpName(first + 3)));
    EXPECT_EQ(RunFaultingChild(), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(Head(first + 3), "MDMP");
    EXPECT_EQ(Head(first), "none");

    for (unsigned n = first; n <= first + 3; ++n) std::filesystem::remove(DumpName(n));
}

TEST(CrashFilterTest, AHostThatLoadsAndFreesTheLibraryKeepsItsOwnFilter) {
    ASSERT_FALSE(g_hostedAsChild);
    ASSERT_EQ(GetFileAttributesA(LibraryPath().c_str()) == INVALID_FILE_ATTRIBUTES, false)
        << LibraryPath();
    EXPECT_EQ(RunFaultingChild(kHostVariable), kHostFilterExit);
}

}  // namespace
}  // namespace qav
