// The shared key commands refuse bad arguments in their order, and answer
// size queries and short buffers, before anything reaches the card: the
// scripted reader holds no step, so any command sent fails the test.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "card/identity/card_zel.h"
#include "card/seal/card_seal.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::LoggedMac;
using test::ScriptedReader;

constexpr uint32_t kNull = QAV_E_NULL_POINTER;
constexpr uint32_t kLen = QAV_E_BAD_LENGTH;
constexpr uint32_t kAlg = QAV_E_BAD_ALGORITHM;
constexpr uint32_t kSel = QAV_E_BAD_SELECTOR;
constexpr uint32_t kFid = QAV_E_ID_TOO_LARGE;
constexpr uint32_t kIdx = QAV_E_KEY_INDEX;
constexpr uint32_t kSmall = QAV_E_BUFFER_TOO_SMALL;
constexpr uint32_t kBig = 0x10000;
constexpr uint32_t kUntouched = 0xFFFFFFFFu;

const std::vector<uint8_t> kBytes(300, 0x5A);
const uint8_t* const kD = kBytes.data();
uint8_t out[300];

// The call on card c, where n is a length in/out that starts at lengthIn
// and must hold lengthOut afterwards.
struct Check {
    const char* call;
    std::function<uint32_t(CCardKeyCommands& c, uint32_t* n)> run;
    uint32_t rc;
    uint32_t lengthIn = kUntouched;
    uint32_t lengthOut = kUntouched;
};
#define ROW(call, ...)                                                           \
    {                                                                            \
#call, [](CCardKeyCommands & c,                                          \
                  [[maybe_unused]] uint32_t * n) { return c.call; }, __VA_ARGS__ \
    }

const Check kSharedChecks[] = {
    ROW(ExportSessionKey(5, 2, 3, kBig, 0, out, nullptr, 0), kNull),
    ROW(ExportSessionKey(0, 2, 3, kBig, 0, out, nullptr, 0), kSel),
    ROW(ExportSessionKey(0, 1, 3, kBig, 0, out, nullptr, 0), kAlg),
    ROW(ExportSessionKey(0, 1, 1, kBig, 0, out, nullptr, 0), kFid),
    ROW(ImportSessionKey(3, 0, 3, 2, kBig, 0, nullptr, 0, nullptr, 0), kSel),
    ROW(ImportSessionKey(0, 0, 3, 2, kBig, 0, kD, 8, nullptr, 0), kAlg),
    ROW(ImportSessionKey(0, 1, 1, 2, kBig, 0, kD, 8, nullptr, 0), kNull),
    ROW(ImportSessionKey(2, 1, 0, 0, kBig, 0, nullptr, 0, nullptr, 0), kFid),
    ROW(ImportSessionKey(0, 1, 1, 1, 1, 3, nullptr, 0, nullptr, 0), kAlg),
    ROW(ImportSessionKey(0, 0, 1, 1, 0, 0, kD, 8, nullptr, 0), kLen),
    ROW(ImportSessionKey(0, 1, 1, 1, 1, 1, kD, 255, nullptr, 0), kLen),
    ROW(ImportSessionKey(2, 0, 0, 0, 0, 0, nullptr, 0, n, 0), kIdx, 5, 5),
    ROW(CardHash(3, 0, nullptr, 0, kBig, out, nullptr, 0), kSel),
    ROW(CardHash(0, 4, nullptr, 0, kBig, out, nullptr, 0), kAlg),
    ROW(CardHash(2, 1, nullptr, 0, kBig, out, nullptr, 0), kNull),
    ROW(CardHash(1, 1, nullptr, 0, kBig, out, nullptr, 0), kFid),
    ROW(GenRSAKeyPair(1024, 1, kBig, out, nullptr, 0), kFid),
    ROW(GenRSAKeyPair(1024, 1, 0, out, n, 0), kSmall, 100, 132),
    ROW(GenRSAKeyPair(2048, 1, 0, nullptr, n, 0), QAV_OK, 0, 260),
    ROW(RSAPublicKeyCalc(1024, 1, nullptr, 128, out, n, 0), kNull),
    ROW(RSAPrivateKeyCalc(1280, 1, kD, 128, out, n, 0), kLen),
    ROW(RSAPrivateKeyCalc(1280, 1, kD, 160, out, n, 0), kSmall, 159, 160),
    ROW(WriteRSAKey(1000, 2, 7, kBig, 5, 2, nullptr, 0, 8, nullptr, 0, 0), kSel),
    ROW(WriteRSAKey(1024, 1, 6, 1, 5, 2, nullptr, 0, 8, nullptr, 0, 0), kIdx),
    ROW(WriteRSAKey(1024, 0, 6, 1, 5, 1, kD, 128, 8, nullptr, 0, 0), kLen),
    ROW(WriteRSAKey(1024, 0, 6, 1, 5, 1, kD, 64, 8, nullptr, 0, 0), kNull),
    ROW(WriteRSAKey(1024, 0, 1, 1, 0, 0, kD, 4, 5, LoggedMac, 0, 0), kLen),
    ROW(GenSM2KeyPair(1, 1, 0, out, n, 0), kSmall, 63, 64),
    ROW(SM2PublicKeyCalc(0, 1, kD, 95, out, nullptr, 0), kLen),
    ROW(SM2PublicKeyCalc(1, 1, kD, 248, out, nullptr, 0), kLen),
    ROW(SM2PublicKeyCalc(1, 1, kD, 247, out, nullptr, 0), kNull),
    ROW(SM2PrivateKeyCalc(0, 1, kD, 31, out, n, 0), kLen),
    ROW(WriteSM2Key(1, 2, 0, kBig, 5, 2, nullptr, 0, 8, LoggedMac, 0, 0), kLen),
    ROW(WriteSM2Key(1, 1, 1, 1, 5, 2, nullptr, 0, 8, LoggedMac, 0, 0), kIdx),
    ROW(WriteSM2Key(0, 1, 1, 1, 5, 1, kD, 64, 8, LoggedMac, 0, 0), kLen),
    ROW(WriteSM2Key(1, 0, 1, 1, 4, 1, kD, 129, 8, LoggedMac, 0, 0), kLen),
    ROW(VerifyCertData(0, 0, 0, 2, kBig, 0, 0, 2, nullptr, 0, 0), kAlg),
    ROW(VerifyCertData(0, 0, 0, 1, 0, 0, 0, 2, nullptr, 0, 0), kAlg),
    ROW(VerifyCertData(0, 0, 0, 1, 0, 0, 0, 1, kD, kBig, 0), kLen),
};

