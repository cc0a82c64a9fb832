// The identity card: selection, files in pieces, and the secured block write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/identity/card_zel.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::Bytes;
using test::CallbackLog;
using test::Command;
using test::Counting;
using test::FakeCryptogram;
using test::Hex;
using test::Join;
using test::kFakeMac;
using test::LoggedEncrypt;
using test::LoggedMac;
using test::ScriptedReader;

class ZelCardTest : public ::testing::Test {
protected:
    ScriptedReader reader{kProtocolT1};
    CCardZel card{&reader};
    CallbackLog log;
};

TEST_F(ZelCardTest, SelectsByIdentifierOrName) {
    const std::vector<uint8_t> name = Bytes("A0 00 00 00 03 86 98 07 01");
    reader.Expect("00 A4 00 00 02 3F 00", "6F 02 84 00 90 00")
        .Expect(Command("00 A4 04 00", name), "90 00")
        .Expect("00 A4 00 00 02 EF 05", "6A 82");
    uint32_t untouched = 7;
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0x3F00, nullptr, &untouched, 0), QAV_OK);
    EXPECT_EQ(untouched, 7u);
    EXPECT_EQ(card.SelectFile(1, name.data(), 9, 0, nullptr, nullptr, 0), QAV_OK);
    EXPECT_EQ(card.SelectFile(0, nullptr, 0, 0xEF05, nullptr, nullptr, 0), 0xE0186A82u);
}

// The checks themselves are shared with the seal card and tested there.
TEST_F(ZelCardTest, SelectChecksItsSelectorFirstThenTheSharedChecks) {
    EXPECT_EQ(card.SelectFile(2, nullptr, 0, 0x10000, nullptr, nullptr, 0), QAV_E_BAD_SELECTOR);
    // What was passed is checked before the form: the identifier, then the name.
    EXPECT_EQ(card.SelectFile(1, nullptr, 0, 0x10000, nullptr, nullptr, 0), QAV_E_ID_TOO_LARGE);
    EXPECT_EQ(card.SelectFile(1, nullptr, 5, 0, nullptr, nullptr, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
}

// The piece logic is shared with the seal card and tested there; here only
// that the identity card's own signature reaches it.
TEST_F(ZelCardTest, ReadsAtItsOffsetAndAsksForTheLength) {
    reader.Expect("00 B0 01 00 05", Answer(Counting(5)))
        .Expect("00 B0 00 10 00", "6C 05")
        .Expect("00 B0 00 10 05", Answer(Counting(5)));
    std::vector<uint8_t> out(5);
    uint32_t length = 5;
    EXPECT_EQ(card.ReadBinary(0x0100, out.data(), &length, 0), QAV_OK);
    EXPECT_EQ(out, Counting(5));
    EXPECT_EQ(card.ReadBinary(0x0010, nullptr, &length, 0), QAV_OK);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(card.ReadBinary(0x10000, out.data(), &length, 0), QAV_E_OFFSET_TOO_LARGE);
    EXPECT_EQ(card.UpdateBinary(0x10000, out.data(), 5, 0, nullptr, nullptr, 0, 0),
              QAV_E_OFFSET_TOO_LARGE);
}
TEST_F(ZelCardTest, WritesPlainAndSecuredPieces) {
    const std::vector<uint8_t> data = Counting(260);
    const std::vector<uint8_t> small = Bytes("AA BB");
    reader.Expect(Command("00 D6 00 20", {data.begin(), data.begin() + 250}), "90 00")
        .Expect(Command("00 D6 01 1A", {data.begin() + 250, data.end()}), "90 00")
        .Expect("00 84 00 00 10", Answer(Counting(16, 0xC0)))
        .Expect(Command("04 D6 00 00", Join({FakeCryptogram(Bytes("02 AA BB")), kFakeMac})),
                "90 00");
    EXPECT_EQ(card.UpdateBinary(0x20, data.data(), 260, 0, nullptr, nullptr, 0, 0), QAV_OK);
    EXPECT_EQ(card.UpdateBinary(0, small.data(), 2, 16, LoggedEncrypt, LoggedMac, log.User(), 9),
              QAV_OK);
    EXPECT_EQ(log.challenges, (std::vector<std::string>{Hex(Counting(16, 0xC0))}));
    EXPECT_EQ(log.secondUsers, (std::vector<uintptr_t>{9}));
}

TEST_F(ZelCardTest, SecuredBlockIsNineZeroBytesUnderMac) {
    const std::vector<uint8_t> block = Bytes("09 00 00 00 00 00 00 00 00 00");
    reader.Expect("00 84 00 00 08", Answer(Counting(8, 0x11)))
        .Expect(Command("84 D4 00 00", Join({FakeCryptogram(block), kFakeMac})), "90 00")
        .Expect("00 84 00 00 04", Answer(Counting(4)))
        .Expect(Command("84 D4 00 00", Join({FakeCryptogram(block), kFakeMac})), "69 82");
    EXPECT_EQ(card.WriteSecuredBlock(1, LoggedEncrypt, 8, LoggedMac, log.User(), 3), QAV_OK);
    EXPECT_EQ(card.WriteSecuredBlock(0xFF, LoggedEncrypt, 4, LoggedMac, log.User(), 3),
              0xE0186982u);
    ASSERT_EQ(log.plains.size(), 2u);
    EXPECT_EQ(log.plains[0], block);
    EXPECT_EQ(log.rooms, (std::vector<uint32_t>{26, 26}));
    EXPECT_EQ(log.macInputs.at(0), Hex(Join({Bytes("84 D4 00 00 14"), FakeCryptogram(block)})));
}

TEST_F(ZelCardTest, SecuredBlockChecksFirstAndReturnsCallbackFailures) {
    EXPECT_EQ(card.WriteSecuredBlock(0, LoggedEncrypt, 8, LoggedMac, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.WriteSecuredBlock(1, nullptr, 8, LoggedMac, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.WriteSecuredBlock(1, LoggedEncrypt, 8, nullptr, 0, 0), QAV_E_NULL_POINTER);
    EXPECT_EQ(card.WriteSecuredBlock(1, LoggedEncrypt, 6, LoggedMac, log.User(), 0),
              QAV_E_BAD_LENGTH);
    EXPECT_EQ(reader.Sent(), 0u);

    // Callback failures come back as they are (the secured command is shared
    // with the seal card's writes and tested there).
    reader.Expect("00 84 00 00 08", Answer(Counting(8)));
    log.encryptResult = 0xABCD;
    EXPECT_EQ(card.WriteSecuredBlock(1, LoggedEncrypt, 8, LoggedMac, log.User(), 0), 0xABCDu);
}

}  // namespace
}  // namespace qav
