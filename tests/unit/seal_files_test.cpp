// The seal card's file reads and writes in pieces, plain and secured, with
// their progress reports, argument checks and failing pieces; and its reset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/card_seal.h"
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

TEST_F(SealFilesTest, ReadsInPiecesOf240WithPositionsAndProgress) {
    const std::vector<uint8_t> file = Counting(500, 7);
    reader.Expect("00 B0 01 00 F0", Answer({file.begin(), file.begin() + 240}))
        .Expect("00 B0 01 F0 F0", Answer({file.begin() + 240, file.begin() + 480}))
        .Expect("00 B0 02 E0 14", Answer({file.begin() + 480, file.end()}))
        .Expect("00 B0 FF 00 F0", Answer(Counting(240)))  // up to the last addressable byte
        .Expect("00 B0 FF F0 10", Answer(Counting(16)));
    std::vector<uint8_t> out(500);
    uint32_t length = 500;
    EXPECT_EQ(Read(0x0100, out.data(), &length), QAV_OK);
    EXPECT_EQ(out, file);
    EXPECT_EQ(length, 500u);
    EXPECT_EQ(log.percents, (Percents{0, 48, 96, 100}));
    length = 256;
    out.assign(256, 0);
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

TEST_F(SealFilesTest, LengthQueryAsksWithLeZeroAndKeepsTheLength) {
    reader.Expect("00 B0 01 00 00", "6C 20")
        .Expect("00 B0 01 00 20", Answer(Counting(32)))
        .Expect("00 B0 00 10 00", Answer(Counting(256)))  // a full short answer
        .Expect("00 B0 00 00 00", "6B 00");
    uint32_t length = 1234;
    EXPECT_EQ(Read(0x0100, nullptr, &length), QAV_OK);
    EXPECT_EQ(length, 1234u);
    EXPECT_EQ(log.percents, (Percents{0, 100}));
    EXPECT_EQ(Read(0x10, nullptr, &length), QAV_OK);
    EXPECT_EQ(length, 1234u);

    log.percents.clear();
    EXPECT_EQ(Read(0, nullptr, &length), 0xE0186B00u);
    EXPECT_EQ(log.percents, (Percents{0}));
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

TEST_F(SealFilesTest, SecuredWriteEncryptsAndMacsUnderAFreshChallenge) {
    const std::vector<uint8_t> data = Bytes("D1 D2 D3");
    const std::vector<uint8_t> cryptogram = FakeCryptogram(Bytes("03 D1 D2 D3"));
    const std::string macInput = Command("04 D6 00 10", Join({cryptogram, kFakeMac}));
    reader.Expect("00 84 00 00 08", "C1 C2 C3 C4 C5 C6 C7 C8 90 00")
        .Expect(Command("04 D6 00 10", Join({cryptogram, kFakeMac})), "90 00");
    EXPECT_EQ(WriteSecured(0x0010, data), QAV_OK);

    EXPECT_EQ(log.challenges, (std::vector<std::string>{"C1 C2 C3 C4 C5 C6 C7 C8"}));
    EXPECT_EQ(Hex(log.plains.at(0)), "03 D1 D2 D3");
    // A block beyond the 4-byte plaintext, not just beyond the 3 data bytes.
    EXPECT_EQ(log.rooms, (std::vector<uint32_t>{4 + 16}));
    EXPECT_EQ(log.secondUsers, (std::vector<uintptr_t>{0x77}));
    // The MAC covers header, Lc (already counting the MAC) and cryptogram.
    ASSERT_EQ(log.macInputs.size(), 1u);
    EXPECT_EQ(log.macInputs[0], macInput.substr(0, macInput.size() - 12));
}

TEST_F(SealFilesTest, SecuredWriteFitsEachPieceInOneByteLc) {
    const std::vector<uint8_t> data = Counting(600);
    const uint32_t sizes[] = {238, 238, 124};
    uint32_t done = 0;
    for (const uint32_t size : sizes) {
        std::vector<uint8_t> plain(size + 1);
        plain[0] = static_cast<uint8_t>(size);
        std::copy_n(data.data() + done, size, plain.data() + 1);
        const std::string header =
            "04 D6 " + Hex({static_cast<uint8_t>(done >> 8), static_cast<uint8_t>(done)});
        reader.Expect("00 84 00 00 04", "0A 0B 0C 0D 90 00")
            .Expect(Command(header, Join({FakeCryptogram(plain), kFakeMac})), "90 00");
        done += size;
    }
    EXPECT_EQ(
        card.UpdateBinary(0, data.data(), 600, 4, LoggedEncrypt, LoggedMac, nullptr, log.User(), 0),
        QAV_OK);
    // The room offered is the whole write plus a block, capped at the area.
    EXPECT_EQ(log.rooms, (std::vector<uint32_t>{255, 255, 255}));
    ASSERT_EQ(log.plains.size(), 3u);
    EXPECT_EQ(log.plains[2].front(), 124);
}

TEST_F(SealFilesTest, SecuredWriteStopsAtAFailingStep) {
    const std::vector<uint8_t> data = Counting(2);
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
    EXPECT_EQ(log.percents, (Percents{0, 0, 0, 0, 0}));
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
    EXPECT_EQ(card.UpdateBinary(0, data, 4, 6, LoggedEncrypt, LoggedMac, nullptr, 0, 0),
              QAV_E_BAD_LENGTH);
    EXPECT_EQ(reader.Sent(), 0u);
    EXPECT_TRUE(log.percents.empty());

    // Nothing to write still reports its start.
    EXPECT_EQ(card.UpdateBinary(0, data, 0, 0, nullptr, nullptr, LoggedProgress, log.User(), 0),
              QAV_OK);
    EXPECT_EQ(log.percents, (Percents{0}));
    EXPECT_EQ(reader.Sent(), 0u);
}

TEST_F(SealFilesTest, ResetSendsItsFiveBytes) {
    reader.Expect("00 4A 00 00 00", "90 00").Expect("00 4A 00 00 00", "6D 00");
    EXPECT_EQ(card.Reset(0), QAV_OK);
    EXPECT_EQ(card.Reset(0xFFFFFFFF), 0xE0186D00u);
}

}  // namespace
}  // namespace qav
