// Our own registry store's files: permissions, atomic values, safe names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "reader/card_database.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using platform::RegistryKey;

class RegistryFilesTest : public test::ServiceTest {};

uint32_t Mode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 0777;
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

TEST_F(RegistryFilesTest, ATruncatedValueFileIsNotFound) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Some", &key), platform::kRegSuccess);
    std::ofstream(registry.StorePath("SOFTWARE\\Some\\broken")) << "ab";  // shorter than the type
    uint32_t type = 0;
    std::vector<uint8_t> value;
    EXPECT_EQ(key.QueryValue("broken", &type, &value, 260), platform::kRegNotFound);
}

TEST_F(RegistryFilesTest, NamesThatWouldEscapeTheStoreAreRefused) {
    RegistryKey key;
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\..\\..\\etc", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\a/b", &key), platform::kRegSuccess);
    EXPECT_NE(RegistryKey::Create("SOFTWARE\\\\double", &key), platform::kRegSuccess);
    ASSERT_EQ(RegistryKey::Create("SOFTWARE", &key), platform::kRegSuccess);
    const uint8_t b = 1;
    EXPECT_NE(key.SetValue("../x", platform::kRegBinary, &b, 1), platform::kRegSuccess);
    EXPECT_FALSE(std::filesystem::exists(registry.root() + "/qavseal/registry/x"));
}

TEST_F(RegistryFilesTest, CardRegistrationReportsTheStoreError) {
    // A file where the database folder should be: the store cannot create it.
    std::filesystem::create_directories(
        registry.StorePath("SOFTWARE\\Microsoft\\Cryptography\\Calais"));
    { std::ofstream(registry.StorePath(kCardDatabaseKey)) << "x"; }
    const uint8_t atr[] = {0x00};
    EXPECT_NE(RegisterCard("Card_00", atr, 1, atr, 1, kCardProviderName, kCardModuleName), 0u);
}

}  // namespace
}  // namespace qav