// The seal card has its own session-key cipher and public-key export.
const Check kIdentityChecks[] = {
    ROW(SessionKeyCipher(2, 5, 2, nullptr, 0, nullptr, 0, out, nullptr, 0), kSel),
    ROW(SessionKeyCipher(1, 4, 2, nullptr, 0, nullptr, 0, out, nullptr, 0), QAV_E_BAD_CIPHER_MODE),
    ROW(SessionKeyCipher(1, 4, 1, kD, 44, nullptr, 0, out, nullptr, 0), kLen),
    ROW(SessionKeyCipher(1, 4, 0, nullptr, 0, kD, 16, out, n, 0), kSmall, 15, 16),
    ROW(ExportPublicKey(3, -1, 2, kBig, 3, 2, out, nullptr, out, nullptr, 0), kSel),
    ROW(ExportPublicKey(2, -1, 2, kBig, 3, 2, out, nullptr, out, nullptr, 0), kFid),
    ROW(ExportPublicKey(2, 1, 1, 1, 2, 2, out, nullptr, out, nullptr, 0), kAlg),
    ROW(ExportPublicKey(2, 1, 1, 1, 2, 1, out, n, out, nullptr, 0), kNull),
};
#undef ROW

template <typename Card, size_t N>
void RunChecks(const Check (&checks)[N]) {
    for (const Check& check : checks) {
        ScriptedReader reader{kProtocolT1};
        Card card{&reader};
        uint32_t length = check.lengthIn;
        EXPECT_EQ(check.run(card, &length), check.rc) << check.call;
        EXPECT_EQ(length, check.lengthOut) << check.call;
        EXPECT_EQ(reader.Sent(), 0u) << check.call;
    }
}

TEST(KeyCommandChecksTest, SharedCommandsCheckInOrderAndSendNothing) {
    RunChecks<CCardSeal>(kSharedChecks);
    RunChecks<CCardZel>(kSharedChecks);
}

TEST(KeyCommandChecksTest, IdentityCipherAndExportCheckInOrderAndSendNothing) {
    RunChecks<CCardZel>(kIdentityChecks);
}

}  // namespace
}  // namespace qav
