// Card registration: entry names, the four values, the exact-match lookup.
#include "reader/card_database.h"

#include <gtest/gtest.h>

#include "platform/registry.h"
#include "support/service_fixture.h"

namespace qav {
namespace {

using platform::RegistryKey;

class CardDatabaseTest : public test::ServiceTest {
protected:
    static std::string EntryPath(const std::string& name) {
        return std::string(kCardDatabaseKey) + "\\" + name;
    }
    uint32_t Register(const std::string& name, const std::vector<uint8_t>& atr) {
        const std::vector<uint8_t> mask(atr.size(), 0xFF);
        return RegisterCard(name.c_str(), atr.data(), static_cast<uint32_t>(atr.size()),
                            mask.data(), static_cast<uint32_t>(mask.size()), kCardProviderName,
                            kCardModuleName);
    }
    std::vector<uint8_t> Value(const std::string& entry, const std::string& name, uint32_t* type) {
        RegistryKey key;
        EXPECT_EQ(RegistryKey::Open(EntryPath(entry), &key), platform::kRegSuccess);
        std::vector<uint8_t> value;
        EXPECT_EQ(key.QueryValue(name, type, &value, 260), platform::kRegSuccess) << name;
        return value;
    }
};

TEST_F(CardDatabaseTest, EntryNameIsPrefixAndUpperCaseHex) {
    const uint8_t atr[] = {0x3B, 0x02, 0x14, 0x50};
    char name[260];
    CardEntryName(atr, sizeof atr, name);
    EXPECT_STREQ(name, "Card_3B021450");
    const uint8_t lower[] = {0xab, 0xcd};
    CardEntryName(lower, sizeof lower, name);
    EXPECT_STREQ(name, "Card_ABCD");
}

TEST_F(CardDatabaseTest, RegisterWritesTheFourValuesAndCreatesThePath) {
    EXPECT_EQ(IsCardRegistered(std::vector<uint8_t>{0x3B}.data(), 1), 0u);  // no database at all
    const std::vector<uint8_t> atr = {0x3B, 0x02, 0x14, 0x50};
    ASSERT_EQ(Register("Card_3B021450", atr), 0u);

    uint32_t type = 0;
    EXPECT_EQ(Value("Card_3B021450", "ATR", &type), atr);
    EXPECT_EQ(type, platform::kRegBinary);
    EXPECT_EQ(Value("Card_3B021450", "ATRMask", &type), std::vector<uint8_t>(4, 0xFF));
    EXPECT_EQ(type, platform::kRegBinary);
    const std::string provider = kCardProviderName;
    EXPECT_EQ(Value("Card_3B021450", "Smart Card Key Storage Provider", &type),
              std::vector<uint8_t>(provider.c_str(), provider.c_str() + provider.size() + 1));
    EXPECT_EQ(type, platform::kRegSz);
    const std::string module = kCardModuleName;
    EXPECT_EQ(Value("Card_3B021450", "80000001", &type),
              std::vector<uint8_t>(module.c_str(), module.c_str() + module.size() + 1));

    EXPECT_EQ(IsCardRegistered(atr.data(), 4), 1u);
    // Registering again rewrites and succeeds.
    EXPECT_EQ(Register("Card_3B021450", atr), 0u);
    EXPECT_EQ(IsCardRegistered(atr.data(), 4), 1u);
}

TEST_F(CardDatabaseTest, MatchIsExactInLengthAndBytes) {
    const std::vector<uint8_t> atr = {0x3B, 0x02, 0x14, 0x50};
    ASSERT_EQ(Register("Card_3B021450", atr), 0u);
    const std::vector<uint8_t> longer = {0x3B, 0x02, 0x14, 0x50, 0x00};
    EXPECT_EQ(IsCardRegistered(longer.data(), 5), 0u);
    EXPECT_EQ(IsCardRegistered(atr.data(), 3), 0u);
    const std::vector<uint8_t> other = {0x3B, 0x02, 0x14, 0x51};
    EXPECT_EQ(IsCardRegistered(other.data(), 4), 0u);
    EXPECT_EQ(IsCardRegistered(nullptr, 4), 0u);
}

}  // namespace
}  // namespace qav
