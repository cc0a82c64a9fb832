// The seal card's authentication, key, cipher and public-key commands: the
// exact commands, the piece boundaries, the answers refused, and the order
// of the argument checks.
#include <gtest/gtest.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include "card/seal/card_seal.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Bytes;
using test::Command;
using test::Counting;
using test::Hex;
using test::Join;

constexpr uint32_t kUnset = 0xAAAAAAAA;

// The challenge inverted; a non-zero user1 is returned as the failure.
uint32_t QAV_CALLBACK Cryptogram(const uint8_t* challenge, uint32_t length, uint8_t* out,
                                 uint32_t* outLength, uintptr_t user1, uintptr_t) {
    if (user1 != 0) return static_cast<uint32_t>(user1);
    EXPECT_EQ(*outLength, 255u);
    for (uint32_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(~challenge[i]);
    *outLength = length;
    return QAV_OK;
}

class SealKeyCommandsTest : public ::testing::Test {
protected:
    std::vector<uint8_t> Out() const {
        return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(outLength)};
    }
    uint32_t Cipher(uint32_t direction, uint32_t operation, const std::vector<uint8_t>& data,
                    const uint8_t* iv = nullptr, const uint8_t* key = nullptr) {
        return card.CipherData(0, direction, operation, iv, 16, key, 16, key != nullptr ? 1 : 0,
                               data.data(), static_cast<uint32_t>(data.size()), out.data(),
                               &outLength, 0);
    }
    uint32_t Session(uint32_t direction, uint32_t keyIndex, const std::vector<uint8_t>& input,
                     const uint8_t* iv = nullptr) {
        return card.SessionKeyCipher(direction, keyIndex, iv != nullptr ? 1 : 0, iv, 16,
                                     input.data(), static_cast<uint32_t>(input.size()), out.data(),
                                     &outLength, 0);
    }
    uint32_t Export(uint32_t kind, uint32_t algorithm, uint32_t part, bool withFirst = true) {
        return card.ExportPublicKey(kind, 0x2F01, algorithm, 0, 0, part, out.data(), &outLength,
                                    withFirst ? first.data() : nullptr, &firstLength, 0);
    }

    test::ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    std::vector<uint8_t> out = std::vector<uint8_t>(512, 0);
    uint32_t outLength = 512;
    std::vector<uint8_t> first = std::vector<uint8_t>(16, 0);
    uint32_t firstLength = 16;
    uint32_t tries = kUnset;
    const std::vector<uint8_t> sixteen = Counting(16, 0xA0);
};

TEST_F(SealKeyCommandsTest, ExternalAuthSendsTheCryptogramAndCountsTries) {
    const struct {
        const char* status;
        uint32_t rc;
        uint32_t tries;
    } cases[] = {{"90 00", QAV_OK, kUnset},
                 {"63 C1", QAV_E_PIN_WRONG, 1},
                 {"69 83", QAV_E_PIN_BLOCKED, 0},
                 {"6A 88", 0xE0186A88u, kUnset}};
    for (const auto& c : cases) {
        reader.Expect("00 84 00 00 04", "01 02 03 04 90 00")
            .Expect("00 82 00 07 04 FE FD FC FB", c.status);
        tries = kUnset;
        EXPECT_EQ(card.ExternalAuth(7, 4, Cryptogram, &tries, 0, 0), c.rc) << c.status;
        EXPECT_EQ(tries, c.tries) << c.status;
    }
    // The caller's failure comes back as it is, and the command stays unsent.
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    EXPECT_EQ(card.ExternalAuth(7, 8, Cryptogram, &tries, 0x1234, 0), 0x1234u);
}

