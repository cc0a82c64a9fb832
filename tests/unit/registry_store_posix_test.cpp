// Our own registry store's files: permissions, atomic values, safe names,
// what it refuses to trust, and other processes writing beside us.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/registry.h"
#include "reader/card_database.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using platform::RegistryKey;

class RegistryFilesTest : public test::ServiceTest {};

uint32_t Mode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : ~0u;
}

pid_t Spawn(const std::function<int()>& work) {
    if (const pid_t child = fork()) return child;
    _exit(work());
}

int Reap(pid_t child) {
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// How a child ended: "exit N" or "signal N".
std::string Ending(pid_t child) {
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

int Register(const std::vector<uint8_t>& atr) {
    char name[260];
    const auto length = static_cast<uint32_t>(atr.size());
    CardEntryName(atr.data(), length, name);
    return static_cast<int>(RegisterCard(name, atr.data(), length, atr.data(), length,
                                         kCardProviderName, kCardModuleName));
}

TEST_F(RegistryFilesTest, FoldersAndValuesArePrivateAndRewritesLeaveNoTemporaryFile) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Vendor\\Thing", &key), platform::kRegSuccess);
    const uint8_t bytes[] = {0x3B, 0x00, 0xFF};
    ASSERT_EQ(key.SetValue("ATR", platform::kRegBinary, bytes, sizeof bytes),
              platform::kRegSuccess);
    ASSERT_EQ(key.SetValue("ATR", platform::kRegSz, bytes, 1), platform::kRegSuccess);

    EXPECT_EQ(Mode(registry.StorePath("SOFTWARE")), 0700u);
    EXPECT_EQ(Mode(registry.StorePath("SOFTWARE\\Vendor\\Thing")), 0700u);
    EXPECT_EQ(Mode(registry.StorePath("SOFTWARE\\Vendor\\Thing\\ATR")), 0600u);
    const std::filesystem::directory_iterator folder(registry.StorePath("SOFTWARE\\Vendor\\Thing"));
    EXPECT_EQ(std::distance(begin(folder), end(folder)), 1);
}

TEST_F(RegistryFilesTest, OnlyTheUsersOwnRegularFilesAreReadAndNothingBlocks) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Some", &key), platform::kRegSuccess);
    const std::string folder = registry.StorePath("SOFTWARE\\Some") + "/";
    const std::string good("\x03\0\0\0ab", 6);
    const struct {
        const char* name;
        std::function<void(const std::string&)> make;
        uint32_t rc;
    } cases[] = {
        {"good", [&](const std::string& p) { std::ofstream(p) << good; }, platform::kRegSuccess},
        {"truncated", [](const std::string& p) { std::ofstream(p) << "ab"; },
         platform::kRegNotFound},
        {"fifo", [](const std::string& p) { mkfifo(p.c_str(), 0600); }, platform::kRegNotFound},
        {"link", [&](const std::string& p) { symlink((folder + "good").c_str(), p.c_str()); },
         platform::kRegAccessDenied},
        {"foreign",
         [&](const std::string& p) {
             std::ofstream(p) << good;
             ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0) << "needs root";
         },
         platform::kRegAccessDenied},
    };
    alarm(5);  // an open that blocks ends the test binary here instead of hanging it
    for (const auto& c : cases) {
        c.make(folder + c.name);
        uint32_t type = 0;
        std::vector<uint8_t> value;
        EXPECT_EQ(key.QueryValue(c.name, &type, &value, 260), c.rc) << c.name;
    }
    alarm(0);
}

