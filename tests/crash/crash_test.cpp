// Child processes load the library and crash; their dumps must exist, be
// numbered, and open in LLDB at the faulting thread and function, while the
// process still ends by its own signal.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
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

// A dump for another user: a root process crashes while seat0 names a test
// user. Each run has a mount namespace of its own, where a password file of
// the test's and a seat file are bound over the system's, so the test user
// needs no account on the machine.
constexpr uid_t kUser = 61234;
constexpr char kEnvironmentSecret[] = "ENVIRONMENT-SECRET-4f1c9a";
constexpr char kArgumentSecret[] = "ARGUMENT-SECRET-77b3e0";
// What crash_child puts on main's stack.
std::string StackSecret() {
    std::string secret = "STACK-SECRET-";
    for (size_t i = secret.size(); i < 31; ++i) secret += static_cast<char>('a' + i % 26);
    return secret;
}

struct Scenario {
    std::string crash = "illegal";
    uid_t seatUser = kUser;
    std::vector<std::string> environment;
    // Started by the test user through a setuid-root copy: secure execution.
    bool setuid = false;
};

// Owner, group and mode of everything under `root`, links not followed.
using Owners = std::map<std::string, std::tuple<uid_t, gid_t, mode_t>>;

Owners OwnersUnder(const fs::path& root) {
    Owners owners;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat info {};
        if (lstat(it->path().c_str(), &info) == 0) {
            owners[it->path().string()] = {info.st_uid, info.st_gid, info.st_mode};
        }
    }
    return owners;
}

std::string FileText(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// Text as it may sit in a dump: plain, or as the UTF-16 of a string record.
bool Holds(const std::string& dump, const std::string& text) {
    std::string wide;
    for (const char c : text) wide += std::string{c, '\0'};
    return dump.find(text) != std::string::npos || dump.find(wide) != std::string::npos;
}

class DumpForAnotherUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "a dump for another user needs a root process";
        char name[] = "/tmp/qavseal-owner-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
        chmod(root_.c_str(), 0755);  // the test user reaches its home through it
        home_ = root_ / "home" / "user";
        rootHome_ = root_ / "home" / "root";
        fs::create_directories(home_);
        fs::create_directories(rootHome_);
        ASSERT_EQ(chown(home_.c_str(), kUser, kUser), 0);
        std::ofstream(root_ / "passwd")
            << "root:x:0:0:root:" << rootHome_.string() << ":/bin/sh\nqavtest:x:" << kUser << ":"
            << kUser << "::" << home_.string() << ":/bin/sh\n";
        dumps_ = home_ / ".local" / "share" / "ZelClient";
    }
    void TearDown() override {
        if (!root_.empty()) fs::remove_all(root_);
    }

    // In the child: a namespace of its own with the test's password and seat
    // files; false when it cannot be had.
    bool EnterNamespace(uid_t seatUser) const {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", "/run", "tmpfs", 0, "mode=0755") != 0 ||
            mount((root_ / "passwd").c_str(), "/etc/passwd", nullptr, MS_BIND, nullptr) != 0) {
            return false;
        }
        std::error_code error;
        fs::create_directories("/run/systemd/seats", error);
        std::ofstream("/run/systemd/seats/seat0") << "IS_SEAT0=1\nACTIVE_UID=" << seatUser << "\n";
        return !error;
    }

    // A setuid-root copy of the crash child and the library, on a file
    // system of the namespace that honours setuid.
    bool SetuidCopy(std::string* child, std::string* library) const {
        const fs::path bin = root_ / "bin";
        std::error_code error;
        fs::create_directory(bin, error);
        if (mount("none", bin.c_str(), "tmpfs", 0, "mode=0755") != 0) return false;
        *child = (bin / "crash_child").string();
        *library = (bin / fs::path(QAV_LIBRARY).filename()).string();
        fs::copy_file(QAV_CRASH_CHILD, *child, error);
        fs::copy_file(QAV_LIBRARY, *library, error);
        return !error && chmod(child->c_str(), 04755) == 0 && chmod(library->c_str(), 0755) == 0 &&
               setgroups(0, nullptr) == 0 && setgid(kUser) == 0 && setuid(kUser) == 0;
    }

    Outcome Start(const Scenario& run) const {
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        const pid_t child = fork();
        if (child == 0) {
            dup2(out[1], 1);
            if (!EnterNamespace(run.seatUser)) _exit(125);
            std::string program = QAV_CRASH_CHILD;
            std::string library = QAV_LIBRARY;
            if (run.setuid && !SetuidCopy(&program, &library)) _exit(126);
            setenv("QAV_TEST_SECRET", kEnvironmentSecret, 1);
            for (const std::string& entry : run.environment) putenv(strdup(entry.c_str()));
            execl(program.c_str(), program.c_str(), library.c_str(), run.crash.c_str(),
                  kArgumentSecret, static_cast<char*>(nullptr));
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

    // Runs `run` and requires it to end by its signal.
    Outcome Crash(const Scenario& run, int signal) const {
        const Outcome outcome = Start(run);
        EXPECT_FALSE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) >= 125)
            << "no private namespace for the child (" << WEXITSTATUS(outcome.status) << ")";
        EXPECT_TRUE(WIFSIGNALED(outcome.status) && WTERMSIG(outcome.status) == signal)
            << outcome.status << " " << outcome.output;
        return outcome;
    }

    fs::path root_;
    fs::path home_;
    fs::path rootHome_;
    fs::path dumps_;
};

