// The seal card's file reads and writes in pieces, plain and secured, with
// their progress reports, argument checks and failing pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/seal/card_seal.h"
#include "support/card_callbacks.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Answer;
using test::CallbackLog;
using test::Command;
using test::Counting;
using test::Hex;
using test::LoggedEncrypt;
using test::LoggedMac;
using test::LoggedProgress;
using test::ScriptedReader;

using Percents = std::vector<uint32_t>;

class SealFilesTest : public ::testing::Test {
protected:
    uint32_t Read(uint32_t offset, uint8_t* out, uint32_t* length) {
        return card.ReadBinary(offset, out, length, LoggedProgress, log.User(), 0);
    }
    uint32_t WritePlain(uint32_t offset, const std::vector<uint8_t>& data) {
        return card.UpdateBinary(offset, data.data(), static_cast<uint32_t>(data.size()), 0,
                                 nullptr, nullptr, LoggedProgress, log.User(), 0);
    }
    uint32_t WriteSecured(uint32_t offset, const std::vector<uint8_t>& data,
                          uint32_t challengeLength = 8) {
        return card.UpdateBinary(offset, data.data(), static_cast<uint32_t>(data.size()),
                                 challengeLength, LoggedEncrypt, LoggedMac, LoggedProgress,
                                 log.User(), 0x77);
    }

    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    CallbackLog log;
};

TEST_F(SealFilesTest, ReadReachesTheLastAddressableByte) {
    reader.Expect("00 B0 FF 00 F0", Answer(Counting(240)))
        .Expect("00 B0 FF F0 10", Answer(Counting(16)));
    std::vector<uint8_t> out(256);
    uint32_t length = 256;
    EXPECT_EQ(Read(0xFF00, out.data(), &length), QAV_OK);
    EXPECT_EQ(out[255], 15);
}

TEST_F(SealFilesTest, FailingPieceStopsTheRestWithoutReportingIt) {
    const std::vector<uint8_t> data = Counting(600);
    reader.Expect("00 B0 00 00 F0", Answer(Counting(240)))
        .Expect("00 B0 00 F0 F0", "6A 82")
        .Expect(Command("00 D6 00 00", {data.begin(), data.begin() + 250}), "90 00")
        .Expect(Command("00 D6 00 FA", {data.begin() + 250, data.begin() + 500}), "6A 84");
    std::vector<uint8_t> out(600);
    uint32_t length = 600;
    EXPECT_EQ(Read(0, out.data(), &length), 0xE0186A82u);
    EXPECT_EQ(log.percents, (Percents{0, 40}));
    log.percents.clear();
    EXPECT_EQ(WritePlain(0, data), 0xE0186A84u);
    EXPECT_EQ(log.percents, (Percents{0, 41}));
}

