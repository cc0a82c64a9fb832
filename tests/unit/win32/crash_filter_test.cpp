// Windows only: an unhandled fault leaves a minidump as ZelClient\N.dmp in
// the application-data folder, N the first free number, and the process
// still ends by its fault.
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

// The child is this program started again with kChildVariable set: it
// faults before any test runs, so no test of its own is needed.
const bool g_faultedAsChild = [] {
    if (std::getenv(kChildVariable) == nullptr) return false;
    platform::InstallCrashHandler();
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

DWORD RunFaultingChild() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --gtest_list_tests";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    SetEnvironmentVariableA(kChildVariable, "1");
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableA(kChildVariable, nullptr);
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

}  // namespace
}  // namespace qav
