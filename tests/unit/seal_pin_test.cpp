// The seal card's own PIN forms: the tries queries and the secured reload.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "card/card_seal.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;
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

}  // namespace
}  // namespace qav
