// Command encoding and the exchange: Le under T=0 and T=1, 61xx and 6Cxx
// follow-ups, status words as results, and the chunk positions.
#include <gtest/gtest.h>

#include <vector>

#include "card/card_seal.h"
#include "reader/apdu.h"
#include "reader/chunk_cursor.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedReader;

std::string Encoded(const CApdu& apdu) { return Hex(apdu.Command(), apdu.CommandLength()); }

class ApduBuildTest : public ::testing::Test {
protected:
    ScriptedReader t0{kProtocolT0};
    ScriptedReader t1{kProtocolT1};
    CApduFormat formatT0{255, 0, 1, &t0};
    CApduFormat formatT1{255, 0, 1, &t1};
    const std::vector<uint8_t> data = Bytes("D1 D2 D3");
};

TEST_F(ApduBuildTest, LeRidesWithDataOnlyUnderT1) {
    for (CApduFormat* format : {&formatT0, &formatT1}) {
        CApdu apdu(format);
        apdu.cla = 0x80;
        apdu.ins = 0xCA;
        apdu.p1 = 0x01;
        apdu.p2 = 0x02;
        apdu.lc = 3;
        apdu.le = 0;
        apdu.SetData(data.data(), 3);
        apdu.Build();
        if (format == &formatT1) {
            EXPECT_EQ(Encoded(apdu), "80 CA 01 02 03 D1 D2 D3 00");
        } else {
            EXPECT_EQ(Encoded(apdu), "80 CA 01 02 03 D1 D2 D3");
        }
    }
}

TEST_F(ApduBuildTest, HeaderOnlyAndLeOnlyForms) {
    for (CApduFormat* format : {&formatT0, &formatT1}) {
        CApdu apdu(format);
        apdu.ins = 0x84;
        apdu.Build();
        EXPECT_EQ(Encoded(apdu), "00 84 00 00");
        apdu.le = 8;
        apdu.Build();  // re-encodes the same command with the new Le
        EXPECT_EQ(Encoded(apdu), "00 84 00 00 08");
    }
}

TEST_F(ApduBuildTest, LengthFieldsKeepOnlyTheirWidth) {
    CApdu apdu(&formatT1);
    apdu.lc = 0x105;  // one-byte field: only the low byte goes out
    apdu.SetData(data.data(), 3);
    apdu.Build();
    EXPECT_EQ(Encoded(apdu), "00 00 00 00 05 D1 D2 D3");

    CApduFormat wide{255, 2, 2, &t1};
    CApdu extended(&wide);
    extended.lc = 3;
    extended.le = 0x0110;
    extended.SetData(data.data(), 3);
    extended.Build();
    EXPECT_EQ(Encoded(extended), "00 00 00 00 00 00 00 03 D1 D2 D3 01 10");
}

TEST_F(ApduBuildTest, DataWithoutLcIsStillSent) {
    CApdu apdu(&formatT1);
    apdu.SetData(data.data(), 3);
    apdu.le = 0;
    apdu.Build();
    EXPECT_EQ(Encoded(apdu), "00 00 00 00 D1 D2 D3 00");
}

TEST_F(ApduBuildTest, BuildMakesRoomForFullAnswerAndClearEmpties) {
    CApdu apdu(&formatT1);
    apdu.Build();
    EXPECT_EQ(apdu.ResponseLength(), 255u);
    EXPECT_EQ(apdu.ResponseCapacity(), 255u);
    *apdu.ResponseLengthAddress() = 3;
    *apdu.StatusWordAddress() = 0x9000;
    apdu.Build();
    EXPECT_EQ(apdu.ResponseLength(), 255u);

    apdu.SetData(data.data(), 3);
    apdu.Clear();
    EXPECT_EQ(apdu.CommandLength(), 0u);
    EXPECT_EQ(apdu.DataLength(), 0u);
    EXPECT_EQ(apdu.ResponseLength(), 0u);
    EXPECT_EQ(apdu.StatusWord(), 0u);
}

