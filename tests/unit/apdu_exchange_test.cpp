// Command encoding and the exchange: Le under T=0 and T=1, 61xx and 6Cxx
// follow-ups, status words as results, and the chunk positions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card/seal/card_seal.h"
#include "reader/apdu.h"
#include "reader/chunk_cursor.h"
#include "support/scripted_reader.h"

namespace qav {
namespace {

using test::Bytes;
using test::Hex;
using test::ScriptedReader;

std::string Encoded(const CApdu& apdu) { return Hex(apdu.Command(), apdu.CommandLength()); }

TEST(ApduBuildTest, EncodingsUnderBothProtocols) {
    struct Case {
        uint32_t lc, le, data;  // data: how many of D1 D2 D3
        const char* t0;
        const char* t1;
    };
    const uint32_t none = CApdu::kAbsent;
    const Case cases[] = {
        {none, none, 0, "00 84 00 00", "00 84 00 00"},
        {none, 8, 0, "00 84 00 00 08", "00 84 00 00 08"},
        // Under T=0 a command carrying data goes out without Le.
        {3, 0, 3, "00 84 00 00 03 D1 D2 D3", "00 84 00 00 03 D1 D2 D3 00"},
        // Data goes out even without Lc; Lc keeps only its low byte.
        {none, 0, 3, "00 84 00 00 D1 D2 D3 00", "00 84 00 00 D1 D2 D3 00"},
        {0x105, none, 3, "00 84 00 00 05 D1 D2 D3", "00 84 00 00 05 D1 D2 D3"},
    };
    const std::vector<uint8_t> data = Bytes("D1 D2 D3");
    for (const Case& c : cases) {
        for (const uint32_t protocol : {kProtocolT0, kProtocolT1}) {
            ScriptedReader reader{protocol};
            const CApduFormat format{255, 0, 1, &reader};
            CApdu apdu(&format);
            apdu.ins = 0x84;
            apdu.lc = c.lc;
            apdu.le = c.le == 8 ? 0 : c.le;
            apdu.SetData(data.data(), c.data);
            apdu.Build();
            if (c.le == 8) {  // re-encodes the same command with the new Le
                apdu.le = 8;
                apdu.Build();
            }
            EXPECT_EQ(Encoded(apdu), protocol == kProtocolT0 ? c.t0 : c.t1);
        }
    }
    ScriptedReader t1{kProtocolT1};
    const CApduFormat wide{255, 2, 2, &t1};
    CApdu extended(&wide);
    extended.lc = 3;
    extended.le = 0x0110;
    extended.SetData(data.data(), 3);
    extended.Build();
    EXPECT_EQ(Encoded(extended), "00 00 00 00 00 00 00 03 D1 D2 D3 01 10");
}

TEST(ApduBuildTest, EachBuildMakesRoomForAFullAnswer) {
    ScriptedReader t1{kProtocolT1};
    const CApduFormat format{255, 0, 1, &t1};
    CApdu apdu(&format);
    apdu.Build();
    EXPECT_EQ(apdu.ResponseLength(), 255u);
    EXPECT_EQ(apdu.ResponseCapacity(), 255u);
    *apdu.ResponseLengthAddress() = 3;
    *apdu.StatusWordAddress() = 0x9000;
    apdu.Build();
    EXPECT_EQ(apdu.ResponseLength(), 255u);
}

// READ RECORD 1 of SFI 1 (00 B2 01 0C 00) through the exchange, against a
// script of {command, answer} steps; an answer "!" is the reader's failure.
TEST(ExchangeTest, StatusWordsFollowUpsAndResults) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> steps;
        uint32_t rc;
        const char* data;
    };
    const std::string kFullData = Hex(std::vector<uint8_t>(256, 0xA5));
    const std::string kFullAnswer = kFullData + " 90 00";
    const char* const kFull = kFullData.c_str();
    const Case cases[] = {
        {{{"00 B2 01 0C 00", "11 22 33 90 00"}}, QAV_OK, "11 22 33"},
        {{{"00 B2 01 0C 00", "6A 82"}}, 0xE0186A82u, nullptr},
        {{{"00 B2 01 0C 00", "62 83"}}, 0xE0186283u, nullptr},
        {{{"00 B2 01 0C 00", "!"}}, 0x80100069u, nullptr},
        {{{"00 B2 01 0C 00", "61 04"}, {"00 C0 00 00 04", "00 11 22 FF 90 00"}},
         QAV_OK,
         "00 11 22 FF"},
        // A failed GET RESPONSE gives its bare status word.
        {{{"00 B2 01 0C 00", "61 08"}, {"00 C0 00 00 08", "6A 86"}}, 0x00006A86u, nullptr},
        {{{"00 B2 01 0C 00", "61 00"}, {"00 C0 00 00 00", "!"}}, 0x80100069u, nullptr},
        // A bare 0000 from GET RESPONSE must not pass for success.
        {{{"00 B2 01 0C 00", "61 02"}, {"00 C0 00 00 02", "AB CD 00 00"}},
         QAV_E_UNEXPECTED_DATA,
         nullptr},
        {{{"00 B2 01 0C 00", "6C 10"},
          {"00 B2 01 0C 10", "6C 04"},
          {"00 B2 01 0C 04", "01 02 03 04 90 00"}},
         QAV_OK,
         "01 02 03 04"},
        {{{"00 B2 01 0C 00", "6C 02"},
          {"00 B2 01 0C 02", "61 02"},
          {"00 C0 00 00 02", "AB CD 90 00"}},
         QAV_OK,
         "AB CD"},
        // A re-send with a smaller Le shrinks the first room, but the fetch
        // that follows gets room for what its own Le asks.
        {{{"00 B2 01 0C 00", "6C 10"},
          {"00 B2 01 0C 10", "61 00"},
          {"00 C0 00 00 00", kFullAnswer.c_str()}},
         QAV_OK,
         kFull},
        // After three re-sends the next 6Cxx is the result.
        {{{"00 B2 01 0C 00", "6C 10"},
          {"00 B2 01 0C 10", "6C 20"},
          {"00 B2 01 0C 20", "6C 30"},
          {"00 B2 01 0C 30", "6C 40"}},
         0xE0186C40u,
         nullptr},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        ScriptedReader reader{kProtocolT1};
        CCardSeal card{&reader};
        for (const auto& [command, answer] : cases[i].steps) {
            if (std::string(answer) == "!") {
                reader.ExpectFailure(command, 0x80100069u);
            } else {
                reader.Expect(command, answer);
            }
        }
        CApdu apdu(card.Format());
        apdu.ins = 0xB2;
        apdu.p1 = 0x01;
        apdu.p2 = 0x0C;
        apdu.le = 0;
        apdu.Build();
        *apdu.ResponseLengthAddress() = 100000;  // a caller's slip must not reach the reader
        ASSERT_EQ(card.SendApdu(&apdu), cases[i].rc) << "case " << i;
        if (cases[i].data != nullptr) {
            EXPECT_EQ(Hex(apdu.Response(), apdu.ResponseLength()), cases[i].data) << "case " << i;
            EXPECT_EQ(apdu.StatusWord(), 0x9000u) << "case " << i;
        }
        // Le 00: room for a full short answer; a fetch: room for its Le.
        EXPECT_EQ(reader.CapacityAt(0), 256u) << "case " << i;
        if (cases[i].steps.size() == 2) {
            const std::vector<uint8_t> fetch = Bytes(cases[i].steps[1].first);
            EXPECT_EQ(reader.CapacityAt(1), fetch[4] == 0 ? 256u : fetch[4]) << "case " << i;
        }
    }
}

