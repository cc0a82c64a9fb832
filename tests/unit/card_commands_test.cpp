// What the seal and the identity card share: the challenge, PIN blocks, the
// keyboard PIN commands' check order and status table, and no state.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "card/common/pin_block.h"
#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "platform/secure_memory.h"
#include "support/card_callbacks.h"
#include "support/freed_memory_watch.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Bytes;
using test::Counting;
using test::Hex;
using test::ScriptedReader;

constexpr uint32_t kUnset = 99;
constexpr char kLong[] = "12345678901234567";

TEST(PinBlockTest, PacksTwoDigitsPerByteWithTrailingF) {
    std::vector<uint8_t> block;
    for (const auto& [pin, packed] : std::vector<std::pair<std::string, std::string>>{
             {"1234", "12 34"},
             {"12345", "12 34 5F"},
             {"abCD09", "AB CD 09"},
             {"0123456789abcdef", "01 23 45 67 89 AB CD EF"}}) {
        EXPECT_EQ(PackPinBlock(pin.c_str(), static_cast<uint32_t>(pin.size()), &block), QAV_OK);
        EXPECT_EQ(Hex(block), packed) << pin;
    }
    EXPECT_EQ(PackPinBlock("12G4", 4, &block), QAV_E_CONVERSION);
    EXPECT_TRUE(block.empty());
}

template <class Card>
class CardCommandsTest : public ::testing::Test {
protected:
    uint32_t Verify(const char* pin) {
        return card.VerifyPIN(0, pin, static_cast<uint32_t>(std::strlen(pin)), &tries, 0);
    }
    uint32_t Change(const char* oldPin, const char* newPin) {
        return card.ChangePIN(0, oldPin, static_cast<uint32_t>(std::strlen(oldPin)), newPin,
                              static_cast<uint32_t>(std::strlen(newPin)), &tries, 0);
    }

    ScriptedReader reader{kProtocolT1};
    Card card{&reader};
    uint32_t tries = kUnset;
};

using Cards = ::testing::Types<CCardSeal, CCardZel>;
TYPED_TEST_SUITE(CardCommandsTest, Cards);

