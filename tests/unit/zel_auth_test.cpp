// The identity card's external authentication and its own PIN forms: the
// retry with P2 = 81 and the PIN pad.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

#include "card/identity/card_zel.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Counting;
using test::Hex;
using test::ScriptedReader;

constexpr uint32_t kUnset = 99;

struct AuthLog {
    std::vector<std::string> challenges;
    uint32_t result = QAV_OK;
    uint32_t length = 8;  // reported cryptogram length
    uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
};

uint32_t QAV_CALLBACK Cryptogram(const uint8_t* challenge, uint32_t challengeLength, uint8_t* out,
                                 uint32_t* outLength, uintptr_t user1, uintptr_t user2) {
    auto* log = reinterpret_cast<AuthLog*>(user1);
    log->challenges.push_back(Hex(challenge, challengeLength));
    EXPECT_EQ(*outLength, 255u);
    EXPECT_EQ(user2, 0x22u);
    for (uint32_t i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(0xE0 + i);
    *outLength = log->length;
    return log->result;
}

class ZelAuthTest : public ::testing::Test {
protected:
    uint32_t Authenticate(uint32_t challengeLength = 8) {
        return card.ExternalAuth(1, challengeLength, Cryptogram, &tries, log.User(), 0x22);
    }
    uint32_t Verify(const char* pin, uint32_t flags = 0) {
        return card.VerifyPIN(0, pin, pin != nullptr ? static_cast<uint32_t>(std::strlen(pin)) : 0,
                              &tries, flags);
    }
    uint32_t Change(const char* oldPin, const char* newPin) {
        return card.ChangePIN(0, oldPin, static_cast<uint32_t>(std::strlen(oldPin)), newPin,
                              static_cast<uint32_t>(std::strlen(newPin)), &tries, 0);
    }

    ScriptedReader reader{kProtocolT1};
    CCardZel card{&reader};
    AuthLog log;
    uint32_t tries = kUnset;
};

TEST_F(ZelAuthTest, ExternalAuthSendsTheCryptogramAndCountsTriesOnlyForTwoStatuses) {
    struct Case {
        const char* status;
        uint32_t result;
        uint32_t tries;
    };
    const Case cases[] = {
        {"90 00", QAV_OK, kUnset},
        {"63 C2", QAV_E_PIN_WRONG, 2},
        {"63 C0", QAV_E_PIN_WRONG, 0},
        {"69 83", QAV_E_PIN_BLOCKED, 0},
        {"6A 88", 0xE0186A88u, kUnset},
        // What the PIN commands name, authentication passes on.
        {"80 05", 0xE0188005u, kUnset},
        {"6D 00", 0xE0186D00u, kUnset},
        {"80 25", 0xE0188025u, kUnset},
        {"80 26", 0xE0188026u, kUnset},
    };
    for (const Case& c : cases) {
        reader.Expect("00 84 00 00 04", Answer(Counting(4)))
            .Expect("00 82 00 00 08 E0 E1 E2 E3 E4 E5 E6 E7", c.status);
        tries = kUnset;
        EXPECT_EQ(Authenticate(4), c.result) << c.status;
        EXPECT_EQ(tries, c.tries) << c.status;
    }
    // Each cryptogram was made from its own challenge.
    EXPECT_EQ(log.challenges, std::vector<std::string>(std::size(cases), Hex(Counting(4))));
}

TEST_F(ZelAuthTest, ExternalAuthStopsBeforeTheCommandWhenTheCallbackFails) {
    reader.Expect("00 84 00 00 08", Answer(Counting(8)))
        .Expect("00 84 00 00 08", Answer(Counting(8)))
        .Expect("00 84 00 00 10", "69 85");
    log.result = 0x1234;
    EXPECT_EQ(Authenticate(), QAV_E_CONVERSION);
    log.result = QAV_OK;
    log.length = 256;  // more than the area it was given
    EXPECT_EQ(Authenticate(), QAV_E_CONVERSION);
    EXPECT_EQ(Authenticate(16), 0xE0186985u);
    EXPECT_EQ(log.challenges.size(), 2u);
}

TEST_F(ZelAuthTest, ExternalAuthChecksArgumentsInOrderAndSendsNothing) {
    EXPECT_EQ(card.ExternalAuth(256, 0, nullptr, nullptr, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ExternalAuth(255, 0, nullptr, nullptr, 0, 0), QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.ExternalAuth(0, 8, nullptr, &tries, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ExternalAuth(0, 8, Cryptogram, nullptr, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ExternalAuth(0, 6, Cryptogram, &tries, log.User(), 0x22), QAV_E_BAD_LENGTH);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.challenges.empty());
}

TEST_F(ZelAuthTest, VerifyTriesTheOtherReferenceOnlyAfter6A86) {
    reader.Expect("00 20 00 00 03 12 34 5F", "6A 86")
        .Expect("00 20 00 81 03 12 34 5F", "90 00")
        .Expect("00 20 00 00 02 12 34", "6A 86")
        .Expect("00 20 00 81 02 12 34", "6A 86")
        .Expect("00 20 00 00 02 12 34", "63 C1")
        .Expect("00 20 00 00 02 12 34", "6A 87");
    EXPECT_EQ(Verify("12345"), QAV_OK);
    EXPECT_EQ(Verify("1234"), 0xE0186A86u);
    EXPECT_EQ(tries, kUnset);
    EXPECT_EQ(Verify("1234"), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 1u);
    EXPECT_EQ(Verify("1234"), 0xE0186A87u);
}

TEST_F(ZelAuthTest, PinPadFormsCarryNoPin) {
    reader.Expect("F0 F2 00 00 00", "90 00")
        .Expect("F0 F2 00 00 00", "63 C0")
        .Expect("F0 F2 00 01 00", "63 C0")
        .Expect("F0 F2 00 01 00", "6A 86");
    EXPECT_EQ(card.VerifyPIN(300, nullptr, 0, &tries, 1), QAV_OK);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 0, &tries, 1), QAV_E_PIN_BLOCKED);
    EXPECT_EQ(tries, 0u);
    tries = kUnset;
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 3), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
    // The PIN pad has no second reference to try.
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1), 0xE0186A86u);
    EXPECT_EQ(card.VerifyPIN(0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, nullptr, 1), QAV_E_NULL_POINTER);
}

TEST_F(ZelAuthTest, ChangeRetriesTheOtherReferenceOn6A86) {
    reader.Expect("80 5E 01 00 05 AB CD FF 12 34", "6A 86")
        .Expect("80 5E 01 81 05 AB CD FF 12 34", "63 C0");
    EXPECT_EQ(Change("abcd", "1234"), QAV_E_PIN_WRONG);
    EXPECT_EQ(tries, 0u);
}

// Unlike authentication, the PIN pad's change names the PIN refusals.
TEST_F(ZelAuthTest, PinPadChangeNamesThePinRefusals) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"80 05", QAV_E_PIN_NOT_ACCEPTED},
        {"6D 00", QAV_E_PIN_NOT_ACCEPTED},
        {"80 25", QAV_E_PIN_REFUSED},
        {"80 26", QAV_E_PIN_LENGTH},
        {"6A 88", 0xE0186A88u},
    };
    for (const auto& [status, result] : cases) {
        reader.Expect("F0 F2 00 01 00", status);
        EXPECT_EQ(card.ChangePIN(0, nullptr, 0, nullptr, 0, &tries, 1), result) << status;
    }
    EXPECT_EQ(tries, kUnset);
}

}  // namespace
}  // namespace qav