TEST_F(SealKeyCommandsTest, FixedLengthCommandsAndTheirAnswers) {
    const std::vector<uint8_t> key = Counting(8, 0x30), data32 = Counting(32, 0x50);
    uint8_t* o = out.data();
    uint32_t* n = &outLength;
    const std::string auth = Command("00 88 00 05", sixteen);
    reader.Expect(auth, Answer(Counting(16, 1)))
        .Expect(auth, Answer(Counting(15)))
        .Expect(Command("80 1A 07 02", key), "90 00")
        .Expect("80 2A 26 01 10", Answer(Counting(16, 2)))
        .Expect("80 2A 1B 01 10", Answer(Counting(17)))
        .Expect(Command("80 3A 1B 02", data32), "01 90 00")
        .Expect("80 3A E6 01 01", "00 90 00")
        .Expect("80 3A 06 01 01", "90 00")
        .Expect("80 D8 00 0E 10", Answer(Counting(16, 3)))
        .Expect("80 D8 00 02 10", Answer(Counting(17)));
    const std::vector<uint8_t> none;
    const struct {
        uint32_t rc;
        uint32_t expected;
        std::vector<uint8_t> produced;  // out as the call left it
        std::vector<uint8_t> wanted;
    } cases[] = {
        {card.InternalAuth(5, sixteen.data(), 16, o, n, 0), QAV_OK, Out(), Counting(16, 1)},
        {card.InternalAuth(5, sixteen.data(), 16, o, n, 0), QAV_E_UNEXPECTED_DATA, none, none},
        {card.DeliveryKey(7, 2, key.data(), 8, 0), QAV_OK, none, none},
        {card.GenerateToken1(0x26, 1, o, n, 0), QAV_OK, Out(), Counting(16, 2)},
        {card.GenerateToken1(0x1B, 1, o, n, 0), QAV_E_UNEXPECTED_DATA, none, none},
        {card.GenerateSK(0x1B, 2, data32.data(), 32, 0), QAV_OK, none, none},
        {card.GenerateSK(0xE6, 1, nullptr, 0, 0), QAV_E_NOT_FOUND, none, none},
        {card.GenerateSK(6, 1, nullptr, 0, 0), QAV_E_UNEXPECTED_DATA, none, none},
        {card.ExportAppAuthKey(14, o, n, 0), QAV_OK, Out(), Counting(16, 3)},
        // Le asked for 16; 17 no longer fit the 16 bytes the caller offered.
        {card.ExportAppAuthKey(2, o, n, 0), QAV_E_BUFFER_TOO_SMALL, none, none},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(cases[i].rc, cases[i].expected) << i;
        EXPECT_EQ(cases[i].produced, cases[i].wanted) << i;
    }
}

TEST_F(SealKeyCommandsTest, CipherDataPiecesAndTheirP2) {
    const std::vector<uint8_t> one = Counting(224), over = Counting(240);
    reader.Expect(Command("80 FA 00 40", one), Answer(Counting(224, 9)))
        .Expect(Command("80 FA 01 00", Counting(224)), Answer(Counting(224, 7)))
        .Expect(Command("80 FA 03 00", Counting(16, 224)), Answer(Counting(16, 1)));
    EXPECT_EQ(Cipher(0, 0, one), QAV_OK);
    EXPECT_EQ(Out(), Counting(224, 9));
    outLength = 512;
    EXPECT_EQ(Cipher(1, 0, over), QAV_OK);
    EXPECT_EQ(Out(), Join({Counting(224, 7), Counting(16, 1)}));

    // IV and key ahead of 224 bytes would need 256: the first piece shrinks
    // to 208 and the MAC is the last answer.
    const std::vector<uint8_t> key = Counting(16, 0xC0);
    reader.Expect(Command("80 FA 01 E1", Join({sixteen, key, Counting(208)})), "90 00")
        .Expect(Command("80 FA 03 E1", Counting(16, 208)), "11 22 33 44 90 00");
    outLength = 4;
    EXPECT_EQ(Cipher(0, 1, one, sixteen.data(), key.data()), QAV_OK);
    EXPECT_EQ(Hex(Out()), "11 22 33 44");

    // Answers that overrun the output, or leave it short.
    const std::string shortOne = Command("80 FA 00 40", Counting(16));
    for (const size_t length : {size_t{17}, size_t{15}}) {
        reader.Expect(shortOne, Answer(Counting(length)));
        outLength = 512;
        EXPECT_EQ(Cipher(0, 0, Counting(16)), QAV_E_UNEXPECTED_DATA) << length;
    }
}

TEST_F(SealKeyCommandsTest, SessionKeyCipherPiecesPrefixAndLe) {
    const std::vector<uint8_t> one = Counting(208), over = Counting(209);
    reader
        .Expect(Command("80 FA 00 C0", Join({Bytes("00 00 00 02"), one})) + " 00",
                Answer(Counting(208, 5)))
        .Expect(Command("80 FA 01 01", Join({Bytes("00 00 00 06"), sixteen, one})),
                Answer(Counting(208, 3)))
        .Expect("80 FA 03 00 01 D0 00", Answer(Bytes("EE")));
    EXPECT_EQ(Session(1, 2, one), QAV_OK);
    EXPECT_EQ(Out(), Counting(208, 5));
    outLength = 209;
    EXPECT_EQ(Session(0, 6, over, sixteen.data()), QAV_OK);
    EXPECT_EQ(Out(), Join({Counting(208, 3), Bytes("EE")}));

    // Each piece's answer is as long as the piece.
    reader.Expect(Command("80 FA 01 40", Join({Bytes("00 00 00 01"), one})), Answer(Counting(207)));
    EXPECT_EQ(Session(0, 1, over), QAV_E_UNEXPECTED_DATA);
}

