// Seal data loading and seal signing on the seal card: the requests of each
// mode, the checks on the card's answers, and the order of argument checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/seal/card_seal.h"
#include "card/seal/seal_sign_tlv.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Bytes;
using test::Command;
using test::Counting;
using test::Join;
using test::ScriptedReader;

constexpr uint32_t kUnset = 0xAAAAAAAA;

class SealSignTest : public ::testing::Test {
protected:
    uint32_t Sign(const char* text = nullptr) {
        return card.SealSign(0x2101, 0, 1, hash.data(), 32, text, signature.data(), &outLength,
                             nullptr, 0);
    }
    uint32_t Lookup(int32_t picture) {
        return card.SealSign(0, picture, 2, nullptr, 0, nullptr, nullptr, &outLength, &location, 0);
    }
    // The signature request for key 2101 and the hash, then `tail`.
    std::string SignCommand(const std::vector<uint8_t>& tail = {}) const {
        return Command("80 CD 00 01", Join({Bytes("C0 02 21 01 C3 20"), hash, tail}));
    }

    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    std::vector<uint8_t> hash = Counting(32, 0xA0);
    std::vector<uint8_t> signature = std::vector<uint8_t>(64, 0);
    uint32_t outLength = 64;
    uint32_t location = kUnset;
};

TEST_F(SealSignTest, SignatureRequestCarriesKeyHashAndUpToSixtyFourCharacters) {
    const std::string answer = Answer(Join({Bytes("C1 40"), Counting(64, 1)}));
    const std::string text(64, 'x');
    reader.Expect(SignCommand(), answer)
        .Expect(SignCommand(Bytes("C7 03 61 62 63")), answer)
        .Expect(SignCommand(Join({Bytes("C7 40"), std::vector<uint8_t>(64, 'x')})), answer)
        .Expect(SignCommand(Bytes("C7 00")), answer);
    EXPECT_EQ(Sign(), QAV_OK);
    EXPECT_EQ(signature, Counting(64, 1));
    EXPECT_EQ(outLength, 64u);
    EXPECT_EQ(Sign("abc"), QAV_OK);
    EXPECT_EQ(Sign(text.c_str()), QAV_OK);
    EXPECT_EQ(Sign(""), QAV_OK);
}

TEST_F(SealSignTest, SignatureAnswerMustOpenWithA64ByteC1) {
    const std::vector<uint8_t> good = Join({Bytes("C1 40"), Counting(64)});
    const std::vector<uint8_t> bad[] = {
        {},                                           // nothing
        Join({Bytes("C3 40"), Counting(64)}),         // wrong tag
        Join({Bytes("C1 3F"), Counting(63)}),         // wrong length
        Join({Bytes("C1 41"), Counting(65)}),         // wrong length
        Join({Bytes("C1 40"), Counting(40)}),         // value cut short
        Join({Bytes("CA 02 00 01"), good}),           // not first
        Join({good, Bytes("C7")}),                    // broken tail
        Join({Bytes("C1 85 00 00 00 00 40"), good}),  // length field too wide
    };
    size_t index = 0;
    for (const std::vector<uint8_t>& answer : bad) {
        reader.Expect(SignCommand(), Answer(answer));
        EXPECT_EQ(Sign(), QAV_E_UNEXPECTED_DATA) << index++;
    }
    EXPECT_EQ(signature, std::vector<uint8_t>(64, 0));
    EXPECT_EQ(outLength, 64u);

    // The long form of 64 is still 64 bytes; later elements are ignored.
    reader.Expect(SignCommand(),
                  Answer(Join({Bytes("C1 81 40"), Counting(64, 9), Bytes("9F 01 00")})));
    EXPECT_EQ(Sign(), QAV_OK);
    EXPECT_EQ(signature, Counting(64, 9));
}

