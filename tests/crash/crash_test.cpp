// Child processes load the library and crash; their dumps must exist, be
// numbered, and open in LLDB at the faulting thread and function, while the
// process still ends by its own signal.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
    int status = 0;
    std::string output;
};

std::string ReadAll(FILE* in) {
    std::string text;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
    return text;
}

// A dump for another user would land outside the test's folder.
bool SeatBelongsToAnotherUser() {
    std::ifstream seat("/run/systemd/seats/seat0");
    std::string line;
    while (std::getline(seat, line)) {
        if (line.rfind("ACTIVE_UID=", 0) == 0) return geteuid() == 0 && line.substr(11) != "0";
    }
    return false;
}

class CrashDumpTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (SeatBelongsToAnotherUser()) GTEST_SKIP() << "seat0's user would receive the dumps";
        char name[] = "/tmp/qavseal-crash-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        folder_ = root_ / "data" / "ZelClient";
    }
    void TearDown() override {
        if (!root_.empty()) fs::remove_all(root_);
    }

    Outcome Run(const std::string& crash, const fs::path& dataHome) const {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            setenv("XDG_DATA_HOME", dataHome.c_str(), 1);
            execl(QAV_CRASH_CHILD, QAV_CRASH_CHILD, QAV_LIBRARY, crash.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE* in = fdopen(out[0], "r");
        Outcome outcome;
        outcome.output = ReadAll(in);
        fclose(in);
        waitpid(child, &outcome.status, 0);
        return outcome;
    }

    std::vector<std::string> Dumps() const {
        std::vector<std::string> names;
        if (!fs::exists(folder_)) return names;
        for (const auto& entry : fs::directory_iterator(folder_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path root_;
    fs::path folder_;
};

#define SKIP_IF_SIGNAL_TAKEN(outcome)                                       \
    if (WIFEXITED((outcome).status) && WEXITSTATUS((outcome).status) == 77) \
    GTEST_SKIP() << "the library left the signal alone: " << (outcome).output

std::string Lldb(const fs::path& dump) {
    const std::string command = std::string(QAV_LLDB) +
                                " --batch --no-lldbinit -o 'target create --core " + dump.string() +
                                " " + QAV_CRASH_CHILD + "' -o 'thread list' -o 'bt' 2>&1";
    FILE* in = popen(command.c_str(), "r");
    if (in == nullptr) return {};
    std::string text = ReadAll(in);
    pclose(in);
    return text;
}

// The first line holding `part`; empty when none does.
std::string LineWith(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    if (at == std::string::npos) return {};
    const size_t start = text.rfind('\n', at);
    const size_t begin = start == std::string::npos ? 0 : start + 1;
    return text.substr(begin, text.find('\n', at) - begin);
}

struct CrashCase {
    const char* name;
    int signal;
    const char* signalName;
    const char* function;
};

void PrintTo(const CrashCase& c, std::ostream* out) { *out << c.name; }

class CrashCaseTest : public CrashDumpTest, public ::testing::WithParamInterface<CrashCase> {};

TEST_P(CrashCaseTest, LeavesADumpLldbOpensAtTheFaultAndEndsByTheSignal) {
    const CrashCase& c = GetParam();
    const Outcome outcome = Run(c.name, root_ / "data");
    SKIP_IF_SIGNAL_TAKEN(outcome);
    ASSERT_TRUE(WIFSIGNALED(outcome.status)) << outcome.status << " " << outcome.output;
    EXPECT_EQ(WTERMSIG(outcome.status), c.signal);
    ASSERT_EQ(Dumps(), std::vector<std::string>{"1.dmp"});
    EXPECT_EQ(fs::status(folder_).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder_ / "1.dmp").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);

    const size_t tidAt = outcome.output.find("tid ");
    ASSERT_NE(tidAt, std::string::npos) << outcome.output;
    const std::string tid = std::to_string(std::stoul(outcome.output.substr(tidAt + 4)));
    const std::string text = Lldb(folder_ / "1.dmp");
    // The selected thread is the one that crashed, stopped by the signal.
    const std::string selected = LineWith(text, "* thread #");
    EXPECT_NE(selected.find("tid = " + tid + ","), std::string::npos) << text;
    EXPECT_NE(selected.find(std::string("stop reason = signal ") + c.signalName), std::string::npos)
        << text;
    const size_t backtrace = text.find("(lldb) bt");
    ASSERT_NE(backtrace, std::string::npos) << text;
    EXPECT_NE(LineWith(text.substr(backtrace), c.function).find("frame #"), std::string::npos)
        << text;
}

INSTANTIATE_TEST_SUITE_P(
    Crashes, CrashCaseTest,
    ::testing::Values(CrashCase{"null-write", SIGSEGV, "SIGSEGV", "NullWriteCrash"},
                      CrashCase{"abort", SIGABRT, "SIGABRT", "AbortCrash"},
                      CrashCase{"divide", SIGFPE, "SIGFPE", "DivideCrash"},
                      CrashCase{"stack-overflow", SIGSEGV, "SIGSEGV", "StackOverflowCrash"}),
    [](const auto& param) {
        std::string name = param.param.name;
        name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
        return name;
    });

TEST_F(CrashDumpTest, TakesTheFirstFreeNumberAndLeavesOthersAlone) {
    const struct {
        std::vector<std::string> present;
        std::string expected;
    } cases[] = {{{"1.dmp", "2.dmp"}, "3.dmp"}, {{"2.dmp"}, "1.dmp"}};
    for (const auto& c : cases) {
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        for (const auto& name : c.present) std::ofstream(folder_ / name) << "old";
        const Outcome outcome = Run("abort", root_ / "data");
        SKIP_IF_SIGNAL_TAKEN(outcome);
        ASSERT_TRUE(WIFSIGNALED(outcome.status));
        std::vector<std::string> expected = c.present;
        expected.push_back(c.expected);
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(Dumps(), expected);
        for (const auto& name : c.present) {
            std::ifstream old(folder_ / name);
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(old), {}), "old") << name;
        }
        EXPECT_GT(fs::file_size(folder_ / c.expected), 1000u);
    }
}

TEST_F(CrashDumpTest, AFolderThatCannotBeMadeStillEndsTheProcessByTheSignal) {
    std::ofstream(root_ / "file") << "not a folder";
    const Outcome outcome = Run("abort", root_ / "file" / "data");
    SKIP_IF_SIGNAL_TAKEN(outcome);
    ASSERT_TRUE(WIFSIGNALED(outcome.status));
    EXPECT_EQ(WTERMSIG(outcome.status), SIGABRT);
    EXPECT_TRUE(fs::is_regular_file(root_ / "file"));
}

TEST_F(CrashDumpTest, AHandlerInstalledBeforeLoadingStaysInCharge) {
    const Outcome outcome = Run("own-handler", root_ / "data");
    ASSERT_TRUE(WIFEXITED(outcome.status));
    EXPECT_EQ(WEXITSTATUS(outcome.status), 42) << outcome.output;
    EXPECT_NE(outcome.output.find("own handler"), std::string::npos);
    EXPECT_TRUE(Dumps().empty());
}

}  // namespace