TEST_F(SealKeyCommandsTest, ExportPublicKeyInTwoSteps) {
    reader.Expect("80 C9 60 00 04 C0 02 2F 01 00", "C1 03 01 04 00 90 00")
        .Expect("80 C9 60 80 00", "C3 03 AA BB CC C9 04 00 01 00 01 90 00")
        .Expect("80 C9 C0 01 04 C0 02 2F 01 00", "C1 01 02 90 00")
        .Expect("80 C9 C0 81 00", Answer(Join({Bytes("CA 40"), Counting(64)})))
        .Expect("80 C9 40 00 04 C0 02 2F 01 00", "C1 02 0A 0B 90 00");
    EXPECT_EQ(Export(0, 0, 1), QAV_OK);
    EXPECT_EQ(Hex(first.data(), firstLength), "01 04 00");
    EXPECT_EQ(Hex(Out()), "AA BB CC 00 01 00 01");
    outLength = 64;
    EXPECT_EQ(Export(1, 1, 1), QAV_OK);
    EXPECT_EQ(Out(), Counting(64));
    // Without a buffer for the first answer only its size comes back.
    EXPECT_EQ(Export(1, 0, 0, false), QAV_OK);
    EXPECT_EQ(firstLength, 2u);
}

TEST_F(SealKeyCommandsTest, ExportPublicKeyRefusesOtherAnswerShapes) {
    const struct {
        uint32_t algorithm;
        const char* first;
        const char* second;  // null: not sent
    } cases[] = {{0, "", nullptr},
                 {0, "C3 01 00", nullptr},
                 {0, "C1 05 00", nullptr},
                 {0, "C1 00", "C9 01 00 C3 01 00"},
                 {0, "C1 00", "C3 01 00 C9 01 00 C1 00"},
                 {1, "C1 00", ""},
                 {1, "C1 00", "CA 01 00 CA 01 00"}};
    for (const auto& c : cases) {
        const std::string p1 = c.algorithm == 1 ? "E0" : "60";
        reader.Expect("80 C9 " + p1 + " 00 04 C0 02 2F 01 00", Answer(Bytes(c.first)));
        if (c.second != nullptr) reader.Expect("80 C9 " + p1 + " 80 00", Answer(Bytes(c.second)));
        EXPECT_EQ(Export(0, c.algorithm, 0), QAV_E_UNEXPECTED_DATA) << c.first;
    }
}