TEST_F(DumpForAnotherUserTest, IsTheUsersOwnAndHoldsNoMemoryYetLldbFindsTheFault) {
    const Outcome outcome = Crash({}, SIGILL);
    SKIP_IF_SIGNAL_TAKEN(outcome);
    const fs::path dump = dumps_ / "1.dmp";
    ASSERT_TRUE(fs::is_regular_file(dump)) << outcome.output;
    for (const fs::path& made : {home_ / ".local", home_ / ".local" / "share", dumps_, dump}) {
        struct stat info {};
        ASSERT_EQ(lstat(made.c_str(), &info), 0);
        EXPECT_EQ(info.st_uid, kUser) << made;
        EXPECT_EQ(info.st_gid, kUser) << made;
        EXPECT_EQ(info.st_mode & 0777, S_ISDIR(info.st_mode) ? 0700u : 0600u) << made;
    }
    const std::string bytes = FileText(dump);
    EXPECT_FALSE(Holds(bytes, kEnvironmentSecret));
    EXPECT_FALSE(Holds(bytes, kArgumentSecret));
    EXPECT_FALSE(Holds(bytes, StackSecret()));

    const size_t tidAt = outcome.output.find("tid ");
    ASSERT_NE(tidAt, std::string::npos) << outcome.output;
    const std::string tid = std::to_string(std::stoul(outcome.output.substr(tidAt + 4)));
    const std::string text = Lldb(dump);
    const std::string selected = LineWith(text, "* thread #");
    EXPECT_NE(selected.find("tid = " + tid + ","), std::string::npos) << text;
    EXPECT_NE(selected.find("stop reason = signal SIGILL"), std::string::npos) << text;
    const size_t backtrace = text.find("(lldb) bt");
    ASSERT_NE(backtrace, std::string::npos) << text;
    EXPECT_NE(LineWith(text.substr(backtrace), "IllegalCrash").find("frame #0"), std::string::npos)
        << text;
}

