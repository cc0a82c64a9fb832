// PIN blocks and the seal card's verify, change and secured reload, with the
// status table and the order of argument checks.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "card/card_seal.h"
#include "card/pin_block.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedReader;

constexpr uint32_t kUnset = 99;

TEST(PinBlockTest, PacksTwoDigitsPerByteWithTrailingF) {
    std::vector<uint8_t> block;
    EXPECT_EQ(PackPinBlock("1234", 4, &block), QAV_OK);
    EXPECT_EQ(Hex(block), "12 34");
    EXPECT_EQ(PackPinBlock("12345", 5, &block), QAV_OK);
    EXPECT_EQ(Hex(block), "12 34 5F");
    EXPECT_EQ(PackPinBlock("abCD09", 6, &block), QAV_OK);
    EXPECT_EQ(Hex(block), "AB CD 09");
    EXPECT_EQ(PackPinBlock("0123456789abcdef", 16, &block), QAV_OK);
    EXPECT_EQ(Hex(block), "01 23 45 67 89 AB CD EF");
    EXPECT_EQ(PackPinBlock("12G4", 4, &block), QAV_E_CONVERSION);
    EXPECT_TRUE(block.empty());
}

class SealPinTest : public ::testing::Test {
protected:
    uint32_t Verify(const char* pin, uint32_t flags = 0) {
        return card.VerifyPIN(0, pin, pin != nullptr ? static_cast<uint32_t>(std::strlen(pin)) : 0,
                              &tries, flags);
    }
    uint32_t Change(const char* oldPin, const char* newPin) {
        return card.ChangePIN(0, oldPin, static_cast<uint32_t>(std::strlen(oldPin)), newPin,
                              static_cast<uint32_t>(std::strlen(newPin)), &tries, 0);
    }

    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    uint32_t tries = kUnset;
};

TEST_F(SealPinTest, VerifySendsPackedDigits) {
    reader.Expect("00 20 00 00 02 12 34", "90 00").Expect("00 20 00 00 03 12 34 5F", "90 00");
    EXPECT_EQ(Verify("1234"), QAV_OK);
    EXPECT_EQ(Verify("12345"), QAV_OK);
    EXPECT_EQ(tries, kUnset);
}

TEST_F(SealPinTest, VerifyChecksArgumentsInOrderAndSendsNothing) {
    EXPECT_EQ(card.VerifyPIN(256, "1234", 4, &tries, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 4, &tries, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(Verify("12a4"), QAV_E_NULL_POINTER);  // digits only
    EXPECT_EQ(Verify("12a"), QAV_E_NULL_POINTER);   // the digit check comes first
    EXPECT_EQ(Verify("123"), QAV_E_PIN_LENGTH);
    EXPECT_EQ(Verify("12345678901234567"), QAV_E_PIN_LENGTH);
    EXPECT_EQ(card.VerifyPIN(0, "1234", 4, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_EQ(tries, kUnset);
}

TEST_F(SealPinTest, TriesQueryIsAnEmptyVerify) {
    reader.Expect("00 20 00 00 00", "90 00").Expect("00 20 00 00 00", "63 C3");
    EXPECT_EQ(card.VerifyPIN(300, nullptr, 0, &tries, 1), QAV_OK);
    EXPECT_EQ(tries, kUnset);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 0, &tries, 1), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 3u);
}

TEST_F(SealPinTest, VerifyStatusTable) {
    struct Case {
        const char* sw;
        uint32_t result;
        uint32_t tries;
    };
    const Case cases[] = {
        {"63 C2", QAV_E_PIN_WRONG, 2},
        {"63 C0", QAV_E_PIN_BLOCKED, 0},
        {"69 83", QAV_E_PIN_BLOCKED, 0},
        {"80 05", QAV_E_PIN_NOT_ACCEPTED, kUnset},
        {"6D 00", QAV_E_PIN_NOT_ACCEPTED, kUnset},
        {"80 25", QAV_E_PIN_REFUSED, kUnset},
        {"80 26", QAV_E_PIN_LENGTH, kUnset},
        {"6A 88", 0xE0186A88u, kUnset},
        {"63 00", 0xE0186300u, kUnset},
    };
    for (const Case& c : cases) {
        reader.Expect("00 20 00 00 02 11 11", c.sw);
        tries = kUnset;
        EXPECT_EQ(Verify("1111"), c.result) << c.sw;
        EXPECT_EQ(tries, c.tries) << c.sw;
    }
    reader.ExpectFailure("00 20 00 00 02 11 11", 0x80100069u);
    EXPECT_EQ(Verify("1111"), 0x80100069u);
}

TEST_F(SealPinTest, ChangeSendsBothBlocksAroundFF) {
    reader.Expect("80 5E 01 00 05 12 34 FF 56 78", "90 00")
        .Expect("80 5E 01 00 06 12 AB FF 98 76 5F", "63 C0")
        .Expect("80 5E 01 00 00", "63 C1");
    EXPECT_EQ(Change("1234", "5678"), QAV_OK);
    // Letters pass here; and a count of 0 is still "wrong PIN" for a change.
    EXPECT_EQ(Change("12AB", "98765"), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 1u);
}

// Beyond the tries, a change names the same refusals as a verify.
TEST_F(SealPinTest, ChangeNamesThePinRefusals) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"80 05", QAV_E_PIN_NOT_ACCEPTED},
        {"6D 00", QAV_E_PIN_NOT_ACCEPTED},
        {"80 25", QAV_E_PIN_REFUSED},
        {"80 26", QAV_E_PIN_LENGTH},
        {"6A 88", 0xE0186A88u},
    };
    for (const auto& [sw, result] : cases) {
        reader.Expect("80 5E 01 00 05 12 34 FF 56 78", sw);
        EXPECT_EQ(Change("1234", "5678"), result) << sw;
    }
    EXPECT_EQ(tries, kUnset);
}