TEST_F(SealSignTest, SignatureHandOverFollowsTheBufferRules) {
    const std::string answer = Answer(Join({Bytes("C1 40"), Counting(64)}));
    reader.Expect(SignCommand(), answer)
        .Expect(SignCommand(), answer)
        .Expect(SignCommand(), "61 42")
        .Expect("00 C0 00 00 42", answer)
        .Expect(SignCommand(), "69 82");
    outLength = 1;
    EXPECT_EQ(
        card.SealSign(0x2101, 0, 1, hash.data(), 32, nullptr, nullptr, &outLength, nullptr, 0),
        QAV_OK);
    EXPECT_EQ(outLength, 64u);

    outLength = 63;
    EXPECT_EQ(Sign(), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(outLength, 63u);
    EXPECT_EQ(signature, std::vector<uint8_t>(64, 0));

    outLength = 100;
    EXPECT_EQ(Sign(), QAV_OK);
    EXPECT_EQ(outLength, 64u);
    EXPECT_EQ(signature, Counting(64));

    EXPECT_EQ(Sign(), 0xE0186982u);
}

TEST_F(SealSignTest, WatermarkRequestNamesKeyPictureHashAndText) {
    const std::vector<uint8_t> request =
        Join({Bytes("C0 02 21 01 C1 02 00 07 C3 20"), hash, Bytes("C7 02 4F 4B")});
    reader.Expect(Command("80 CD 00 00", request), Answer(Bytes("CA 02 0F 01 CB 04 00 01 00 00")));
    EXPECT_EQ(card.SealSign(0x2101, 7, 0, hash.data(), 32, "OK", nullptr, &outLength, &location, 0),
              QAV_OK);
    EXPECT_EQ(location, 0x0F01u);
    EXPECT_EQ(outLength, 0x10000u);
}

TEST_F(SealSignTest, PictureLookupSendsOnlyThePicture) {
    reader.Expect("80 CD 00 02 04 C1 02 FF FF", Answer(Bytes("CA 02 0F 02 CB 01 C8")))
        .Expect("80 CD 00 02 04 C1 02 00 00", Answer(Bytes("CA 02 0F 03 CB 02 01 2C 9F 00")))
        .Expect("80 CD 00 02 04 C1 02 00 01", "6A 88");
    EXPECT_EQ(Lookup(0xFFFF), QAV_OK);
    EXPECT_EQ(location, 0x0F02u);
    EXPECT_EQ(outLength, 200u);
    EXPECT_EQ(Lookup(0), QAV_OK);
    EXPECT_EQ(location, 0x0F03u);
    EXPECT_EQ(outLength, 300u);
    EXPECT_EQ(Lookup(1), 0xE0186A88u);
}

TEST_F(SealSignTest, PictureAnswerMustHoldFileThenSize) {
    const std::vector<uint8_t> bad[] = {
        {},
        Bytes("CA 02 0F 01"),                       // no size
        Bytes("CA 02 0F 01 CB 05 01 00 00 00 00"),  // size wider than 32 bits
        Bytes("CA 02 0F 01 CB 00"),                 // empty size
        Bytes("CA 01 0F CB 01 10"),                 // short file identifier
        Bytes("CA 03 00 0F 01 CB 01 10"),           // long file identifier
        Bytes("CB 01 10 CA 02 0F 01"),              // wrong order
        Bytes("CA 02 0F 01 C1 01 10"),              // wrong second tag
        Bytes("CA 02 0F 01 CB 04 00 01"),           // size cut short
    };
    size_t index = 0;
    for (const std::vector<uint8_t>& answer : bad) {
        reader.Expect("80 CD 00 02 04 C1 02 00 05", Answer(answer));
        outLength = 77;
        EXPECT_EQ(Lookup(5), QAV_E_UNEXPECTED_DATA) << index++;
        EXPECT_EQ(outLength, 77u);
        EXPECT_EQ(location, kUnset);
    }
}

TEST_F(SealSignTest, SignChecksArgumentsInOrderAndSendsNothing) {
    const std::string longText(65, 'x');
    uint32_t zero = 0;
    uint8_t* out = signature.data();
    EXPECT_EQ(card.SealSign(0, 0, 3, nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0),
              QAV_E_BAD_SELECTOR);
    for (const uint32_t mode : {0u, 1u}) {
        EXPECT_EQ(card.SealSign(1, 1, mode, nullptr, 32, nullptr, out, nullptr, nullptr, 0),
                  QAV_E_NULL_POINTER);
        EXPECT_EQ(card.SealSign(1, 1, mode, hash.data(), 31, nullptr, out, nullptr, nullptr, 0),
                  QAV_E_BAD_LENGTH);
        EXPECT_EQ(
            card.SealSign(1, 1, mode, hash.data(), 32, longText.c_str(), out, nullptr, nullptr, 0),
            QAV_E_BAD_LENGTH);
        EXPECT_EQ(card.SealSign(1, 1, mode, hash.data(), 32, nullptr, out, nullptr, nullptr, 0),
                  QAV_E_NULL_POINTER);
        EXPECT_EQ(card.SealSign(1, 1, mode, hash.data(), 32, nullptr, out, &zero, nullptr, 0),
                  QAV_E_NULL_POINTER);
        EXPECT_EQ(card.SealSign(-1, 1, mode, hash.data(), 32, nullptr, out, &outLength,
                                mode == 0 ? &location : nullptr, 0),
                  QAV_E_ID_TOO_LARGE);
        EXPECT_EQ(card.SealSign(0x10000, 1, mode, hash.data(), 32, nullptr, out, &outLength,
                                mode == 0 ? &location : nullptr, 0),
                  QAV_E_ID_TOO_LARGE);
    }
    EXPECT_EQ(card.SealSign(1, 1, 0, hash.data(), 32, nullptr, out, &outLength, nullptr, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SealSign(1, 0x10000, 0, hash.data(), 32, nullptr, out, &outLength, &location, 0),
              QAV_E_ID_TOO_LARGE);
    // The lookup needs neither hash nor key, but a place for the location.
    EXPECT_EQ(Lookup(-1), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SealSign(0, 1, 2, nullptr, 0, nullptr, nullptr, &outLength, nullptr, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_EQ(location, kUnset);
}

TEST_F(SealSignTest, SealWriteRefusesADigestOfTheWrongSizeAndStopsAtAFailingPiece) {
    const std::vector<uint8_t> data = Counting(600);
    reader.Expect("80 CC 00 00 01 00", "90 00")
        .Expect("80 CC 00 00 00", Answer(Counting(31)))
        .Expect("80 CC 00 00 01 00", "90 00")
        .Expect("80 CC 00 00 00", Answer(Counting(33)))
        .Expect(Command("80 CC 00 00", {data.begin(), data.begin() + 250}), "90 00")
        .Expect(Command("80 CC 00 FA", {data.begin() + 250, data.begin() + 500}), "6A 84");
    std::vector<uint8_t> digest(32, 0xEE);
    uint32_t digestLength = 32;
    EXPECT_EQ(card.SealWrite(data.data(), 1, digest.data(), &digestLength, 0),
              QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(card.SealWrite(data.data(), 1, digest.data(), &digestLength, 0),
              QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(card.SealWrite(data.data(), 600, digest.data(), &digestLength, 0), 0xE0186A84u);
    EXPECT_EQ(digest, std::vector<uint8_t>(32, 0xEE));
}

TEST_F(SealSignTest, SealWriteChecksArgumentsInOrderAndSendsNothing) {
    const std::vector<uint8_t> data(0x10001, 0x5A);
    uint8_t digest[32];
    uint32_t digestLength = 31;
    EXPECT_EQ(card.SealWrite(nullptr, 0, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SealWrite(data.data(), 0, nullptr, nullptr, 0), QAV_E_BAD_LENGTH);
    // Positions are two bytes: a piece past 0xFFFF would land at the start.
    EXPECT_EQ(card.SealWrite(data.data(), 0x10001, digest, &digestLength, 0), QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.SealWrite(data.data(), 1, digest, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.SealWrite(data.data(), 1, digest, &digestLength, 0), QAV_E_BUFFER_TOO_SMALL);
    EXPECT_EQ(digestLength, 32u);
    digestLength = 0;
    EXPECT_EQ(card.SealWrite(data.data(), 1, nullptr, &digestLength, 0), QAV_OK);
    EXPECT_EQ(digestLength, 32u);
    EXPECT_EQ(reader.Sent(), 0u);
}

}  // namespace
}  // namespace qav