// Answers longer than one exchange: every piece is kept and appended, data
// that came with a 61xx included, within the bounds on length and rounds.
TEST(ExchangeTest, LongAnswersAreGatheredWholeWithinBounds) {
    const auto piece = [](size_t length, uint8_t fill, const char* sw) {
        return Hex(std::vector<uint8_t>(length, fill)) + " " + sw;
    };
    const auto expected = [](std::initializer_list<std::pair<size_t, uint8_t>> pieces) {
        std::vector<uint8_t> whole;
        for (const auto& [length, fill] : pieces) whole.insert(whole.end(), length, fill);
        return Hex(whole);
    };
    struct Case {
        const char* what;
        uint32_t protocol;
        std::vector<std::pair<std::string, std::string>> steps;
        uint32_t rc;
        std::string data;
    };
    std::vector<Case> cases = {
        {"T=1: data with 61xx, then the rest",
         kProtocolT1,
         {{"00 B2 01 0C 00", "11 22 61 02"}, {"00 C0 00 00 02", "33 44 90 00"}},
         QAV_OK,
         "11 22 33 44"},
        {"T=0: two rounds of 61xx",
         kProtocolT0,
         {{"00 B2 01 0C 00", "61 00"},
          {"00 C0 00 00 00", piece(256, 0xA1, "61 0A")},
          {"00 C0 00 00 0A", piece(10, 0xB2, "90 00")}},
         QAV_OK,
         expected({{256, 0xA1}, {10, 0xB2}})},
        {"a failed second fetch is its bare status word",
         kProtocolT0,
         {{"00 B2 01 0C 00", "61 00"},
          {"00 C0 00 00 00", piece(256, 0xA1, "61 05")},
          {"00 C0 00 00 05", "6A 86"}},
         0x00006A86u,
         ""},
        {"a card sending more than the fetch asked",
         kProtocolT1,
         {{"00 B2 01 0C 00", "61 02"}, {"00 C0 00 00 02", "01 02 03 90 00"}},
         QAV_E_UNEXPECTED_DATA,
         ""},
    };
    // Exactly 64 KiB in 256 pieces of 256 is whole; one byte more announced
    // ends the exchange before it is fetched.
    for (const bool over : {false, true}) {
        Case c{over ? "past 64 KiB" : "64 KiB exactly", kProtocolT1, {}, QAV_OK, ""};
        c.steps.emplace_back("00 B2 01 0C 00", piece(256, 0x00, "61 00"));
        for (int i = 1; i < 256; ++i) {
            const bool last = i == 255;
            c.steps.emplace_back("00 C0 00 00 00", piece(256, static_cast<uint8_t>(i),
                                                         last && !over ? "90 00" : "61 00"));
        }
        if (over) {
            c.rc = QAV_E_UNEXPECTED_DATA;
        } else {
            std::vector<uint8_t> whole;
            for (int i = 0; i < 256; ++i) whole.insert(whole.end(), 256, static_cast<uint8_t>(i));
            c.data = Hex(whole);
        }
        cases.push_back(std::move(c));
    }
    // At most 256 fetches, however short the pieces.
    for (const bool over : {false, true}) {
        Case c{over ? "a 257th fetch" : "256 fetches", kProtocolT0, {}, QAV_OK, ""};
        c.steps.emplace_back("00 B2 01 0C 00", "61 01");
        for (int i = 1; i <= 256; ++i) {
            c.steps.emplace_back("00 C0 00 00 01", i == 256 && !over ? "5A 90 00" : "5A 61 01");
        }
        c.rc = over ? QAV_E_UNEXPECTED_DATA : QAV_OK;
        if (!over) c.data = expected({{256, 0x5A}});
        cases.push_back(std::move(c));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedReader reader{c.protocol};
        CCardSeal card{&reader};
        for (const auto& [command, answer] : c.steps) reader.Expect(command, answer);
        CApdu apdu = CApdu::Expecting(card.Format(), {0x00, 0xB2, 0x01, 0x0C}, 0);
        ASSERT_EQ(card.SendApdu(&apdu), c.rc);
        EXPECT_EQ(reader.Sent(), c.steps.size());
        if (c.rc == QAV_OK) {
            EXPECT_EQ(Hex(apdu.Response(), apdu.ResponseLength()), c.data);
            EXPECT_EQ(apdu.StatusWord(), 0x9000u);
        }
    }
}