TYPED_TEST(CardCommandsTest, ChallengeOfFourEightOrSixteenBytes) {
    this->reader.Expect("00 84 00 00 04", "01 02 03 04 05 06 90 00")
        .Expect("00 84 00 00 10", Answer(Counting(16, 0xF0)))
        .Expect("00 84 00 00 08", "01 02 03 90 00")
        .Expect("00 84 00 00 08", "69 85");
    std::vector<uint8_t> out(16, 0);
    auto& c = this->card;
    EXPECT_EQ(c.GetChallenge(out.data(), 4, 0), QAV_OK);
    EXPECT_EQ(Hex(out.data(), 5), "01 02 03 04 00");  // more than asked for is cut
    EXPECT_EQ(c.GetChallenge(out.data(), 16, 0), QAV_OK);
    EXPECT_EQ(out, Counting(16, 0xF0));
    // Fewer bytes than asked for is a malformed answer, not a short challenge.
    EXPECT_EQ(c.GetChallenge(out.data(), 8, 0), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(c.GetChallenge(out.data(), 8, 0), 0xE0186985u);
    EXPECT_EQ(c.GetChallenge(nullptr, 8, 0), QAV_E_NULL_POINTER);
    for (const uint32_t bad : {0u, 5u, 6u, 12u, 32u}) {
        EXPECT_EQ(c.GetChallenge(out.data(), bad, 0), QAV_E_BAD_LENGTH) << bad;
    }
}

// Up to the longest PIN (16 digits; 3 and 17 are refused below).
TYPED_TEST(CardCommandsTest, PinCommandsSendPackedBlocksAroundFF) {
    this->reader.Expect("00 20 00 00 03 12 34 5F", "90 00")
        .Expect("80 5E 01 00 06 12 AB FF 98 76 5F", "90 00")
        .Expect("00 20 00 00 08 12 34 56 78 90 12 34 56", "90 00")
        .Expect("80 5E 01 00 0B 12 34 FF 12 34 56 78 90 12 34 56", "90 00");
    EXPECT_EQ(this->Verify("12345"), QAV_OK);
    EXPECT_EQ(this->Change("12AB", "98765"), QAV_OK);  // letters pass a change
    EXPECT_EQ(this->Verify("1234567890123456"), QAV_OK);
    EXPECT_EQ(this->Change("1234", "1234567890123456"), QAV_OK);
    EXPECT_EQ(this->tries, kUnset);
}

TEST(FreedMemoryWatchTest, SeesABlockFreedWithThePatternAndNotAWipedOne) {
    QAV_SKIP_UNLESS_FREED_MEMORY_IS_WATCHED();
    const std::vector<uint8_t> secret = Bytes("86 42 09 75 31");
    test::FreedMemoryWatch watch(secret);
    {
        const std::vector<uint8_t> leaked = secret;
        asm volatile("" : : "g"(leaked.data()) : "memory");  // keeps the block real
    }
    EXPECT_EQ(watch.Hits(), 1u);
    {
        std::vector<uint8_t> wiped = secret;
        platform::SecureWipe(wiped.data(), wiped.size());
    }
    EXPECT_EQ(watch.Hits(), 1u);
}

TYPED_TEST(CardCommandsTest, PinBlocksAreWipedBeforeTheirMemoryIsFreed) {
    QAV_SKIP_UNLESS_FREED_MEMORY_IS_WATCHED();
    this->reader.Expect("00 20 00 00 05 86 42 09 75 31", "90 00");
    for (int i = 0; i < 2; ++i) {
        this->reader.Expect("80 5E 01 00 0B 86 42 09 75 31 FF 13 57 90 24 68", "90 00");
    }
    // Named, so the patterns themselves are not freed while a watch is armed.
    const std::vector<uint8_t> oldBlock = Bytes("86 42 09 75 31");
    const std::vector<uint8_t> newBlock = Bytes("13 57 90 24 68");
    {
        test::FreedMemoryWatch watch(oldBlock);
        EXPECT_EQ(this->Verify("8642097531"), QAV_OK);
        EXPECT_EQ(this->Change("8642097531", "1357902468"), QAV_OK);
        EXPECT_EQ(watch.Hits(), 0u);
    }
    test::FreedMemoryWatch watch(newBlock);
    EXPECT_EQ(this->Change("8642097531", "1357902468"), QAV_OK);
    EXPECT_EQ(watch.Hits(), 0u);
}

TYPED_TEST(CardCommandsTest, PinCommandsCheckArgumentsInOrderAndSendNothing) {
    auto& c = this->card;
    uint32_t* t = &this->tries;
    const uint32_t verify[][2] = {
        {c.VerifyPIN(256, "1234", 4, t, 0), QAV_E_NULL_POINTER},
        {c.VerifyPIN(0, nullptr, 4, t, 0), QAV_E_NULL_POINTER},
        {c.VerifyPIN(0, "12a4", 4, t, 0), QAV_E_NULL_POINTER},  // digits only
        {c.VerifyPIN(0, "12a", 3, t, 0), QAV_E_NULL_POINTER},   // before the length
        {c.VerifyPIN(0, "123", 3, t, 0), QAV_E_PIN_LENGTH},
        {c.VerifyPIN(0, kLong, 17, t, 0), QAV_E_PIN_LENGTH},
        {c.VerifyPIN(0, "1234", 4, nullptr, 0), QAV_E_NULL_POINTER},
        {c.VerifyPIN(0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER},
    };
    const uint32_t change[][2] = {
        {c.ChangePIN(256, "1234", 4, "5678", 4, t, 0), QAV_E_NULL_POINTER},
        {c.ChangePIN(0, nullptr, 4, "5678", 4, t, 0), QAV_E_NULL_POINTER},
        {c.ChangePIN(0, "123", 3, nullptr, 4, t, 0), QAV_E_PIN_LENGTH},
        {c.ChangePIN(0, "1234", 4, nullptr, 4, nullptr, 0), QAV_E_NULL_POINTER},
        {c.ChangePIN(0, "1234", 4, kLong, 17, nullptr, 0), QAV_E_PIN_LENGTH},
        {c.ChangePIN(0, "1234", 4, "5678", 4, nullptr, 0), QAV_E_NULL_POINTER},
        // The new PIN must be one VerifyPIN takes, checked in its order.
        {c.ChangePIN(0, "1234", 4, "56A8", 4, t, 0), QAV_E_NULL_POINTER},
        {c.ChangePIN(0, "1234", 4, "5A8", 3, t, 0), QAV_E_NULL_POINTER},
        {c.ChangePIN(0, "1234", 4, "567-", 4, t, 0), QAV_E_NULL_POINTER},
        // The old one has no digit check: a letter outside hexadecimal
        // fails the packing.
        {c.ChangePIN(0, "12G4", 4, "5678", 4, t, 0), QAV_E_CONVERSION},
        {c.ChangePIN(0, nullptr, 0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER},
    };
    for (size_t i = 0; i < std::size(verify); ++i) EXPECT_EQ(verify[i][0], verify[i][1]) << i;
    for (size_t i = 0; i < std::size(change); ++i) EXPECT_EQ(change[i][0], change[i][1]) << i;
    EXPECT_EQ(this->reader.Sent(), 0u);
    EXPECT_EQ(this->tries, kUnset);
}

TYPED_TEST(CardCommandsTest, PinStatusTable) {
    struct Case {
        const char* sw;
        uint32_t verify, verifyTries, change, changeTries;
    };
    const Case cases[] = {
        {"63 C2", QAV_E_PIN_WRONG, 2, QAV_E_PIN_WRONG, 2},
        // No tries left: a verify names the PIN blocked, a change does not.
        {"63 C0", QAV_E_PIN_BLOCKED, 0, QAV_E_PIN_WRONG, 0},
        {"69 83", QAV_E_PIN_BLOCKED, 0, QAV_E_PIN_BLOCKED, 0},
        {"80 05", QAV_E_PIN_NOT_ACCEPTED, kUnset, QAV_E_PIN_NOT_ACCEPTED, kUnset},
        {"6D 00", QAV_E_PIN_NOT_ACCEPTED, kUnset, QAV_E_PIN_NOT_ACCEPTED, kUnset},
        {"80 25", QAV_E_PIN_REFUSED, kUnset, QAV_E_PIN_REFUSED, kUnset},
        {"80 26", QAV_E_PIN_LENGTH, kUnset, QAV_E_PIN_LENGTH, kUnset},
        {"6A 88", 0xE0186A88u, kUnset, 0xE0186A88u, kUnset},
        {"63 00", 0xE0186300u, kUnset, 0xE0186300u, kUnset},
    };
    for (const Case& c : cases) {
        this->reader.Expect("00 20 00 00 02 11 11", c.sw)
            .Expect("80 5E 01 00 05 12 34 FF 56 78", c.sw);
        this->tries = kUnset;
        EXPECT_EQ(this->Verify("1111"), c.verify) << c.sw;
        EXPECT_EQ(this->tries, c.verifyTries) << c.sw;
        this->tries = kUnset;
        EXPECT_EQ(this->Change("1234", "5678"), c.change) << c.sw;
        EXPECT_EQ(this->tries, c.changeTries) << c.sw;
    }
    this->reader.ExpectFailure("00 20 00 00 02 11 11", 0x80100069u);
    EXPECT_EQ(this->Verify("1111"), 0x80100069u);
}

uint32_t ReadFile(CCardSeal& card, uint8_t* out, uint32_t* length) {
    return card.ReadBinary(0, out, length, nullptr, 0, 0);
}
uint32_t ReadFile(CCardZel& card, uint8_t* out, uint32_t* length) {
    return card.ReadBinary(0, out, length, 0);
}

// Card objects share no state: two cards on two readers, one thread each.
TYPED_TEST(CardCommandsTest, TwoCardsOnTwoThreads) {
    constexpr int kRounds = 50;
    auto run = [](const char* pin, const char* verify, uint8_t seed) {
        ScriptedReader own{kProtocolT0};
        TypeParam mine{&own};
        for (int round = 0; round < kRounds; ++round) {
            const std::vector<uint8_t> file = Counting(300, static_cast<uint8_t>(seed + round));
            own.Expect(verify, "63 C5")
                .Expect("00 B0 00 00 F0", Answer({file.begin(), file.begin() + 240}))
                .Expect("00 B0 00 F0 3C", Answer({file.begin() + 240, file.end()}));
            uint32_t left = 0;
            EXPECT_EQ(mine.VerifyPIN(0, pin, 4, &left, 0), QAV_E_PIN_WRONG);
            EXPECT_EQ(left, 5u);
            std::vector<uint8_t> out(300);
            uint32_t length = 300;
            EXPECT_EQ(ReadFile(mine, out.data(), &length), QAV_OK);
            EXPECT_EQ(out, file);
        }
    };
    std::thread first(run, "1111", "00 20 00 00 02 11 11", uint8_t{1});
    std::thread second(run, "2222", "00 20 00 00 02 22 22", uint8_t{101});
    first.join();
    second.join();
}

}  // namespace
}  // namespace qav
