// The per-user registry store: paths, permissions, atomic values, order.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using platform::RegistryKey;

class RegistryStoreTest : public test::ServiceTest {};

uint32_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
}

TEST_F(RegistryStoreTest, CreateMakesPrivateFoldersAndValuesReadBack) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Vendor\\Thing", &key), platform::kRegSuccess);
    const uint8_t bytes[] = {0x3B, 0x00, 0xFF};
    ASSERT_EQ(key.SetValue("ATR", platform::kRegBinary, bytes, sizeof bytes),
              platform::kRegSuccess);

    EXPECT_EQ(Mode(StorePath("SOFTWARE")), 0700u);
    EXPECT_EQ(Mode(StorePath("SOFTWARE\\Vendor\\Thing")), 0700u);
    EXPECT_EQ(Mode(StorePath("SOFTWARE\\Vendor\\Thing\\ATR")), 0600u);

    RegistryKey reopened;
    ASSERT_EQ(RegistryKey::Open("SOFTWARE\\Vendor\\Thing", &reopened), platform::kRegSuccess);
    uint32_t type = 0;
    std::vector<uint8_t> value;
    ASSERT_EQ(reopened.QueryValue("ATR", &type, &value, 260), platform::kRegSuccess);
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_EQ(value, std::vector<uint8_t>(bytes, bytes + 3));
    // A value larger than the reader's room is not truncated silently.
    EXPECT_EQ(reopened.QueryValue("ATR", &type, &value, 2), platform::kRegMoreData);
    // Rewriting replaces the value and leaves no temporary file behind.
    ASSERT_EQ(key.SetValue("ATR", platform::kRegSz, bytes, 1), platform::kRegSuccess);
    ASSERT_EQ(reopened.QueryValue("ATR", &type, &value, 260), platform::kRegSuccess);
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(value.size(), 1u);
    const std::filesystem::directory_iterator folder(StorePath("SOFTWARE\\Vendor\\Thing"));
    EXPECT_EQ(std::distance(begin(folder), end(folder)), 1);
}

TEST_F(RegistryStoreTest, MissingKeysAndValuesAreNotFound) {
    RegistryKey key;
    EXPECT_EQ(RegistryKey::Open("SOFTWARE\\Nothing", &key), platform::kRegNotFound);
    EXPECT_FALSE(key.IsOpen());
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Some", &key), platform::kRegSuccess);
    uint32_t type = 0;
    std::vector<uint8_t> value;
    EXPECT_EQ(key.QueryValue("absent", &type, &value, 260), platform::kRegNotFound);
    RegistryKey sub;
    EXPECT_EQ(key.OpenSubkey("absent", &sub), platform::kRegNotFound);
    std::ofstream(StorePath("SOFTWARE\\Some\\broken")) << "ab";  // shorter than the type header
    EXPECT_EQ(key.QueryValue("broken", &type, &value, 260), platform::kRegNotFound);
}

TEST_F(RegistryStoreTest, NamesThatWouldEscapeTheStoreAreRefused) {
    RegistryKey key;
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\..\\..\\etc", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\a/b", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\\\double", &key), platform::kRegSuccess);
    ASSERT_EQ(RegistryKey::Create("SOFTWARE", &key), platform::kRegSuccess);
    const uint8_t b = 1;
    EXPECT_NE(key.SetValue("../x", platform::kRegBinary, &b, 1), platform::kRegSuccess);
    EXPECT_FALSE(std::filesystem::exists(configHome.path() + "/qavseal/registry/x"));
}

TEST_F(RegistryStoreTest, SubkeysEnumerateSortedAndIgnoreValues) {
    RegistryKey parent;
    ASSERT_EQ(RegistryKey::Create("K", &parent), platform::kRegSuccess);
    for (const char* name : {"Card_B", "Card_A", "Card_C"}) {
        RegistryKey child;
        ASSERT_EQ(RegistryKey::Create(std::string("K\\") + name, &child), platform::kRegSuccess);
    }
    const uint8_t b = 1;
    ASSERT_EQ(parent.SetValue("value", platform::kRegBinary, &b, 1), platform::kRegSuccess);

    uint32_t count = 0;
    ASSERT_EQ(parent.SubkeyCount(&count), platform::kRegSuccess);
    ASSERT_EQ(count, 3u);
    std::vector<std::string> names(3);
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_EQ(parent.EnumSubkey(i, &names[i]), platform::kRegSuccess);
    EXPECT_EQ(names, (std::vector<std::string>{"Card_A", "Card_B", "Card_C"}));
    std::string name;
    EXPECT_EQ(parent.EnumSubkey(3, &name), platform::kRegNoMoreItems);
}

}  // namespace
}  // namespace qav