TEST(ExchangeTest, OtherLeHasTheFormatsRoomAndPointersAreChecked) {
    ScriptedReader reader{kProtocolT1};
    CCardSeal card{&reader};
    reader.Expect("00 B2 01 0C 10", "11 22 33 90 00");
    CApdu apdu(card.Format());
    apdu.ins = 0xB2;
    apdu.p1 = 0x01;
    apdu.p2 = 0x0C;
    apdu.le = 0x10;
    apdu.Build();
    *apdu.ResponseLengthAddress() = 100000;
    ASSERT_EQ(card.SendApdu(&apdu), QAV_OK);
    EXPECT_EQ(reader.CapacityAt(0), 255u);

    EXPECT_EQ(card.SendApdu(nullptr), QAV_E_NULL_POINTER);
    uint32_t length = 10;
    uint8_t buffer[10];
    EXPECT_EQ(card.GetResponse(nullptr, buffer, &length), QAV_E_NULL_POINTER);
    uint32_t sw = 0x6104;
    EXPECT_EQ(card.GetResponse(&sw, buffer, nullptr), QAV_E_NULL_POINTER);
    EXPECT_EQ(reader.Sent(), 1u);
}

TEST(ExchangeTest, WrongLengthUnderT0WithDataResendsWithoutLe) {
    ScriptedReader t0{kProtocolT0};
    CCardSeal card{&t0};
    t0.Expect("80 CA 00 00 01 AA", "6C 08").Expect("80 CA 00 00 01 AA", "90 00");
    CApdu apdu(card.Format());
    apdu.cla = 0x80;
    apdu.ins = 0xCA;
    apdu.lc = 1;
    apdu.le = 0;
    const uint8_t aa = 0xAA;
    apdu.SetData(&aa, 1);
    apdu.Build();
    EXPECT_EQ(card.SendApdu(&apdu), QAV_OK);
}