TEST_F(SealFilesTest, ReadPieceOfTheWrongLengthIsRefused) {
    // The caller's length stays as given, so a short piece would pass stale
    // bytes off as file contents; a long one is no better.
    reader.Expect("00 B0 00 00 10", Answer(Counting(15)))
        .Expect("00 B0 00 00 10", Answer(Counting(17)))
        .Expect("00 B0 00 00 10", "6C 0C")
        .Expect("00 B0 00 00 0C", Answer(Counting(12)));
    std::vector<uint8_t> out(16, 0xEE);
    uint32_t length = 16;
    EXPECT_EQ(Read(0, out.data(), &length), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(Read(0, out.data(), &length), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(Read(0, out.data(), &length), QAV_E_UNEXPECTED_DATA);
    EXPECT_EQ(Hex(out.data(), 1), "EE");
}

TEST_F(SealFilesTest, ReadChecksArgumentsInOrderAndSendsNothing) {
    uint8_t out[4];
    uint32_t length = 4;
    uint32_t tooLong = 0x10000;
    uint32_t zero = 0;
    uint32_t pastEnd = 0x101;
    EXPECT_EQ(Read(0x10000, out, nullptr), QAV_E_OFFSET_TOO_LARGE);
    EXPECT_EQ(Read(0, out, nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(Read(0, nullptr, &tooLong), QAV_E_BAD_LENGTH);
    EXPECT_EQ(Read(0xFFFF, out, &zero), QAV_OK);
    EXPECT_EQ(Read(0xFF00, out, &pastEnd), QAV_E_BAD_LENGTH);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.percents.empty());
    EXPECT_EQ(length, 4u);
}

TEST_F(SealFilesTest, PlainWriteGoesInPiecesOf250AtTheirPositions) {
    const std::vector<uint8_t> data = Counting(600);
    reader.Expect(Command("00 D6 10 00", {data.begin(), data.begin() + 250}), "90 00")
        .Expect(Command("00 D6 10 FA", {data.begin() + 250, data.begin() + 500}), "90 00")
        .Expect(Command("00 D6 11 F4", {data.begin() + 500, data.end()}), "90 00");
    EXPECT_EQ(WritePlain(0x1000, data), QAV_OK);
    EXPECT_EQ(log.percents, (Percents{0, 41, 83, 100}));
}

TEST_F(SealFilesTest, SecuredWriteStopsAtAFailingStep) {
    const std::vector<uint8_t> data = Counting(2);
    // A challenge length the card does not take fails at the first piece's
    // GET CHALLENGE, before it is sent.
    EXPECT_EQ(WriteSecured(0, data, 6), QAV_E_BAD_LENGTH);
    EXPECT_EQ(reader.Sent(), 0u);
    reader.Expect("00 84 00 00 08", "69 85");
    EXPECT_EQ(WriteSecured(0, data), 0xE0186985u);
    EXPECT_TRUE(log.plains.empty());

    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    log.encryptResult = 0x1234;
    EXPECT_EQ(WriteSecured(0, data), 0x1234u);
    EXPECT_TRUE(log.macInputs.empty());

    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    log.encryptResult = QAV_OK;
    log.macResult = 0x5678;
    EXPECT_EQ(WriteSecured(0, data), 0x5678u);

    // A cryptogram that cannot share one-byte Lc with its MAC, or that
    // claims more than the room it was given, is never sent.
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    log.macResult = QAV_OK;
    log.claimedLength = 20;  // the room is 3 + 16
    EXPECT_EQ(WriteSecured(0, data), QAV_E_CONVERSION);
    reader.Expect("00 84 00 00 08", "01 02 03 04 05 06 07 08 90 00");
    log.claimedLength = 252;
    EXPECT_EQ(WriteSecured(0, Counting(300)), QAV_E_CONVERSION);
    EXPECT_EQ(log.percents, (Percents{0, 0, 0, 0, 0, 0}));
    // A block beyond the 3-byte plaintext, capped at the 255-byte area.
    EXPECT_EQ(log.rooms, (std::vector<uint32_t>{19, 19, 19, 255}));
    EXPECT_EQ(log.secondUsers, (std::vector<uintptr_t>{0x77, 0x77, 0x77, 0x77}));
}

TEST_F(SealFilesTest, WriteChecksArgumentsInOrderAndSendsNothing) {
    const uint8_t data[4] = {1, 2, 3, 4};
    EXPECT_EQ(card.UpdateBinary(0x10000, nullptr, 4, 0, nullptr, LoggedMac, nullptr, 0, 0),
              QAV_E_OFFSET_TOO_LARGE);
    EXPECT_EQ(card.UpdateBinary(0, nullptr, 4, 8, nullptr, LoggedMac, nullptr, 0, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(card.UpdateBinary(0xFFFE, data, 3, 8, nullptr, LoggedMac, nullptr, 0, 0),
              QAV_E_BAD_LENGTH);
    EXPECT_EQ(card.UpdateBinary(0xFFFC, data, 4, 8, nullptr, LoggedMac, nullptr, 0, 0),
              QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.percents.empty());

    // Nothing to write still reports its start.
    EXPECT_EQ(card.UpdateBinary(0, data, 0, 0, nullptr, nullptr, LoggedProgress, log.User(), 0),
              QAV_OK);
    EXPECT_EQ(
        card.UpdateBinary(0, data, 0, 6, LoggedEncrypt, LoggedMac, LoggedProgress, log.User(), 0),
        QAV_OK);
    EXPECT_EQ(log.percents, (Percents{0, 0}));
    EXPECT_EQ(reader.Sent(), 0u);
}

}  // namespace
}  // namespace qav
