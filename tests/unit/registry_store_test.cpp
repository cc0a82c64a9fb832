// The per-user registry's behaviour the library relies on, whichever backend
// serves it: our own store on Linux, the real registry API on Windows.
#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using platform::RegistryKey;

class RegistryStoreTest : public test::ServiceTest {};

TEST_F(RegistryStoreTest, ValuesReadBackWithTheirTypeAndAreReplacedWhole) {
    RegistryKey key;
    ASSERT_EQ(RegistryKey::Create("SOFTWARE\\Vendor\\Thing", &key), platform::kRegSuccess);
    const uint8_t bytes[] = {0x3B, 0x00, 0xFF};
    ASSERT_EQ(key.SetValue("ATR", platform::kRegBinary, bytes, sizeof bytes),
              platform::kRegSuccess);

    RegistryKey reopened;
    ASSERT_EQ(RegistryKey::Open("SOFTWARE\\Vendor\\Thing", &reopened), platform::kRegSuccess);
    uint32_t type = 0;
    std::vector<uint8_t> value;
    ASSERT_EQ(reopened.QueryValue("ATR", &type, &value, 260), platform::kRegSuccess);
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_EQ(value, std::vector<uint8_t>(bytes, bytes + 3));
    // A value larger than the reader's room is not truncated silently.
    EXPECT_EQ(reopened.QueryValue("ATR", &type, &value, 2), platform::kRegMoreData);
    // A string with its terminator, as the card database writes them.
    ASSERT_EQ(key.SetValue("ATR", platform::kRegSz, bytes, 2), platform::kRegSuccess);
    ASSERT_EQ(reopened.QueryValue("ATR", &type, &value, 260), platform::kRegSuccess);
    EXPECT_EQ(type, platform::kRegSz);
    EXPECT_EQ(value, std::vector<uint8_t>(bytes, bytes + 2));
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
    RegistryKey child;
    EXPECT_EQ(parent.OpenSubkey("Card_B", &child), platform::kRegSuccess);
}

}  // namespace
}  // namespace qav