TEST(ChunkCursorTest, PiecesPositionsAndDegenerateSizes) {
    const auto walk = [](CChunkCursor cursor) {
        std::string pieces;
        for (int guard = 0; !cursor.IsDone() && guard < 10; cursor.Advance(), ++guard) {
            pieces += std::to_string(cursor.Offset()) + "+" +
                      std::to_string(cursor.CurrentLength()) + ":" +
                      std::to_string(static_cast<int>(cursor.Position())) + " ";
        }
        return pieces;
    };
    // Positions: 0 only, 1 first, 2 middle, 3 last.
    EXPECT_EQ(walk(CChunkCursor(600, 250)), "0+250:1 250+250:2 500+100:3 ");
    EXPECT_EQ(walk(CChunkCursor(500, 250)), "0+250:1 250+250:3 ");
    EXPECT_EQ(walk(CChunkCursor(100, 250)), "0+100:0 ");
    EXPECT_EQ(walk(CChunkCursor(0, 250)), "");
    EXPECT_EQ(walk(CChunkCursor(3, 0)), "0+1:1 1+1:2 2+1:3 ");  // size 0 taken as 1
    CChunkCursor fixed(100, 30);
    fixed.SetFixedLength(64);
    EXPECT_EQ(walk(fixed), "0+64:1 64+64:3 ");  // the offset is clamped to the end
    EXPECT_EQ(CChunkCursor(600, 250).ChunkCount(), 3u);
    EXPECT_EQ(CChunkCursor(0, 250).ChunkCount(), 0u);
}

}  // namespace
}  // namespace qav