// The secrets the test above looks for are found where they may be: the
// process's own dump keeps everything.
TEST_F(DumpForAnotherUserTest, TheProcesssOwnDumpIsComplete) {
    const fs::path data = root_ / "data";
    const Outcome outcome =
        Crash({"illegal", 0, {"XDG_DATA_HOME=" + data.string()}, false}, SIGILL);
    SKIP_IF_SIGNAL_TAKEN(outcome);
    const std::string bytes = FileText(data / "ZelClient" / "1.dmp");
    ASSERT_FALSE(bytes.empty()) << outcome.output;
    EXPECT_TRUE(Holds(bytes, kEnvironmentSecret));
    EXPECT_TRUE(Holds(bytes, kArgumentSecret));
    EXPECT_TRUE(Holds(bytes, StackSecret()));
    EXPECT_FALSE(fs::exists(home_ / ".local"));
}

// The user turns parts of the dump's path into links to root's folders:
// nothing is made, opened or given away outside the user's own folders.
TEST_F(DumpForAnotherUserTest, LinksTheUserPlantsLeadNowhere) {
    const struct {
        const char* what;
        fs::path link;    // made by the user, pointing at `target`
        fs::path target;  // root's
        mode_t mode;
    } cases[] = {
        {"the dump folder to a folder only root may enter", dumps_, root_ / "private", 0700},
        {"the dump folder to a folder root's shells read", dumps_, root_ / "shared", 0755},
        {"the data folder to a folder of root's", home_ / ".local" / "share", root_ / "rootdata",
         0755},
    };
    for (const auto& c : cases) {
        fs::remove_all(home_ / ".local");
        fs::create_directories(c.target);
        chmod(c.target.c_str(), c.mode);
        fs::create_directories(c.link.parent_path());
        fs::create_directory_symlink(c.target, c.link);
        for (fs::path at = c.link; at != home_; at = at.parent_path()) {
            ASSERT_EQ(lchown(at.c_str(), kUser, kUser), 0);
        }
        Owners before = OwnersUnder(root_);
        const Outcome outcome = Crash({"abort", kUser, {}, false}, SIGABRT);
        SKIP_IF_SIGNAL_TAKEN(outcome);
        EXPECT_TRUE(fs::is_empty(c.target)) << c.what;
        Owners after = OwnersUnder(root_);
        // Only the user's own folders may gain something.
        for (Owners* owners : {&before, &after}) {
            for (auto it = owners->begin(); it != owners->end();) {
                const bool users = std::get<0>(it->second) == kUser &&
                                   it->first.rfind(home_.string() + "/", 0) == 0;
                it = users ? owners->erase(it) : std::next(it);
            }
        }
        EXPECT_EQ(after, before) << c.what;
    }
}

TEST_F(DumpForAnotherUserTest, ANonDumpableProcessLeavesNoFile) {
    for (const uid_t seat : {kUser, uid_t{0}}) {
        const fs::path data = root_ / "data";
        const Outcome outcome = Crash(
            {"abort", seat, {"XDG_DATA_HOME=" + data.string(), "QAV_CRASH_DUMPABLE=0"}, false},
            SIGABRT);
        SKIP_IF_SIGNAL_TAKEN(outcome);
        EXPECT_FALSE(fs::exists(data)) << seat;
        EXPECT_FALSE(fs::exists(home_ / ".local")) << seat;
    }
}

// A setuid-root program started by the test user: the environment is the
// user's, so root's folder comes from the password file.
TEST_F(DumpForAnotherUserTest, UnderSecureExecutionTheEnvironmentChoosesNoFolder) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime in a setuid program";
#endif
    const fs::path chosen = root_ / "chosen";
    const Outcome outcome = Crash({"abort",
                                   0,
                                   {"XDG_DATA_HOME=" + (chosen / "data").string(),
                                    "HOME=" + (chosen / "home").string(), "QAV_CRASH_DUMPABLE=1"},
                                   true},
                                  SIGABRT);
    SKIP_IF_SIGNAL_TAKEN(outcome);
    ASSERT_NE(outcome.output.find("secure 1"), std::string::npos) << outcome.output;
    EXPECT_FALSE(fs::exists(chosen));
    EXPECT_TRUE(fs::is_regular_file(rootHome_ / ".local" / "share" / "ZelClient" / "1.dmp"));
}

}  // namespace