TEST_F(RegistryFilesTest, FoldersOthersControlAreRefusedAndOpenOnesMadePrivate) {
    if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
    const struct {
        const char* what;
        bool configuration;  // else the key's own folder
        mode_t mode;
        uid_t owner;
        uint32_t rc;
    } cases[] = {
        {"open to others", false, 0777, 0, platform::kRegSuccess},
        {"another user's", false, 0700, 65534, platform::kRegAccessDenied},
        {"configuration anyone may write", true, 0777, 0, platform::kRegAccessDenied},
        {"configuration of another user", true, 0700, 65534, platform::kRegAccessDenied},
        {"a link", false, 0, 0, platform::kRegNotFound},
    };
    for (const auto& c : cases) {
        const test::PrivateRegistry own;
        RegistryKey key;
        ASSERT_EQ(RegistryKey::Create("A", &key), platform::kRegSuccess);
        const std::string folder = c.configuration ? own.root() : own.StorePath("A");
        if (c.mode == 0) {
            std::filesystem::rename(folder, own.StorePath("B"));
            std::filesystem::create_directory_symlink("B", folder);
        } else {
            ASSERT_EQ(chmod(folder.c_str(), c.mode) | chown(folder.c_str(), c.owner, 0), 0);
        }
        EXPECT_EQ(RegistryKey::Open("A", &key), c.rc) << c.what;
        EXPECT_EQ(RegistryKey::Create("A\\B", &key), c.rc) << c.what;
        EXPECT_TRUE(c.rc != platform::kRegSuccess || Mode(folder) == 0700u) << c.what;
    }
}

TEST_F(RegistryFilesTest, AUserWithoutHomeGetsNoStoreInASharedFolder) {
    constexpr uid_t kStranger = 54321;
    if (geteuid() != 0 || getpwuid(kStranger) != nullptr) GTEST_SKIP() << "needs root";
    const int rc = Reap(Spawn([] {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("HOME");
        if (setgid(kStranger) != 0 || setuid(kStranger) != 0) return 99;
        RegistryKey key;
        return static_cast<int>(RegistryKey::Create("SOFTWARE", &key));
    }));
    EXPECT_EQ(rc, static_cast<int>(platform::kRegAccessDenied));
}

TEST_F(RegistryFilesTest, NamesThatWouldEscapeTheStoreAreRefused) {
    RegistryKey key;
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\..\\..\\etc", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\a/b", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\\\double", &key), platform::kRegSuccess);
    ASSERT_EQ(RegistryKey::Create("SOFTWARE", &key), platform::kRegSuccess);
    const uint8_t b = 1;
    EXPECT_NE(key.SetValue("../x", platform::kRegBinary, &b, 1), platform::kRegSuccess);
    EXPECT_NE(key.SetValue(".qav-changes", platform::kRegBinary, &b, 1), platform::kRegSuccess);
    EXPECT_FALSE(std::filesystem::exists(registry.root() + "/qavseal/registry/x"));
}

TEST_F(RegistryFilesTest, CardRegistrationReportsTheStoreError) {
    // A file where the database folder should be: the store cannot create it.
    std::filesystem::create_directories(
        registry.StorePath("SOFTWARE\\Microsoft\\Cryptography\\Calais"));
    { std::ofstream(registry.StorePath(kCardDatabaseKey)) << "x"; }
    EXPECT_NE(Register({0x00}), 0);
}

TEST_F(RegistryFilesTest, TwoProcessesRegisteringAtOnceLoseNoEntry) {
    // Each registers cards of its own and the same shared ones.
    const auto registerCards = [](uint8_t process) {
        int failures = 0;
        for (uint8_t i = 0; i < 20; ++i) {
            failures += Register({0x3B, process, i}) + Register({0x3B, 0xFF, i});
        }
        return failures;
    };
    const pid_t first = Spawn([&] { return registerCards(1); });
    EXPECT_EQ(Reap(Spawn([&] { return registerCards(2); })) + Reap(first), 0);
    for (const uint8_t process : {uint8_t{1}, uint8_t{2}, uint8_t{0xFF}}) {
        for (uint8_t i = 0; i < 20; ++i) {
            const uint8_t atr[] = {0x3B, process, i};
            EXPECT_EQ(IsCardRegistered(atr, 3), 1u) << int{process} << " " << int{i};
        }
    }
}