class ExchangeTest : public ::testing::Test {
protected:
    uint32_t Send(CApdu& apdu) { return card.SendApdu(&apdu); }
    // READ RECORD 1 of SFI 1: 00 B2 01 0C Le.
    void ReadRecord(CApdu& apdu, uint32_t le) {
        apdu.ins = 0xB2;
        apdu.p1 = 0x01;
        apdu.p2 = 0x0C;
        apdu.le = le;
        apdu.Build();
    }

    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
};

TEST_F(ExchangeTest, SuccessLeavesDataAndStatus) {
    reader.Expect("00 B2 01 0C 00", "11 22 33 90 00");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(Hex(apdu.Response(), apdu.ResponseLength()), "11 22 33");
    EXPECT_EQ(apdu.StatusWord(), 0x9000u);
}

TEST_F(ExchangeTest, AnswerNeverOutgrowsTheBuiltBuffer) {
    reader.Expect("00 B2 01 0C 00", "11 22 33 90 00");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    *apdu.ResponseLengthAddress() = 100000;  // a caller's slip must not reach the reader
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(reader.CapacityAt(0), 256u) << "Le 00: room for a full short answer";

    reader.Expect("00 B2 01 0C 10", "11 22 33 90 00");
    ReadRecord(apdu, 0x10);
    *apdu.ResponseLengthAddress() = 100000;
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(reader.CapacityAt(1), 255u) << "any other Le: the format's room";
}

TEST_F(ExchangeTest, OtherStatusWordsBecomeCardStatusResults) {
    reader.Expect("00 B2 01 0C 00", "6A 82").Expect("00 B2 01 0C 00", "62 83");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    EXPECT_EQ(Send(apdu), 0xE0186A82u);
    apdu.Build();
    EXPECT_EQ(Send(apdu), 0xE0186283u);
}

TEST_F(ExchangeTest, ReaderErrorsPassUnchanged) {
    reader.ExpectFailure("00 B2 01 0C 00", 0x80100069u);
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    EXPECT_EQ(Send(apdu), 0x80100069u);
    EXPECT_EQ(card.SendApdu(nullptr), QAV_E_NULL_POINTER);
}

TEST_F(ExchangeTest, BytesAvailableAreFetchedWithFullCapacity) {
    reader.Expect("00 B2 01 0C 00", "61 10")
        .Expect("00 C0 00 00 10", "00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 90 00");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(reader.CapacityAt(1), 256u);
    EXPECT_EQ(apdu.ResponseLength(), 16u);
    EXPECT_EQ(apdu.Response()[15], 0xFF);
    EXPECT_EQ(apdu.StatusWord(), 0x9000u);
}

TEST_F(ExchangeTest, FailedGetResponseGivesBareStatusWord) {
    reader.Expect("00 B2 01 0C 00", "61 08").Expect("00 C0 00 00 08", "6A 86");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    EXPECT_EQ(Send(apdu), 0x00006A86u);

    reader.Expect("00 B2 01 0C 00", "61 00").ExpectFailure("00 C0 00 00 00", 0x80100068u);
    apdu.Build();
    EXPECT_EQ(Send(apdu), 0x80100068u);
}