TEST_F(SealPinTest, ChangeChecksArgumentsInOrderAndSendsNothing) {
    EXPECT_EQ(card.ChangePIN(256, "1234", 4, "5678", 4, &tries, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ChangePIN(0, nullptr, 4, "5678", 4, &tries, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ChangePIN(0, "123", 3, nullptr, 4, &tries, 0), QAV_E_PIN_LENGTH);
    EXPECT_EQ(card.ChangePIN(0, "1234", 4, nullptr, 4, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ChangePIN(0, "1234", 4, "5678", 17, nullptr, 0), QAV_E_PIN_LENGTH);
    EXPECT_EQ(card.ChangePIN(0, "1234", 4, "5678", 4, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(Change("12G4", "5678"), QAV_E_CONVERSION);
    EXPECT_EQ(Change("1234", "567-"), QAV_E_CONVERSION);
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
}

// What the reload callbacks saw, reached through user1.
struct CallbackLog {
    std::string challenge;
    std::string plaintext;
    uint32_t offered = 0;
    std::string macInput;
    uintptr_t user2 = 0;
    std::vector<uint8_t> cryptogram = Bytes("C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF");
    uint32_t encryptResult = 1;
    uint32_t macResult = 0;
};

CallbackLog& Log(uintptr_t user1) { return *reinterpret_cast<CallbackLog*>(user1); }

uint32_t QAV_CALLBACK RecordEncrypt(const uint8_t* challenge, uint32_t challengeLength,
                                    const uint8_t* plaintext, uint32_t plaintextLength,
                                    uint8_t* out, uint32_t* outLength, uintptr_t user1,
                                    uintptr_t user2) {
    CallbackLog& log = Log(user1);
    log.challenge = Hex(challenge, challengeLength);
    log.plaintext = Hex(plaintext, plaintextLength);
    log.offered = *outLength;
    log.user2 = user2;
    std::memcpy(out, log.cryptogram.data(), std::min<size_t>(log.cryptogram.size(), *outLength));
    *outLength = static_cast<uint32_t>(log.cryptogram.size());
    return log.encryptResult;
}

uint32_t QAV_CALLBACK RecordMac(const uint8_t* challenge, uint32_t challengeLength,
                                const uint8_t* command, uint32_t commandLength, uint8_t* mac,
                                uintptr_t user1, uintptr_t user2) {
    CallbackLog& log = Log(user1);
    log.challenge = Hex(challenge, challengeLength);
    log.macInput = Hex(command, commandLength);
    log.user2 = user2;
    const uint8_t bytes[4] = {0x4D, 0x41, 0x43, 0x21};
    std::memcpy(mac, bytes, sizeof(bytes));
    return log.macResult;
}

class ReloadPinTest : public SealPinTest {
protected:
    uint32_t Reload(uint32_t mode, uint32_t challengeLength, const char* pin) {
        return card.ReloadPIN(mode, challengeLength, RecordEncrypt, RecordMac, pin,
                              static_cast<uint32_t>(std::strlen(pin)), &tries,
                              reinterpret_cast<uintptr_t>(&log), kUser2);
    }
    static constexpr uintptr_t kUser2 = 0x5A5A;
    CallbackLog log;
};

TEST_F(ReloadPinTest, PlainReloadMacsTheBuiltCommand) {
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00")
        .Expect("84 5E 00 00 07 02 12 34 4D 41 43 21", "90 00");
    EXPECT_EQ(Reload(0, 8, "1234"), QAV_OK);
    EXPECT_EQ(log.challenge, "01 02 03 04 05 06 07 08");
    EXPECT_EQ(log.macInput, "84 5E 00 00 07 02 12 34");
    EXPECT_EQ(log.user2, kUser2);
    EXPECT_EQ(tries, kUnset);
}

TEST_F(ReloadPinTest, EncryptedReloadSendsTheCryptogram) {
    reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00")
        .Expect("84 5E 00 02 14 C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF 4D 41 43 21",
                "63 C0");
    EXPECT_EQ(Reload(1, 4, "12345"), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
    EXPECT_EQ(log.plaintext, "03 12 34 5F");
    EXPECT_EQ(log.offered, 255u);
    EXPECT_EQ(log.macInput, "84 5E 00 02 14 C0 C1 C2 C3 C4 C5 C6 C7 C8 C9 CA CB CC CD CE CF");
}

TEST_F(ReloadPinTest, CallbackFailuresStopBeforeTheReload) {
    reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00");
    log.encryptResult = 0;
    EXPECT_EQ(Reload(1, 4, "1234"), QAV_E_CONVERSION);

    reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00");
    log.encryptResult = 1;
    log.cryptogram.assign(252, 0x11);  // with the MAC it would not fit one-byte Lc
    EXPECT_EQ(Reload(1, 4, "1234"), QAV_E_CONVERSION);

    reader.Expect("00 84 00 00 04", "AA BB CC DD 90 00");
    log.macResult = 0xE0170028u;
    EXPECT_EQ(Reload(0, 4, "1234"), 0xE0170028u);

    reader.Expect("00 84 00 00 10", "69 82");
    EXPECT_EQ(Reload(0, 16, "1234"), 0xE0186982u);
    EXPECT_EQ(tries, kUnset);
}

TEST_F(ReloadPinTest, ChecksArgumentsInOrderAndSendsNothing) {
    const auto user1 = reinterpret_cast<uintptr_t>(&log);
    EXPECT_EQ(card.ReloadPIN(2, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_BAD_SELECTOR);
    EXPECT_EQ(card.ReloadPIN(1, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 0, nullptr, nullptr, nullptr, 0, nullptr, user1, 0),
              QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, nullptr, "1234", 4, &tries, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, RecordMac, nullptr, 4, &tries, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, RecordMac, "123", 3, nullptr, user1, 0),
              QAV_E_PIN_LENGTH);
    EXPECT_EQ(card.ReloadPIN(0, 8, nullptr, RecordMac, "1234", 4, nullptr, user1, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(Reload(0, 6, "1234"), QAV_E_BAD_LENGTH);  // the challenge refuses 6
    EXPECT_EQ(Reload(0, 1000, "1234"), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Reload(0, 8, "12X4"), QAV_E_CONVERSION);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.macInput.empty());
}

// Card objects share no state: two devices on two threads never meet.
TEST(SealPinConcurrencyTest, TwoCardsOnTwoThreads) {
    auto run = [](const char* pin, const char* command) {
        ScriptedReader reader{kProtocolT1};
        CCardSeal card{&reader};
        constexpr int kRounds = 300;
        for (int i = 0; i < kRounds; ++i) reader.Expect(command, "63 C5");
        int wrong = 0;
        for (int i = 0; i < kRounds; ++i) {
            uint32_t tries = 0;
            if (card.VerifyPIN(0, pin, 4, &tries, 0) == QAV_E_PIN_WRONG && tries == 5) ++wrong;
        }
        EXPECT_EQ(wrong, kRounds);
    };
    std::thread first(run, "1111", "00 20 00 00 02 11 11");
    std::thread second(run, "2222", "00 20 00 00 02 22 22");
    first.join();
    second.join();
}

}  // namespace
}  // namespace qav