TEST_F(RegistryFilesTest, ALookupSeesWhatAnotherProcessWroteSinceTheLastOne) {
    const uint8_t first[] = {0x3B, 0x01};
    EXPECT_EQ(IsCardRegistered(first, 2), 0u);
    for (const std::vector<uint8_t>& atr :
         {std::vector<uint8_t>{0x3B, 0x01}, {0x3B, 0x02}, {0x3B, 0x03}}) {
        ASSERT_EQ(Reap(Spawn([&] { return Register(atr); })), 0);
        EXPECT_EQ(IsCardRegistered(atr.data(), 2), 1u) << int{atr[1]};
    }
    // An entry sorting first hides the others until its ATR, written inside
    // its own folder, appears.
    const std::string early = std::string(kCardDatabaseKey) + "\\Card_0";
    const auto writeEarly = [&](bool withAtr) {
        RegistryKey key;
        const uint8_t atr[] = {0x3B, 0x00};
        return static_cast<int>(RegistryKey::Create(early, &key) ||
                                (withAtr && key.SetValue("ATR", platform::kRegBinary, atr, 2)));
    };
    ASSERT_EQ(Reap(Spawn([&] { return writeEarly(false); })), 0);
    EXPECT_EQ(IsCardRegistered(first, 2), 0u);
    ASSERT_EQ(Reap(Spawn([&] { return writeEarly(true); })), 0);
    EXPECT_EQ(IsCardRegistered(first, 2), 1u);
}

// The change count: no condition of the store may end the process.
TEST_F(RegistryFilesTest, AFullFileSystemIsAnErrorCodeNotASignal) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
    const std::string root = registry.root();
    const pid_t child = Spawn([&] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("none", root.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
            return 99;
        }
        const int filler = open((root + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        const char block[4096] = {};
        while (write(filler, block, sizeof block) > 0) {
        }
        close(filler);
        const int rc = Register({0x3B, 0x01});
        return rc == static_cast<int>(platform::kRegIoFailed) ? 0 : 100 + rc % 100;
    });
    EXPECT_EQ(Ending(child), "exit 0");
}

TEST_F(RegistryFilesTest, ACounterFileCutShortIsNoCountAndNoSignal) {
    const std::string counter = registry.StorePath(".qav-changes");
    const uint8_t first[] = {0x3B, 0x01};
    const uint8_t second[] = {0x3B, 0x02};
    const pid_t child = Spawn([&] {
        if (Register({0x3B, 0x01}) != 0 || IsCardRegistered(first, 2) != 1) return 1;
        for (const off_t size : {off_t{0}, off_t{3}}) {
            if (truncate(counter.c_str(), size) != 0) return 2;
            if (IsCardRegistered(first, 2) != 1 || IsCardRegistered(second, 2) != 0) return 3;
        }
        // A writer starts the count again.
        if (Register({0x3B, 0x02}) != 0 || IsCardRegistered(second, 2) != 1) return 4;
        struct stat info {};
        return stat(counter.c_str(), &info) == 0 && info.st_size == 8 ? 0 : 5;
    });
    EXPECT_EQ(Ending(child), "exit 0");
}

// The old store gone and a new one written with as many changes: the
// lookups' cache must not take it for the one it read.
TEST_F(RegistryFilesTest, AStoreMadeAgainIsReadAgain) {
    const uint8_t first[] = {0x3B, 0x01};
    const uint8_t second[] = {0x3B, 0x02};
    ASSERT_EQ(Reap(Spawn([] { return Register({0x3B, 0x01}); })), 0);
    EXPECT_EQ(IsCardRegistered(first, 2), 1u);
    std::filesystem::remove_all(registry.root() + "/qavseal");
    ASSERT_EQ(Reap(Spawn([] { return Register({0x3B, 0x02}); })), 0);
    EXPECT_EQ(IsCardRegistered(first, 2), 0u);
    EXPECT_EQ(IsCardRegistered(second, 2), 1u);
}

}  // namespace
}  // namespace qav