TEST_F(SealKeyCommandsTest, ChecksArgumentsInOrderAndSendsNothing) {
    const uint8_t* d = sixteen.data();
    uint8_t* o = out.data();
    uint32_t* n = &outLength;
    constexpr uint32_t kNull = QAV_E_NULL_POINTER, kLength = QAV_E_BAD_LENGTH;
    const uint32_t results[][2] = {
        {card.ExternalAuth(256, 0, nullptr, nullptr, 0, 0), kNull},
        {card.ExternalAuth(255, 0, nullptr, nullptr, 0, 0), kLength},
        {card.ExternalAuth(1, 4, Cryptogram, nullptr, 0, 0), kNull},
        {card.ExternalAuth(1, 6, Cryptogram, &tries, 0, 0), kLength},
        {card.InternalAuth(-1, nullptr, 15, o, nullptr, 0), kNull},
        {card.InternalAuth(-1, d, 15, o, nullptr, 0), kLength},
        {card.InternalAuth(-1, d, 16, o, nullptr, 0), kNull},
        {card.InternalAuth(256, d, 16, nullptr, n, 0), QAV_E_ID_TOO_LARGE},
        {card.DeliveryKey(256, 256, nullptr, 12, 0), QAV_E_BAD_KEY},
        {card.DeliveryKey(0, 256, nullptr, 12, 0), QAV_E_ID_TOO_LARGE},
        {card.DeliveryKey(0, 0, nullptr, 12, 0), QAV_OK},
        {card.DeliveryKey(0, 0, d, 12, 0), kLength},
        {card.CipherData(1, 2, 1, d, 0, nullptr, 0, 0, nullptr, 20, o, nullptr, 0),
         QAV_E_BAD_ALGORITHM},
        {card.CipherData(0, 2, 1, d, 0, nullptr, 0, 0, nullptr, 20, o, nullptr, 0), kNull},
        {card.CipherData(0, 1, 1, d, 0, nullptr, 0, 0, nullptr, 20, o, nullptr, 0),
         QAV_E_BAD_CIPHER_MODE},
        {card.CipherData(0, 1, 0, d, 0, nullptr, 0, 2, nullptr, 20, o, nullptr, 0),
         QAV_E_BAD_CIPHER_MODE},
        {card.CipherData(0, 1, 1, d, 0, nullptr, 0, 1, nullptr, 20, o, nullptr, 0), kNull},
        {card.CipherData(0, 1, 1, d, 0, d, 8, 1, nullptr, 20, o, nullptr, 0), kLength},
        {card.CipherData(0, 1, 1, d, 0, d, 16, 1, d, 20, o, nullptr, 0), kNull},
        {card.CipherData(0, 1, 1, d, 0, d, 16, 1, d, 20, o, n, 0), kLength},
        {card.CipherData(0, 1, 1, d, 0, d, 16, 1, d, 16, o, n, 0), kLength},
        {card.CipherData(0, 1, 1, d, 17, d, 16, 1, d, 16, o, n, 0), kLength},
        {card.CipherData(0, 1, 2, nullptr, 0, d, 16, 1, d, 16, o, n, 0), kNull},
        {card.GenerateToken1(0x09, 256, o, nullptr, 0), QAV_E_BAD_KEY},
        {card.GenerateToken1(0x07, 256, o, nullptr, 0), QAV_E_ID_TOO_LARGE},
        {card.GenerateToken1(0x08, 0, o, nullptr, 0), kNull},
        {card.GenerateSK(0x19, 0, d, 31, 0), kLength},
        {card.ExportAppAuthKey(15, o, nullptr, 0), kNull},
        {card.ExportAppAuthKey(15, o, n, 0), QAV_E_KEY_INDEX},
        {card.SessionKeyCipher(2, 300, 2, nullptr, 0, nullptr, 0, o, nullptr, 0),
         QAV_E_BAD_SELECTOR},
        {card.SessionKeyCipher(1, 300, 2, nullptr, 0, nullptr, 0, o, nullptr, 0),
         QAV_E_BAD_CIPHER_MODE},
        {card.SessionKeyCipher(1, 300, 1, nullptr, 0, nullptr, 0, o, nullptr, 0), kNull},
        {card.SessionKeyCipher(1, 300, 1, d, 0, nullptr, 0, o, nullptr, 0), kLength},
        {card.SessionKeyCipher(1, 300, 1, d, 17, nullptr, 0, o, nullptr, 0), kLength},
        {card.SessionKeyCipher(1, 300, 1, d, 16, d, 0, o, nullptr, 0), kNull},
        {card.SessionKeyCipher(1, 300, 1, d, 16, d, 0, o, n, 0), QAV_E_KEY_INDEX},
        {card.SessionKeyCipher(1, 255, 1, d, 16, d, 0, o, n, 0), kLength},
        {card.ExportPublicKey(2, -1, 2, 0, 0, 2, o, nullptr, o, nullptr, 0), QAV_E_BAD_SELECTOR},
        {card.ExportPublicKey(1, 0x10000, 2, 0, 0, 2, o, nullptr, o, nullptr, 0),
         QAV_E_ID_TOO_LARGE},
        {card.ExportPublicKey(1, 0xFFFF, 2, 0, 0, 0, o, nullptr, o, nullptr, 0),
         QAV_E_BAD_ALGORITHM},
        {card.ExportPublicKey(1, 0xFFFF, 1, 0, 0, 2, o, nullptr, o, nullptr, 0),
         QAV_E_BAD_ALGORITHM},
        {card.ExportPublicKey(1, 0xFFFF, 1, 0, 0, 1, o, n, o, nullptr, 0), kNull},
    };
    for (size_t i = 0; i < std::size(results); ++i) EXPECT_EQ(results[i][0], results[i][1]) << i;
    EXPECT_EQ(outLength, 512u);

    // Size queries and short buffers: the needed size, nothing sent.
    outLength = 8;
    const uint32_t sized[][4] = {
        {card.InternalAuth(0, d, 16, nullptr, n, 0), outLength, QAV_OK, 16},
        {card.CipherData(0, 1, 1, d, 16, d, 16, 1, d, 16, nullptr, n, 0), outLength, QAV_OK, 4},
        {card.CipherData(0, 1, 0, nullptr, 0, d, 16, 1, d, 32, o, n, 0), outLength,
         QAV_E_BUFFER_TOO_SMALL, 32},
        {card.SessionKeyCipher(1, 6, 0, nullptr, 0, d, 9, nullptr, n, 0), outLength, QAV_OK, 9},
        {card.SessionKeyCipher(1, 6, 0, nullptr, 0, d, 10, o, n, 0), outLength,
         QAV_E_BUFFER_TOO_SMALL, 10},
    };
    for (size_t i = 0; i < std::size(sized); ++i) {
        EXPECT_EQ(sized[i][0], sized[i][2]) << i;
        EXPECT_EQ(sized[i][1], sized[i][3]) << i;
    }
    EXPECT_EQ(reader.Sent(), 0u);
}

}  // namespace
}  // namespace qav
