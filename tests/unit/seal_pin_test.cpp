// The seal card's own PIN forms: the tries queries and the secured reload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card/seal/card_seal.h"
#include "support/card_callbacks.h"
#include "support/freed_memory_watch.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::FakeCryptogram;
using test::Hex;
using test::Join;
using test::ScriptedReader;

constexpr uint32_t kUnset = 99;

class SealPinTest : public ::testing::Test {
protected:
    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    uint32_t tries = kUnset;
};

TEST_F(SealPinTest, TriesQueriesAreEmptyCommands) {
    reader.Expect("00 20 00 00 00", "90 00")
        .Expect("00 20 00 00 00", "63 C3")
        .Expect("80 5E 01 00 00", "63 C0");
    EXPECT_EQ(card.VerifyPIN(300, nullptr, 0, &tries, 1), QAV_OK);
    EXPECT_EQ(tries, kUnset);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 0, &tries, 1), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 3u);
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
}

// The reload's encrypt callback reports success as non-zero.
uint32_t QAV_CALLBACK ReloadEncrypt(const uint8_t* challenge, uint32_t challengeLength,
                                    const uint8_t* plain, uint32_t plainLength, uint8_t* out,
                                    uint32_t* outLength, uintptr_t user1, uintptr_t user2) {
    return test::LoggedEncrypt(challenge, challengeLength, plain, plainLength, out, outLength,
                               user1, user2) == QAV_OK;
}

class ReloadPinTest : public SealPinTest {
protected:
    uint32_t Reload(uint32_t mode, uint32_t challengeLength, const char* pin) {
        return card.ReloadPIN(mode, challengeLength, ReloadEncrypt, test::LoggedMac, pin,
                              static_cast<uint32_t>(std::strlen(pin)), &tries, log.User(), 0x5A);
    }
    test::CallbackLog log;
};

TEST_F(ReloadPinTest, PlainReloadMacsTheBuiltCommand) {
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00")
        .Expect("84 5E 00 00 07 02 12 34 4D 41 43 21", "90 00");
    EXPECT_EQ(Reload(0, 8, "1234"), QAV_OK);
    EXPECT_EQ(log.macInputs, (std::vector<std::string>{"84 5E 00 00 07 02 12 34"}));
    EXPECT_TRUE(log.plains.empty());
    EXPECT_EQ(tries, kUnset);
}

TEST_F(ReloadPinTest, EncryptedReloadSendsTheCryptogram) {
    const std::string command =
        test::Command("84 5E 00 02", Join({FakeCryptogram(Bytes("03 12 34 5F")), test::kFakeMac}));
    reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00").Expect(command, "63 C0");
    EXPECT_EQ(Reload(1, 4, "12345"), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(log.challenges, (std::vector<std::string>{"AA BB CC DD"}));
    EXPECT_EQ(Hex(log.plains.at(0)), "03 12 34 5F");
    EXPECT_EQ(log.rooms, (std::vector<uint32_t>{255}));
    EXPECT_EQ(log.secondUsers, (std::vector<uintptr_t>{0x5A}));
    EXPECT_EQ(log.macInputs, (std::vector<std::string>{command.substr(0, command.size() - 12)}));
}

TEST_F(ReloadPinTest, NewPinIsWipedBeforeItsMemoryIsFreed) {
    QAV_SKIP_UNLESS_FREED_MEMORY_IS_WATCHED();
    const std::vector<uint8_t> block = Bytes("86 42 09 75 31");
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00")
        .Expect("84 5E 00 00 0A 05 86 42 09 75 31 4D 41 43 21", "90 00")
        .Expect("00 84 00 00 04", "AA BB CC DD 90 00")
        .Expect(test::Command("84 5E 00 02",
                              Join({FakeCryptogram(Bytes("05 86 42 09 75 31")), test::kFakeMac})),
                "90 00");
    test::FreedMemoryWatch watch(block);
    EXPECT_EQ(Reload(0, 8, "8642097531"), QAV_OK);
    EXPECT_EQ(Reload(1, 4, "8642097531"), QAV_OK);
    EXPECT_EQ(watch.Hits(), 0u);
}

TEST_F(ReloadPinTest, CallbackFailuresStopBeforeTheReload) {
    for (int i = 0; i < 3; ++i) reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00");
    log.encryptResult = 0x1234;
    EXPECT_EQ(Reload(1, 4, "1234"), QAV_E_CONVERSION);
    log.encryptResult = QAV_OK;
    log.claimedLength = 252;  // with the MAC it would not fit one-byte Lc
    EXPECT_EQ(Reload(1, 4, "1234"), QAV_E_CONVERSION);
    log.macResult = 0xE0170028u;
    EXPECT_EQ(Reload(0, 4, "1234"), 0xE0170028u);

    reader.Expect("00 84 00 00 10", "69 82");
    EXPECT_EQ(Reload(0, 16, "1234"), 0xE0186982u);
    EXPECT_EQ(tries, kUnset);
}

TEST_F(ReloadPinTest, ChecksArgumentsInOrderAndSendsNothing) {
    const uintptr_t user1 = log.User();
    const QAV_MacCallback mac = test::LoggedMac;
    EXPECT_EQ(card.ReloadPIN(2, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_BAD_SELECTOR);
    EXPECT_EQ(card.ReloadPIN(1, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, nullptr, "1234", 4, &tries, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, mac, nullptr, 4, &tries, user1, 0), QAV_E_NULL_POINTER);
    // A new PIN VerifyPIN would refuse, with its code and in its order.
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, mac, "12A", 3, nullptr, user1, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, mac, "123", 3, nullptr, user1, 0), QAV_E_PIN_LENGTH);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, mac, "1234", 4, nullptr, user1, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(Reload(0, 6, "1234"), QAV_E_BAD_LENGTH);  // the challenge refuses 6
    EXPECT_EQ(Reload(0, 1000, "1234"), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Reload(0, 8, "12X4"), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.macInputs.empty());
}

}  // namespace
}  // namespace qav