TEST_F(ExchangeTest, GetResponseChecksItsPointers) {
    uint32_t length = 10;
    uint8_t buffer[10];
    EXPECT_EQ(card.GetResponse(nullptr, buffer, &length), QAV_E_NULL_POINTER);
    uint32_t sw = 0x6104;
    EXPECT_EQ(card.GetResponse(&sw, buffer, nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 0u);
}

TEST_F(ExchangeTest, WrongLengthResendsWithTheCardsLe) {
    reader.Expect("00 B2 01 0C 00", "6C 10")
        .Expect("00 B2 01 0C 10", "6C 04")
        .Expect("00 B2 01 0C 04", "01 02 03 04 90 00");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(Hex(apdu.Response(), apdu.ResponseLength()), "01 02 03 04");
}

TEST_F(ExchangeTest, WrongLengthThenBytesAvailable) {
    reader.Expect("00 B2 01 0C 00", "6C 02")
        .Expect("00 B2 01 0C 02", "61 02")
        .Expect("00 C0 00 00 02", "AB CD 90 00");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    ASSERT_EQ(Send(apdu), QAV_OK);
    EXPECT_EQ(Hex(apdu.Response(), apdu.ResponseLength()), "AB CD");
}

TEST_F(ExchangeTest, EndlessWrongLengthStopsAfterTheBound) {
    reader.Expect("00 B2 01 0C 00", "6C 10")
        .Expect("00 B2 01 0C 10", "6C 20")
        .Expect("00 B2 01 0C 20", "6C 30")
        .Expect("00 B2 01 0C 30", "6C 40");
    static_assert(CCard::kMaxLengthCorrections == 3, "script assumes three re-sends");
    CApdu apdu(card.Format());
    ReadRecord(apdu, 0);
    EXPECT_EQ(Send(apdu), 0xE0186C40u);
}

TEST_F(ExchangeTest, WrongLengthUnderT0WithDataResendsWithoutLe) {
    ScriptedReader t0{kProtocolT0};
    CCardSeal t0card{&t0};
    t0.Expect("80 CA 00 00 01 AA", "6C 08").Expect("80 CA 00 00 01 AA", "90 00");
    CApdu apdu(t0card.Format());
    apdu.cla = 0x80;
    apdu.ins = 0xCA;
    apdu.lc = 1;
    apdu.le = 0;
    const uint8_t aa = 0xAA;
    apdu.SetData(&aa, 1);
    apdu.Build();
    EXPECT_EQ(t0card.SendApdu(&apdu), QAV_OK);
}

TEST(ChunkCursorTest, PositionsAcrossAChain) {
    CChunkCursor cursor(600, 250);
    EXPECT_EQ(cursor.ChunkCount(), 3u);
    std::vector<std::pair<uint32_t, ChunkPosition>> pieces;
    std::vector<uint32_t> offsets;
    for (; !cursor.IsDone(); cursor.Advance()) {
        pieces.emplace_back(cursor.CurrentLength(), cursor.Position());
        offsets.push_back(cursor.Offset());
    }
    const std::vector<std::pair<uint32_t, ChunkPosition>> expected = {
        {250, ChunkPosition::kFirst}, {250, ChunkPosition::kMiddle}, {100, ChunkPosition::kLast}};
    EXPECT_EQ(pieces, expected);
    EXPECT_EQ(offsets, (std::vector<uint32_t>{0, 250, 500}));

    CChunkCursor single(100, 250);
    EXPECT_EQ(single.ChunkCount(), 1u);
    EXPECT_EQ(single.Position(), ChunkPosition::kOnly);
    EXPECT_EQ(single.CurrentLength(), 100u);
    single.Advance();
    EXPECT_TRUE(single.IsDone());
}

TEST(ChunkCursorTest, ExactMultiplesFixedLengthAndDegenerateSizes) {
    CChunkCursor even(500, 250);
    EXPECT_EQ(even.Position(), ChunkPosition::kFirst);
    even.Advance();
    EXPECT_EQ(even.Position(), ChunkPosition::kLast);
    even.Advance();
    EXPECT_TRUE(even.IsDone());

    CChunkCursor fixed(100, 30);
    fixed.SetFixedLength(64);
    EXPECT_EQ(fixed.CurrentLength(), 64u);
    fixed.Advance();
    EXPECT_EQ(fixed.Offset(), 64u);
    EXPECT_EQ(fixed.Position(), ChunkPosition::kLast);  // 64 more reach past the end
    fixed.Advance();
    EXPECT_EQ(fixed.Offset(), 100u);  // clamped
    EXPECT_TRUE(fixed.IsDone());

    CChunkCursor empty(0, 250);
    EXPECT_TRUE(empty.IsDone());
    EXPECT_EQ(empty.ChunkCount(), 0u);

    CChunkCursor zero(3, 0);  // taken as 1: the loop still ends
    uint32_t steps = 0;
    for (; !zero.IsDone() && steps < 10; zero.Advance()) ++steps;
    EXPECT_EQ(steps, 3u);
}

}  // namespace
}  // namespace qav
